#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "motion/motion.h"
#include "motion/motion_state.h"
#include "rows/row_claim.h"
#include "rows/row_job.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

using Grid = std::vector<std::vector<int>>;
constexpr int16_t kCanary = -777;

// Motion buffers for frames of at most kMaxHeight x kMaxWidth. The job's stride is the maximum
// width, which differs from the map pitch.
class MotionMapTest : public ::testing::Test {
 protected:
  static constexpr int32_t kMaxWidth = 20;
  static constexpr int32_t kMaxHeight = 80;
  static constexpr int32_t kBandTop = 3;

  void SetUp() override {
    ASSERT_EQ(ensureMotionBuffers(motionState, kMaxHeight, kMaxWidth), 1);
    ASSERT_NE(motionState.pitch, kMaxWidth);
    fillMap();
  }
  void TearDown() override { releaseMotionState(motionState); }

  int16_t& diffAt(int32_t x, int32_t r) { return motionState.diff[r * motionState.pitch + x]; }
  int16_t& mapAt(int32_t x, int32_t r) { return slot().map[r * motionState.pitch + x]; }
  NeighbourSlot& slot() { return motionState.slot[1]; }
  void fillMap() {
    for (int32_t r = 0; r < kMaxHeight; ++r) {
      for (int32_t x = 0; x < motionState.pitch; ++x) mapAt(x, r) = kCanary;
    }
  }
  std::vector<int16_t> plane(int16_t* origin, int32_t firstRow, int32_t endRow) {
    return {origin + firstRow * motionState.pitch, origin + endRow * motionState.pitch};
  }

  // Difference rows 0..n-1 from the grid, with the guard rows the difference stage writes.
  void setDiff(const Grid& g) {
    const int32_t n = static_cast<int32_t>(g.size());
    for (int32_t r = -1; r <= n; ++r) {
      const auto& src = g[static_cast<size_t>(std::clamp(r, 0, n - 1))];
      for (size_t x = 0; x < src.size(); ++x) {
        diffAt(static_cast<int32_t>(x), r) = static_cast<int16_t>(src[x]);
      }
    }
  }

  RowJob job(int32_t width, int32_t n, int32_t hardLimit) {
    RowJob j{};
    j.width = width;
    j.height = kMaxHeight;
    j.stride = kMaxWidth;
    j.bandTop = kBandTop;
    j.bandEnd = kBandTop + n;
    j.hardLimit = hardLimit;
    j.counters = &counters;
    j.motion = &motionState;
    j.weights = &motionWeights;
    return j;
  }

  void runStage(RowJob* j, int threads) {
    counters.rows = 0;
    counters.mapRows = 0;
    if (threads < 2) {
      MotionMapStageScalar(0, 1, j, &slot());
      return;
    }
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
      workers.emplace_back(MotionMapStageScalar, i, threads, j, &slot());
    }
    for (auto& w : workers) w.join();
  }

  Grid runOn(const Grid& diff, int motion, int hardLimit) {
    BuildWeightsScalar(&motionWeights, 8 * motion);
    setDiff(diff);
    const int32_t n = static_cast<int32_t>(diff.size());
    const int32_t width = static_cast<int32_t>(diff[0].size());
    RowJob j = job(width, n, hardLimit);
    runStage(&j, 1);
    Grid out(diff.size(), std::vector<int>(diff[0].size()));
    for (int32_t r = 0; r < n; ++r) {
      for (int32_t x = 0; x < width; ++x) out[r][x] = mapAt(x, r);
    }
    return out;
  }

  RowCounters counters;
  MotionState motionState{};
  MotionWeights motionWeights{};
};

