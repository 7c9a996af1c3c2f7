#include "standin/clip.h"

#include <algorithm>

namespace quillet::standin {

bool ClipSource::readFrame(Pixel* frame, int32_t stride) {
  if (next_ >= static_cast<int32_t>(clip_.frames.size())) return false;
  const std::vector<Pixel>& from = clip_.frames[static_cast<size_t>(next_++)];
  const size_t width = static_cast<size_t>(clip_.width);
  for (size_t r = 0; r < static_cast<size_t>(clip_.height); ++r) {
    std::copy_n(from.data() + r * width, width, frame + r * static_cast<size_t>(stride));
  }
  return true;
}

ClipSink::ClipSink(int32_t width, int32_t height) {
  clip.width = width;
  clip.height = height;
}

bool ClipSink::writeFrame(int32_t number, const Pixel* frame, int32_t stride) {
  const size_t width = static_cast<size_t>(clip.width);
  std::vector<Pixel> pixels(width * static_cast<size_t>(clip.height));
  for (size_t r = 0; r < static_cast<size_t>(clip.height); ++r) {
    std::copy_n(frame + r * static_cast<size_t>(stride), width, pixels.data() + r * width);
  }
  clip.frames.push_back(std::move(pixels));
  numbers.push_back(number);
  return true;
}

Clip filterClip(HostConfig config, const Clip& clip, const ProcessingOrder& order,
                RunResult* result) {
  config.width = clip.width;
  config.height = clip.height;
  Host host(config);
  ClipSource source(clip);
  ClipSink sink(clip.width, clip.height);
  const RunResult outcome = host.run(source, sink, order);
  if (result != nullptr) *result = outcome;
  return std::move(sink.clip);
}

}  // namespace quillet::standin
