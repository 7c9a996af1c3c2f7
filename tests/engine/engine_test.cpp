#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/y4m.h"
#include "include/quillet/quillet.h"
#include "standin/clip.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/kernel_forms.h"

namespace quillet {
namespace {

using Frame = std::vector<uint8_t>;  // one frame's planes back to back, rows packed

struct Shape {
  QuilletLayout layout;
  int depth;
  int32_t width;
  int32_t height;
};

QuilletConfig configOf(const Shape& shape, const QuilletSettings& settings, int threads,
                       QuilletCpu cpu) {
  QuilletConfig c;
  quillet_default_config(&c);
  c.width = shape.width;
  c.height = shape.height;
  c.layout = shape.layout;
  c.bit_depth = shape.depth;
  c.settings = settings;
  c.threads = threads;
  c.cpu = cpu;
  return c;
}

Y4mFormat y4mFormatOf(const Shape& s) {
  Y4mFormat f;
  f.width = s.width;
  f.height = s.height;
  f.bitDepth = s.depth;
  const ChromaLayout layouts[] = {ChromaLayout::k444,  ChromaLayout::k422,  ChromaLayout::k420,
                                  ChromaLayout::kMono, ChromaLayout::kMono, ChromaLayout::k411};
  if (s.layout != QUILLET_LAYOUT_YCC16) f.layout = layouts[s.layout];
  return f;
}

// Still background and moving blocks, every sample anywhere in its depth's code range (with
// `overRange`, its container's: codes above maxCode, which read as maxCode).
std::vector<Frame> makeClip(const Shape& shape, int frames, uint64_t seed, bool overRange = false) {
  test::Prng prng(seed);
  QuilletConfig c = configOf(shape, {}, 1, QUILLET_CPU_SCALAR);
  size_t bytes = 0;
  for (int p = 0; p < 3; ++p) {
    bytes += quillet_plane_row_bytes(&c, p) * static_cast<size_t>(quillet_plane_rows(&c, p));
  }
  const bool ycc = shape.layout == QUILLET_LAYOUT_YCC16;
  const int32_t maxCode = ycc ? 255 : (1 << (overRange && shape.depth > 8 ? 16 : shape.depth)) - 1;
  const auto sample = [&] { return static_cast<uint32_t>(prng.range(0, maxCode)); };
  const size_t sampleBytes = ycc ? 1 : (shape.depth > 8 ? 2 : 1);
  Frame background(bytes);
  for (size_t i = 0; i < bytes; i += sampleBytes) {
    const uint32_t v = sample();
    std::memcpy(&background[i], &v, sampleBytes);
  }
  std::vector<Frame> clip;
  for (int f = 0; f < frames; ++f) {
    Frame frame = background;
    const size_t blocks = 3;
    for (size_t b = 0; b < blocks; ++b) {
      const auto start = static_cast<size_t>(prng.range(0, static_cast<int32_t>(bytes) - 1));
      const auto length = static_cast<size_t>(prng.range(0, static_cast<int32_t>(bytes / 3)));
      for (size_t i = start / sampleBytes * sampleBytes; i < std::min(bytes, start + length);
           i += sampleBytes) {
        const uint32_t v = sample();
        std::memcpy(&frame[i], &v, sampleBytes);
      }
    }
    clip.push_back(std::move(frame));
  }
  return clip;
}

standin::Settings hostSettings(const QuilletSettings& s) {
  return standin::Settings{
      s.tap,         s.top, s.bottom, s.motion, s.motion2, s.show_motion != 0, s.next_frame != 0,
      s.use_max != 0};
}

// The plug-in's feature mask that installs the kernel set the engine runs for `cpu`.
CpuFeatures maskOf(QuilletCpu cpu) {
  for (const test::KernelForm& set : test::kernelSets()) {
    if (set.engineCpu == cpu) return set.setMask();
  }
  return standin::kAllCpuFeatures;
}

// The plug-in through its record and the stand-in host, samples converted as the CLI does.
std::vector<Frame> pluginPath(const Shape& shape, const std::vector<Frame>& clip,
                              const QuilletSettings& settings, QuilletCpu cpu) {
  const bool ycc = shape.layout == QUILLET_LAYOUT_YCC16;
  const Y4mFormat format = y4mFormatOf(shape);
  const SampleScale scale = ycc ? SampleScale{} : makeSampleScale(shape.depth);
  const auto pixels = static_cast<size_t>(shape.width) * static_cast<size_t>(shape.height);
  standin::Clip in{shape.width, shape.height, {}};
  for (const Frame& frame : clip) {
    std::vector<Pixel> p(pixels);
    if (ycc) {
      std::memcpy(p.data(), frame.data(), frame.size());
    } else {
      y4mFrameToPixels(format, scale, frame.data(), p.data(), shape.width);
    }
    in.frames.push_back(std::move(p));
  }
  standin::HostConfig config;
  config.threads = 1;
  config.cpuMask = maskOf(cpu);
  config.settings = hostSettings(settings);
  const standin::Clip out = standin::filterClip(config, in);
  std::vector<Frame> result;
  for (const auto& p : out.frames) {
    Frame frame(clip[0].size());
    if (ycc) {
      std::memcpy(frame.data(), p.data(), frame.size());
    } else {
      pixelsToY4mFrame(format, scale, p.data(), shape.width, frame.data());
    }
    result.push_back(std::move(frame));
  }
  return result;
}

QuilletFrame framePlanes(const QuilletConfig& c, uint8_t* data) {
  QuilletFrame frame;
  quillet_frame_layout(&c, data, &frame);
  return frame;
}

// The engine with the settings of frame k in effect when frame k comes out; with `inPlace` the
// frames are written into the engine's own memory (quillet_frame_buffer) as soon as it lends it.
std::vector<Frame> enginePath(const Shape& shape, const std::vector<Frame>& clip,
                              const std::vector<QuilletSettings>& perFrame, int threads,
                              QuilletCpu cpu, bool inPlace = false) {
  const QuilletConfig c = configOf(shape, perFrame[0], threads, cpu);
  QuilletEngine* engine = nullptr;
  EXPECT_EQ(quillet_create(&c, &engine), QUILLET_OK) << quillet_error_message(nullptr);
  if (engine == nullptr) return {};
  std::vector<Frame> out;
  const auto drain = [&] {
    for (;;) {
      const size_t k = out.size();
      if (k >= perFrame.size()) return;
      EXPECT_EQ(quillet_set_settings(engine, &perFrame[k]), QUILLET_OK);
      Frame frame(clip[0].size());
      QuilletFrame planes = framePlanes(c, frame.data());
      int64_t number = -1;
      const QuilletStatus status = quillet_pull(engine, &planes, &number);
      if (status != QUILLET_OK) return;
      EXPECT_EQ(number, static_cast<int64_t>(k));
      out.push_back(std::move(frame));
    }
  };
  for (const Frame& frame : clip) {
    Frame copy = frame;
    const QuilletFrame planes = framePlanes(c, copy.data());
    if (!inPlace) {
      EXPECT_EQ(quillet_push(engine, &planes), QUILLET_OK) << quillet_error_message(engine);
      drain();
      continue;
    }
    QuilletFrame lent;
    QuilletStatus status;
    while ((status = quillet_frame_buffer(engine, &lent)) == QUILLET_AGAIN) drain();
    EXPECT_EQ(status, QUILLET_OK) << quillet_error_message(engine);
    if (status != QUILLET_OK) break;
    // Filled while a frame may wait to be pulled: the lent memory is no neighbour of it.
    drain();
    for (int p = 0; p < 3 && planes.planes[p] != nullptr; ++p) {
      for (int32_t r = 0; r < quillet_plane_rows(&c, p); ++r) {
        std::memcpy(static_cast<uint8_t*>(lent.planes[p]) + r * lent.strides[p],
                    static_cast<uint8_t*>(planes.planes[p]) + r * planes.strides[p],
                    quillet_plane_row_bytes(&c, p));
      }
    }
    EXPECT_EQ(quillet_push_buffer(engine, 1), QUILLET_OK) << quillet_error_message(engine);
    drain();
  }
  EXPECT_EQ(quillet_flush(engine), QUILLET_OK);
  drain();
  Frame spare(clip[0].size());
  QuilletFrame planes = framePlanes(c, spare.data());
  EXPECT_EQ(quillet_pull(engine, &planes, nullptr), QUILLET_END);
  quillet_destroy(engine);
  return out;
}

std::vector<QuilletCpu> availableCpus() {
  std::vector<QuilletCpu> cpus;
  for (const test::KernelForm& set : test::kernelSets()) {
    if (quillet_cpu_supported(set.engineCpu) != 0) cpus.push_back(set.engineCpu);
  }
  return cpus;
}

QuilletSettings settingsOf(int32_t tap, int32_t top, int32_t bottom, int32_t motion,
                           int32_t motion2, int32_t show, int32_t next, int32_t max) {
  return QuilletSettings{tap, top, bottom, motion, motion2, show, next, max, QUILLET_DEINT_ALL, 0};
}

// Corners of the settings: every tap, empty and one-row bands, motion off, hard limit off and at
// its smallest, every blend mode, the display.
const std::vector<QuilletSettings> kCorners = {
    settingsOf(0, 0, 0, 24, 64, 0, 0, 0),   settingsOf(6, 0, 0, 24, 0, 1, 1, 1),
    settingsOf(3, 5, 3, 8, 1, 0, 1, 0),     settingsOf(5, 0, 0, 0, 64, 1, 1, 1),
    settingsOf(1, 256, 0, 24, 64, 0, 1, 1), settingsOf(2, 1, 0, 256, 256, 1, 0, 1),
    settingsOf(4, 2, 40, 1, 3, 0, 1, 1),    settingsOf(6, 0, 0, 3, 1, 0, 0, 0),
};

const std::vector<Shape> kShapes = {
    {QUILLET_LAYOUT_420, 8, 1, 1},      {QUILLET_LAYOUT_420, 8, 3, 7},
    {QUILLET_LAYOUT_420, 8, 17, 17},    {QUILLET_LAYOUT_420, 8, 37, 70},
    {QUILLET_LAYOUT_420, 16, 129, 131}, {QUILLET_LAYOUT_422, 10, 2, 3},
    {QUILLET_LAYOUT_422, 10, 7, 33},    {QUILLET_LAYOUT_444, 12, 7, 2},
    {QUILLET_LAYOUT_444, 12, 20, 35},   {QUILLET_LAYOUT_MONO, 16, 17, 3},
    {QUILLET_LAYOUT_MONO, 16, 9, 40},   {QUILLET_LAYOUT_420, 16, 9, 37},
    {QUILLET_LAYOUT_420, 9, 15, 19},    {QUILLET_LAYOUT_YCC16, 16, 1, 2},
    {QUILLET_LAYOUT_YCC16, 16, 13, 50}, {QUILLET_LAYOUT_411, 8, 1, 3},
    {QUILLET_LAYOUT_411, 8, 2, 5},      {QUILLET_LAYOUT_411, 10, 3, 4},
    {QUILLET_LAYOUT_411, 8, 5, 9},      {QUILLET_LAYOUT_411, 12, 7, 18},
    {QUILLET_LAYOUT_411, 8, 45, 33},    {QUILLET_LAYOUT_420, 8, 2, 129},
    {QUILLET_LAYOUT_422, 11, 129, 1},   {QUILLET_LAYOUT_420, 14, 7, 2},
};

std::string describe(const Shape& s, size_t settings, QuilletCpu cpu, int threads) {
  return "layout " + std::to_string(s.layout) + " depth " + std::to_string(s.depth) + " " +
         std::to_string(s.width) + "x" + std::to_string(s.height) + " settings " +
         std::to_string(settings) + " cpu " + std::to_string(cpu) + " threads " +
         std::to_string(threads);
}

TEST(EngineMatchesPlugin, EveryFormatAndSize) {
  const auto cpus = availableCpus();
  size_t turn = 0;
  for (const Shape& shape : kShapes) {
    const auto clip = makeClip(shape, 5, 100 + turn);
    for (int round = 0; round < 2; ++round, ++turn) {
      const size_t s = turn % kCorners.size();
      const QuilletCpu cpu = cpus[turn % cpus.size()];
      const auto want = pluginPath(shape, clip, kCorners[s], cpu);
      for (int threads : {1, 3}) {
        SCOPED_TRACE(describe(shape, s, cpu, threads));
        const auto got =
            enginePath(shape, clip, std::vector<QuilletSettings>(5, kCorners[s]), threads, cpu);
        EXPECT_TRUE(got == want);
      }
    }
  }
}

TEST(EngineMatchesPlugin, EverySettingKernelSetAndWorkerCount) {
  const Shape shape{QUILLET_LAYOUT_420, 8, 131, 130};
  const auto clip = makeClip(shape, 6, 7);
  for (QuilletCpu cpu : availableCpus()) {
    for (size_t s = 0; s < kCorners.size(); ++s) {
      const auto want = pluginPath(shape, clip, kCorners[s], cpu);
      for (int threads : {1, 2, 8}) {
        SCOPED_TRACE(describe(shape, s, cpu, threads));
        EXPECT_TRUE(enginePath(shape, clip, std::vector<QuilletSettings>(6, kCorners[s]), threads,
                               cpu) == want);
      }
    }
  }
}

// The first and last frames measure motion against their one neighbour, which stands in for
// the missing one, so their moving blocks are filtered as every other frame's are (they used to
// come out as they went in); the plug-in path, whose host mirrors the frame number, agrees. A
// one-frame clip has nothing to measure against.
TEST(EngineMatchesPlugin, FirstAndLastFramesAreFiltered) {
  const Shape shape{QUILLET_LAYOUT_420, 8, 40, 36};
  for (const int frames : {1, 2, 5}) {
    const auto clip = makeClip(shape, frames, 3);
    for (const QuilletSettings& settings :
         {settingsOf(0, 0, 0, 24, 64, 0, 0, 0), settingsOf(0, 0, 0, 24, 64, 0, 1, 0),
          settingsOf(0, 0, 0, 24, 64, 0, 1, 1)}) {
      SCOPED_TRACE(std::to_string(frames) + " frames, next " + std::to_string(settings.next_frame) +
                   " max " + std::to_string(settings.use_max));
      const auto got = enginePath(shape, clip, std::vector<QuilletSettings>(clip.size(), settings),
                                  1, QUILLET_CPU_AUTO);
      EXPECT_TRUE(got == pluginPath(shape, clip, settings, QUILLET_CPU_AUTO));
      ASSERT_EQ(got.size(), clip.size());
      EXPECT_EQ(got.front() != clip.front(), frames > 1);
      EXPECT_EQ(got.back() != clip.back(), frames > 1);
    }
  }
}

// The output of frame k is the plug-in's for frame k under the settings in effect for it: the
// plug-in drops its cached maps when the settings they depend on change.
TEST(EngineMatchesPlugin, SettingsChangedMidStream) {
  const Shape shape{QUILLET_LAYOUT_420, 10, 21, 40};
  const auto clip = makeClip(shape, 9, 11);
  const std::vector<size_t> pick = {0, 1, 1, 2, 6, 1, 3, 7, 1};
  std::vector<QuilletSettings> perFrame;
  for (size_t s : pick) perFrame.push_back(kCorners[s]);
  std::map<size_t, std::vector<Frame>> runs;
  for (size_t s : pick) {
    if (!runs.count(s)) runs[s] = pluginPath(shape, clip, kCorners[s], QUILLET_CPU_AUTO);
  }
  const auto got = enginePath(shape, clip, perFrame, 2, QUILLET_CPU_AUTO);
  ASSERT_EQ(got.size(), clip.size());
  for (size_t k = 0; k < clip.size(); ++k) {
    EXPECT_TRUE(got[k] == runs[pick[k]][k]) << "frame " << k;
  }
}

// ---- semi-planar and packed layouts: the samples of a planar layout at other addresses --------

struct PackedLayout {
  QuilletLayout layout;
  QuilletLayout planar;  // the planar equivalent
  int depth;             // of the planar equivalent
};

const PackedLayout kPackedLayouts[] = {
    {QUILLET_LAYOUT_NV12, QUILLET_LAYOUT_420, 8},  {QUILLET_LAYOUT_NV21, QUILLET_LAYOUT_420, 8},
    {QUILLET_LAYOUT_P010, QUILLET_LAYOUT_420, 10}, {QUILLET_LAYOUT_P016, QUILLET_LAYOUT_420, 16},
    {QUILLET_LAYOUT_YUY2, QUILLET_LAYOUT_422, 8},  {QUILLET_LAYOUT_UYVY, QUILLET_LAYOUT_422, 8},
    {QUILLET_LAYOUT_YVYU, QUILLET_LAYOUT_422, 8},
};

// A planar frame's samples in `layout`, `noise` in the bits below a high-bit code. At an odd width
// a packed row's last group repeats its Y.
Frame repack(const Frame& planar, const Shape& shape, QuilletLayout layout, test::Prng* noise) {
  const QuilletConfig from = configOf(shape, {}, 1, QUILLET_CPU_AUTO);
  QuilletConfig to = from;
  to.layout = layout;
  QuilletFrame in, out;
  quillet_frame_layout(&from, const_cast<uint8_t*>(planar.data()), &in);
  Frame result(quillet_frame_layout(&to, nullptr, nullptr));
  quillet_frame_layout(&to, result.data(), &out);
  const bool wide = shape.depth > 8;
  const int high = layout == QUILLET_LAYOUT_P010 ? 6 : 0;
  const auto get = [&](int p, int32_t x, int32_t y) -> uint32_t {
    const uint8_t* row = static_cast<const uint8_t*>(in.planes[p]) + y * in.strides[p];
    return wide ? uint32_t{row[2 * x]} | uint32_t{row[2 * x + 1]} << 8 : row[x];
  };
  const auto put = [&](int p, int32_t i, int32_t y, uint32_t v) {
    uint8_t* row = static_cast<uint8_t*>(out.planes[p]) + y * out.strides[p];
    if (!wide) {
      row[i] = static_cast<uint8_t>(v);
      return;
    }
    v = v << high | (noise != nullptr && high > 0 ? static_cast<uint32_t>(noise->range(0, 63)) : 0);
    row[2 * i] = static_cast<uint8_t>(v & 0xFF);
    row[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  };
  const int32_t pairs = (shape.width + 1) / 2;
  for (int32_t y = 0; y < shape.height; ++y) {
    if (shape.layout == QUILLET_LAYOUT_422) {
      // Byte offsets of Y0, Y1, Cb, Cr in a group.
      const int order = layout == QUILLET_LAYOUT_YUY2 ? 0 : layout == QUILLET_LAYOUT_UYVY ? 1 : 2;
      const int at[3][4] = {{0, 2, 1, 3}, {1, 3, 0, 2}, {0, 2, 3, 1}};
      for (int32_t c = 0; c < pairs; ++c) {
        const int32_t x1 = std::min(2 * c + 1, shape.width - 1);
        put(0, 4 * c + at[order][0], y, get(0, 2 * c, y));
        put(0, 4 * c + at[order][1], y, get(0, x1, y));
        put(0, 4 * c + at[order][2], y, get(1, c, y));
        put(0, 4 * c + at[order][3], y, get(2, c, y));
      }
      continue;
    }
    for (int32_t x = 0; x < shape.width; ++x) put(0, x, y, get(0, x, y));
    if (y >= (shape.height + 1) / 2) continue;
    const int first = layout == QUILLET_LAYOUT_NV21 ? 2 : 1;
    for (int32_t c = 0; c < pairs; ++c) {
      put(1, 2 * c, y, get(first, c, y));
      put(1, 2 * c + 1, y, get(3 - first, c, y));
    }
  }
  return result;
}

// Each layout through the engine gives its planar equivalent's output re-packed, byte for byte,
// with the comb detector too (P010's input carries noise below its codes, read and written as 0).
TEST(EngineLayouts, GiveTheirPlanarEquivalentsOutputRepacked) {
  QuilletSettings combed = kCorners[2];
  combed.deint = QUILLET_DEINT_COMBED;
  combed.comb_sensitivity = 100;
  QuilletSettings passed = combed;  // the detector passes most frames unchanged
  passed.comb_sensitivity = 1;
  const QuilletSettings settings[] = {kCorners[1], kCorners[2], combed, passed};
  const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {7, 5}, {33, 18}, {64, 35}};
  size_t turn = 0;
  for (const PackedLayout& l : kPackedLayouts) {
    for (const auto& [width, height] : sizes) {
      const Shape planar{l.planar, l.depth, width, height};
      const auto clip = makeClip(planar, 4, 300 + turn);
      std::vector<Frame> packed;
      test::Prng noise(turn);
      for (const Frame& f : clip) packed.push_back(repack(f, planar, l.layout, &noise));
      const QuilletSettings& s = settings[(turn + turn / std::size(sizes)) % std::size(settings)];
      const QuilletCpu cpu = availableCpus()[turn % availableCpus().size()];
      ++turn;
      SCOPED_TRACE("layout " + std::to_string(l.layout) + " " + std::to_string(width) + "x" +
                   std::to_string(height) + " cpu " + std::to_string(cpu));
      const auto want = enginePath(planar, clip, std::vector<QuilletSettings>(4, s), 2, cpu);
      const Shape shape{l.layout, l.depth, width, height};
      const auto got = enginePath(shape, packed, std::vector<QuilletSettings>(4, s), 2, cpu);
      ASSERT_EQ(got.size(), want.size());
      for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_TRUE(got[k] == repack(want[k], planar, l.layout, nullptr)) << "frame " << k;
      }
    }
  }
}

// A still picture with one rectangle that changes from frame to frame: the column blocks it
// misses are never low-passed, and must come out as the plug-in's all the same.
std::vector<Frame> movingRectangleClip(const Shape& shape, int frames, uint64_t seed,
                                       bool overRange) {
  test::Prng prng(seed);
  const QuilletConfig c = configOf(shape, {}, 1, QUILLET_CPU_SCALAR);
  const std::vector<Frame> noise = makeClip(shape, frames, seed, overRange);
  Frame background = noise[0];
  std::vector<Frame> clip;
  for (int f = 0; f < frames; ++f) {
    Frame frame = background;
    const int32_t x0 = prng.range(0, shape.width - 1), y0 = prng.range(0, shape.height - 1);
    const int32_t x1 = std::min(shape.width, x0 + 40), y1 = std::min(shape.height, y0 + 20);
    size_t planeAt = 0;
    for (int p = 0; p < 3 && quillet_plane_rows(&c, p) > 0; ++p) {
      const size_t rowBytes = quillet_plane_row_bytes(&c, p);
      const size_t sample = shape.depth > 8 ? 2 : 1;
      const int sx = p == 0 || shape.layout == QUILLET_LAYOUT_444 ? 0 : 1;
      const int sy = p == 0 || shape.layout != QUILLET_LAYOUT_420 ? 0 : 1;
      for (int32_t y = y0 >> sy; y <= (y1 - 1) >> sy; ++y) {
        const size_t at = planeAt + static_cast<size_t>(y) * rowBytes;
        const size_t from = static_cast<size_t>(x0 >> sx) * sample;
        const size_t to = static_cast<size_t>(((x1 - 1) >> sx) + 1) * sample;
        std::memcpy(&frame[at + from], &noise[static_cast<size_t>(f)][at + from], to - from);
      }
      planeAt += rowBytes * static_cast<size_t>(quillet_plane_rows(&c, p));
    }
    clip.push_back(std::move(frame));
  }
  return clip;
}

// Still blocks take their stored codes where every code of the depth comes back from its host
// value (8..12 bits; above maxCode as maxCode) and are encoded where it does not (14, 16 bits).
TEST(EngineMatchesPlugin, StillBlocksBesideMovingOnes) {
  const struct {
    Shape shape;
    bool overRange;
  } cases[] = {
      {{QUILLET_LAYOUT_420, 8, 129, 66}, false}, {{QUILLET_LAYOUT_422, 10, 97, 17}, false},
      {{QUILLET_LAYOUT_444, 16, 71, 33}, false}, {{QUILLET_LAYOUT_MONO, 12, 65, 21}, false},
      {{QUILLET_LAYOUT_420, 10, 99, 36}, true},  {{QUILLET_LAYOUT_420, 14, 67, 19}, true}};
  uint64_t seed = 300;
  for (const auto& [shape, overRange] : cases) {
    const auto clip = movingRectangleClip(shape, 6, seed++, overRange);
    for (QuilletCpu cpu : availableCpus()) {
      for (size_t s : {size_t{0}, size_t{2}, size_t{6}, size_t{7}}) {
        SCOPED_TRACE(describe(shape, s, cpu, 2));
        const auto want = pluginPath(shape, clip, kCorners[s], cpu);
        EXPECT_TRUE(enginePath(shape, clip, std::vector<QuilletSettings>(6, kCorners[s]), 2, cpu) ==
                    want);
      }
    }
  }
}

TEST(EngineInstances, RunAtOnceOnSeveralThreads) {
  // Frames large enough to be shared out to the workers, in strips of several per worker.
  const Shape shapes[] = {{QUILLET_LAYOUT_420, 8, 133, 128}, {QUILLET_LAYOUT_444, 10, 129, 130}};
  std::vector<Frame> clips[2], want[2], got[2];
  for (int i = 0; i < 2; ++i) {
    clips[i] = makeClip(shapes[i], 6, 50 + static_cast<uint64_t>(i));
    want[i] = enginePath(shapes[i], clips[i], std::vector<QuilletSettings>(6, kCorners[i + 1]), 1,
                         QUILLET_CPU_AUTO);
  }
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      got[i] = enginePath(shapes[i], clips[i], std::vector<QuilletSettings>(6, kCorners[i + 1]), 2,
                          QUILLET_CPU_AUTO);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(got[0] == want[0]);
  EXPECT_TRUE(got[1] == want[1]);
}

TEST(EngineApi, LatencyFollowsNextFrame) {
  for (int next : {0, 1}) {
    QuilletConfig c = configOf({QUILLET_LAYOUT_MONO, 8, 4, 4}, kCorners[0], 1, QUILLET_CPU_AUTO);
    c.settings.next_frame = next;
    QuilletEngine* e = nullptr;
    ASSERT_EQ(quillet_create(&c, &e), QUILLET_OK);
    Frame in(16, 100), out(16);
    QuilletFrame pin = framePlanes(c, in.data()), pout = framePlanes(c, out.data());
    EXPECT_EQ(quillet_pull(e, &pout, nullptr), QUILLET_AGAIN);
    ASSERT_EQ(quillet_push(e, &pin), QUILLET_OK);
    // Frame 0 waits for frame 1, which stands in for its missing previous frame.
    EXPECT_EQ(quillet_pull(e, &pout, nullptr), QUILLET_AGAIN);
    ASSERT_EQ(quillet_push(e, &pin), QUILLET_OK);
    EXPECT_EQ(quillet_push(e, &pin), QUILLET_AGAIN) << "a ready frame must be pulled first";
    EXPECT_EQ(quillet_pull(e, &pout, nullptr), QUILLET_OK);
    EXPECT_EQ(quillet_pull(e, &pout, nullptr), next ? QUILLET_AGAIN : QUILLET_OK);
    ASSERT_EQ(quillet_flush(e), QUILLET_OK);
    EXPECT_EQ(quillet_pull(e, &pout, nullptr), next ? QUILLET_OK : QUILLET_END);
    EXPECT_EQ(quillet_pull(e, &pout, nullptr), QUILLET_END);
    EXPECT_EQ(quillet_push(e, &pin), QUILLET_ERROR_STATE);
    EXPECT_STRNE(quillet_error_message(e), "");
    quillet_destroy(e);
  }
}

TEST(EngineApi, FramesFilledInPlaceComeOutAsCopiedOnes) {
  const Shape shapes[] = {{QUILLET_LAYOUT_420, 8, 37, 70}, {QUILLET_LAYOUT_422, 10, 7, 33}};
  for (const Shape& shape : shapes) {
    const auto clip = makeClip(shape, 7, 21);
    for (size_t s : {size_t{0}, size_t{2}, size_t{1}}) {
      SCOPED_TRACE(describe(shape, s, QUILLET_CPU_AUTO, 2));
      const std::vector<QuilletSettings> settings(7, kCorners[s]);
      EXPECT_TRUE(enginePath(shape, clip, settings, 2, QUILLET_CPU_AUTO, true) ==
                  enginePath(shape, clip, settings, 2, QUILLET_CPU_AUTO));
    }
  }
}

TEST(EngineApi, LentBufferMisuseIsAStateError) {
  QuilletConfig c = configOf({QUILLET_LAYOUT_420, 8, 6, 4}, kCorners[0], 1, QUILLET_CPU_AUTO);
  QuilletEngine* e = nullptr;
  ASSERT_EQ(quillet_create(&c, &e), QUILLET_OK);
  Frame data(36);
  const QuilletFrame copied = framePlanes(c, data.data());
  QuilletFrame lent, again;
  EXPECT_EQ(quillet_push_buffer(e, 1), QUILLET_ERROR_STATE) << "nothing lent";
  ASSERT_EQ(quillet_frame_buffer(e, &lent), QUILLET_OK);
  EXPECT_EQ(quillet_push(e, &copied), QUILLET_ERROR_STATE) << "lent and not pushed";
  ASSERT_EQ(quillet_frame_buffer(e, &again), QUILLET_OK);
  EXPECT_EQ(std::memcmp(&lent, &again, sizeof lent), 0) << "the same planes until pushed";
  EXPECT_EQ(quillet_push_buffer(e, 1), QUILLET_OK);
  EXPECT_EQ(quillet_push_buffer(e, 1), QUILLET_ERROR_STATE) << "pushed twice";
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(quillet_frame_buffer(e, &lent), QUILLET_OK) << "a fourth slot while frames wait";
    ASSERT_EQ(quillet_push_buffer(e, 0), QUILLET_OK);
  }
  EXPECT_EQ(quillet_frame_buffer(e, &lent), QUILLET_AGAIN) << "three frames wait to be pulled";
  EXPECT_EQ(quillet_flush(e), QUILLET_OK);
  EXPECT_EQ(quillet_push_buffer(e, 1), QUILLET_ERROR_STATE) << "after the flush";
  EXPECT_EQ(quillet_frame_buffer(e, &lent), QUILLET_ERROR_STATE) << "after the flush";
  EXPECT_STRNE(quillet_error_message(e), "");
  EXPECT_EQ(quillet_frame_buffer(e, nullptr), QUILLET_ERROR_ARGUMENT);
  quillet_destroy(e);
}