TEST_F(MotionMapTest, HandComputedNeighbourhoods) {
  struct Case {
    const char* what;
    int motion;
    int hardLimit;
    Grid diff;
    Grid expected;
  };
  const std::vector<Case> cases = {
      {"single difference counts half at the cross, nothing diagonally",
       24,
       0,
       {{0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 100, 0, 0, 0},
        {0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 0, 0, 0, 0}},
       {{0, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 278, 0, 0, 0},
        {0, 0, 278, 278, 278, 0, 0},
        {0, 0, 0, 278, 0, 0, 0},
        {0, 0, 0, 0, 0, 0, 0}}},
      {"two adjacent differences count fully",
       24,
       0,
       {{0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 100, 100, 0, 0}, {0, 0, 0, 0, 0, 0, 0}},
       {{0, 0, 0, 278, 278, 0, 0}, {0, 0, 278, 1111, 1111, 278, 0}, {0, 0, 0, 278, 278, 0, 0}}},
      {"left edge sees its own value",
       24,
       0,
       {{0, 0, 0, 0}, {100, 0, 0, 0}, {0, 0, 0, 0}},
       {{278, 0, 0, 0}, {1111, 278, 0, 0}, {278, 0, 0, 0}}},
      {"right edge sees its own value",
       24,
       0,
       {{0, 0, 0, 0}, {0, 0, 0, 100}, {0, 0, 0, 0}},
       {{0, 0, 0, 278}, {0, 0, 278, 1111}, {0, 0, 0, 278}}},
      {"guard rows repeat the band's first and last rows",
       24,
       0,
       {{0, 100, 0}, {0, 0, 0}, {0, 0, 100}},
       {{278, 1111, 278}, {0, 278, 278}, {0, 278, 1111}}},
      {"horizontal line is forced by the hard limit, its neighbours are not",
       64,
       128,
       {{0, 0, 0, 0, 0},
        {0, 0, 0, 0, 0},
        {200, 200, 200, 200, 200},
        {0, 0, 0, 0, 0},
        {0, 0, 0, 0, 0}},
       {{0, 0, 0, 0, 0},
        {156, 156, 156, 156, 156},
        {4096, 4096, 4096, 4096, 4096},
        {156, 156, 156, 156, 156},
        {0, 0, 0, 0, 0}}},
      {"without a hard limit the line keeps its square-law weight",
       64,
       0,
       {{0, 0, 0}, {200, 200, 200}, {0, 0, 0}},
       {{156, 156, 156}, {625, 625, 625}, {156, 156, 156}}},
      {"a still pixel between moving ones stands out below its median",
       64,
       128,
       {{300}, {0}, {300}},
       {{1406}, {4096}, {1406}}},
      {"a moving pixel between still ones stands out above its median",
       64,
       128,
       {{0}, {300}, {0}},
       {{352}, {4096}, {352}}},
      {"the same pixel without a hard limit", 64, 0, {{0}, {300}, {0}}, {{352}, {1406}, {352}}},
      {"a departure equal to the limit is not forced",
       64,
       128,
       {{0}, {128}, {0}},
       {{64}, {256}, {64}}},
      {"one more than the limit is forced", 64, 128, {{0}, {129}, {0}}, {{66}, {4096}, {66}}},
      {"only the vertical median counts", 64, 128, {{300}, {300}, {0}}, {{1406}, {1406}, {352}}},
      {"no motion, no weight", 24, 128, {{0, 0}, {0, 0}}, {{0, 0}, {0, 0}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(runOn(c.diff, c.motion, c.hardLimit), c.expected) << c.what;
  }
}

// Uniform maps make M the value itself: the square law with W = 4096 / 192^2, capped at 4096.
TEST_F(MotionMapTest, DefaultWeightTable) {
  const std::pair<int, int> table[] = {
      {0, 0},     {2, 0},      {3, 1},      {5, 3},      {10, 11},    {20, 44},     {50, 278},
      {96, 1024}, {100, 1111}, {150, 2500}, {191, 4053}, {192, 4096}, {1000, 4096}, {32767, 4096}};
  for (const auto& [measure, weight] : table) {
    const Grid diff(3, std::vector<int>(9, measure));
    EXPECT_EQ(runOn(diff, 24, 0), Grid(3, std::vector<int>(9, weight))) << "M " << measure;
  }
}

TEST_F(MotionMapTest, SpareElementsRepeatTheRowEnds) {
  const Grid diff = {{5, 6, 7, 8, 9, 10, 11}, {12, 13, 14, 15, 16, 17, 18}};
  runOn(diff, 24, 0);
  for (int32_t r = 0; r < 2; ++r) {
    EXPECT_EQ(diffAt(-1, r), diffAt(0, r)) << "row " << r;
    EXPECT_EQ(diffAt(7, r), diffAt(6, r)) << "row " << r;
  }
}

TEST_F(MotionMapTest, EmptyBandOrWidthWritesNothing) {
  BuildWeightsScalar(&motionWeights, 8 * 24);
  for (int32_t r = -2; r <= kMaxHeight; ++r) {
    for (int32_t x = 0; x < motionState.pitch; ++x) diffAt(x, r) = 500;
  }
  const auto diffBefore = plane(motionState.diff, -2, kMaxHeight + 1);
  const auto mapBefore = plane(slot().map, 0, kMaxHeight);
  for (auto [width, n, threads] : {std::tuple{7, 0, 1}, {7, 0, 3}, {0, 5, 1}, {0, 5, 4}}) {
    for (int hardLimit : {0, 100}) {
      RowJob j = job(width, n, hardLimit);
      runStage(&j, threads);
      EXPECT_EQ(plane(motionState.diff, -2, kMaxHeight + 1), diffBefore);
      EXPECT_EQ(plane(slot().map, 0, kMaxHeight), mapBefore);
    }
  }
}

class MotionMapRandomTest : public MotionMapTest {
 protected:
  static constexpr int32_t kWidth = 17;
  static constexpr int32_t kRows = 75;  // three runs of rows

  void fillRandomDiff() {
    test::Prng prng(test::testSeed());
    Grid g(kRows, std::vector<int>(kWidth));
    for (auto& row : g) {
      for (int& v : row) v = prng.range(0, 5) == 0 ? prng.range(0, 32767) : prng.range(0, 400);
    }
    setDiff(g);
  }
};

// Each row reads only its own spare elements, so any order of rows gives the same map.
TEST_F(MotionMapRandomTest, RowsAreIndependentOfOrder) {
  BuildWeightsScalar(&motionWeights, 8 * 24);
  fillRandomDiff();
  const auto pristine = plane(motionState.diff, -2, kRows + 2);
  auto runInOrder = [&](const std::vector<int32_t>& order, int hardLimit) {
    std::copy(pristine.begin(), pristine.end(), motionState.diff - 2 * motionState.pitch);
    fillMap();
    for (int32_t r : order) {
      int16_t* d = &diffAt(0, r);
      int16_t* m = &mapAt(0, r);
      if (hardLimit > 0) {
        MotionRowLimitedScalar(d, m, kWidth, motionState.pitch, hardLimit, motionWeights);
      } else {
        MotionRowScalar(d, m, kWidth, motionState.pitch, motionWeights);
      }
    }
    return plane(slot().map, 0, kRows);
  };
  std::vector<int32_t> order(kRows);
  std::iota(order.begin(), order.end(), 0);
  std::vector<int32_t> reversed(order.rbegin(), order.rend());
  std::vector<int32_t> shuffled = order;
  std::shuffle(shuffled.begin(), shuffled.end(),
               std::mt19937(static_cast<unsigned>(test::testSeed())));
  for (int hardLimit : {0, 40}) {
    const auto inOrder = runInOrder(order, hardLimit);
    EXPECT_EQ(runInOrder(reversed, hardLimit), inOrder) << "reversed, limit " << hardLimit;
    EXPECT_EQ(runInOrder(shuffled, hardLimit), inOrder) << "shuffled, limit " << hardLimit;
  }
}

TEST_F(MotionMapRandomTest, WorkersTogetherGiveTheSingleThreadMap) {
  BuildWeightsScalar(&motionWeights, 8 * 24);
  fillRandomDiff();
  for (int hardLimit : {0, 40}) {
    RowJob j = job(kWidth, kRows, hardLimit);
    fillMap();
    runStage(&j, 1);
    const auto single = plane(slot().map, 0, kMaxHeight);
    for (int threads : {2, 3, 8, 40}) {
      fillMap();
      runStage(&j, threads);
      EXPECT_EQ(plane(slot().map, 0, kMaxHeight), single)
          << threads << " threads, limit " << hardLimit << ", seed " << test::testSeed();
      EXPECT_EQ(counters.mapRows.load(), (kRows + kRowsPerClaim - 1) / kRowsPerClaim + threads);
    }
  }
}

}  // namespace
}  // namespace quillet
