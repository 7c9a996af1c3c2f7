// Difference-map and motion-map stages in every form on one thread, at two frame sizes.
// Throughput is counted in bytes of one frame (width x height pixels of 6 bytes) per run, so
// the forms and both stages line up.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "motion/motion.h"
#include "motion/motion_state.h"
#include "rows/row_job.h"
#include "tests/support/kernel_forms.h"

namespace quillet {
namespace {

// The maps, weights and counters the stages under test use.
MotionState motionState{};
MotionWeights motionWeights{};
RowCounters counters;

struct Frames {
  int32_t width;
  int32_t height;
  Pixel* current;
  Pixel* neighbour;
};

// 16-byte-aligned random frames, rows `width` pixels apart, made once per size.
Frames& framesFor(int32_t width, int32_t height) {
  static std::vector<Frames> made;
  for (Frames& f : made) {
    if (f.width == width && f.height == height) return f;
  }
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * sizeof(Pixel);
  auto* current = static_cast<Pixel*>(std::aligned_alloc(16, (bytes + 15) / 16 * 16));
  auto* neighbour = static_cast<Pixel*>(std::aligned_alloc(16, (bytes + 15) / 16 * 16));
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> sample(-2048, 4096);
  for (size_t i = 0; i < bytes / sizeof(Pixel); ++i) {
    const auto y = static_cast<int16_t>(sample(rng));
    current[i] = {y, static_cast<int16_t>(sample(rng) / 2), static_cast<int16_t>(sample(rng) / 2)};
    // Mostly still, some motion.
    neighbour[i] = current[i];
    if (rng() % 4 == 0) neighbour[i].y = static_cast<int16_t>(y + sample(rng) / 8);
  }
  made.push_back({width, height, current, neighbour});
  return made.back();
}

RowJob jobFor(const Frames& f, int32_t hardLimit) {
  RowJob job{};
  job.source = f.current;
  job.other = f.neighbour;
  job.height = f.height;
  job.width = f.width;
  job.stride = f.width;
  job.bandTop = 0;
  job.bandEnd = f.height;
  job.hardLimit = hardLimit;
  job.counters = &counters;
  job.motion = &motionState;
  job.weights = &motionWeights;
  return job;
}

void setBytes(benchmark::State& state, const Frames& f) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * f.width * f.height *
                          static_cast<int64_t>(sizeof(Pixel)));
}

void diffStage(benchmark::State& state, RowStage stage) {
  Frames& f = framesFor(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  if (ensureMotionBuffers(motionState, f.height, f.width) == 0) {
    state.SkipWithError("no motion buffers");
    return;
  }
  RowJob job = jobFor(f, 0);
  for (auto _ : state) {
    stage(0, 1, &job, nullptr);
    benchmark::ClobberMemory();
  }
  setBytes(state, f);
}

void motionMapStage(benchmark::State& state, RowStage stage) {
  Frames& f = framesFor(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  if (ensureMotionBuffers(motionState, f.height, f.width) == 0) {
    state.SkipWithError("no motion buffers");
    return;
  }
  BuildWeightsScalar(&motionWeights, 8 * 24);
  RowJob job = jobFor(f, static_cast<int32_t>(state.range(2)));
  DiffStageScalar(0, 1, &job, nullptr);
  for (auto _ : state) {
    stage(0, 1, &job, &motionState.slot[0]);
    benchmark::ClobberMemory();
  }
  setBytes(state, f);
}

void registerAll() {
  for (const test::KernelForm& form : test::formsWith(&test::KernelForm::diffStage, true)) {
    if (!test::formRuns(form)) continue;
    benchmark::RegisterBenchmark((std::string("DiffStage/") + form.name).c_str(), diffStage,
                                 form.diffStage)
        ->ArgNames({"w", "h"})
        ->Args({1920, 1080})
        ->Args({720, 576});
    if (form.motionStage == nullptr) continue;
    benchmark::RegisterBenchmark((std::string("MotionMapStage/") + form.name).c_str(),
                                 motionMapStage, form.motionStage)
        ->ArgNames({"w", "h", "limit"})
        ->Args({1920, 1080, 0})
        ->Args({1920, 1080, 128})
        ->Args({720, 576, 0})
        ->Args({720, 576, 128});
  }
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quillet::registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  quillet::releaseMotionState(quillet::motionState);
  return 0;
}
