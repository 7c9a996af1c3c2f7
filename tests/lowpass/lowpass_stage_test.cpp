#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/pixel.h"
#include "lowpass/lowpass.h"
#include "rows/row_claim.h"
#include "rows/row_job.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

constexpr int16_t kUntouched = static_cast<int16_t>(0x5A5A);

// A frame pair for one stage run: a random source and a destination filled with kUntouched,
// both `stride` pixels per row.
struct FramePair {
  int height, width, stride;
  std::vector<Pixel> source;
  std::vector<Pixel> destination;

  FramePair(int h, int w, int s, test::Prng& prng)
      : height(h),
        width(w),
        stride(s),
        source(static_cast<size_t>(h) * static_cast<size_t>(s)),
        destination(source.size(), Pixel{kUntouched, kUntouched, kUntouched}) {
    for (Pixel& p : source) p = Pixel{prng.sample(32767), prng.sample(32767), prng.sample(32767)};
  }
  RowJob job(int tap, int bandTop, int bandEnd) {
    return RowJob{source.data(), destination.data(), tap, 0, height, width, stride, bandTop,
                  bandEnd};
  }
  const Pixel* sourceRow(int y) const { return source.data() + static_cast<ptrdiff_t>(y) * stride; }
  const Pixel* destinationRow(int y) const {
    return destination.data() + static_cast<ptrdiff_t>(y) * stride;
  }
};

bool samePixels(const Pixel* a, const Pixel* b, int count) {
  return std::memcmp(a, b, static_cast<size_t>(count) * sizeof(Pixel)) == 0;
}

// Every kernel call a stage makes, as pixel offsets from the job's frames.
struct KernelCall {
  ptrdiff_t dstOffset;
  ptrdiff_t srcOffset;
  int rows, width, stride, firstRow, rowCount;
};
std::vector<KernelCall> recordedCalls;
const RowJob* recordedJob = nullptr;

template <int Tap>
void recordCall(int16_t* dst, const int16_t* src, int rows, int width, int stride, int firstRow,
                int rowCount) {
  const auto* d = reinterpret_cast<const Pixel*>(dst);
  const auto* s = reinterpret_cast<const Pixel*>(src);
  recordedCalls.push_back(KernelCall{d - recordedJob->other, s - recordedJob->source, rows, width,
                                     stride, firstRow, rowCount});
}
const LowpassKernelTable kRecordingKernels = {recordCall<0>, recordCall<1>, recordCall<2>,
                                              recordCall<3>, recordCall<4>, recordCall<5>,
                                              recordCall<6>};

// What one stage call does to a frame of `height` rows (width 5, stride 6) with the band
// bandTop..bandEnd when it runs as thread `index` of `count`, the row counter starting at
// `preset`: its kernel calls, the frame rows it copies and the counter it leaves.
struct CallWork {
  std::vector<KernelCall> calls;
  std::vector<int> copiedRows;
  int32_t counterAfter;
};
CallWork stageCall(int height, int bandTop, int bandEnd, int index, int count, int preset = 0) {
  constexpr int kWidth = 5;
  constexpr int kStride = 6;
  std::vector<Pixel> source(static_cast<size_t>(height) * kStride, Pixel{1, 2, 3});
  std::vector<Pixel> destination(source.size(), Pixel{kUntouched, kUntouched, kUntouched});
  RowCounters counters;
  counters.rows = preset;
  const RowJob job{source.data(), destination.data(), 3, 0, height, kWidth, kStride, bandTop,
                   bandEnd,       &counters};
  recordedCalls.clear();
  recordedJob = &job;
  runLowpassStage(kRecordingKernels, index, count, job);
  CallWork work{recordedCalls, {}, counters.rows.load()};
  for (int y = 0; y < height; ++y) {
    if (destination[static_cast<size_t>(y) * kStride].y != kUntouched) work.copiedRows.push_back(y);
  }
  return work;
}

std::vector<int> rowsFrom(int begin, int end) {
  std::vector<int> rows;
  for (int y = begin; y < end; ++y) rows.push_back(y);
  return rows;
}

