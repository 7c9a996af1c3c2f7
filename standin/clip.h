#pragma once

#include <cstdint>
#include <vector>

#include "common/pixel.h"
#include "standin/host.h"

namespace quillet::standin {

// A clip held in memory: frames of width x height pixels, rows packed (stride = width).
struct Clip {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<std::vector<Pixel>> frames;
};

// Gives the frames of a clip in order.
class ClipSource : public FrameSource {
 public:
  explicit ClipSource(const Clip& clip) : clip_(clip) {}
  bool readFrame(Pixel* frame, int32_t stride) override;
  int32_t framesRead() const { return next_; }

 private:
  const Clip& clip_;
  int32_t next_ = 0;
};

// Collects results into a clip, with the frame number of each.
class ClipSink : public FrameSink {
 public:
  ClipSink(int32_t width, int32_t height);
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override;

  Clip clip;
  std::vector<int32_t> numbers;  // the frame numbers delivered, in delivery order
};

// Runs `clip` through a new host made from `config` (its frame size taken from the clip) and
// returns the results; `result` receives the run's outcome when not null.
Clip filterClip(HostConfig config, const Clip& clip, const ProcessingOrder& order = {},
                RunResult* result = nullptr);

}  // namespace quillet::standin
