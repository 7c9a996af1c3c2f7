#include "lowpass/lowpass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/pixel.h"
#include "rows/row_job.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/kernel_forms.h"
#include "tests/support/lowpass_reference.h"

namespace quillet {
namespace {

#if QUILLET_ENABLE_SIMD

using test::kCanaryByte;
using test::kLowpassWeights;
using test::lowpassTestReach;

using test::KernelForm;

int16_t sat16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

// The vector arithmetic at one sample, re-evaluated from the source: neighbour pair sums
// saturated before weighting, 16383 rounding for every tap, packed with saturation. Also
// reports whether any step saturated and whether tap 5's exact weighted sum lies on a half.
struct VectorModel {
  int16_t result = 0;
  bool saturated = false;
  bool tap5Half = false;
};

VectorModel modelSample(int tap, const int16_t* src, int rows, ptrdiff_t pitch, int r,
                        ptrdiff_t j) {
  const auto at = [&](int row) -> int64_t { return src[mirrorBandRow(row, rows) * pitch + j]; };
  VectorModel m;
  const int64_t c = src[r * pitch + j];
  if (tap == 0) {
    const int64_t pair = at(r - 1) + at(r + 1);
    const int16_t pair16 = sat16(pair);
    const int16_t rounded = sat16(pair16 + 2);
    const int16_t twice = sat16(2 * c);
    const int16_t total = sat16(int64_t{twice} + rounded);
    m.saturated = pair16 != pair || rounded != pair16 + 2 || twice != 2 * c ||
                  total != int64_t{twice} + rounded;
    m.result = static_cast<int16_t>(total >> 2);
    return m;
  }
  int64_t exact = kLowpassWeights[tap][0] * c;
  int64_t saturatedSum = exact;
  for (int k = 1; k <= lowpassTestReach(tap); ++k) {
    const int64_t pair = at(r - k) + at(r + k);
    m.saturated |= sat16(pair) != pair;
    exact += kLowpassWeights[tap][k] * pair;
    saturatedSum += kLowpassWeights[tap][k] * sat16(pair);
  }
  m.result = sat16((saturatedSum + 16383) >> 15);
  m.tap5Half = tap == 5 && ((exact % 32768) + 32768) % 32768 == 16384;
  return m;
}

enum class Fill { Bounded, FullRange, Zero, Max, Min, ExtremesAlternatingRows, ExtremesRandom };

const char* fillName(Fill fill) {
  switch (fill) {
    case Fill::Bounded:
      return "bounded";
    case Fill::FullRange:
      return "full-range";
    case Fill::Zero:
      return "zero";
    case Fill::Max:
      return "max";
    case Fill::Min:
      return "min";
    case Fill::ExtremesAlternatingRows:
      return "alternating extremes";
    case Fill::ExtremesRandom:
      return "random extremes";
  }
  return "";
}

int16_t fillSample(Fill fill, int row, test::Prng& prng) {
  switch (fill) {
    case Fill::Bounded:
      return prng.sample(8191);
    case Fill::FullRange:
      return static_cast<int16_t>(prng.range(INT16_MIN, INT16_MAX));
    case Fill::Zero:
      return 0;
    case Fill::Max:
      return INT16_MAX;
    case Fill::Min:
      return INT16_MIN;
    case Fill::ExtremesAlternatingRows:
      return static_cast<int16_t>(row % 2 ? INT16_MIN : INT16_MAX);
    case Fill::ExtremesRandom:
      return static_cast<int16_t>(prng.range(0, 1) ? INT16_MIN : INT16_MAX);
  }
  return 0;
}

struct Shape {
  int width, stride, rows;
};

// Where the rows start: -1 lets the source end exactly at an inaccessible page (the
// destination then ends kTrailBytes before one); 0..14 forces that start modulo 16, moving the
// end away from the page by up to 15 bytes.
struct Placement {
  int srcAlign = -1;
  int dstAlign = -1;
};

constexpr size_t kTrailBytes = 32;
constexpr size_t kLeadBytes = 64;

size_t bandSamples(const Shape& s) {
  if (s.rows <= 0 || s.width <= 0) return 0;
  return (static_cast<size_t>(s.rows - 1) * static_cast<size_t>(s.stride) +
          static_cast<size_t>(s.width)) *
         kSamplesPerPixel;
}

// Bytes after `used` that put the start of a page-end buffer at `align` modulo 16.
size_t padFor(size_t used, int align) {
  if (align < 0) return 0;
  return (static_cast<size_t>(32 - align) - used % 16) % 16;
}

// Expected and actual samples around (row, sample), mismatches starred.
std::string sampleGrid(const std::vector<int16_t>& expected, const int16_t* actual, ptrdiff_t pitch,
                       const Shape& s, int row, ptrdiff_t sample) {
  std::ostringstream out;
  const ptrdiff_t samples = static_cast<ptrdiff_t>(s.width) * kSamplesPerPixel;
  for (int r = std::max(0, row - 1); r <= std::min(s.rows - 1, row + 1); ++r) {
    out << "\n  row " << r << ":";
    for (ptrdiff_t j = std::max<ptrdiff_t>(0, sample - 3); j < std::min(samples, sample + 5); ++j) {
      const int16_t e = expected[static_cast<size_t>(r * pitch + j)];
      const int16_t a = actual[r * pitch + j];
      out << " [" << j << "] " << e << "/" << a << (e != a ? "*" : "");
    }
  }
  return out.str();
}

std::string describe(const KernelForm& formSpec, int tap, const Shape& s, Fill fill) {
  std::ostringstream out;
  out << formSpec.name << " tap " << tap << " width " << s.width << " stride " << s.stride
      << " rows " << s.rows << " fill " << fillName(fill) << " seed " << test::testSeed();
  return out.str();
}

bool allCanary(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == kCanaryByte; });
}

