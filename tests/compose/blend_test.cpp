#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "compose/compose.h"
#include "motion/motion_state.h"
#include "rows/row_claim.h"
#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

// The counters the stages under test claim rows from.
RowCounters counters;
// The maps' pitch the stages under test read.
MotionState maps{};

// Two frames, two maps at their own pitch and the job and slot pair a blend stage reads.
struct Scene {
  int width;
  int height;
  int stride;
  int pitch;
  int bandTop;
  int bandEnd;
  std::vector<Pixel> source;
  std::vector<Pixel> filtered;
  std::vector<int16_t> prev;
  std::vector<int16_t> next;
  NeighbourSlot prevSlot{};
  NeighbourSlot nextSlot{};
  NeighbourSlot* slots[2] = {&prevSlot, &nextSlot};

  Scene(int w, int h, int frameStride, int mapPitch, int top, int end)
      : width(w),
        height(h),
        stride(frameStride),
        pitch(mapPitch),
        bandTop(top),
        bandEnd(end),
        source(static_cast<size_t>(h * frameStride)),
        filtered(static_cast<size_t>(h * frameStride)),
        prev(static_cast<size_t>((end > top ? end - top : 0) * mapPitch + mapPitch)),
        next(prev.size()) {}

  Pixel& src(int row, int x) { return source[static_cast<size_t>(row * stride + x)]; }
  Pixel& dst(int row, int x) { return filtered[static_cast<size_t>(row * stride + x)]; }
  int16_t& prevAt(int mapRow, int x) { return prev[static_cast<size_t>(mapRow * pitch + x)]; }
  int16_t& nextAt(int mapRow, int x) { return next[static_cast<size_t>(mapRow * pitch + x)]; }

  RowJob job(int mode) {
    RowJob j{};
    j.source = source.data();
    j.other = filtered.data();
    j.selector = mode;
    j.height = height;
    j.width = width;
    j.stride = stride;
    j.bandTop = bandTop;
    j.bandEnd = bandEnd;
    j.counters = &counters;
    j.motion = &maps;
    return j;
  }

  // Points the slots at this scene's maps, publishes the map pitch and resets the counter, as
  // the driver does before a blend. Returns the job for `mode`.
  RowJob prepare(int mode) {
    slots[0] = &prevSlot;
    slots[1] = &nextSlot;
    prevSlot.map = prev.data();
    nextSlot.map = next.data();
    maps.pitch = pitch;
    counters.rows = 0;
    return job(mode);
  }

  // One run as thread 0 of 1.
  void run(RowStage stage, int mode) {
    RowJob j = prepare(mode);
    stage(0, 1, &j, slots);
  }
};

bool samePixel(const Pixel& a, const Pixel& b) {
  return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

// Filtered Y 4096 over source Y 0 makes the blended Y equal to the weight; filtered Cb/Cr 0
// over source -4096 makes them weight - 4096. So the weight a stage used can be read back.
void fillWeightProbe(Scene& s) {
  for (int r = 0; r < s.height; ++r) {
    for (int x = 0; x < s.stride; ++x) {
      s.dst(r, x) = Pixel{4096, 0, 0};
      s.src(r, x) = Pixel{0, -4096, -4096};
    }
  }
}

void fillRandomFrames(Scene& s, uint64_t seed) {
  test::Prng prng(seed);
  for (auto& p : s.source) p = Pixel{prng.sample(32767), prng.sample(32767), prng.sample(32767)};
  for (auto& p : s.filtered) p = Pixel{prng.sample(32767), prng.sample(32767), prng.sample(32767)};
  for (auto& w : s.prev) w = static_cast<int16_t>(prng.range(0, 4096));
  for (auto& w : s.next) w = static_cast<int16_t>(prng.range(0, 4096));
}

class BlendStageTest : public test::FormTest {
 protected:
  RowStage stage() const { return GetParam().blendStage; }
};

// One component of a hand case: filtered a, source b, expected blend.
struct Component {
  int16_t a;
  int16_t b;
  int16_t expected;
};
struct HandCase {
  int16_t weight;
  Component y;
  Component cb;
  Component cr;
};

// clang-format off
// Hand-computed: (w * a + (4096 - w) * b + 2047) >> 12.
const HandCase kHandCases[] = {
    {0,    {123, -456, -456},        {-7, 9, 9},               {32767, -32768, -32768}},
    {4096, {123, -456, 123},         {-7, 9, -7},              {32767, -32768, 32767}},
    {1024, {100, 200, 175},          {200, 100, 125},          {-100, -200, -175}},
    {2048, {0, 1, 0},                {-1, 0, -1},              {1, 0, 0}},
    {2048, {32767, -32768, -1},      {-32768, 32767, -1},      {32767, 32767, 32767}},
    {1,    {-32768, -32768, -32768}, {4096, 0, 1},             {0, 4096, 4095}},
    {4095, {0, 4096, 1},             {4096, 0, 4095},          {-4096, 0, -4095}},
};
// clang-format on

// Each hand case in every mode: mode 1 pairs the weight with 4096, mode 2 with 0, so the
// selected weight is the case's own. Seven pixels leave a partial group for the vector forms.
TEST_P(BlendStageTest, MatchesHandComputedMixes) {
  constexpr int kCases = static_cast<int>(std::size(kHandCases));
  for (int mode = 0; mode < 3; ++mode) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    Scene s(kCases, 1, kCases, mapPitchFor(kCases), 0, 1);
    for (int x = 0; x < kCases; ++x) {
      const HandCase& c = kHandCases[x];
      s.dst(0, x) = Pixel{c.y.a, c.cb.a, c.cr.a};
      s.src(0, x) = Pixel{c.y.b, c.cb.b, c.cr.b};
      s.prevAt(0, x) = c.weight;
      s.nextAt(0, x) = mode == 1 ? 4096 : 0;
    }
    s.run(stage(), mode);
    for (int x = 0; x < kCases; ++x) {
      const HandCase& c = kHandCases[x];
      EXPECT_EQ(s.dst(0, x).y, c.y.expected) << "case " << x;
      EXPECT_EQ(s.dst(0, x).cb, c.cb.expected) << "case " << x;
      EXPECT_EQ(s.dst(0, x).cr, c.cr.expected) << "case " << x;
    }
  }
}

