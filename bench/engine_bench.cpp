// The engine alone: frames written into the memory the engine lends (quillet_frame_buffer, not
// timed), pushed in place and pulled, steady state (the engine and its workers are made outside
// the timed loop). Per format, worker count, tap and the
// next-frame setting, with motion adaptation at its default; at tap 0 also with deint 2
// (combed), whose detector finds every frame combed (the band's picture moves between the two
// fields of a frame); and with each vector kernel set forced (cpu: 0 auto, else a QuilletCpu).
// Besides the time per frame:
//   x_memcpy  - that time as a multiple of one memcpy of the input frame, timed in the same
//               run right after the frames;
//   memory_MB - the engine's frame memory (stored frames, maps, strip buffers).
// Run with --benchmark_repetitions=N and read the medians.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "include/quillet/quillet.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
  const char* name;
  QuilletLayout layout;
  int depth;
  int32_t width;
  int32_t height;
};

constexpr Case kCases[] = {
    {"420p8_1080", QUILLET_LAYOUT_420, 8, 1920, 1080},
    {"420p10_1080", QUILLET_LAYOUT_420, 10, 1920, 1080},
    {"ycc16_1080", QUILLET_LAYOUT_YCC16, 16, 1920, 1080},
    {"420p8_2160", QUILLET_LAYOUT_420, 8, 3840, 2160},
    {"422p8_1080", QUILLET_LAYOUT_422, 8, 1920, 1080},
    {"nv12_1080", QUILLET_LAYOUT_NV12, 8, 1920, 1080},
    {"yuy2_1080", QUILLET_LAYOUT_YUY2, 8, 1920, 1080},
};

QuilletFrame planesOf(const QuilletConfig& c, uint8_t* data) {
  QuilletFrame frame;
  quillet_frame_layout(&c, data, &frame);
  return frame;
}

size_t frameBytes(const QuilletConfig& c) { return quillet_frame_layout(&c, nullptr, nullptr); }

// Four frames: a textured still background with a band whose smooth picture moves 4 samples a
// field, woven: even rows from one moment, odd rows from the next. Every plane's samples are
// placed by the pixels they cover, so the band moves in the same columns of every plane.
std::vector<std::vector<uint8_t>> makeFrames(const QuilletConfig& c, const Case& k) {
  const size_t bytes = frameBytes(c);
  std::vector<std::vector<uint8_t>> frames(4, std::vector<uint8_t>(bytes));
  const size_t sample = k.layout == QUILLET_LAYOUT_YCC16 ? 2 : (k.depth > 8 ? 2 : 1);
  const uint32_t maxCode = k.layout == QUILLET_LAYOUT_YCC16 ? 4095u : (1u << k.depth) - 1u;
  for (size_t f = 0; f < frames.size(); ++f) {
    size_t i = 0;
    for (int p = 0; p < 3; ++p) {
      const auto rows = static_cast<size_t>(quillet_plane_rows(&c, p));
      const size_t rowSamples = quillet_plane_row_bytes(&c, p) / sample;
      for (size_t r = 0; r < rows; ++r) {
        for (size_t s = 0; s < rowSamples; ++s, i += sample) {
          const size_t x = s * static_cast<size_t>(k.width) / rowSamples;
          const size_t y = r * static_cast<size_t>(k.height) / rows;
          const bool moving = x >= 600 + 40 * f && x < 1200 + 40 * f;
          const double at = static_cast<double>(x) - 4.0 * static_cast<double>(2 * f + (y & 1));
          const double wave = 0.5 + 0.3 * std::sin(at * 0.05) +
                              0.15 * std::sin(at * 0.013 + static_cast<double>(y) * 0.02);
          const uint32_t v = moving ? static_cast<uint32_t>(wave * maxCode)
                                    : static_cast<uint32_t>(i * 2654435761u) % maxCode;
          std::memcpy(&frames[f][i], &v, sample);
        }
      }
    }
  }
  return frames;
}

void engineFrames(benchmark::State& state, const Case& k) {
  QuilletConfig c;
  quillet_default_config(&c);
  c.width = k.width;
  c.height = k.height;
  c.layout = k.layout;
  c.bit_depth = k.depth;
  c.threads = static_cast<int32_t>(state.range(0));
  c.settings.tap = static_cast<int32_t>(state.range(1));
  c.settings.next_frame = static_cast<int32_t>(state.range(2));
  c.settings.deint = static_cast<int32_t>(state.range(3));
  c.cpu = static_cast<QuilletCpu>(state.range(4));
  QuilletEngine* engine = nullptr;
  if (quillet_create(&c, &engine) != QUILLET_OK) {
    state.SkipWithError(quillet_error_message(nullptr));
    return;
  }
  auto frames = makeFrames(c, k);
  std::vector<uint8_t> out(frameBytes(c));
  QuilletFrame outPlanes = planesOf(c, out.data());
  size_t next = 0;
  double seconds = 0;
  // One frame: written into the memory the engine lends, as a reader's read() would (not
  // timed), then pushed in place and the ready frame pulled (timed).
  const auto step = [&] {
    QuilletFrame lent;
    while (quillet_frame_buffer(engine, &lent) == QUILLET_AGAIN) {
      quillet_pull(engine, &outPlanes, nullptr);
    }
    const std::vector<uint8_t>& frame = frames[next++ % frames.size()];
    std::memcpy(lent.planes[0], frame.data(), frame.size());
    const auto start = Clock::now();
    quillet_push_buffer(engine, 1);
    quillet_pull(engine, &outPlanes, nullptr);
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  for (int i = 0; i < 3; ++i) step();
  for (auto _ : state) seconds += step();
  // One memcpy of the input frame, best of a few, right after the frames.
  std::vector<uint8_t> copy(frameBytes(c));
  double copySeconds = 1e9;
  for (int i = 0; i < 8; ++i) {
    const auto start = Clock::now();
    std::memcpy(copy.data(), frames[static_cast<size_t>(i) % frames.size()].data(), copy.size());
    benchmark::DoNotOptimize(copy.data());
    copySeconds =
        std::min(copySeconds, std::chrono::duration<double>(Clock::now() - start).count());
  }
  const double perFrame = seconds / static_cast<double>(state.iterations());
  state.counters["ms_per_frame"] = perFrame * 1e3;
  state.counters["fps"] = 1.0 / perFrame;
  state.counters["x_memcpy"] = perFrame / copySeconds;
  state.counters["memory_MB"] = static_cast<double>(quillet_engine_memory(engine)) / 1e6;
  quillet_destroy(engine);
}

const bool registered = [] {
  for (const Case& k : kCases) {
    auto* b = benchmark::RegisterBenchmark((std::string("Engine/") + k.name).c_str(),
                                           [&k](benchmark::State& s) { engineFrames(s, k); });
    b->ArgNames({"workers", "tap", "next", "deint", "cpu"})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    for (int64_t workers : {1, 2}) {
      for (int64_t tap : {0, 6}) {
        for (int64_t next : {0, 1}) b->Args({workers, tap, next, QUILLET_DEINT_ALL, 0});
      }
      b->Args({workers, 0, 0, QUILLET_DEINT_COMBED, 0});
    }
    // The vector sets side by side, one worker (a set the processor lacks is skipped).
    for (int64_t cpu : {QUILLET_CPU_SSE2, QUILLET_CPU_AVX2, QUILLET_CPU_AVX512}) {
      for (int64_t tap : {0, 6}) b->Args({1, tap, 0, QUILLET_DEINT_ALL, cpu});
    }
  }
  return true;
}();

}  // namespace
BENCHMARK_MAIN();