// Runs one form's kernel and the scalar kernel on the same band and checks the form's output
// sample by sample, the guard areas around the destination and the source. Bounded fills
// must match bit-exactly but for tap 5's exact halves, which come out one lower; other fills
// may differ only where the form's saturation explains it, and then must equal the model.
void checkKernel(const KernelForm& formSpec, int tap, const Shape& s, Fill fill, Placement place,
                 test::Prng& prng) {
  const std::string what = describe(formSpec, tap, s, fill);
  const size_t samples = bandSamples(s);
  const size_t bytes = samples * sizeof(int16_t);
  const size_t srcPad = padFor(bytes, place.srcAlign);
  const size_t dstPad = padFor(bytes + kTrailBytes, place.dstAlign);
  test::PageEndBuffer srcBuffer(bytes + srcPad, kLeadBytes);
  test::PageEndBuffer dstBuffer(bytes + kTrailBytes + dstPad, kLeadBytes);
  int16_t* src = srcBuffer.as<int16_t>();
  int16_t* dst = dstBuffer.as<int16_t>();
  std::memset(srcBuffer.data() + bytes, kCanaryByte, srcPad);
  std::memset(dstBuffer.data(), kCanaryByte, dstBuffer.size());

  const ptrdiff_t pitch = static_cast<ptrdiff_t>(s.stride) * kSamplesPerPixel;
  const ptrdiff_t rowSamples = static_cast<ptrdiff_t>(s.width) * kSamplesPerPixel;
  for (size_t i = 0; i < samples; ++i) {
    src[i] =
        fillSample(fill, pitch > 0 ? static_cast<int>(static_cast<ptrdiff_t>(i) / pitch) : 0, prng);
  }
  const std::vector<int16_t> input(src, src + samples);
  std::vector<int16_t> expected(samples + 1, 0);
  LowpassKernelsScalar[tap](expected.data(), input.data(), s.rows, s.width, s.stride, 0, s.rows);

  (*formSpec.lowpass)[tap](dst, src, s.rows, s.width, s.stride, 0, s.rows);

  EXPECT_TRUE(std::equal(input.begin(), input.end(), src)) << "source changed: " << what;
  EXPECT_TRUE(srcBuffer.leadIntact()) << "source lead changed: " << what;
  EXPECT_TRUE(dstBuffer.leadIntact()) << "overwrite left of the first row: " << what;
  EXPECT_TRUE(allCanary(dstBuffer.data() + bytes, kTrailBytes + dstPad))
      << "overwrite past the last row's stride: " << what;

  int slackOverwrites = 0;
  int mismatches = 0;
  std::string firstMismatch;
  for (int r = 0; r < s.rows && rowSamples > 0; ++r) {
    if (r + 1 < s.rows) {
      const auto* slack = reinterpret_cast<const uint8_t*>(dst + r * pitch + rowSamples);
      if (!allCanary(slack, static_cast<size_t>(pitch - rowSamples) * sizeof(int16_t))) {
        ++slackOverwrites;
      }
    }
    for (ptrdiff_t j = 0; j < rowSamples; ++j) {
      const int16_t want = expected[static_cast<size_t>(r * pitch + j)];
      const int16_t got = dst[r * pitch + j];
      bool explained = got == want;
      if (!explained) {
        const VectorModel m = modelSample(tap, input.data(), s.rows, pitch, r, j);
        if (fill == Fill::Bounded) {
          explained = m.tap5Half && got == want - 1;
        } else {
          explained = (m.saturated || m.tap5Half) && got == m.result;
        }
      }
      if (!explained && mismatches++ == 0) {
        std::ostringstream out;
        out << "row " << r << " sample " << j << ": scalar " << want << ", form " << got
            << " (expected/actual)" << sampleGrid(expected, dst, pitch, s, r, j);
        firstMismatch = out.str();
      }
    }
  }
  EXPECT_EQ(slackOverwrites, 0) << "overwrite right of a row, inside its stride: " << what;
  EXPECT_EQ(mismatches, 0) << "value mismatch: " << what << "\n first at " << firstMismatch;
}