struct SelectionCase {
  int mode;
  int16_t prev;
  int16_t next;
  int16_t weight;
};

TEST_P(BlendStageTest, SelectsWeightByMode) {
  // clang-format off
  const SelectionCase cases[] = {
      {0, 100, 3000, 100}, {0, 3000, 100, 3000}, {0, 0, 4096, 0},   {0, 4096, 0, 4096},
      {1, 100, 3000, 100}, {1, 3000, 100, 100},  {1, 0, 4096, 0},   {1, 4096, 0, 0},
      {1, 4096, 4096, 4096},
      {2, 100, 3000, 3000}, {2, 3000, 100, 3000}, {2, 0, 4096, 4096}, {2, 4096, 0, 4096},
      {2, 0, 0, 0},
  };
  // clang-format on
  for (const SelectionCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "mode " << c.mode << " prev " << c.prev << " next " << c.next);
    Scene s(5, 1, 5, mapPitchFor(5), 0, 1);
    fillWeightProbe(s);
    for (int x = 0; x < 5; ++x) {
      s.prevAt(0, x) = c.prev;
      s.nextAt(0, x) = c.next;
    }
    s.run(stage(), c.mode);
    for (int x = 0; x < 5; ++x) {
      EXPECT_EQ(s.dst(0, x).y, c.weight) << "x " << x;
      EXPECT_EQ(s.dst(0, x).cb, c.weight - 4096) << "x " << x;
      EXPECT_EQ(s.dst(0, x).cr, c.weight - 4096) << "x " << x;
    }
  }
}

// Map row r belongs to frame row bandTop + r and lies r * pitch values into the map, whatever
// the frame stride; values past the width inside the pitch are never used.
TEST_P(BlendStageTest, ReadsMapRowsAtMapPitch) {
  struct Geometry {
    int width, stride, pitch, bandTop, bandEnd;
  };
  const Geometry geometries[] = {{5, 5, 16, 1, 4}, {8, 13, 24, 0, 3}, {13, 13, 40, 2, 6}};
  for (const Geometry& g : geometries) {
    SCOPED_TRACE(::testing::Message() << "width " << g.width << " pitch " << g.pitch);
    Scene s(g.width, g.bandEnd + 1, g.stride, g.pitch, g.bandTop, g.bandEnd);
    fillWeightProbe(s);
    for (int mapRow = 0; mapRow < g.bandEnd - g.bandTop; ++mapRow) {
      for (int x = 0; x < g.pitch; ++x) {
        s.prevAt(mapRow, x) =
            x < g.width ? static_cast<int16_t>((mapRow * 997 + x * 131) % 4097) : int16_t{-1};
      }
    }
    s.run(stage(), 0);
    for (int mapRow = 0; mapRow < g.bandEnd - g.bandTop; ++mapRow) {
      for (int x = 0; x < g.width; ++x) {
        EXPECT_EQ(s.dst(g.bandTop + mapRow, x).y, s.prevAt(mapRow, x))
            << "map row " << mapRow << " x " << x;
      }
    }
  }
}

