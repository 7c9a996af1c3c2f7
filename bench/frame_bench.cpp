// Whole frames through the stand-in host, per kernel set, worker count, tap and frame size, with
// motion adaptation (24) and the next-frame map on, in forward order. Every set and tap at
// 1920x1080; the SSE2 set at tap 0 also at 64x48 and 720x480, where handing stages to a helper
// costs most against the work it saves.
//
// Steady state only: the host (edit and scratch frames, worker pool, filter init) is built
// once per benchmark, outside the timed region. Each iteration streams a clip of kClipFrames
// frames and times each frame from kFirstTimed on; the first frames pay for the streaming
// window's allocation and for the second neighbour map the first frame of a clip computes.
// Two figures per frame:
//   filter - the process callback alone (fetches, stages, buffer exchange): from the moment
//            the host has read the next frame in to the moment it hands the result out;
//   loop   - the host's whole loop: reading the next frame into its window plus the callback.
// Right after every clip the same program times memcpy of one frame a few times; every
// figure is also given as a multiple of that copy time ("x_memcpy", "loop_x_memcpy").
// "workers" is the size of the stand-in's pool: the host's own thread is worker 0, so with 1
// worker every stage runs on the calling thread and with 2 one helper thread joins it.
// Run with --benchmark_repetitions=N and read the medians.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "dispatch/cpu_features.h"
#include "standin/host.h"
#include "tests/support/kernel_forms.h"

namespace quillet::standin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kClipFrames = 26;  // frames per clip (one benchmark iteration)
constexpr int32_t kFirstTimed = 2;   // frames before this one are warm-up
constexpr int kCopiesPerClip = 8;    // memcpy timings taken after every clip

struct FrameSize {
  int32_t width;
  int32_t height;
  size_t pixels() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
  size_t bytes() const { return pixels() * sizeof(Pixel); }
};

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A few distinct frames with still and moving parts (a band across the middle third that
// shifts from frame to frame), cycled to make a clip of any length.
const std::vector<std::vector<Pixel>>& sourceFrames(FrameSize size) {
  static std::map<std::pair<int32_t, int32_t>, std::vector<std::vector<Pixel>>> bySize;
  std::vector<std::vector<Pixel>>& all = bySize[{size.width, size.height}];
  if (!all.empty()) return all;
  all.assign(4, std::vector<Pixel>(size.pixels()));
  const auto width = static_cast<size_t>(size.width);
  uint32_t state = 12345;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (size_t f = 0; f < all.size(); ++f) {
    const size_t shift = width / 48 * f;
    for (size_t i = 0; i < size.pixels(); ++i) {
      const size_t x = i % width;
      const bool moving = x >= width * 5 / 16 + shift && x < width * 5 / 8 + shift;
      const uint32_t r = moving ? next() : static_cast<uint32_t>(i * 2654435761u);
      all[f][i] = Pixel{static_cast<int16_t>(r % 4097), static_cast<int16_t>(r % 4097 - 2048),
                        static_cast<int16_t>((r >> 12) % 4097 - 2048)};
    }
  }
  return all;
}

// Per-frame times of one clip, taken by the source and the sink around the host's loop.
struct FrameClock {
  Clock::time_point mark;         // the end of the latest read or write
  Clock::time_point lastWritten;  // the end of the latest write
  double filterSeconds = 0;
  double loopSeconds = 0;
  int64_t timedFrames = 0;
};

class CycledSource : public FrameSource {
 public:
  CycledSource(FrameSize size, FrameClock& clock) : size_(size), clock_(clock) {}

  bool readFrame(Pixel* frame, int32_t stride) override {
    const bool more = next_ < kClipFrames;
    if (more) {
      const std::vector<Pixel>& from = sourceFrames(size_)[static_cast<size_t>(next_++) % 4];
      const auto width = static_cast<size_t>(size_.width);
      for (int32_t r = 0; r < size_.height; ++r) {
        std::memcpy(frame + static_cast<size_t>(r) * static_cast<size_t>(stride),
                    from.data() + static_cast<size_t>(r) * width, width * sizeof(Pixel));
      }
    }
    clock_.mark = Clock::now();
    return more;
  }

 private:
  FrameSize size_;
  FrameClock& clock_;
  int32_t next_ = 0;
};

class TimingSink : public FrameSink {
 public:
  explicit TimingSink(FrameClock& clock) : clock_(clock) {}

  bool writeFrame(int32_t number, const Pixel* frame, int32_t) override {
    const Clock::time_point now = Clock::now();
    if (number >= kFirstTimed) {
      clock_.filterSeconds += secondsBetween(clock_.mark, now);
      clock_.loopSeconds += secondsBetween(clock_.lastWritten, now);
      ++clock_.timedFrames;
    }
    benchmark::DoNotOptimize(frame[0].y);
    clock_.lastWritten = clock_.mark = Clock::now();
    return true;
  }

 private:
  FrameClock& clock_;
};

// One frame copied with memcpy, as the yardstick measured beside every clip.
struct FrameCopier {
  explicit FrameCopier(FrameSize frameSize) : size(frameSize), to(size.pixels(), Pixel{1, 1, 1}) {}

  FrameSize size;
  std::vector<Pixel> to;
  double seconds = 0;
  int64_t copies = 0;

  void timeCopies(int count) {
    for (int i = 0; i < count; ++i) {
      const std::vector<Pixel>& from = sourceFrames(size)[static_cast<size_t>(copies) % 4];
      const Clock::time_point start = Clock::now();
      std::memcpy(to.data(), from.data(), size.bytes());
      benchmark::DoNotOptimize(to.data());
      benchmark::ClobberMemory();
      seconds += secondsBetween(start, Clock::now());
      ++copies;
    }
  }
};

constexpr FrameSize kFullHd{1920, 1080};

void BM_FrameMemcpy(benchmark::State& state) {
  FrameCopier copier(kFullHd);
  for (auto _ : state) copier.timeCopies(1);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFullHd.bytes()));
}
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMicrosecond);

