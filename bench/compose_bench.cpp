#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "compose/compose.h"
#include "motion/motion_state.h"
#include "rows/row_job.h"
#include "tests/support/kernel_forms.h"

namespace quillet {
namespace {

// One frame pair and two motion maps of random content, laid out as the driver lays them out:
// frames at the frame's own width as stride, maps at the motion buffers' pitch.
struct BenchFrame {
  int width;
  int height;
  int pitch;
  std::vector<Pixel> source;
  std::vector<Pixel> filtered;
  std::vector<int16_t> prev;
  std::vector<int16_t> next;

  BenchFrame(int w, int h)
      : width(w),
        height(h),
        pitch(mapPitchFor(w)),
        source(static_cast<size_t>(w * h)),
        filtered(source.size()),
        prev(static_cast<size_t>(pitch * h)),
        next(prev.size()) {
    std::mt19937 gen(2026);
    std::uniform_int_distribution<int> sample(-2048, 4096);
    std::uniform_int_distribution<int> weight(0, 4096);
    for (auto* frame : {&source, &filtered}) {
      for (Pixel& p : *frame) {
        p = Pixel{static_cast<int16_t>(sample(gen)), static_cast<int16_t>(sample(gen)),
                  static_cast<int16_t>(sample(gen))};
      }
    }
    for (auto* map : {&prev, &next}) {
      for (int16_t& v : *map) v = static_cast<int16_t>(weight(gen));
    }
  }
};

// Arguments: width, height, mode. Bytes are those of one frame's pixels blended per call.
void BM_Blend(benchmark::State& state, RowStage stage) {
  BenchFrame frame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  NeighbourSlot prevSlot{frame.prev.data(), 1, frame.width, frame.height, 0, frame.height};
  NeighbourSlot nextSlot{frame.next.data(), 2, frame.width, frame.height, 0, frame.height};
  NeighbourSlot* slots[2] = {&prevSlot, &nextSlot};
  RowJob job{};
  job.source = frame.source.data();
  job.other = frame.filtered.data();
  job.selector = static_cast<int32_t>(state.range(2));
  job.height = frame.height;
  job.width = frame.width;
  job.stride = frame.width;
  job.bandTop = 0;
  job.bandEnd = frame.height;
  MotionState maps{};
  maps.pitch = frame.pitch;
  RowCounters counters;
  job.counters = &counters;
  job.motion = &maps;
  for (auto _ : state) {
    counters.rows = 0;
    stage(0, 1, &job, slots);
    benchmark::ClobberMemory();
  }
  const int64_t pixels = int64_t{frame.width} * frame.height;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() * pixels * static_cast<int64_t>(sizeof(Pixel)));
}

void BM_MotionDisplay(benchmark::State& state) {
  BenchFrame frame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const int mode = static_cast<int>(state.range(2));
  for (auto _ : state) {
    MotionDisplay(frame.width, frame.height, frame.filtered.data(), frame.prev.data(),
                  frame.next.data(), mode, frame.width, frame.pitch);
    benchmark::ClobberMemory();
  }
  const int64_t pixels = int64_t{frame.width} * frame.height;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() * pixels * static_cast<int64_t>(sizeof(Pixel)));
}

void frameSizesAndModes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"width", "height", "mode"});
  for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{720, 576}}) {
    for (int mode = 0; mode < 3; ++mode) b->Args({w, h, mode});
  }
}

int registerBlendBenchmarks() {
  for (const test::KernelForm& form : test::formsWith(&test::KernelForm::blendStage, true)) {
    if (!test::formRuns(form)) continue;
    benchmark::RegisterBenchmark((std::string("BM_Blend/") + form.name).c_str(), BM_Blend,
                                 form.blendStage)
        ->Apply(frameSizesAndModes);
  }
  return 0;
}
const int registered = registerBlendBenchmarks();

BENCHMARK(BM_MotionDisplay)->Apply(frameSizesAndModes);

}  // namespace
}  // namespace quillet

BENCHMARK_MAIN();
