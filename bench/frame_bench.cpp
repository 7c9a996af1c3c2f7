// Whole 1920x1080 frames through the stand-in host, per kernel set, worker count and tap, with
// motion adaptation and the next-frame map on, in forward order. A memcpy of one frame runs in
// the same program; every figure also reports its time per frame as a multiple of that copy.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "host/cpu_features.h"
#include "standin/host.h"

namespace quillet::standin {
namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kClipFrames = 8;  // frames per run
constexpr size_t kFramePixels = static_cast<size_t>(kWidth) * kHeight;

// A few distinct frames with still and moving parts, cycled to make a clip of any length.
const std::vector<std::vector<Pixel>>& sourceFrames() {
  static const std::vector<std::vector<Pixel>> frames = [] {
    std::vector<std::vector<Pixel>> all(4, std::vector<Pixel>(kFramePixels));
    uint32_t state = 12345;
    const auto next = [&state] {
      state = state * 1664525u + 1013904223u;
      return state >> 8;
    };
    for (size_t f = 0; f < all.size(); ++f) {
      for (size_t i = 0; i < kFramePixels; ++i) {
        const size_t x = i % kWidth;
        const bool moving = x >= 600 + 40 * f && x < 1200 + 40 * f;
        const uint32_t r = moving ? next() : static_cast<uint32_t>(i * 2654435761u);
        all[f][i] = Pixel{static_cast<int16_t>(r % 4097), static_cast<int16_t>(r % 4097 - 2048),
                          static_cast<int16_t>((r >> 12) % 4097 - 2048)};
      }
    }
    return all;
  }();
  return frames;
}

class CycledSource : public FrameSource {
 public:
  bool readFrame(Pixel* frame, int32_t stride) override {
    if (next_ == kClipFrames) return false;
    const std::vector<Pixel>& from = sourceFrames()[static_cast<size_t>(next_++) % 4];
    for (int32_t r = 0; r < kHeight; ++r) {
      std::memcpy(frame + static_cast<size_t>(r) * static_cast<size_t>(stride),
                  from.data() + static_cast<size_t>(r) * kWidth, kWidth * sizeof(Pixel));
    }
    return true;
  }

 private:
  int32_t next_ = 0;
};

class DiscardingSink : public FrameSink {
 public:
  bool writeFrame(int32_t, const Pixel* frame, int32_t) override {
    benchmark::DoNotOptimize(frame[0].y);
    return true;
  }
};

// Seconds one memcpy of a frame takes, best of several, measured once.
double memcpySeconds() {
  static const double seconds = [] {
    std::vector<Pixel> from = sourceFrames()[0];
    std::vector<Pixel> to(kFramePixels);
    double best = 1e9;
    for (int i = 0; i < 20; ++i) {
      const auto start = std::chrono::steady_clock::now();
      std::memcpy(to.data(), from.data(), kFramePixels * sizeof(Pixel));
      benchmark::DoNotOptimize(to.data());
      benchmark::ClobberMemory();
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  }();
  return seconds;
}

void BM_FrameMemcpy(benchmark::State& state) {
  std::vector<Pixel> from = sourceFrames()[0];
  std::vector<Pixel> to(kFramePixels);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kFramePixels * sizeof(Pixel));
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFramePixels * sizeof(Pixel)));
}
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMicrosecond);

// Arguments: kernel-set mask, workers, tap.
void BM_WholeFrames(benchmark::State& state) {
  const auto mask = static_cast<CpuFeatures>(state.range(0));
  const CpuFeatures present = probeCpuFeatures();
  const CpuFeatures level = mask & kCpuSse2 ? kCpuSse2 : mask & kCpuSse ? kCpuSse : mask;
  if ((present & level) != level) {
    state.SkipWithError("kernel set not available on this processor");
    return;
  }
  HostConfig config;
  config.width = kWidth;
  config.height = kHeight;
  config.threads = static_cast<int>(state.range(1));
  config.cpuMask = mask;
  config.settings.tap = static_cast<int32_t>(state.range(2));
  config.settings.motion = 24;
  config.settings.nextFrame = true;
  Host host(config);
  sourceFrames();
  for (auto _ : state) {
    CycledSource source;
    DiscardingSink sink;
    const RunResult result = host.run(source, sink);
    if (result.status != RunResult::Status::kDone) {
      state.SkipWithError("the filter failed");
      return;
    }
  }
  const int64_t frames = state.iterations() * kClipFrames;
  state.SetItemsProcessed(frames);
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  // Seconds per frame over seconds per frame copy.
  state.counters["x_memcpy"] =
      benchmark::Counter(static_cast<double>(frames) * memcpySeconds(),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void wholeFrameArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"set", "workers", "tap"});
  for (const int64_t mask : {0, 1, 3, 7}) {
    for (const int64_t workers : {1, 2}) {
      for (const int64_t tap : {0, 6}) b->Args({mask, workers, tap});
    }
  }
}
BENCHMARK(BM_WholeFrames)->Apply(wholeFrameArgs)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quillet::standin

BENCHMARK_MAIN();
