#include "motion/motion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "motion/motion_state.h"
#include "rows/row_job.h"
#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/motion_reference.h"

namespace quillet {
namespace {

using test::PageEndBuffer;
using test::Prng;

constexpr int16_t kCanary = 0x5A5A;

// The maps and weights the stages under test read.
MotionState motionState{};
MotionWeights motionWeights{};

using test::KernelForm;

int32_t roundUp(int32_t v, int32_t block) { return (v + block - 1) / block * block; }

std::vector<int32_t> rowWidths() {
  std::vector<int32_t> w;
  for (int32_t i = 0; i <= 17; ++i) w.push_back(i);
  // 8k, 16k and 32k values, each one either side: every block size's full and partial ends.
  for (int32_t k : {3, 4, 6, 8}) {
    w.push_back(8 * k - 1);
    w.push_back(8 * k);
    w.push_back(8 * k + 1);
  }
  w.push_back(1923);
  return w;
}

// Where two planes of map rows (starting at `firstRow`) may differ: rows valueFirst..valueLast
// carry values at x < width; rows freeFirst..freeLast may hold anything at width <= x < freeEnd
// (whole vector blocks); every other value must be left alone.
struct PlaneRegions {
  int32_t firstRow;
  int32_t pitch;
  int32_t width;
  int32_t valueFirst, valueLast;
  int32_t freeFirst, freeLast;
  int32_t freeEnd;
};

// A short report of value mismatches and of overwrites outside the rows' values, each with a
// few samples; empty when the planes agree.
std::string planeDifferences(const std::vector<int16_t>& got, const std::vector<int16_t>& want,
                             const PlaneRegions& g) {
  std::ostringstream values, overwrites;
  int valueCount = 0, overwriteCount = 0;
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    const int32_t r = g.firstRow + static_cast<int32_t>(i) / g.pitch;
    const int32_t x = static_cast<int32_t>(i) % g.pitch;
    const bool value = r >= g.valueFirst && r <= g.valueLast && x < g.width;
    const bool free = r >= g.freeFirst && r <= g.freeLast && x >= g.width && x < g.freeEnd;
    if (free || got[i] == want[i]) continue;
    std::ostringstream& out = value ? values : overwrites;
    int& count = value ? valueCount : overwriteCount;
    if (count++ < 6)
      out << " (row " << r << ", x " << x << ": " << got[i] << " vs " << want[i] << ")";
  }
  if (got.size() != want.size()) return "plane sizes differ";
  if (valueCount + overwriteCount == 0) return "";
  std::ostringstream report;
  report << valueCount << " value mismatches" << values.str() << "; " << overwriteCount
         << " overwrites outside the row" << overwrites.str();
  return report.str();
}

std::vector<int16_t> rowsOf(const int16_t* row0, int32_t first, int32_t last, int32_t pitch) {
  return {row0 + first * pitch, row0 + (last + 1) * pitch};
}

enum class Fill { kBounded, kFullRange, kExtremes };

int16_t sampleFor(Fill fill, Prng& prng) {
  static const int16_t extremes[] = {-32768, -32767, -1, 0, 1, 32766, 32767};
  switch (fill) {
    case Fill::kBounded:
      return prng.sample(16383);  // component differences within -32766..32766
    case Fill::kFullRange:
      return static_cast<int16_t>(prng.range(-32768, 32767));
    case Fill::kExtremes:
      break;
  }
  return extremes[prng.range(0, 6)];
}

void fillPixels(Pixel* p, size_t count, Fill fill, Prng& prng) {
  for (size_t i = 0; i < count; ++i) {
    p[i] = {sampleFor(fill, prng), sampleFor(fill, prng), sampleFor(fill, prng)};
  }
}

// Runs a stage as the host's executor would: on the calling thread for one worker, otherwise
// on `threads` std::threads, with fresh counters and the maps and weights below.
void runStage(RowStage stage, RowJob* job, void* extra, int threads) {
  RowCounters counters;
  job->counters = &counters;
  job->motion = &motionState;
  job->weights = &motionWeights;
  if (threads < 2) {
    stage(0, 1, job, extra);
    return;
  }
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) workers.emplace_back(stage, i, threads, job, extra);
  for (auto& w : workers) w.join();
}