TEST(EngineApi, BadCallsReturnErrors) {
  QuilletConfig good = configOf({QUILLET_LAYOUT_420, 8, 6, 4}, kCorners[0], 1, QUILLET_CPU_AUTO);
  struct BadConfig {
    const char* what;
    void (*spoil)(QuilletConfig&);
    QuilletStatus status;
  };
  const BadConfig configs[] = {
      {"zero width", [](QuilletConfig& c) { c.width = 0; }, QUILLET_ERROR_ARGUMENT},
      {"huge height", [](QuilletConfig& c) { c.height = 40000; }, QUILLET_ERROR_ARGUMENT},
      {"depth 7", [](QuilletConfig& c) { c.bit_depth = 7; }, QUILLET_ERROR_ARGUMENT},
      {"depth 17", [](QuilletConfig& c) { c.bit_depth = 17; }, QUILLET_ERROR_ARGUMENT},
      {"layout 13", [](QuilletConfig& c) { c.layout = static_cast<QuilletLayout>(13); },
       QUILLET_ERROR_ARGUMENT},
      {"threads -1", [](QuilletConfig& c) { c.threads = -1; }, QUILLET_ERROR_ARGUMENT},
      {"cpu 7", [](QuilletConfig& c) { c.cpu = static_cast<QuilletCpu>(7); },
       QUILLET_ERROR_ARGUMENT},
      // A C caller may store any int; stored bytewise, as the enum cannot hold -1.
      {"layout -1", [](QuilletConfig& c) { std::memset(&c.layout, 0xFF, sizeof c.layout); },
       QUILLET_ERROR_ARGUMENT},
      {"cpu -1", [](QuilletConfig& c) { std::memset(&c.cpu, 0xFF, sizeof c.cpu); },
       QUILLET_ERROR_ARGUMENT},
  };
  for (const BadConfig& bad : configs) {
    QuilletConfig c = good;
    bad.spoil(c);
    QuilletEngine* e = reinterpret_cast<QuilletEngine*>(&c);
    EXPECT_EQ(quillet_create(&c, &e), bad.status) << bad.what;
    EXPECT_EQ(e, nullptr) << bad.what;
    EXPECT_STRNE(quillet_error_message(nullptr), "") << bad.what;
  }
  QuilletEngine* e = nullptr;
  EXPECT_EQ(quillet_create(nullptr, &e), QUILLET_ERROR_ARGUMENT);
  EXPECT_EQ(quillet_create(&good, nullptr), QUILLET_ERROR_ARGUMENT);
  ASSERT_EQ(quillet_create(&good, &e), QUILLET_OK);
  Frame data(64);
  const QuilletFrame valid = framePlanes(good, data.data());
  QuilletFrame noPlane = valid;
  noPlane.planes[2] = nullptr;
  QuilletFrame shortStride = valid;
  shortStride.strides[1] = 2;
  QuilletFrame negativeStride = valid;
  negativeStride.strides[0] = -6;
  const QuilletFrame* const badFrames[] = {nullptr, &noPlane, &shortStride, &negativeStride};
  for (const QuilletFrame* frame : badFrames) {
    EXPECT_EQ(quillet_push(e, frame), QUILLET_ERROR_ARGUMENT);
    EXPECT_STRNE(quillet_error_message(e), "");
    QuilletFrame out = frame == nullptr ? valid : *frame;
    EXPECT_EQ(quillet_pull(e, frame == nullptr ? nullptr : &out, nullptr), QUILLET_ERROR_ARGUMENT);
  }
  EXPECT_EQ(quillet_push(nullptr, &valid), QUILLET_ERROR_ARGUMENT);
  EXPECT_EQ(quillet_set_settings(e, nullptr), QUILLET_ERROR_ARGUMENT);
  quillet_destroy(e);
  quillet_destroy(nullptr);
}

}  // namespace
}  // namespace quillet