// With several threads the stage claims runs of whole frame rows from the row counter: margin rows
// of a run are copied, and its band rows go to the kernel in one call that names them. Runs
// below the counter's start belong to other threads.
TEST(LowpassStage, ClaimsRunsOfWholeRows) {
  constexpr int C = kRowsPerClaim;
  struct Run {
    int firstRow, rowCount;  // kernel call, band rows
  };
  struct Case {
    const char* what;
    int height, bandTop, bandEnd, preset;
    std::vector<int> copied;
    std::vector<Run> calls;
  };
  const std::vector<Case> cases = {
      {"band in the first run",
       C + 10,
       2,
       8,
       0,
       [] {
         std::vector<int> rows = {0, 1};
         for (int y : rowsFrom(8, C + 10)) rows.push_back(y);
         return rows;
       }(),
       {{0, 6}}},
      {"band across three runs",
       2 * C + 10,
       5,
       2 * C + 3,
       0,
       {0, 1, 2, 3, 4, 2 * C + 3, 2 * C + 4, 2 * C + 5, 2 * C + 6, 2 * C + 7, 2 * C + 8, 2 * C + 9},
       {{0, C - 5}, {C - 5, C}, {2 * C - 5, 3}}},
      {"first run taken by another thread",
       2 * C + 10,
       5,
       2 * C + 3,
       1,
       rowsFrom(2 * C + 3, 2 * C + 10),
       {{C - 5, C}, {2 * C - 5, 3}}},
      {"empty band", C + 3, 4, 4, 0, rowsFrom(0, C + 3), {}},
      {"counter past the frame", C + 3, 0, C + 3, 2, {}, {}},
      {"no rows", 0, 0, 0, 0, {}, {}},
  };
  for (const Case& c : cases) {
    for (int threads : {2, 5}) {
      const CallWork work = stageCall(c.height, c.bandTop, c.bandEnd, 1, threads, c.preset);
      const std::string where = std::string(c.what) + ", " + std::to_string(threads) + " threads";
      EXPECT_EQ(work.copiedRows, c.copied) << where;
      ASSERT_EQ(work.calls.size(), c.calls.size()) << where;
      for (size_t i = 0; i < c.calls.size(); ++i) {
        const KernelCall& call = work.calls[i];
        // The kernel always sees the whole band and is told which of its rows to write.
        EXPECT_EQ(call.dstOffset, c.bandTop * 6) << where;
        EXPECT_EQ(call.srcOffset, c.bandTop * 6) << where;
        EXPECT_EQ(call.rows, c.bandEnd - c.bandTop) << where;
        EXPECT_EQ(call.width, 5) << where;
        EXPECT_EQ(call.stride, 6) << where;
        EXPECT_EQ(call.firstRow, c.calls[i].firstRow) << where << " call " << i;
        EXPECT_EQ(call.rowCount, c.calls[i].rowCount) << where << " call " << i;
      }
    }
  }
}

TEST(LowpassStage, OneThreadFiltersTheWholeBandInOneCallWithoutTheCounter) {
  for (int threads : {0, 1}) {
    // One thread never claims: a counter left anywhere does not matter.
    const CallWork work = stageCall(10, 2, 8, 0, threads, 77);
    ASSERT_EQ(work.calls.size(), 1u);
    EXPECT_EQ(work.calls[0].firstRow, 0);
    EXPECT_EQ(work.calls[0].rowCount, 6);
    EXPECT_EQ(work.copiedRows, (std::vector<int>{0, 1, 8, 9}));
    EXPECT_EQ(work.counterAfter, 77);
  }
}

