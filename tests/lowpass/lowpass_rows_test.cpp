// Kernels asked for part of a band: the rows of one call are those of the whole-band call, and
// nothing outside the asked rows is written. Every form, every tap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/pixel.h"
#include "lowpass/lowpass.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/kernel_forms.h"

namespace quillet {
namespace {

constexpr int16_t kUntouched = static_cast<int16_t>(0x5A5A);

// Every lowpass form the processor runs, scalar included.
std::vector<test::KernelForm> tables() {
  std::vector<test::KernelForm> all;
  for (const test::KernelForm& form : test::formsWith(&test::KernelForm::lowpass, true)) {
    if (test::formRuns(form)) all.push_back(form);
  }
  return all;
}

// A band of `rows` rows of 13 pixels at a stride of 16, starting 16-byte aligned for every form.
struct Band {
  static constexpr int kWidth = 13;
  static constexpr int kStride = 16;
  int rows;
  std::vector<int16_t> storage;
  int16_t* samples;

  explicit Band(int r)
      : rows(r), storage(static_cast<size_t>(r) * kStride * kSamplesPerPixel + 8, kUntouched) {
    samples = storage.data();
    while (reinterpret_cast<uintptr_t>(samples) % 16 != 0) ++samples;
  }
  int16_t* row(int r) { return samples + static_cast<ptrdiff_t>(r) * kStride * kSamplesPerPixel; }
  bool sameRow(int r, const Band& other) {
    return std::memcmp(row(r), const_cast<Band&>(other).row(r),
                       kStride * kSamplesPerPixel * sizeof(int16_t)) == 0;
  }
  bool untouchedRow(int r) {
    for (int j = 0; j < kStride * kSamplesPerPixel; ++j) {
      if (row(r)[j] != kUntouched) return false;
    }
    return true;
  }
};

TEST(LowpassRows, PiecesOfABandEqualTheWholeBand) {
  test::Prng prng(test::testSeed());
  for (const test::KernelForm& table : tables()) {
    for (int tap = 0; tap < kTapCount; ++tap) {
      for (int rows : {1, 2, 3, lowpassReach(tap) + 1, 2 * lowpassReach(tap) + 5, 40}) {
        const std::string where = std::string(table.name) + " tap " + std::to_string(tap) +
                                  " rows " + std::to_string(rows) + " seed " +
                                  std::to_string(test::testSeed());
        Band source(rows);
        for (int r = 0; r < rows; ++r) {
          for (int j = 0; j < Band::kWidth * kSamplesPerPixel; ++j)
            source.row(r)[j] = prng.sample(8191);
        }
        const LowpassKernel kernel = (*table.lowpass)[static_cast<size_t>(tap)];
        Band whole(rows);
        kernel(whole.samples, source.samples, rows, Band::kWidth, Band::kStride, 0, rows);

        // Cut the band at random places; each piece writes exactly its rows.
        Band pieces(rows);
        for (int first = 0; first < rows;) {
          const int count = prng.range(1, 7);
          Band alone(rows);
          kernel(alone.samples, source.samples, rows, Band::kWidth, Band::kStride, first, count);
          kernel(pieces.samples, source.samples, rows, Band::kWidth, Band::kStride, first, count);
          for (int r = 0; r < rows; ++r) {
            const bool asked = r >= first && r < first + count;
            ASSERT_TRUE(asked ? alone.sameRow(r, whole) : alone.untouchedRow(r))
                << where << " piece " << first << "+" << count << " row " << r;
          }
          first += count;
        }
        for (int r = 0; r < rows; ++r)
          ASSERT_TRUE(pieces.sameRow(r, whole)) << where << " row " << r;
      }
    }
  }
}

// Ranges reaching outside the band are cut to it; empty ones write nothing.
TEST(LowpassRows, RangesAreCutToTheBand) {
  struct Case {
    int firstRow, rowCount;
    int begin, end;  // rows written
  };
  constexpr int kRows = 9;
  const Case cases[] = {{-3, 5, 0, 2}, {7, 10, 7, 9},        {-5, 100, 0, 9},
                        {4, 0, 4, 4},  {4, -2, 4, 4},        {9, 3, 9, 9},
                        {-8, 3, 0, 0}, {2, INT32_MAX, 2, 9}, {INT32_MIN, 3, 0, 0}};
  Band source(kRows);
  for (int r = 0; r < kRows; ++r) {
    for (int j = 0; j < Band::kWidth * kSamplesPerPixel; ++j) {
      source.row(r)[j] = static_cast<int16_t>(r * 100 + j);
    }
  }
  for (const test::KernelForm& table : tables()) {
    for (int tap : {0, 6}) {
      const LowpassKernel kernel = (*table.lowpass)[static_cast<size_t>(tap)];
      Band whole(kRows);
      kernel(whole.samples, source.samples, kRows, Band::kWidth, Band::kStride, 0, kRows);
      for (const Case& c : cases) {
        Band out(kRows);
        kernel(out.samples, source.samples, kRows, Band::kWidth, Band::kStride, c.firstRow,
               c.rowCount);
        for (int r = 0; r < kRows; ++r) {
          const bool written = r >= c.begin && r < c.end;
          EXPECT_TRUE(written ? out.sameRow(r, whole) : out.untouchedRow(r))
              << table.name << " tap " << tap << " range " << c.firstRow << "+" << c.rowCount
              << " row " << r;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillet
