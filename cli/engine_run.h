#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "include/quillet/quillet.h"

namespace quillet::cli {

// Frames as the file holds them (a Y4M payload, or raw ycc16 pixels), one after the other.
class PayloadSource {
 public:
  virtual ~PayloadSource() = default;
  // Reads the next frame into `payload` (resized as needed). False at the end of the stream or
  // when no further whole frame can be had (then fault() may say why).
  virtual bool read(std::vector<uint8_t>& payload) = 0;
  // read into `bytes` bytes of memory the caller has (the frame slot the engine lends). Sources
  // that can read the frame straight into it do; by default it is read and copied.
  virtual bool readInto(uint8_t* payload, size_t bytes);
  virtual std::optional<std::string> fault() const = 0;
  // Whether the frame read last is marked interlaced (QuilletDeint's interlaced selection).
  virtual bool interlaced() const { return true; }

 private:
  std::vector<uint8_t> copied_;  // readInto's frame when it is read and copied
};

class PayloadSink {
 public:
  virtual ~PayloadSink() = default;
  // Writes one frame, filtered or passed unchanged by the engine; false stops the run.
  virtual bool write(const uint8_t* payload, bool filtered) = 0;
};

struct EngineRunHooks {
  // Called on the filtering thread for every input frame given to the engine and every output
  // frame made, with the frame number in the whole clip and its payload.
  std::function<void(int64_t, const uint8_t*)> input;
  std::function<void(int64_t, const uint8_t*)> output;
  // Called with the frame number of every frame the engine passed unchanged, before output.
  std::function<void(int64_t)> passed;
  // Called after each frame the sink took, with the count so far.
  std::function<void(int64_t)> written;
  // Set from outside (a signal) to stop reading; the frames filtered so far are still written.
  const std::atomic<bool>* stop = nullptr;
};

// The frames a run writes: output frames first..end-1, numbered as in the whole clip. The run
// reads frames up to and including `end` (the last written frame's next neighbour) and gives
// the engine frames from first - 1 on (the first written frame's previous neighbour); frames
// before that are read and dropped. A frame's output depends only on its neighbours, so the
// written frames equal those of a whole run.
struct FrameRange {
  int64_t first = 0;
  int64_t end = INT64_MAX;  // INT64_MAX: to the end of the stream
};

struct EngineRunResult {
  // kFailed: memory refused on one of the run's threads (or another failure of its own); `error`
  // says which, and every frame before it is written.
  enum class Status { kDone, kStopped, kEngineFailed, kSinkFailed, kFailed };
  Status status = Status::kDone;
  int32_t threads = 0;     // the engine's workers (fewer than asked when the system refused some)
  int64_t framesRead = 0;  // given to the engine
  int64_t framesWritten = 0;
  int64_t framesFiltered = 0;  // frames the engine filtered; the others it passed unchanged
  int64_t framesPassed = 0;
  std::string error;  // the engine's message for kEngineFailed, the whole message for kFailed
};

// Filters the stream on an engine made from `config`: a reader thread reads each frame straight
// into the frame slot the engine lends while the frames before it are filtered, and a writer
// thread takes results behind the filter, so reading, filtering and writing overlap. `payloadBytes`
// is the size of one frame as the source and sink hold it, planes back to back in the engine's
// plane order. Only the frames of `range` reach the sink.
EngineRunResult runOnEngine(const QuilletConfig& config, size_t payloadBytes, PayloadSource& source,
                            PayloadSink& sink, const EngineRunHooks& hooks,
                            FrameRange range = FrameRange{});

}  // namespace quillet::cli