class LowpassCrossform : public ::testing::TestWithParam<std::tuple<KernelForm, int>> {
 protected:
  void SetUp() override {
    if (!test::formRuns(formSpec())) GTEST_SKIP() << "the processor lacks this form";
  }
  const KernelForm& formSpec() const { return std::get<0>(GetParam()); }
  int tap() const { return std::get<1>(GetParam()); }
  int reach() const { return lowpassTestReach(tap()); }

  // Strides for a width: tight and with slack; whole 8-pixel blocks for the aligned form.
  std::vector<int> stridesFor(int width) const {
    if (formSpec().aligned) {
      const int tight = (width + 7) / 8 * 8;
      return {tight, tight + 8};
    }
    return {width, width + 3};
  }
  Placement natural() const { return formSpec().aligned ? Placement{0, 0} : Placement{}; }
};

std::vector<int> crossformWidths() {
  std::vector<int> widths;
  for (int w = 0; w <= 17; ++w) widths.push_back(w);
  // 8k, 16k and 32k pixels, each one either side: every block size's full and partial ends.
  for (int k : {3, 4, 6, 8, 32}) {
    for (int w : {8 * k - 1, 8 * k, 8 * k + 1}) widths.push_back(w);
  }
  widths.push_back(1921);
  return widths;
}

TEST_P(LowpassCrossform, BoundedSamplesMatchScalar) {
  test::Prng prng(test::testSeed());
  std::vector<int> heights;
  for (int h = 0; h <= reach() + 1; ++h) heights.push_back(h);
  heights.push_back(reach() + 4);
  heights.push_back(2 * reach() + 5);
  for (int width : crossformWidths()) {
    for (int stride : stridesFor(width)) {
      for (int rows : heights) {
        checkKernel(formSpec(), tap(), {width, stride, rows}, Fill::Bounded, natural(), prng);
        if (HasFailure()) return;
      }
    }
  }
}

TEST_P(LowpassCrossform, FullRangeDiffersOnlyBySaturation) {
  test::Prng prng(test::testSeed() ^ 0x66756c6cULL);
  const Fill fills[] = {
      Fill::FullRange,     Fill::Zero, Fill::Max, Fill::Min, Fill::ExtremesAlternatingRows,
      Fill::ExtremesRandom};
  for (Fill fill : fills) {
    for (int width : {1, 2, 3, 5, 8, 9, 16, 17, 33, 259}) {
      for (int rows : {1, 2, reach() + 1, 2 * reach() + 3}) {
        const int stride = stridesFor(width)[0];
        checkKernel(formSpec(), tap(), {width, stride, rows}, fill, natural(), prng);
        if (HasFailure()) return;
      }
    }
  }
}

TEST_P(LowpassCrossform, UnalignedRowsMatchScalar) {
  if (formSpec().aligned) GTEST_SKIP() << "the aligned form takes aligned rows only";
  test::Prng prng(test::testSeed() ^ 0x616c6967ULL);
  for (int srcAlign = 0; srcAlign < 16; srcAlign += 2) {
    for (int dstAlign : {0, 2, 6, 10, 14}) {
      for (int width : {3, 8, 13, 37}) {
        checkKernel(formSpec(), tap(), {width, width + 1, reach() + 2}, Fill::Bounded,
                    {srcAlign, dstAlign}, prng);
        if (HasFailure()) return;
      }
    }
  }
}