// Weight 0 restores the source inside the band and width, in modes 0..2; nothing else may
// change: not rows outside the band, not pixels past the width, nothing for an unknown mode.
TEST_P(BlendStageTest, ChangesOnlyBandRowsWithinWidth) {
  struct Case {
    int width, height, stride, bandTop, bandEnd, mode;
  };
  // clang-format off
  const Case cases[] = {
      {7, 6, 11, 2, 5, 0}, {7, 6, 11, 2, 5, 1}, {7, 6, 11, 2, 5, 2}, {8, 4, 8, 0, 4, 1},
      {1, 3, 6, 1, 2, 2},  {17, 5, 20, 1, 3, 0}, {8, 4, 8, 2, 2, 0},  {8, 4, 8, 4, 4, 2},
      {0, 4, 8, 1, 4, 0},  {-3, 4, 8, 1, 4, 2},  {8, 4, 8, 1, 4, 3},  {8, 4, 8, 1, 4, -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "width " << c.width << " stride " << c.stride << " band "
                                      << c.bandTop << ".." << c.bandEnd << " mode " << c.mode);
    Scene s(c.width, c.height, c.stride, mapPitchFor(c.stride), c.bandTop, c.bandEnd);
    fillRandomFrames(s, test::testSeed());
    std::fill(s.prev.begin(), s.prev.end(), int16_t{0});
    std::fill(s.next.begin(), s.next.end(), int16_t{0});
    const std::vector<Pixel> before = s.filtered;
    s.run(stage(), c.mode);
    const bool modeValid = c.mode >= 0 && c.mode <= 2;
    for (int r = 0; r < c.height; ++r) {
      for (int x = 0; x < c.stride; ++x) {
        const bool inside = modeValid && r >= c.bandTop && r < c.bandEnd && x < c.width;
        const Pixel& want = inside ? s.src(r, x) : before[static_cast<size_t>(r * c.stride + x)];
        EXPECT_TRUE(samePixel(s.dst(r, x), want)) << "row " << r << " x " << x;
      }
    }
  }
}

TEST_P(BlendStageTest, ModeZeroDoesNotReadNextMap) {
  test::PageEndBuffer unreadable(0);
  Scene s(9, 3, 9, mapPitchFor(9), 1, 3);
  fillRandomFrames(s, test::testSeed());
  std::fill(s.prev.begin(), s.prev.end(), int16_t{0});
  RowJob j = s.prepare(0);
  s.nextSlot.map = unreadable.as<int16_t>();
  stage()(0, 1, &j, s.slots);
  for (int r = 1; r < 3; ++r) {
    for (int x = 0; x < 9; ++x) EXPECT_TRUE(samePixel(s.dst(r, x), s.src(r, x))) << r << "," << x;
  }
}

// On one thread the stage still claims runs of rows from the row counter: the runs below a preset
// counter are left alone and the counter ends one past the band's last run. An unknown mode
// claims nothing.
TEST_P(BlendStageTest, ClaimsRowsFromRowCounterOnOneThread) {
  constexpr int kRows = 2 * kRowsPerClaim + 5;  // three runs, the last one short
  struct Case {
    int32_t preset;
    int mode;
    int32_t counterAfter;
  };
  const Case cases[] = {{0, 0, 4}, {1, 1, 4}, {3, 2, 4}, {6, 0, 7}, {0, 3, 0}, {2, -1, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "preset " << c.preset << " mode " << c.mode);
    Scene s(6, kRows, 6, mapPitchFor(6), 0, kRows);
    fillRandomFrames(s, test::testSeed());
    std::fill(s.prev.begin(), s.prev.end(), int16_t{0});
    std::fill(s.next.begin(), s.next.end(), int16_t{0});
    const std::vector<Pixel> before = s.filtered;
    RowJob j = s.prepare(c.mode);
    counters.rows = c.preset;
    stage()(0, 1, &j, s.slots);
    EXPECT_EQ(counters.rows.load(), c.counterAfter);
    const bool modeValid = c.mode >= 0 && c.mode <= 2;
    for (int r = 0; r < kRows; ++r) {
      const bool blended = modeValid && r >= c.preset * kRowsPerClaim;
      for (int x = 0; x < 6; ++x) {
        const Pixel& want = blended ? s.src(r, x) : before[static_cast<size_t>(r * 6 + x)];
        EXPECT_TRUE(samePixel(s.dst(r, x), want)) << "row " << r << " x " << x;
      }
    }
  }
}

// Every band row is blended by exactly one of T workers; the result equals one thread's.
TEST_P(BlendStageTest, ManyThreadsMatchOneThread) {
  const int threadCounts[] = {2, 3, 7, 12};
  for (int mode = 0; mode < 3; ++mode) {
    // 77 band rows: three runs of rows for the workers to share.
    Scene start(37, 80, 41, mapPitchFor(41), 1, 78);
    fillRandomFrames(start, test::testSeed() + 7);
    Scene one = start;
    one.run(stage(), mode);
    for (int threads : threadCounts) {
      SCOPED_TRACE(::testing::Message()
                   << "mode " << mode << " threads " << threads << " seed " << test::testSeed());
      Scene s = start;
      RowJob j = s.prepare(mode);
      const RowStage run = stage();
      std::vector<std::thread> workers;
      for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] { run(i, threads, &j, s.slots); });
      }
      for (auto& w : workers) w.join();
      EXPECT_EQ(counters.rows.load(), 3 + threads);
      for (size_t i = 0; i < s.filtered.size(); ++i) {
        ASSERT_TRUE(samePixel(s.filtered[i], one.filtered[i])) << "pixel " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, BlendStageTest,
                         ::testing::ValuesIn(test::formsWith(&test::KernelForm::blendStage, true)),
                         test::FormName());

}  // namespace
}  // namespace quillet
