#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "common/pixel.h"
#include "lowpass/lowpass.h"

namespace quillet {
namespace {

constexpr int kMaxReach = 7;

// Q15 weights of taps 1..6: [0] the centre row, [k] each of the two rows at distance k. Every
// row sums to 32768 (a_0 + 2 * sum a_k), so a constant column passes unchanged.
// clang-format off
constexpr std::array<std::array<int32_t, kMaxReach + 1>, kTapCount> kCoefficients = {{
    {0, 0, 0, 0, 0, 0, 0, 0},  // tap 0 has its own quarter-weight rule
    {21596, 8192, -2606,     0,     0,    0,    0,   0},
    {24386, 6876, -4000,  1315,     0,    0,    0,   0},
    {26390, 5907, -4237,  2285,  -766,    0,    0,   0},
    {27256, 4980, -3993,  2693, -1442,  518,    0,   0},
    {28266, 4389, -3737,  2822, -1841,  981, -363,   0},
    {28650, 3862, -3417,  2766, -2021, 1299, -695, 265},
}};
// clang-format on

int16_t clampSample(int32_t value) {
  return static_cast<int16_t>(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

// Source rows feeding output row i: rowAt[0] the centre, rowAt[2k - 1] and rowAt[2k] the
// upper and lower neighbours at distance k, mirrored into the band.
template <int Reach>
void neighbourRows(const int16_t* src, int i, int rows, ptrdiff_t pitch,
                   std::array<const int16_t*, 2 * Reach + 1>& rowAt) {
  rowAt[0] = src + i * pitch;
  for (int k = 1; k <= Reach; ++k) {
    rowAt[2 * k - 1] = src + mirrorBandRow(i - k, rows) * pitch;
    rowAt[2 * k] = src + mirrorBandRow(i + k, rows) * pitch;
  }
}

void lowpassTap0Scalar(int16_t* dst, const int16_t* src, int rows, int width, int stride,
                       int firstRow, int rowCount) {
  const BandRows range = bandRowsToFilter(rows, firstRow, rowCount);
  if (range.begin >= range.end || width <= 0) return;
  assert(rows == 1 || stride >= width);
  const ptrdiff_t pitch = static_cast<ptrdiff_t>(stride) * kSamplesPerPixel;
  const ptrdiff_t samples = static_cast<ptrdiff_t>(width) * kSamplesPerPixel;
  std::array<const int16_t*, 3> rowAt{};
  for (int i = range.begin; i < range.end; ++i) {
    neighbourRows<1>(src, i, rows, pitch, rowAt);
    int16_t* out = dst + i * pitch;
    for (ptrdiff_t j = 0; j < samples; ++j) {
      const int32_t sum = rowAt[1][j] + 2 * rowAt[0][j] + rowAt[2][j];
      // +2 rounds the quarter-weighted sum half up; the result always fits, the clamp is moot.
      out[j] = clampSample((sum + 2) >> 2);
    }
  }
}

template <int Tap>
void lowpassTapScalar(int16_t* dst, const int16_t* src, int rows, int width, int stride,
                      int firstRow, int rowCount) {
  static_assert(Tap >= 1 && Tap < kTapCount);
  constexpr int kReach = Tap + 1;
  constexpr std::array<int32_t, kMaxReach + 1> a = kCoefficients[Tap];
  // Adding just under half (16383) before the shift rounds halves down; tap 5 adds exactly half
  // (16384) and rounds them up.
  constexpr int32_t kRounding = Tap == 5 ? 16384 : 16383;
  const BandRows range = bandRowsToFilter(rows, firstRow, rowCount);
  if (range.begin >= range.end || width <= 0) return;
  assert(rows == 1 || stride >= width);
  const ptrdiff_t pitch = static_cast<ptrdiff_t>(stride) * kSamplesPerPixel;
  const ptrdiff_t samples = static_cast<ptrdiff_t>(width) * kSamplesPerPixel;
  std::array<const int16_t*, 2 * kReach + 1> rowAt{};
  for (int i = range.begin; i < range.end; ++i) {
    neighbourRows<kReach>(src, i, rows, pitch, rowAt);
    int16_t* out = dst + i * pitch;
    for (ptrdiff_t j = 0; j < samples; ++j) {
      // Exact in 32 bits: the coefficient magnitudes sum to less than 2 * 32768.
      int32_t sum = a[0] * rowAt[0][j];
      for (int k = 1; k <= kReach; ++k) sum += a[k] * (rowAt[2 * k - 1][j] + rowAt[2 * k][j]);
      // Results beyond the 16-bit range saturate, so a bright edge stays bright.
      out[j] = clampSample((sum + kRounding) >> 15);
    }
  }
}

}  // namespace

const LowpassKernelTable LowpassKernelsScalar = {
    lowpassTap0Scalar,   lowpassTapScalar<1>, lowpassTapScalar<2>, lowpassTapScalar<3>,
    lowpassTapScalar<4>, lowpassTapScalar<5>, lowpassTapScalar<6>,
};

}  // namespace quillet