// ---- Difference map ------------------------------------------------------------------------

class DiffCrossform : public test::FormTest {
 protected:
  void TearDown() override { releaseMotionState(motionState); }
};

// Byte counts past a row's last pixel that move the row's start through the 16-byte alignments;
// 0 puts the last pixel against an inaccessible page.
std::vector<size_t> rowSlacks(const KernelForm& form, int32_t width) {
  const size_t bytes = static_cast<size_t>(width) * sizeof(Pixel);
  if (form.aligned) return {(16 - bytes % 16) % 16};
  if (width > 100) return {0, 6};
  return {0, 2, 4, 6, 8, 10, 12, 14};
}

TEST_P(DiffCrossform, RowsMatchScalar) {
  const KernelForm& form = GetParam();
  Prng prng(test::testSeed());
  SCOPED_TRACE(::testing::Message() << "seed " << test::testSeed());
  for (Fill fill : {Fill::kBounded, Fill::kFullRange, Fill::kExtremes}) {
    for (int32_t width : rowWidths()) {
      for (size_t slack : rowSlacks(form, width)) {
        SCOPED_TRACE(::testing::Message() << "fill " << static_cast<int>(fill) << " width " << width
                                          << " slack " << slack);
        const size_t bytes = static_cast<size_t>(width) * sizeof(Pixel) + slack;
        PageEndBuffer current(bytes), neighbour(bytes);
        fillPixels(current.as<Pixel>(), static_cast<size_t>(width), fill, prng);
        fillPixels(neighbour.as<Pixel>(), static_cast<size_t>(width), fill, prng);
        // Some equal pixels and some equal components, so zero differences occur too.
        for (int32_t x = 0; x < width; x += 5) neighbour.as<Pixel>()[x] = current.as<Pixel>()[x];
        const std::vector<uint8_t> currentCopy(current.data(), current.data() + bytes);
        const std::vector<uint8_t> neighbourCopy(neighbour.data(), neighbour.data() + bytes);

        test::MapPlane want(width, 0, kCanary), got(width, 0, kCanary);
        DiffRowScalar(current.as<Pixel>(), neighbour.as<Pixel>(), want.row(0), width);
        form.diffRow(current.as<Pixel>(), neighbour.as<Pixel>(), got.row(0), width);
        test::clearMmxState();

        const PlaneRegions regions{-2, got.pitch(), width, 0, 0, 0, 0, roundUp(width, form.block)};
        EXPECT_EQ(planeDifferences(got.snapshot(), want.snapshot(), regions), "");
        EXPECT_TRUE(std::equal(currentCopy.begin(), currentCopy.end(), current.data()));
        EXPECT_TRUE(std::equal(neighbourCopy.begin(), neighbourCopy.end(), neighbour.data()));
        EXPECT_TRUE(current.leadIntact() && neighbour.leadIntact());
      }
    }
  }
}

struct StageGeometry {
  int32_t width;
  int32_t strideSlack;  // pixels past the width (rounded up to 8 first for aligned forms)
  int32_t bandTop;
  int32_t bandRows;
};

std::vector<StageGeometry> stageGeometries() {
  std::vector<StageGeometry> g;
  for (int32_t width : {0, 1, 3, 4, 5, 8, 13, 17, 64, 77}) {
    for (int32_t rows : {0, 1, 2, 3, 17}) {
      g.push_back({width, 0, 2, rows});
      g.push_back({width, 5, 1, rows});
    }
  }
  g.push_back({1921, 0, 3, 5});
  return g;
}

