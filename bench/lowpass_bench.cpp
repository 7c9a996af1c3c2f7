#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "common/pixel.h"
#include "lowpass/lowpass.h"
#include "tests/support/kernel_forms.h"

namespace quillet {
namespace {

constexpr int kRows = 1080;

struct AlignedDelete {
  void operator()(int16_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using Samples = std::unique_ptr<int16_t[], AlignedDelete>;

Samples alignedSamples(size_t count) { return Samples(new (std::align_val_t{64}) int16_t[count]); }

// One frame of `width` x 1080 pixels, stride = width, through one kernel per iteration.
void lowpassFrame(benchmark::State& state, LowpassKernel kernel, int width) {
  const size_t samples = static_cast<size_t>(width) * kRows * kSamplesPerPixel;
  Samples src = alignedSamples(samples);
  Samples dst = alignedSamples(samples);
  uint32_t seed = 12345;
  for (size_t i = 0; i < samples; ++i) {
    seed = seed * 1664525u + 1013904223u;
    src[i] = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) % 8192);
  }
  for (auto _ : state) {
    kernel(dst.get(), src.get(), kRows, width, width, 0, kRows);
    benchmark::DoNotOptimize(dst.get());
    benchmark::ClobberMemory();
  }
  const auto frames = static_cast<int64_t>(state.iterations());
  state.SetBytesProcessed(frames * static_cast<int64_t>(samples * sizeof(int16_t)));
  state.SetItemsProcessed(frames * static_cast<int64_t>(samples));
}

int registerLowpassBenchmarks() {
  for (const test::KernelForm& form : test::formsWith(&test::KernelForm::lowpass, true)) {
    if (!test::formRuns(form)) continue;
    for (int tap = 0; tap < kTapCount; ++tap) {
      for (int width : {720, 1920}) {
        const std::string name = std::string("Lowpass/") + form.name + "/Tap" +
                                 std::to_string(tap) + "/" + std::to_string(width);
        benchmark::RegisterBenchmark(name.c_str(), lowpassFrame,
                                     (*form.lowpass)[static_cast<size_t>(tap)], width)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  return 0;
}

const int registered = registerLowpassBenchmarks();

}  // namespace
}  // namespace quillet

BENCHMARK_MAIN();
