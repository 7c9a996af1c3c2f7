#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "lowpass/lowpass.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/lowpass_reference.h"

namespace quillet {
namespace {

using test::kLowpassWeights;
using test::lowpassTestReach;

constexpr int16_t kUntouched = static_cast<int16_t>(0x5A5A);

// A band of `rows` rows, `width` pixels, `stride` pixels apart; every sample of row r starts as
// column[r] plus a per-sample offset, so that samples differ along the row.
struct Band {
  int rows = 0;
  int width = 0;
  int stride = 0;
  std::vector<int16_t> samples;

  Band(int rowCount, int pixels, int pitchPixels, int16_t fill = 0)
      : rows(rowCount),
        width(pixels),
        stride(pitchPixels),
        samples(static_cast<size_t>(rowCount) * static_cast<size_t>(pitchPixels) * 3, fill) {}
  int16_t* row(int r) { return samples.data() + static_cast<ptrdiff_t>(r) * stride * 3; }
  const int16_t* row(int r) const {
    return samples.data() + static_cast<ptrdiff_t>(r) * stride * 3;
  }
};

Band columnBand(const std::vector<int>& column, int width) {
  Band band(static_cast<int>(column.size()), width, width);
  for (int r = 0; r < band.rows; ++r) {
    for (int j = 0; j < 3 * width; ++j) band.row(r)[j] = static_cast<int16_t>(column[r]);
  }
  return band;
}

Band filtered(int tap, const Band& src) {
  Band dst(src.rows, src.width, src.stride, kUntouched);
  LowpassKernelsScalar[tap](dst.samples.data(), src.samples.data(), src.rows, src.width, src.stride,
                            0, src.rows);
  return dst;
}

TEST(LowpassScalar, MirrorFoldsRepeatedlyIntoBand) {
  struct Case {
    int row, rows, expected;
  };
  const Case cases[] = {
      {0, 5, 0},  {4, 5, 4},  {-1, 5, 1},   {-4, 5, 4},   {5, 5, 3},  {8, 5, 0},  {-1, 2, 1},
      {2, 2, 0},  {-7, 2, 1}, {8, 2, 0},    {-2, 3, 2},   {-3, 3, 1}, {-7, 3, 1}, {4, 3, 0},
      {5, 3, 1},  {9, 4, 3},  {10, 4, 2},   {-6, 4, 0},   {0, 1, 0},  {-7, 1, 0}, {7, 1, 0},
      {-7, 8, 7}, {14, 8, 0}, {13, 14, 13}, {14, 14, 12},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mirrorBandRow(c.row, c.rows), c.expected) << "row " << c.row << " of " << c.rows;
  }
}

TEST(LowpassScalar, ConstantBandPassesUnchanged) {
  const int values[] = {-32768, -4097, -1, 0, 1, 4096, 8191, 32767};
  for (int tap = 0; tap < kTapCount; ++tap) {
    for (int rows : {1, 2, 3, 8, 20}) {
      for (int v : values) {
        const Band out = filtered(tap, columnBand(std::vector<int>(rows, v), 5));
        for (int r = 0; r < rows; ++r) {
          for (int j = 0; j < 15; ++j) {
            ASSERT_EQ(out.row(r)[j], v) << "tap " << tap << " rows " << rows << " row " << r;
          }
        }
      }
    }
  }
}

// Rows alternate between a and b. Taps 1, 3, 5, 6 and 0 cancel the alternation exactly; taps 2
// and 4 keep 4/32768 of it: a row of value c between rows of value o sums to
// 16384 * (c + o) + 2 * (c - o).
TEST(LowpassScalar, AlternatingBandGivesMidpoint) {
  const int pairs[][2] = {{0, 100}, {1, 2}, {-5, 8}, {1000, -1001}, {-8191, 8191}, {7, 7000}};
  for (int tap = 0; tap < kTapCount; ++tap) {
    for (const auto& p : pairs) {
      for (int rows = 2; rows <= 20; ++rows) {
        std::vector<int> column(rows);
        for (int r = 0; r < rows; ++r) column[r] = p[r % 2];
        const Band out = filtered(tap, columnBand(column, 2));
        for (int r = 0; r < rows; ++r) {
          const int c = p[r % 2];
          const int o = p[1 - r % 2];
          int expected = (c + o) >> 1;
          if (tap == 0 || tap == 5) expected = (c + o + 1) >> 1;
          if (tap == 2 || tap == 4) expected = (16384 * (c + o) + 2 * (c - o) + 16383) >> 15;
          ASSERT_EQ(out.row(r)[4], expected) << "tap " << tap << " a " << p[0] << " b " << p[1]
                                             << " rows " << rows << " row " << r;
        }
      }
    }
  }
}

TEST(LowpassScalar, RampPassesUnchangedAwayFromEdges) {
  for (int tap = 0; tap < kTapCount; ++tap) {
    const int reach = lowpassTestReach(tap);
    for (int rows = 2 * reach + 1; rows <= 30; rows += 3) {
      std::vector<int> column(rows);
      for (int r = 0; r < rows; ++r) column[r] = 37 * r - 500;
      const Band out = filtered(tap, columnBand(column, 3));
      for (int r = reach; r < rows - reach; ++r) {
        EXPECT_EQ(out.row(r)[7], column[r]) << "tap " << tap << " rows " << rows << " row " << r;
      }
    }
  }
}

// An impulse of 32767 in a band of zeros: (a_k * 32767 + rounding) >> 15 is a_k for every
// |a_k| < 16384, and a_0 - 1 for the centre. Tap 0 gives 16384 and 8192.
TEST(LowpassScalar, ImpulseResponseReproducesWeights) {
  for (int tap = 0; tap < kTapCount; ++tap) {
    const int reach = lowpassTestReach(tap);
    const int rows = 4 * reach + 3;
    const int centre = rows / 2;
    std::vector<int> column(rows, 0);
    column[centre] = 32767;
    const Band out = filtered(tap, columnBand(column, 1));
    for (int r = 0; r < rows; ++r) {
      const int distance = r > centre ? r - centre : centre - r;
      int expected = distance <= reach ? kLowpassWeights[tap][distance] : 0;
      if (tap == 0) expected = distance == 0 ? 16384 : distance == 1 ? 8192 : 0;
      if (tap != 0 && distance == 0) expected -= 1;
      EXPECT_EQ(out.row(r)[1], expected) << "tap " << tap << " distance " << distance;
    }
  }
}

// Impulses whose weighted sums fall exactly halfway between two results: tap 0 and tap 5 round
// them up, the other taps down.
TEST(LowpassScalar, ImpulseHalvesRoundPerTap) {
  struct Case {
    int tap, impulse, distance, expected;
  };
  const Case cases[] = {
      {5, 8192, 0, 7067},    // 28266 * 8192 / 32768 = 7066.5
      {3, 8192, 0, 6597},    // 26390 / 4 = 6597.5
      {6, 8192, 0, 7162},    // 28650 / 4 = 7162.5
      {2, 8192, 0, 6096},    // 24386 / 4 = 6096.5
      {4, 8192, 0, 6814},    // 27256 / 4, exact
      {1, 8192, 1, 2048},    // 8192 / 4, exact
      {5, 8192, 1, 1097},    // 4389 / 4 = 1097.25
      {5, -8192, 0, -7066},  // -7066.5 rounds up
      {6, -8192, 0, -7163},  // -7162.5 rounds down
      {0, 2, 1, 1},          // 2 / 4 rounds up
      {0, -2, 1, 0},         // -2 / 4 rounds up
      {0, 1, 0, 1},          // 2 / 4 rounds up
      {0, -1, 0, 0},         // -2 / 4 rounds up
      {0, -3, 1, -1},        // -3 / 4 rounds to nearest
  };
  for (const Case& c : cases) {
    const int rows = 17;
    std::vector<int> column(rows, 0);
    column[8] = c.impulse;
    const Band out = filtered(c.tap, columnBand(column, 1));
    EXPECT_EQ(out.row(8 + c.distance)[0], c.expected)
        << "tap " << c.tap << " impulse " << c.impulse << " distance " << c.distance;
    EXPECT_EQ(out.row(8 - c.distance)[2], c.expected)
        << "tap " << c.tap << " impulse " << c.impulse << " distance -" << c.distance;
  }
}

TEST(LowpassScalar, EdgeRowsMirrorWithoutRepeatingTheEdge) {
  struct Case {
    int tap;
    std::vector<int> column;
    std::vector<int> expected;
  };
  const Case cases[] = {
      // Row 0 reads row 1 on both sides: (4 + 0 + 4 + 2) >> 2.
      {0, {0, 4, 8}, {2, 4, 6}},
      {0, {100, 0}, {50, 50}},
      {0, {-9}, {-9}},
      // Tap 1 on two rows: every neighbour is the other row or the row itself.
      {1,
       {0, 32000},
       {(2 * 8192 * 32000 + 16383) >> 15, (21596 * 32000 - 2 * 2606 * 32000 + 16383) >> 15}},
      // Tap 1 on [0, 0, 32000]: row 0 reads row 1 at distance 1 and row 2 at distance 2; row 1
      // reads rows 0 and 2, then row 1 itself at distance 2; row 2 reads only zeros.
      {1,
       {0, 0, 32000},
       {(-2 * 2606 * 32000 + 16383) >> 15, (8192 * 32000 + 16383) >> 15,
        (21596 * 32000 + 16383) >> 15}},
  };
  for (const Case& c : cases) {
    const Band out = filtered(c.tap, columnBand(c.column, 1));
    for (size_t r = 0; r < c.expected.size(); ++r) {
      EXPECT_EQ(out.row(static_cast<int>(r))[0], c.expected[r])
          << "tap " << c.tap << " rows " << c.column.size() << " row " << r;
    }
  }
}

// Any band, short ones included, filters as the interior of a taller band whose extra rows are
// the mirrored rows written out. The band sits at the end of an accessible page with a canary
// lead before it, so a read below the band faults and a read above it changes the result.
TEST(LowpassScalar, EdgesFilterAsExplicitMirror) {
  test::Prng prng(test::testSeed());
  for (int tap = 0; tap < kTapCount; ++tap) {
    const int reach = lowpassTestReach(tap);
    for (int rows = 1; rows <= 2 * reach + 3; ++rows) {
      const int width = 3;
      const size_t bandSamples = static_cast<size_t>(rows) * width * 3;
      test::PageEndBuffer guarded(bandSamples * sizeof(int16_t), 256);
      int16_t* band = guarded.as<int16_t>();
      for (size_t i = 0; i < bandSamples; ++i) band[i] = prng.sample(8191);

      const int tallRows = rows + 2 * reach;
      Band tall(tallRows, width, width);
      for (int r = 0; r < tallRows; ++r) {
        std::memcpy(tall.row(r), band + mirrorBandRow(r - reach, rows) * width * 3,
                    width * 3 * sizeof(int16_t));
      }
      const Band tallOut = filtered(tap, tall);

      Band out(rows, width, width, kUntouched);
      LowpassKernelsScalar[tap](out.samples.data(), band, rows, width, width, 0, rows);
      for (int r = 0; r < rows; ++r) {
        for (int j = 0; j < width * 3; ++j) {
          ASSERT_EQ(out.row(r)[j], tallOut.row(r + reach)[j])
              << "tap " << tap << " rows " << rows << " row " << r << " sample " << j << " seed "
              << test::testSeed();
        }
      }
      EXPECT_TRUE(guarded.leadIntact());
    }
  }
}

// Each tap's weights signed so that every term pushes the same way: the exact result leaves the
// 16-bit range and must saturate instead of wrapping to the opposite sign.
TEST(LowpassScalar, ResultsBeyondRangeSaturate) {
  for (int tap = 1; tap < kTapCount; ++tap) {
    const int reach = lowpassTestReach(tap);
    for (int sign : {1, -1}) {
      const int rows = 2 * reach + 1;
      std::vector<int> column(rows);
      for (int r = 0; r < rows; ++r) {
        const int distance = r > reach ? r - reach : reach - r;
        const bool high = (kLowpassWeights[tap][distance] > 0) == (sign > 0);
        column[r] = high ? 32767 : -32768;
      }
      const Band out = filtered(tap, columnBand(column, 1));
      EXPECT_EQ(out.row(reach)[0], sign > 0 ? 32767 : -32768) << "tap " << tap;
    }
  }
}

TEST(LowpassScalar, NoRowsOrNoWidthWritesNothing) {
  const int shapes[][2] = {{0, 5}, {-1, 5}, {5, 0}, {5, -3}, {0, 0}};
  for (int tap = 0; tap < kTapCount; ++tap) {
    for (const auto& shape : shapes) {
      const Band src(6, 5, 5, 1000);
      Band dst(6, 5, 5, kUntouched);
      LowpassKernelsScalar[tap](dst.samples.data(), src.samples.data(), shape[0], shape[1], 5, 0,
                                shape[0]);
      for (int16_t v : dst.samples) {
        ASSERT_EQ(v, kUntouched) << "tap " << tap << " rows " << shape[0] << " width " << shape[1];
      }
    }
  }
}

TEST(LowpassScalar, WritesOnlyTheBandsRowSamples) {
  for (int tap = 0; tap < kTapCount; ++tap) {
    for (int rows : {1, 2, 9}) {
      const int width = 4;
      const int stride = 7;
      const Band src(rows + 2, width, stride, 300);
      Band dst(rows + 2, width, stride, kUntouched);
      LowpassKernelsScalar[tap](dst.row(1), src.row(1), rows, width, stride, 0, rows);
      for (int r = 0; r < rows + 2; ++r) {
        for (int j = 0; j < stride * 3; ++j) {
          const bool written = r >= 1 && r <= rows && j < width * 3;
          ASSERT_EQ(dst.row(r)[j], written ? 300 : kUntouched)
              << "tap " << tap << " rows " << rows << " row " << r << " sample " << j;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillet
