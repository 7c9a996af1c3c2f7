#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli/engine_run.h"
#include "cli/y4m.h"
#include "cli/ycc16_io.h"
#include "include/quillet/quillet.h"

namespace quillet::cli {

// Video files through FFmpeg's libraries (libavformat, libavcodec, libswscale). A build without
// them has the same classes; their constructors then throw AvError saying so.

// Whether this build reads and writes video files.
bool videoFilesSupported();

// A file that cannot be opened, a stream that cannot be decoded or written: one line naming the
// file and the stream.
struct AvError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What libav says of its own: nothing below errors, or nothing at all with `quiet`.
void quietenVideoLibraries(bool quiet);

struct AvReaderOptions {
  // Keep the audio and subtitle packets for a writer (false: skip them as they are read).
  bool keepOtherStreams = true;
  // Say on stderr when the frames must be converted for the filter.
  bool verbose = true;
};

// The first video stream of a file, decoded, each frame handed on as the engine takes it:
// planes of the engine's layout back to back (quillet_frame_layout). A pixel format the engine
// does not take is converted to the nearest one it does, said once on stderr. Every frame keeps
// its timestamp and interlace flags; the audio and subtitle packets read on the way are kept
// for the writer.
class AvClipReader : public ClipReader {
 public:
  // Opens the file and its decoder; throws AvError for a file without video, an unknown codec,
  // a file that is not a video file.
  AvClipReader(const std::string& path, const AvReaderOptions& options);
  ~AvClipReader() override;

  int32_t width() const override;
  int32_t height() const override;
  const std::optional<std::string>& fault() const override;
  bool readFrame(Pixel* frame, int32_t stride) override;
  bool hasNextFrame() override;
  size_t payloadBytes() const override;
  bool readPayload(std::vector<uint8_t>& payload) override;

  // The engine's layout and depth for the frames.
  QuilletLayout layout() const;
  int32_t bitDepth() const;
  // The frames as a Y4M stream would describe them (size, rate, aspect, layout, depth, colour
  // range), for the Y4M writer, the preview and the plug-in path.
  const Y4mFormat& format() const;
  // Whether the frame read last is marked interlaced by the decoder.
  bool payloadInterlaced() const;
  // Frames in the stream by its header or duration, -1 when it does not say.
  int64_t estimatedFrames() const;

  struct Shared;  // what the writer takes from the reader: timestamps, packets, the streams

 private:
  friend class AvClipWriter;
  std::shared_ptr<Shared> shared_;
};

struct AvWriterOptions {
  std::string codec;                                         // --vcodec; empty: by container
  std::vector<std::pair<std::string, std::string>> options;  // --vopt
  FrameRange frames;  // the frames the run writes, numbered as in the whole clip
  bool verbose = true;
};

// Encodes the filtered frames into a container chosen by the file's name, marked progressive.
// With a file as the source each frame takes the timestamp its input frame had, and the audio
// and subtitle streams and the container's metadata are copied; a Y4M source is timed by its
// rate from 0. finish() writes the trailer, so the file plays with the frames written so far.
class AvClipWriter : public ClipWriter {
 public:
  // Opens the encoder and writes the header; throws AvError when the encoder or the muxer
  // refuses the stream (the message names it). `source` may be null.
  AvClipWriter(const std::string& path, const Y4mFormat& format, QuilletLayout layout,
               AvClipReader* source, const AvWriterOptions& options);
  ~AvClipWriter() override;

  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override;
  bool writePayload(const uint8_t* payload) override;
  bool finish() override;
  const std::string& error() const override;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Parses --vopt's "key=value,key=value"; null when an entry has no key or no '='.
std::optional<std::vector<std::pair<std::string, std::string>>> parseCodecOptions(
    const std::string& text);

}  // namespace quillet::cli