// Arguments: kernel set (the feature mask that installs it), workers, tap, frame width and height.
void BM_WholeFrames(benchmark::State& state) {
  const FrameSize size{static_cast<int32_t>(state.range(3)), static_cast<int32_t>(state.range(4))};
  const test::KernelForm* set = nullptr;
  for (const test::KernelForm& form : test::kernelSets()) {
    if (form.setMask() == state.range(0)) set = &form;
  }
  if (set == nullptr || !test::formRuns(*set)) {
    state.SkipWithError("kernel set not available on this processor");
    return;
  }
  HostConfig config;
  config.width = size.width;
  config.height = size.height;
  config.threads = static_cast<int>(state.range(1));
  config.cpuMask = set->setMask();
  config.settings.tap = static_cast<int32_t>(state.range(2));
  config.settings.motion = 24;
  config.settings.nextFrame = true;
  Host host(config);
  FrameCopier copier(size);
  copier.timeCopies(2);  // fault in the copy's destination
  copier.seconds = 0;
  copier.copies = 0;

  FrameClock total;
  for (auto _ : state) {
    FrameClock clip;
    clip.lastWritten = clip.mark = Clock::now();
    CycledSource source(size, clip);
    TimingSink sink(clip);
    const RunResult result = host.run(source, sink);
    if (result.status != RunResult::Status::kDone || result.framesWritten != kClipFrames) {
      state.SkipWithError("the filter failed");
      return;
    }
    state.SetIterationTime(clip.filterSeconds);
    total.filterSeconds += clip.filterSeconds;
    total.loopSeconds += clip.loopSeconds;
    total.timedFrames += clip.timedFrames;
    copier.timeCopies(kCopiesPerClip);
  }
  const auto frames = static_cast<double>(total.timedFrames);
  const double copySeconds = copier.seconds / static_cast<double>(copier.copies);
  const double filterPerFrame = total.filterSeconds / frames;
  const double loopPerFrame = total.loopSeconds / frames;
  state.SetItemsProcessed(total.timedFrames);
  state.SetBytesProcessed(total.timedFrames * static_cast<int64_t>(size.bytes()));
  state.counters["ms_per_frame"] = filterPerFrame * 1e3;
  state.counters["fps"] = 1.0 / filterPerFrame;
  state.counters["x_memcpy"] = filterPerFrame / copySeconds;
  state.counters["loop_ms_per_frame"] = loopPerFrame * 1e3;
  state.counters["loop_x_memcpy"] = loopPerFrame / copySeconds;
  state.counters["memcpy_ms"] = copySeconds * 1e3;
}

void wholeFrameArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"set", "workers", "tap", "width", "height"});
  for (const test::KernelForm& set : test::kernelSets()) {
    for (const int64_t workers : {1, 2}) {
      for (const int64_t tap : {0, 6}) {
        b->Args({set.setMask(), workers, tap, kFullHd.width, kFullHd.height});
      }
    }
  }
  for (const auto& [width, height] : {std::pair<int64_t, int64_t>{64, 48}, {720, 480}}) {
    for (const int64_t workers : {1, 2})
      b->Args({kCpuMmx | kCpuSse | kCpuSse2, workers, 0, width, height});
  }
}
BENCHMARK(BM_WholeFrames)->Apply(wholeFrameArgs)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
}  // namespace quillet::standin

BENCHMARK_MAIN();