// A row of +-8192 in zeros puts tap 5's weighted sums on exact halves (the centre row's, and
// those of rows whose weight is 2 modulo 4): the vector forms round them down, one below the
// scalar result. Every other sample, and every other tap, agrees exactly.
TEST_P(LowpassCrossform, ExactHalfRoundsDownOnlyForTap5) {
  for (int impulse : {8192, -8192}) {
    // Rows of 9 pixels 16 pixels apart: a partial last block, and aligned rows for every form.
    const int width = 9;
    const int stride = 16;
    const int rows = 2 * reach() + 3;
    const int pitch = stride * kSamplesPerPixel;
    const size_t bytes = static_cast<size_t>(rows * pitch) * sizeof(int16_t);
    test::PageEndBuffer srcBuffer(bytes);
    test::PageEndBuffer scalarBuffer(bytes);
    test::PageEndBuffer vectorBuffer(bytes);
    int16_t* src = srcBuffer.as<int16_t>();
    int16_t* scalar = scalarBuffer.as<int16_t>();
    int16_t* vector = vectorBuffer.as<int16_t>();
    std::memset(src, 0, bytes);
    std::fill_n(src + rows / 2 * pitch, width * kSamplesPerPixel, static_cast<int16_t>(impulse));
    LowpassKernelsScalar[tap()](scalar, src, rows, width, stride, 0, rows);
    (*formSpec().lowpass)[tap()](vector, src, rows, width, stride, 0, rows);
    int halves = 0;
    for (int r = 0; r < rows; ++r) {
      for (int j = 0; j < width * kSamplesPerPixel; ++j) {
        const bool half = modelSample(tap(), src, rows, pitch, r, j).tap5Half;
        halves += half ? 1 : 0;
        ASSERT_EQ(vector[r * pitch + j], scalar[r * pitch + j] - (half ? 1 : 0))
            << formSpec().name << " tap " << tap() << " impulse " << impulse << " row " << r
            << " sample " << j;
      }
    }
    if (tap() == 5) {
      EXPECT_GE(halves, width * kSamplesPerPixel) << "the impulse row is an exact half";
    }
  }
}

// The stage on whole frames with margins, on 1..16 threads: margins copied, band as the scalar
// stage's (tap 5 halves one lower), nothing beyond the width written, MMX state cleared.
TEST_P(LowpassCrossform, StageMatchesScalarStage) {
  struct Case {
    int height, width, bandTop, bandEnd;
  };
  const Case cases[] = {{9, 1, 2, 7},   {9, 7, 0, 9},  {12, 17, 3, 4}, {10, 100, 1, 9},
                        {6, 333, 0, 6}, {8, 64, 4, 4}, {5, 41, 5, 5}};
  test::Prng prng(test::testSeed() ^ 0x7374616765ULL);
  const KernelForm& form = formSpec();
  for (const Case& c : cases) {
    const int stride = form.aligned ? (c.width + 7) / 8 * 8 + 8 : c.width + 5;
    const size_t pixels = static_cast<size_t>(c.height) * static_cast<size_t>(stride);
    std::vector<Pixel> source(pixels + 16);
    // Rows 16-byte aligned for the aligned form: 48-byte pixel blocks from an aligned start.
    Pixel* src = source.data();
    while (reinterpret_cast<uintptr_t>(src) % 16 != 0) ++src;
    for (size_t i = 0; i < pixels; ++i) {
      src[i] = Pixel{prng.sample(8191), prng.sample(8191), prng.sample(8191)};
    }
    std::vector<Pixel> reference(pixels, Pixel{0x5A5A, 0x5A5A, 0x5A5A});
    RowJob referenceJob{src,     reference.data(), tap(),     0,        c.height,
                        c.width, stride,           c.bandTop, c.bandEnd};
    LowpassStageScalar(0, 1, &referenceJob, nullptr);
    const auto* band = reinterpret_cast<const int16_t*>(src + c.bandTop * stride);
    auto* referenceBand = reinterpret_cast<int16_t*>(reference.data() + c.bandTop * stride);
    for (int r = 0; r < c.bandEnd - c.bandTop; ++r) {
      for (ptrdiff_t j = 0; j < c.width * kSamplesPerPixel; ++j) {
        const ptrdiff_t pitch = stride * kSamplesPerPixel;
        if (modelSample(tap(), band, c.bandEnd - c.bandTop, pitch, r, j).tap5Half) {
          --referenceBand[r * pitch + j];
        }
      }
    }
    for (int threads : {1, 2, 3, 5, 16}) {
      std::vector<Pixel> destination(pixels + 16, Pixel{0x5A5A, 0x5A5A, 0x5A5A});
      Pixel* dst = destination.data();
      while (reinterpret_cast<uintptr_t>(dst) % 16 != 0) ++dst;
      RowCounters counters;
      RowJob job{src, dst, tap(), 0, c.height, c.width, stride, c.bandTop, c.bandEnd, &counters};
      for (int i = 0; i < threads; ++i) {
        test::dirtyMmxState();
        form.lowpassStage(i, threads, &job, nullptr);
        ASSERT_TRUE(test::mmxStateEmpty()) << form.name << " left MMX state, thread " << i;
      }
      EXPECT_EQ(std::memcmp(dst, reference.data(), pixels * sizeof(Pixel)), 0)
          << form.name << " tap " << tap() << " width " << c.width << " band " << c.bandTop << ".."
          << c.bandEnd << " threads " << threads << " seed " << test::testSeed();
    }
  }
}

std::string crossformName(const ::testing::TestParamInfo<std::tuple<KernelForm, int>>& info) {
  return "Tap" + std::to_string(std::get<1>(info.param)) + "_" + std::get<0>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LowpassCrossform,
    ::testing::Combine(::testing::ValuesIn(test::formsWith(&KernelForm::lowpass)),
                       ::testing::Range(0, kTapCount)),
    crossformName);

// Every form above SSE2 against the SSE2 form on any input, saturating ones included: every sample
// of every row, and the slack and trail both leave alone, bit for bit.
TEST(LowpassAboveSse2, MatchesSse2OnFullRangeInput) {
  std::vector<KernelForm> forms;
  for (const KernelForm& form : test::formsWith(&KernelForm::lowpass)) {
    if (form.level > kCpuSse2 && test::formRuns(form)) forms.push_back(form);
  }
  if (forms.empty()) GTEST_SKIP() << "no form above SSE2 runs here";
  test::Prng prng(test::testSeed() ^ 0x61767832ULL);
  std::vector<int> widths = crossformWidths();
  widths.insert(widths.end(), {16 * 40 - 1, 16 * 40 + 1, 32 * 60 - 1, 32 * 60 + 1});
  const Fill fills[] = {Fill::FullRange, Fill::ExtremesRandom, Fill::ExtremesAlternatingRows};
  for (const KernelForm& form : forms) {
    for (int tap = 0; tap < kTapCount; ++tap) {
      for (int width : widths) {
        for (int stride : {width, width + 1}) {
          const Fill fill = fills[prng.range(0, 2)];
          const Shape s{width, stride, lowpassTestReach(tap) + 3};
          const size_t bytes = bandSamples(s) * sizeof(int16_t);
          test::PageEndBuffer src(bytes), sse2(bytes + kTrailBytes), out(bytes + kTrailBytes);
          const ptrdiff_t pitch = static_cast<ptrdiff_t>(stride) * kSamplesPerPixel;
          for (size_t i = 0; i < bytes / sizeof(int16_t); ++i) {
            src.as<int16_t>()[i] =
                fillSample(fill, static_cast<int>(static_cast<ptrdiff_t>(i) / pitch), prng);
          }
          std::memset(sse2.data(), kCanaryByte, sse2.size());
          std::memset(out.data(), kCanaryByte, out.size());
          LowpassKernelsSse2[tap](sse2.as<int16_t>(), src.as<int16_t>(), s.rows, width, stride, 0,
                                  s.rows);
          (*form.lowpass)[tap](out.as<int16_t>(), src.as<int16_t>(), s.rows, width, stride, 0,
                               s.rows);
          ASSERT_EQ(std::memcmp(sse2.data(), out.data(), out.size()), 0)
              << describe(form, tap, s, fill);
        }
      }
    }
  }
}

#else

TEST(LowpassCrossform, VectorFormsNotBuilt) { GTEST_SKIP() << "built without the vector forms"; }

#endif

}  // namespace
}  // namespace quillet