// Every band geometry through the vector stage on one and on three threads: the whole
// difference plane, guard rows included, matches the scalar stage on one thread; the frames
// end at an inaccessible page and stay unchanged.
TEST_P(DiffCrossform, StagesMatchScalar) {
  const KernelForm& form = GetParam();
  Prng prng(test::testSeed() + 1);
  SCOPED_TRACE(::testing::Message() << "seed " << test::testSeed() + 1);
  for (const StageGeometry& geo : stageGeometries()) {
    const int32_t width = geo.width;
    const int32_t stride =
        std::max(1, form.aligned ? roundUp(width, 8) + roundUp(geo.strideSlack, 8)
                                 : width + geo.strideSlack);
    const int32_t height = geo.bandTop + geo.bandRows + 2;
    // The frame ends right after its last pixel, or at a 16-byte multiple for aligned forms.
    const size_t pixels = form.aligned ? static_cast<size_t>(height) * static_cast<size_t>(stride)
                                       : static_cast<size_t>((height - 1) * stride + width);
    const size_t bytes = std::max<size_t>(pixels * sizeof(Pixel), 16);
    PageEndBuffer current(bytes), neighbour(bytes);
    fillPixels(current.as<Pixel>(), pixels, Fill::kFullRange, prng);
    fillPixels(neighbour.as<Pixel>(), pixels, Fill::kFullRange, prng);
    const std::vector<uint8_t> currentCopy(current.data(), current.data() + bytes);
    ASSERT_EQ(ensureMotionBuffers(motionState, height, stride), 1);
    const int32_t pitch = motionState.pitch;
    const int32_t n = geo.bandRows;

    RowJob job{};
    job.source = current.as<Pixel>();
    job.other = neighbour.as<Pixel>();
    job.height = height;
    job.width = width;
    job.stride = stride;
    job.bandTop = geo.bandTop;
    job.bandEnd = geo.bandTop + n;
    auto clearPlane = [&] {
      std::fill_n(motionState.diff - 2 * pitch, (height + 4) * pitch, kCanary);
    };
    clearPlane();
    runStage(DiffStageScalar, &job, nullptr, 1);
    const auto want = rowsOf(motionState.diff, -2, height + 1, pitch);

    for (int threads : {1, 3}) {
      SCOPED_TRACE(::testing::Message() << "width " << width << " stride " << stride << " band "
                                        << geo.bandTop << "+" << n << " threads " << threads);
      clearPlane();
      // MMX state belongs to a thread: it is checked where the stage ran on the calling thread.
      if (form.usesMmx && threads == 1) test::dirtyMmxState();
      runStage(form.diffStage, &job, nullptr, threads);
      EXPECT_TRUE(threads > 1 || test::mmxStateEmpty()) << "MMX state left behind";
      const PlaneRegions regions{
          -2, pitch, width, n > 0 ? -1 : 0, n > 0 ? n : -1, 0, n - 1, roundUp(width, form.block)};
      EXPECT_EQ(planeDifferences(rowsOf(motionState.diff, -2, height + 1, pitch), want, regions),
                "");
    }
    EXPECT_TRUE(std::equal(currentCopy.begin(), currentCopy.end(), current.data()));
    EXPECT_TRUE(current.leadIntact() && neighbour.leadIntact());
    releaseMotionState(motionState);
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, DiffCrossform,
                         ::testing::ValuesIn(test::formsWith(&KernelForm::diffRow)),
                         test::FormName());

// ---- Motion map ----------------------------------------------------------------------------

float scalarWeightFor(int32_t level) {
  MotionWeights w{};
  return BuildWeightsScalar(&w, level)->lane[0];
}

// Motion settings at which no near-tie of the two weight roundings occurs.
const std::vector<int32_t>& motionsWithoutNearTies() {
  static const std::vector<int32_t> motions = [] {
    std::vector<int32_t> m;
    const auto ties = test::findWeightNearTies(scalarWeightFor);
    for (int32_t motion = 1; motion <= 256; ++motion) {
      if (std::none_of(ties.begin(), ties.end(),
                       [&](const auto& t) { return t.motion == motion; })) {
        m.push_back(motion);
      }
    }
    return m;
  }();
  return motions;
}

class MotionCrossform : public test::FormTest {
 protected:
  void TearDown() override { releaseMotionState(motionState); }
  // A random setting without near-ties, its weights built; returns 8 x motion.
  int32_t pickMotion(Prng& prng) {
    const auto& motions = motionsWithoutNearTies();
    const int32_t motion =
        motions[static_cast<size_t>(prng.range(0, static_cast<int32_t>(motions.size()) - 1))];
    BuildWeightsScalar(&motionWeights, 8 * motion);
    return 8 * motion;
  }
  // Mostly differences around the setting's full-weight level, some anywhere in 0..32767.
  static int16_t differenceFor(int32_t level, Prng& prng) {
    return static_cast<int16_t>(prng.range(0, 9) < 7 ? prng.range(0, level + 16)
                                                     : prng.range(0, 32767));
  }
};

TEST_P(MotionCrossform, RowsMatchScalar) {
  const KernelForm& form = GetParam();
  Prng prng(test::testSeed() + 2);
  SCOPED_TRACE(::testing::Message() << "seed " << test::testSeed() + 2);
  for (int round = 0; round < 4; ++round) {
    for (int32_t width : rowWidths()) {
      const int32_t level = pickMotion(prng);
      const int hardLimit = round % 2 == 0 ? 0 : prng.range(1, 512);
      SCOPED_TRACE(::testing::Message()
                   << "width " << width << " level " << level << " hard limit " << hardLimit);
      test::MapPlane diffWant(width, 1, 0), diffGot(width, 1, 0);
      for (int32_t r = -1; r <= 1; ++r) {
        for (int32_t x = 0; x < diffWant.pitch(); ++x) {
          diffWant.row(r)[x] = diffGot.row(r)[x] = differenceFor(level, prng);
        }
      }
      test::MapPlane want(width, 0, kCanary), got(width, 0, kCanary);
      if (hardLimit > 0) {
        MotionRowLimitedScalar(diffWant.row(0), want.row(0), width, diffWant.pitch(), hardLimit,
                               motionWeights);
        form.motionRowLimited(diffGot.row(0), got.row(0), width, diffGot.pitch(), hardLimit,
                              motionWeights);
      } else {
        MotionRowScalar(diffWant.row(0), want.row(0), width, diffWant.pitch(), motionWeights);
        form.motionRow(diffGot.row(0), got.row(0), width, diffGot.pitch(), motionWeights);
      }
      test::clearMmxState();
      const PlaneRegions regions{-2, got.pitch(), width, 0, 0, 0, 0, roundUp(width, form.block)};
      EXPECT_EQ(planeDifferences(got.snapshot(), want.snapshot(), regions), "");
      // The difference rows change only in the row's two spare elements, as in the scalar form.
      EXPECT_EQ(diffGot.snapshot(), diffWant.snapshot());
    }
  }
}

TEST_P(MotionCrossform, StagesMatchScalar) {
  const KernelForm& form = GetParam();
  if (form.motionStage == nullptr) GTEST_SKIP() << "the form has rows but no stage";
  Prng prng(test::testSeed() + 3);
  SCOPED_TRACE(::testing::Message() << "seed " << test::testSeed() + 3);
  for (const StageGeometry& geo : stageGeometries()) {
    for (int hardLimit : {0, 90}) {
      const int32_t width = geo.width;
      const int32_t height = geo.bandTop + geo.bandRows + 2;
      const int32_t stride = std::max(1, width + geo.strideSlack);
      ASSERT_EQ(ensureMotionBuffers(motionState, height, stride), 1);
      const int32_t pitch = motionState.pitch;
      const int32_t n = geo.bandRows;
      const int32_t level = pickMotion(prng);
      int16_t* const map = motionState.slot[1].map;
      for (int32_t r = -1; r <= n; ++r) {
        for (int32_t x = 0; x < pitch; ++x)
          motionState.diff[r * pitch + x] = differenceFor(level, prng);
      }
      const auto diffBefore = rowsOf(motionState.diff, -2, height + 1, pitch);
      RowJob job{};
      job.height = height;
      job.width = width;
      job.stride = stride;
      job.bandTop = geo.bandTop;
      job.bandEnd = geo.bandTop + n;
      job.hardLimit = hardLimit;
      auto reset = [&] {
        std::copy(diffBefore.begin(), diffBefore.end(), motionState.diff - 2 * pitch);
        std::fill_n(map - pitch, (height + 2) * pitch, kCanary);
      };
      reset();
      runStage(MotionMapStageScalar, &job, &motionState.slot[1], 1);
      const auto mapWant = rowsOf(map, -1, height, pitch);
      const auto diffWant = rowsOf(motionState.diff, -2, height + 1, pitch);

      for (int threads : {1, 3}) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " band " << geo.bandTop << "+" << n << " level "
                     << level << " hard limit " << hardLimit << " threads " << threads);
        reset();
        if (threads == 1) test::dirtyMmxState();
        runStage(form.motionStage, &job, &motionState.slot[1], threads);
        EXPECT_TRUE(threads > 1 || test::mmxStateEmpty()) << "MMX state left behind";
        const PlaneRegions regions{-1,    pitch, width, 0,
                                   n - 1, 0,     n - 1, roundUp(width, form.block)};
        EXPECT_EQ(planeDifferences(rowsOf(map, -1, height, pitch), mapWant, regions), "");
        EXPECT_EQ(rowsOf(motionState.diff, -2, height + 1, pitch), diffWant);
      }
      releaseMotionState(motionState);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, MotionCrossform,
                         ::testing::ValuesIn(test::formsWith(&KernelForm::motionRow)),
                         test::FormName());

// ---- Forms above SSE2 against SSE2 ---------------------------------------------------------

class AboveSse2Rows : public test::FormTest {};

// Any samples, any differences (negative ones too), any level's weights, near-ties included:
// where the SSE2 rows leave the scalar rows' values, the form's rows must follow them. Values at
// x < width agree; past it each form keeps within its own blocks; the difference rows end equal.
TEST_P(AboveSse2Rows, MatchSse2OnFullRangeInput) {
  const KernelForm& form = GetParam();
  Prng prng(test::testSeed() + 4);
  SCOPED_TRACE(::testing::Message() << "seed " << test::testSeed() + 4);
  std::vector<int32_t> widths = rowWidths();
  widths.insert(widths.end(), {16 * 40 - 1, 16 * 40 + 1, 32 * 60 - 1, 32 * 60 + 1});
  for (int32_t width : widths) {
    for (Fill fill : {Fill::kFullRange, Fill::kExtremes}) {
      const int32_t level = prng.range(0, 2048);
      const int hardLimit = fill == Fill::kExtremes ? 0 : prng.range(1, 32767);
      SCOPED_TRACE(::testing::Message() << "width " << width << " fill " << static_cast<int>(fill)
                                        << " level " << level << " hard limit " << hardLimit);
      const auto bytes = static_cast<size_t>(width) * sizeof(Pixel);
      PageEndBuffer current(bytes), neighbour(bytes);
      fillPixels(current.as<Pixel>(), static_cast<size_t>(width), fill, prng);
      fillPixels(neighbour.as<Pixel>(), static_cast<size_t>(width), fill, prng);
      test::MapPlane diffSse2(width, 0, kCanary), diffGot(width, 0, kCanary);
      DiffRowSse2(current.as<Pixel>(), neighbour.as<Pixel>(), diffSse2.row(0), width);
      if (form.diffRow != nullptr) {
        form.diffRow(current.as<Pixel>(), neighbour.as<Pixel>(), diffGot.row(0), width);
        const PlaneRegions diffRegions{-2, diffGot.pitch(),           width, 0, 0, 0,
                                       0,  roundUp(width, form.block)};
        EXPECT_EQ(planeDifferences(diffGot.snapshot(), diffSse2.snapshot(), diffRegions), "");
      }

      MotionWeights weights{};
      BuildWeightsSse(&weights, level);
      test::MapPlane sse2Rows(width, 1, 0), gotRows(width, 1, 0);
      for (int32_t r = -1; r <= 1; ++r) {
        for (int32_t x = 0; x < sse2Rows.pitch(); ++x) {
          sse2Rows.row(r)[x] = gotRows.row(r)[x] = sampleFor(fill, prng);
        }
      }
      test::MapPlane sse2(width, 0, kCanary), got(width, 0, kCanary);
      if (hardLimit > 0) {
        MotionRowLimitedSse2(sse2Rows.row(0), sse2.row(0), width, sse2Rows.pitch(), hardLimit,
                             weights);
        form.motionRowLimited(gotRows.row(0), got.row(0), width, gotRows.pitch(), hardLimit,
                              weights);
      } else {
        MotionRowSse2(sse2Rows.row(0), sse2.row(0), width, sse2Rows.pitch(), weights);
        form.motionRow(gotRows.row(0), got.row(0), width, gotRows.pitch(), weights);
      }
      const PlaneRegions mapRegions{-2, got.pitch(), width, 0, 0, 0, 0, roundUp(width, form.block)};
      EXPECT_EQ(planeDifferences(got.snapshot(), sse2.snapshot(), mapRegions), "");
      EXPECT_EQ(gotRows.snapshot(), sse2Rows.snapshot());
    }
  }
}

// Three equal rows holding the ramp 0, 1, 2, ... give the measure x + 1 at x (the mean of x and
// x + 1 rounded up), so one row per setting meets every measure up to the full weight and a
// little past it, near-ties and all: the square law rounds alike in both forms.
TEST_P(AboveSse2Rows, SquareLawMatchesSse2ForEveryMeasureAndSetting) {
  const KernelForm& form = GetParam();
  constexpr int32_t kWidth = 8 * 256 + 16;
  test::MapPlane sse2Rows(kWidth, 1, 0), gotRows(kWidth, 1, 0);
  for (int32_t r = -1; r <= 1; ++r) {
    for (int32_t x = 0; x < kWidth; ++x) {
      sse2Rows.row(r)[x] = gotRows.row(r)[x] = static_cast<int16_t>(x);
    }
  }
  for (int32_t motion = 1; motion <= 256; ++motion) {
    MotionWeights weights{};
    BuildWeightsSse(&weights, 8 * motion);
    test::MapPlane sse2(kWidth, 0, kCanary), got(kWidth, 0, kCanary);
    MotionRowSse2(sse2Rows.row(0), sse2.row(0), kWidth, sse2Rows.pitch(), weights);
    form.motionRow(gotRows.row(0), got.row(0), kWidth, gotRows.pitch(), weights);
    const PlaneRegions regions{-2, got.pitch(), kWidth, 0, 0, 0, 0, roundUp(kWidth, form.block)};
    ASSERT_EQ(planeDifferences(got.snapshot(), sse2.snapshot(), regions), "")
        << "motion " << motion;
  }
}

std::vector<KernelForm> formsAboveSse2() {
  std::vector<KernelForm> forms;
  for (const KernelForm& form : test::formsWith(&KernelForm::motionRow)) {
    if (form.level > kCpuSse2) forms.push_back(form);
  }
  return forms;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(AboveSse2Rows);
INSTANTIATE_TEST_SUITE_P(Forms, AboveSse2Rows, ::testing::ValuesIn(formsAboveSse2()),
                         test::FormName());

}  // namespace
}  // namespace quillet
