#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "motion/motion.h"
#include "motion/motion_state.h"
#include "rows/row_job.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

constexpr int16_t kCanary = -12345;

TEST(DiffRowScalar, LargestClampedComponentDifferenceInBothOrders) {
  struct Case {
    const char* what;
    Pixel current;
    Pixel neighbour;
    int16_t expected;
  };
  const Case cases[] = {
      {"identical", {812, -40, 33}, {812, -40, 33}, 0},
      {"luma largest", {1000, 10, -20}, {700, 210, -20}, 300},
      {"only Cr", {0, 0, -5}, {0, 0, 0}, 5},
      {"Cb largest", {5, -2048, 2048}, {5, 2048, 2040}, 4096},
      {"negative samples", {-100, -300, 50}, {-90, -100, 40}, 200},
      {"exactly 32767", {32767, 0, 0}, {0, 0, 0}, 32767},
      {"32768 clamps", {0, 1, 0}, {-32768, 0, 0}, 32767},
      {"30000 vs -30000", {30000, 0, 0}, {-30000, 0, 0}, 32767},
      // 60000 keeps 0xEA60 in 16 bits, which as a signed value would lose to the 7 of Cb.
      {"60000 beside a small one", {30000, 7, 0}, {-30000, 0, 0}, 32767},
      {"full span", {0, 0, 32767}, {0, 3, -32768}, 32767},
  };
  const int width = static_cast<int>(std::size(cases));
  std::vector<Pixel> a, b;
  for (const Case& c : cases) {
    a.push_back(c.current);
    b.push_back(c.neighbour);
  }
  std::vector<int16_t> forward(width + 1, kCanary), backward(width + 1, kCanary);
  DiffRowScalar(a.data(), b.data(), forward.data(), width);
  DiffRowScalar(b.data(), a.data(), backward.data(), width);
  for (int x = 0; x < width; ++x) {
    EXPECT_EQ(forward[x], cases[x].expected) << cases[x].what;
    EXPECT_EQ(backward[x], cases[x].expected) << cases[x].what << " (frames exchanged)";
  }
  EXPECT_EQ(forward[width], kCanary) << "wrote past the row";
}

// Motion buffers for frames of at most kMaxHeight x kMaxWidth; the frames' stride differs from
// the map pitch, so rows addressed at the wrong distance show.
class DiffStageTest : public ::testing::Test {
 protected:
  static constexpr int32_t kMaxWidth = 21;
  static constexpr int32_t kMaxHeight = 40;

  void SetUp() override {
    ASSERT_EQ(ensureMotionBuffers(motionState, kMaxHeight, kMaxWidth), 1);
    ASSERT_NE(motionState.pitch, kMaxWidth);
    current.assign(kMaxWidth * kMaxHeight, Pixel{0, 0, 0});
    neighbour = current;
    fillDiffPlane();
  }
  void TearDown() override { releaseMotionState(motionState); }

  // Rows -2 .. kMaxHeight + 1 of the difference plane, every value up to the pitch.
  int16_t& at(int32_t x, int32_t r) { return motionState.diff[r * motionState.pitch + x]; }
  void fillDiffPlane() {
    for (int32_t r = -2; r <= kMaxHeight + 1; ++r) {
      for (int32_t x = 0; x < motionState.pitch; ++x) at(x, r) = kCanary;
    }
  }
  std::vector<int16_t> diffPlane() {
    std::vector<int16_t> v;
    for (int32_t r = -2; r <= kMaxHeight + 1; ++r) {
      for (int32_t x = 0; x < motionState.pitch; ++x) v.push_back(at(x, r));
    }
    return v;
  }

  RowJob job(int32_t width, int32_t bandTop, int32_t bandEnd) {
    RowJob j{};
    j.source = current.data();
    j.other = neighbour.data();
    j.height = kMaxHeight;
    j.width = width;
    j.stride = kMaxWidth;
    j.bandTop = bandTop;
    j.bandEnd = bandEnd;
    j.counters = &counters;
    j.motion = &motionState;
    return j;
  }

