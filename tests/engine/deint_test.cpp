#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "include/quillet/quillet.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/woven_clip.h"

namespace quillet {
namespace {

using Frame = std::vector<uint8_t>;

struct EngineRun {
  std::vector<Frame> frames;
  std::vector<QuilletFrameInfo> info;
};

QuilletFrame planesOf(const QuilletConfig& c, uint8_t* data) {
  QuilletFrame frame;
  quillet_frame_layout(&c, data, &frame);
  return frame;
}

// Every frame through one engine; marks empty: plain pushes.
EngineRun runEngine(QuilletConfig c, const std::vector<Frame>& clip,
                    const std::vector<int>& marks) {
  QuilletEngine* engine = nullptr;
  EXPECT_EQ(quillet_create(&c, &engine), QUILLET_OK) << quillet_error_message(nullptr);
  EngineRun run;
  if (engine == nullptr) return run;
  const auto drain = [&] {
    for (;;) {
      Frame out(clip[0].size());
      QuilletFrame planes = planesOf(c, out.data());
      QuilletFrameInfo info{};
      if (quillet_pull_info(engine, &planes, &info) != QUILLET_OK) return;
      EXPECT_EQ(info.frame_number, static_cast<int64_t>(run.frames.size()));
      run.frames.push_back(std::move(out));
      run.info.push_back(info);
    }
  };
  for (size_t k = 0; k < clip.size(); ++k) {
    Frame copy = clip[k];
    const QuilletFrame planes = planesOf(c, copy.data());
    const QuilletStatus status = marks.empty() ? quillet_push(engine, &planes)
                                               : quillet_push_marked(engine, &planes, marks[k]);
    EXPECT_EQ(status, QUILLET_OK) << quillet_error_message(engine);
    drain();
  }
  EXPECT_EQ(quillet_flush(engine), QUILLET_OK);
  drain();
  quillet_destroy(engine);
  EXPECT_EQ(run.frames.size(), clip.size());
  return run;
}

QuilletConfig configOf(QuilletLayout layout, int depth, int32_t w, int32_t h, int next,
                       int threads) {
  QuilletConfig c;
  quillet_default_config(&c);
  c.width = w;
  c.height = h;
  c.layout = layout;
  c.bit_depth = depth;
  c.settings.next_frame = next;
  c.settings.use_max = next;
  c.threads = threads;
  return c;
}

std::vector<Frame> randomClip(const QuilletConfig& c, int frames, uint64_t seed) {
  size_t bytes = 0;
  for (int p = 0; p < 3; ++p)
    bytes += quillet_plane_row_bytes(&c, p) * static_cast<size_t>(quillet_plane_rows(&c, p));
  test::Prng prng(seed);
  std::vector<Frame> clip(static_cast<size_t>(frames), Frame(bytes));
  for (Frame& f : clip) {
    for (uint8_t& b : f) b = static_cast<uint8_t>(prng.range(0, 255));
  }
  return clip;
}

// With marks, exactly the marked frames are filtered, each as `all` filters it (the motion maps
// of the frames around a passed one included); the others come out as they went in.
TEST(EngineDeint, InterlacedFiltersExactlyTheMarkedFrames) {
  struct Case {
    QuilletLayout layout;
    int depth;
    int next;
    int threads;
  };
  const Case cases[] = {{QUILLET_LAYOUT_420, 8, 0, 1},
                        {QUILLET_LAYOUT_420, 8, 1, 3},
                        {QUILLET_LAYOUT_422, 14, 1, 2},
                        {QUILLET_LAYOUT_YCC16, 16, 0, 2}};
  const std::vector<int> marks = {1, 0, 1, 1, 0, 0, 1, 0, 1};
  for (const Case& t : cases) {
    SCOPED_TRACE("layout " + std::to_string(t.layout) + " next " + std::to_string(t.next));
    QuilletConfig c = configOf(t.layout, t.depth, 23, 37, t.next, t.threads);
    const auto clip = randomClip(c, static_cast<int>(marks.size()), 9);
    const EngineRun all = runEngine(c, clip, {});
    const EngineRun allMarked = runEngine(c, clip, marks);
    c.settings.deint = QUILLET_DEINT_INTERLACED;
    const EngineRun unmarked = runEngine(c, clip, {});
    const EngineRun some = runEngine(c, clip, marks);
    ASSERT_EQ(some.frames.size(), clip.size());
    for (size_t k = 0; k < clip.size(); ++k) {
      EXPECT_TRUE(allMarked.frames[k] == all.frames[k]) << "marks change nothing under all";
      EXPECT_TRUE(unmarked.frames[k] == all.frames[k]) << "a plain push is marked interlaced";
      EXPECT_EQ(some.info[k].filtered, marks[k]) << "frame " << k;
      EXPECT_TRUE(some.frames[k] == (marks[k] ? all.frames[k] : clip[k])) << "frame " << k;
      // The first frame has nothing to move against; every later one must change.
      if (k > 0) {
        EXPECT_NE(all.frames[k], clip[k]) << "an unchanged frame would prove nothing";
      }
    }
  }
}

Frame payloadOf(const test::WovenFrame& f) { return f.payload; }

// On a woven clip the detector filters the woven frames that show combing and passes the
// progressive ones (the one-row stripes above all), the same for any worker count and kernel
// set; what it filters is what `all` gives and what it passes is the input.
TEST(EngineDeint, CombedFindsTheWovenFrames) {
  const auto woven = test::makeWovenClip(192, 128, 24);
  std::vector<Frame> clip;
  for (const auto& f : woven) clip.push_back(payloadOf(f));
  QuilletConfig c = configOf(QUILLET_LAYOUT_420, 8, 192, 128, 0, 1);
  const EngineRun all = runEngine(c, clip, {});
  c.settings.deint = QUILLET_DEINT_COMBED;
  const EngineRun one = runEngine(c, clip, {});
  std::vector<EngineRun> others;
  c.threads = 3;
  for (const QuilletCpu cpu : {QUILLET_CPU_SCALAR, QUILLET_CPU_SSE2, QUILLET_CPU_AUTO}) {
    c.cpu = cpu;
    if (quillet_cpu_supported(cpu)) others.push_back(runEngine(c, clip, {}));
  }
  ASSERT_EQ(one.frames.size(), clip.size());
  size_t right = 0, judged = 0;
  for (size_t k = 0; k < clip.size(); ++k) {
    SCOPED_TRACE("frame " + std::to_string(k) + " " + woven[k].kind);
    for (const EngineRun& other : others) {
      EXPECT_EQ(one.info[k].comb_score, other.info[k].comb_score);
      EXPECT_TRUE(one.frames[k] == other.frames[k]);
    }
    EXPECT_TRUE(one.frames[k] == (one.info[k].filtered ? all.frames[k] : clip[k]));
    if (woven[k].truth == test::Truth::kWovenStill) continue;
    ++judged;
    const bool wovenFrame = woven[k].truth == test::Truth::kWoven;
    right += (one.info[k].filtered != 0) == wovenFrame;
    if (woven[k].kind == "stripes" && !wovenFrame) {
      EXPECT_EQ(one.info[k].filtered, 0);
    }
  }
  // The field-pairing gate costs this small clip frames next to a change of section and woven
  // frames whose motion is a few sprites over still one-row stripes (docs/DEINT.md).
  EXPECT_GE(right * 100, judged * 80) << right << " of " << judged << " right";
}

// Generated pictures of 50 frames a second, woven two by two into interlaced frames or taken
// one in two as progressive ones: the detector filters every woven frame and no progressive
// one, the first and last included. Grain on still pictures, one-row stripes, vertical pans and
// scrolling text are where a four-row alternation count alone goes wrong.
TEST(EngineDeint, CombedTellsTwoMomentsFromDetail) {
  constexpr int32_t kW = 256, kH = 160, kFrames = 10;
  // A photograph-like picture: smooth shading with detail at several scales.
  const auto photo = [](double x, double y) {
    return 120 + 45 * std::sin(x * 0.045 + 0.6 * std::sin(y * 0.031)) +
           30 * std::sin(y * 0.07 + x * 0.013) + 20 * std::sin((x + y) * 0.19) +
           (std::fmod(x * 0.37 + y * 0.11, 17.0) < 2 ? 40 : 0);
  };
  // Lines of text-like glyphs: strokes of one or two pixels, light on black, no two alike.
  const auto text = [](double x, double y) {
    const int line = static_cast<int>(std::floor(y / 21)), row = static_cast<int>(y) - 21 * line;
    const int glyph = static_cast<int>(x) / 9, col = static_cast<int>(x) % 9;
    const int h = (line * 7919 + glyph * 104729) % 97;
    if (row > 13 || col > 6 || h % 5 == 0) return 16.0;
    const bool stroke =
        col == h % 3 || col == 5 + h % 2 || row == h % 4 || row == 6 + h % 3 || row == 12 + h % 2;
    return stroke ? 235.0 : 16.0;
  };
  using Picture = std::function<double(int32_t x, int32_t y, int t)>;
  struct Case {
    const char* name;
    Picture picture;
    int grain;   // standard deviation of new noise in every frame
    bool moves;  // false: a still picture, whose woven frames hold nothing to find
  };
  const std::vector<Case> cases = {
      {"still photo, grain 6", [&](int32_t x, int32_t y, int) { return photo(x, y); }, 6, false},
      {"still photo, grain 12", [&](int32_t x, int32_t y, int) { return photo(x, y); }, 12, false},
      {"still photo, grain 20", [&](int32_t x, int32_t y, int) { return photo(x, y); }, 20, false},
      {"moving photo, grain 12",
       [&](int32_t x, int32_t y, int t) { return photo(x + 3 * t, y + t); }, 12, true},
      {"vertical pan, 2 rows a field",
       [&](int32_t x, int32_t y, int t) { return photo(x, y + 2 * t); }, 0, true},
      // Rows shift by half a row between the fields and never alternate; a little grain.
      {"vertical pan, half a row a field, grain 3",
       [&](int32_t x, int32_t y, int t) { return photo(0.6 * x, 0.6 * (y + 0.5 * t)); }, 3, true},
      {"vertical pan, half a row a field, soft photo, grain 2",
       [&](int32_t x, int32_t y, int t) { return photo(0.4 * x, 0.4 * (y + 0.5 * t)); }, 2, true},
      // Frames 4 and 5 lie next to a cut: one neighbour shows the other scene.
      {"vertical pan, 2 rows a field, a cut",
       [&](int32_t x, int32_t y, int t) {
         return t < 10 ? photo(x, y + 2 * t) : photo(1.5 * x + 90, 1.5 * (y + 2 * t) + 40);
       },
       0, true},
      {"scrolling text, 2 rows a field",
       [&](int32_t x, int32_t y, int t) { return text(x, y + 2 * t); }, 0, true},
      {"one-row stripes drifting",
       [](int32_t, int32_t y, int t) { return 128 + 90 * std::cos(M_PI * (y - 0.3 * t)); }, 0,
       true},
      {"small window over a still photo",
       [&](int32_t x, int32_t y, int t) {
         const bool inside = x >= 40 + 4 * t && x < 64 + 4 * t && y >= 60 && y < 84;
         return inside ? photo(1.7 * x + 300, 1.3 * y) : photo(x, y);
       },
       0, true},
  };
  QuilletConfig c = configOf(QUILLET_LAYOUT_MONO, 8, kW, kH, 0, 1);
  c.settings.deint = QUILLET_DEINT_COMBED;
  for (const Case& k : cases) {
    test::Prng prng(7);
    std::vector<Frame> moments;  // 50 a second
    for (int t = 0; t < 2 * kFrames; ++t) {
      Frame f(static_cast<size_t>(kW) * kH);
      for (int32_t y = 0; y < kH; ++y) {
        for (int32_t x = 0; x < kW; ++x) {
          const int noise = k.grain == 0
                                ? 0
                                : prng.range(-k.grain, k.grain) + prng.range(-k.grain, k.grain) +
                                      prng.range(-k.grain, k.grain);
          const long v = std::lrint(k.picture(x, y, t)) + noise;
          f[static_cast<size_t>(y) * kW + static_cast<size_t>(x)] =
              static_cast<uint8_t>(std::clamp(v, 0L, 255L));
        }
      }
      moments.push_back(std::move(f));
    }
    for (const bool woven : {false, true}) {
      if (woven && !k.moves) continue;
      std::vector<Frame> clip;
      for (int n = 0; n < kFrames; ++n) {
        Frame f = moments[static_cast<size_t>(2 * n)];
        for (int32_t y = 1; woven && y < kH; y += 2) {
          std::copy_n(moments[static_cast<size_t>(2 * n + 1)].begin() + y * kW, kW,
                      f.begin() + y * kW);
        }
        clip.push_back(std::move(f));
      }
      const EngineRun run = runEngine(c, clip, {});
      std::string decisions;
      for (const QuilletFrameInfo& info : run.info) decisions += info.filtered != 0 ? 'F' : '.';
      EXPECT_EQ(decisions, std::string(kFrames, woven ? 'F' : '.'))
          << k.name << (woven ? ", woven" : ", progressive");
    }
  }
}

// A one-frame clip has only itself on either side, which tells nothing: it passes, even when its
// odd rows fit between the even rows exactly and the even rows fit nowhere.
TEST(EngineDeint, CombedPassesAOneFrameClip) {
  constexpr int32_t kW = 64, kH = 48;
  test::Prng prng(11);
  Frame f(static_cast<size_t>(kW) * kH);
  for (int32_t y = 0; y < kH; y += 2) {
    for (int32_t x = 0; x < kW; ++x) {
      f[static_cast<size_t>(y * kW + x)] = static_cast<uint8_t>(prng.range(0, 255));
    }
  }
  for (int32_t y = 1; y < kH; y += 2) {
    for (int32_t x = 0; x < kW; ++x) {
      const int32_t below = y + 1 < kH ? f[static_cast<size_t>((y + 1) * kW + x)] : 0;
      f[static_cast<size_t>(y * kW + x)] =
          static_cast<uint8_t>((f[static_cast<size_t>((y - 1) * kW + x)] + below) / 2);
    }
  }
  QuilletConfig c = configOf(QUILLET_LAYOUT_MONO, 8, kW, kH, 0, 1);
  c.settings.deint = QUILLET_DEINT_COMBED;
  const EngineRun run = runEngine(c, {f}, {});
  ASSERT_EQ(run.info.size(), 1u);
  EXPECT_EQ(run.info[0].filtered, 0);
  EXPECT_TRUE(run.frames[0] == f);
}

}  // namespace
}  // namespace quillet
