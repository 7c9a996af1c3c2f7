#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/pixel.h"
#include "lowpass/lowpass.h"
#include "pipeline/row_job.h"
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
  int rows, width, stride;
};
std::vector<KernelCall> recordedCalls;
const RowJob* recordedJob = nullptr;

template <int Tap>
void recordCall(int16_t* dst, const int16_t* src, int rows, int width, int stride) {
  const auto* d = reinterpret_cast<const Pixel*>(dst);
  const auto* s = reinterpret_cast<const Pixel*>(src);
  recordedCalls.push_back(
      KernelCall{d - recordedJob->other, s - recordedJob->source, rows, width, stride});
}
const LowpassKernelTable kRecordingKernels = {recordCall<0>, recordCall<1>, recordCall<2>,
                                              recordCall<3>, recordCall<4>, recordCall<5>,
                                              recordCall<6>};

// Runs the stage as thread `index` of `count` with the recording kernels; returns its calls.
std::vector<KernelCall> stripCalls(int width, int index, int count) {
  std::vector<Pixel> source(static_cast<size_t>(4) * static_cast<size_t>(width + 1));
  std::vector<Pixel> destination(source.size());
  const RowJob job{source.data(), destination.data(), 3, 0, 4, width, width + 1, 1, 3};
  recordedCalls.clear();
  recordedJob = &job;
  runLowpassStage(kRecordingKernels, index, count, job);
  return recordedCalls;
}

TEST(LowpassStage, StripsFollowTheBlockDivision) {
  struct Strip {
    int begin, end;
  };
  struct Case {
    int width, threads;
    std::vector<Strip> strips;  // per thread; begin == end for a thread that makes no call
  };
  const Case cases[] = {
      {640, 4, {{0, 160}, {160, 320}, {320, 480}, {480, 640}}},
      {1000, 3, {{0, 336}, {336, 672}, {672, 1000}}},
      {100,
       16,
       {{0, 8},
        {8, 16},
        {16, 24},
        {24, 32},
        {32, 40},
        {40, 48},
        {48, 56},
        {56, 64},
        {64, 72},
        {72, 80},
        {80, 88},
        {88, 96},
        {96, 100},
        {100, 100},
        {100, 100},
        {100, 100}}},
      {643, 4, {{0, 168}, {168, 336}, {336, 504}, {504, 643}}},
      {24, 2, {{0, 16}, {16, 24}}},
      {5, 3, {{0, 5}, {5, 5}, {5, 5}}},
      {0, 2, {{0, 0}, {0, 0}}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < c.threads; ++i) {
      const std::vector<KernelCall> calls = stripCalls(c.width, i, c.threads);
      const Strip& strip = c.strips[static_cast<size_t>(i)];
      if (strip.begin == strip.end) {
        EXPECT_TRUE(calls.empty()) << "width " << c.width << " thread " << i;
        continue;
      }
      ASSERT_EQ(calls.size(), 1u) << "width " << c.width << " thread " << i;
      EXPECT_EQ(calls[0].dstOffset, (c.width + 1) + strip.begin) << "thread " << i;
      EXPECT_EQ(calls[0].srcOffset, (c.width + 1) + strip.begin) << "thread " << i;
      EXPECT_EQ(calls[0].width, strip.end - strip.begin) << "width " << c.width << " thread " << i;
      EXPECT_EQ(calls[0].rows, 2);
      EXPECT_EQ(calls[0].stride, c.width + 1);
    }
  }
}

TEST(LowpassStage, StripsTileTheRowInWholeBlocks) {
  for (int width = 1; width <= 200; ++width) {
    for (int threads = 2; threads <= 16; ++threads) {
      ptrdiff_t next = 0;
      for (int i = 0; i < threads; ++i) {
        for (const KernelCall& call : stripCalls(width, i, threads)) {
          const ptrdiff_t begin = call.dstOffset - (width + 1);
          ASSERT_EQ(begin, next) << "width " << width << " threads " << threads << " thread " << i;
          ASSERT_EQ(begin % 8, 0) << "width " << width << " threads " << threads;
          next = begin + call.width;
          ASSERT_TRUE(next == width || call.width % 8 == 0)
              << "width " << width << " threads " << threads << " thread " << i;
        }
      }
      ASSERT_EQ(next, width) << "width " << width << " threads " << threads;
    }
  }
}

TEST(LowpassStage, OneThreadFiltersWholeRowsInOneCall) {
  for (int threads : {0, 1}) {
    const std::vector<KernelCall> calls = stripCalls(37, 0, threads);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].dstOffset, 38);
    EXPECT_EQ(calls[0].width, 37);
    EXPECT_EQ(calls[0].rows, 2);
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
                                c.stride);
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

// The columns are filtered independently, so any division into strips gives the same frame.
TEST(LowpassStage, ThreadCountsGiveTheSameFrame) {
  struct Case {
    int height, width, stride, bandTop, bandEnd;
  };
  const Case cases[] = {{23, 100, 103, 2, 20},
                        {9, 37, 37, 0, 9},
                        {6, 333, 340, 1, 3},
                        {15, 1, 2, 4, 5},
                        {5, 64, 64, 5, 5}};
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
        RowJob job = split.job(tap, c.bandTop, c.bandEnd);
        for (int i = 0; i < threads; ++i) LowpassStageScalar(i, threads, &job, nullptr);
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