// Margin rows are byte copies, band rows are the kernel's output on the band alone (margin
// rows hold unrelated data and must not leak in), and nothing past the width is written.
TEST(LowpassStage, CopiesMarginsAndFiltersBand) {
  struct Case {
    int height, width, stride, bandTop, bandEnd;
  };
  const Case cases[] = {
      {12, 9, 11, 3, 9}, {12, 9, 9, 0, 12}, {12, 9, 10, 0, 1},   {12, 9, 10, 11, 12},
      {12, 9, 10, 5, 5}, {12, 9, 10, 0, 0}, {12, 9, 10, 12, 12}, {1, 4, 4, 0, 1},
      {20, 1, 3, 2, 19}, {7, 33, 40, 1, 3}, {0, 5, 5, 0, 0},
  };
  test::Prng prng(test::testSeed());
  for (int tap = 0; tap < kTapCount; ++tap) {
    for (const Case& c : cases) {
      FramePair frames(c.height, c.width, c.stride, prng);
      RowJob job = frames.job(tap, c.bandTop, c.bandEnd);
      LowpassStageScalar(0, 1, &job, nullptr);

      const int bandRows = c.bandEnd - c.bandTop;
      std::vector<Pixel> band(static_cast<size_t>(bandRows) * static_cast<size_t>(c.stride));
      std::vector<Pixel> bandOut(band.size(), Pixel{kUntouched, kUntouched, kUntouched});
      if (bandRows > 0) {
        std::memcpy(band.data(), frames.sourceRow(c.bandTop), band.size() * sizeof(Pixel));
      }
      LowpassKernelsScalar[tap](reinterpret_cast<int16_t*>(bandOut.data()),
                                reinterpret_cast<const int16_t*>(band.data()), bandRows, c.width,
                                c.stride, 0, bandRows);
      for (int y = 0; y < c.height; ++y) {
        const bool inBand = y >= c.bandTop && y < c.bandEnd;
        const Pixel* expected =
            inBand ? bandOut.data() + (y - c.bandTop) * c.stride : frames.sourceRow(y);
        EXPECT_TRUE(samePixels(frames.destinationRow(y), expected, c.width))
            << "tap " << tap << " height " << c.height << " band " << c.bandTop << ".." << c.bandEnd
            << " row " << y << (inBand ? " (band)" : " (margin)");
        for (int x = c.width; x < c.stride; ++x) {
          EXPECT_EQ(frames.destinationRow(y)[x].y, kUntouched) << "row " << y << " pixel " << x;
          EXPECT_EQ(frames.destinationRow(y)[x].cr, kUntouched) << "row " << y << " pixel " << x;
        }
      }
    }
  }
}

// A row's result depends only on the band, so any division into runs of rows gives the same frame.
TEST(LowpassStage, ThreadCountsGiveTheSameFrame) {
  struct Case {
    int height, width, stride, bandTop, bandEnd;
  };
  const Case cases[] = {{23, 100, 103, 2, 20},
                        {9, 37, 37, 0, 9},
                        {6, 333, 340, 1, 3},
                        {15, 1, 2, 4, 5},
                        {5, 64, 64, 5, 5},
                        // Several runs of rows for the threads to share.
                        {100, 20, 20, 3, 97},
                        {70, 9, 9, 0, 70}};
  test::Prng prng(test::testSeed());
  for (int tap = 0; tap < kTapCount; ++tap) {
    for (const Case& c : cases) {
      FramePair single(c.height, c.width, c.stride, prng);
      RowJob singleJob = single.job(tap, c.bandTop, c.bandEnd);
      LowpassStageScalar(0, 1, &singleJob, nullptr);
      for (int threads = 2; threads <= 16; ++threads) {
        FramePair split = single;
        std::fill(split.destination.begin(), split.destination.end(),
                  Pixel{kUntouched, kUntouched, kUntouched});
        RowCounters counters;
        RowJob job = split.job(tap, c.bandTop, c.bandEnd);
        job.counters = &counters;
        std::vector<std::thread> workers;
        for (int i = 0; i < threads; ++i) {
          workers.emplace_back(
              [&job, i, threads] { LowpassStageScalar(i, threads, &job, nullptr); });
        }
        for (std::thread& w : workers) w.join();
        ASSERT_EQ(std::memcmp(split.destination.data(), single.destination.data(),
                              split.destination.size() * sizeof(Pixel)),
                  0)
            << "tap " << tap << " width " << c.width << " threads " << threads;
      }
    }
  }
}

}  // namespace
}  // namespace quillet