  // Runs the stage as the host's executor does with `threads` workers (1: the calling thread).
  static void runStage(RowStage stage, RowJob* j, int threads) {
    j->counters->rows = 0;
    j->counters->mapRows = 0;
    if (threads < 2) {
      stage(0, 1, j, nullptr);
      return;
    }
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) workers.emplace_back(stage, i, threads, j, nullptr);
    for (auto& w : workers) w.join();
  }

  std::vector<Pixel> current;
  std::vector<Pixel> neighbour;
  RowCounters counters;
  MotionState motionState{};
};

// Pixel (x, y) of the neighbour differs from the current frame by 100 y + x in one component,
// so map row r must read 100 (bandTop + r) + x, and the guard rows repeat rows 0 and n-1.
TEST_F(DiffStageTest, BandRowsAtThePitchWithGuardRows) {
  struct Case {
    int32_t width, bandTop, bandEnd, threads;
  };
  const Case cases[] = {{13, 2, 7, 1}, {21, 0, 40, 1}, {13, 4, 5, 1},  {1, 3, 9, 1},
                        {13, 2, 7, 3}, {13, 4, 5, 2},  {21, 0, 40, 7}, {8, 39, 40, 4}};
  for (int32_t y = 0; y < kMaxHeight; ++y) {
    for (int32_t x = 0; x < kMaxWidth; ++x) {
      const int16_t d = static_cast<int16_t>(100 * y + x);
      Pixel& p = neighbour[y * kMaxWidth + x];
      // Spread the difference over the components; the other two differ by less.
      if ((x + y) % 3 == 0) p = {d, static_cast<int16_t>(d / 2), 0};
      if ((x + y) % 3 == 1) p = {static_cast<int16_t>(d / 3), static_cast<int16_t>(-d), 0};
      if ((x + y) % 3 == 2) p = {0, static_cast<int16_t>(-(d / 2)), d};
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "width " << c.width << " band " << c.bandTop << ".."
                                      << c.bandEnd << " threads " << c.threads);
    fillDiffPlane();
    RowJob j = job(c.width, c.bandTop, c.bandEnd);
    runStage(DiffStageScalar, &j, c.threads);
    const int32_t n = c.bandEnd - c.bandTop;
    for (int32_t r = -2; r <= kMaxHeight + 1; ++r) {
      const int32_t frameRow = c.bandTop + std::min(std::max(r, 0), n - 1);
      for (int32_t x = 0; x < motionState.pitch; ++x) {
        const bool written = r >= -1 && r <= n && x < c.width;
        const int16_t expected = written ? static_cast<int16_t>(100 * frameRow + x) : kCanary;
        ASSERT_EQ(at(x, r), expected) << "map row " << r << " x " << x;
      }
    }
  }
}

TEST_F(DiffStageTest, EmptyBandOrWidthWritesNothing) {
  struct Case {
    int32_t width, bandTop, bandEnd, threads;
  };
  const Case cases[] = {{13, 5, 5, 1}, {13, 5, 5, 3}, {13, 0, 0, 1}, {0, 2, 9, 1}, {0, 2, 9, 3}};
  for (auto& p : neighbour) p = {100, -100, 50};
  for (const Case& c : cases) {
    fillDiffPlane();
    const std::vector<int16_t> before = diffPlane();
    RowJob j = job(c.width, c.bandTop, c.bandEnd);
    runStage(DiffStageScalar, &j, c.threads);
    EXPECT_EQ(diffPlane(), before) << "width " << c.width << " band " << c.bandTop << ".."
                                   << c.bandEnd << " threads " << c.threads;
  }
}

TEST_F(DiffStageTest, WorkersTogetherGiveTheSingleThreadMap) {
  test::Prng prng(test::testSeed());
  for (auto& p : current) p = {prng.sample(4096), prng.sample(2048), prng.sample(2048)};
  for (auto& p : neighbour) p = {prng.sample(4096), prng.sample(2048), prng.sample(2048)};
  RowJob j = job(19, 3, 38);
  runStage(DiffStageScalar, &j, 1);
  const std::vector<int16_t> single = diffPlane();
  for (int threads : {2, 3, 8, 50}) {
    fillDiffPlane();
    runStage(DiffStageScalar, &j, threads);
    EXPECT_EQ(diffPlane(), single) << threads << " threads, seed " << test::testSeed();
    // The 35 rows are two runs; every worker's last claim comes back empty.
    EXPECT_EQ(counters.rows.load(), 2 + threads);
  }
}

}  // namespace
}  // namespace quillet
