#include <mmintrin.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/pixel.h"
#include "lowpass/lowpass.h"
#include "lowpass/lowpass_weights.h"

namespace quillet {
namespace {

using namespace lowpass_weights;

constexpr int kBlock = 4;  // samples per 8-byte vector

constexpr int reachOf(int tap) { return tap == 0 ? 1 : tap + 1; }

// Frame rows have no alignment; byte copies compile to plain 8-byte moves.
__m64 load(const int16_t* p) {
  __m64 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

void store(int16_t* p, __m64 v) { std::memcpy(p, &v, sizeof(v)); }

template <int Tap>
struct RowPointers {
  // A type of this file's own (not std::array): files built for other instruction sets never
  // share its compiled accessors.
  const int16_t* row[2 * reachOf(Tap) + 1];
  static constexpr size_t size() { return 2 * reachOf(Tap) + 1; }
  const int16_t*& operator[](size_t i) { return row[i]; }
  const int16_t* operator[](size_t i) const { return row[i]; }
};

// The weight pairs of one tap, each repeated over the two 32-bit lanes.
struct WeightVectors {
  __m64 pair[4];
};

template <int Tap>
WeightVectors weightVectors() {
  WeightVectors vectors{};
  constexpr TapWeights t = kTapWeights[Tap];
  for (int m = 0; m < t.pairCount; ++m) {
    const WeightPair& p = t.pairs[static_cast<size_t>(m)];
    vectors.pair[m] = _mm_set_pi16(p.y, p.x, p.y, p.x);
  }
  return vectors;
}

// Four output samples at offset j of the rows in `rowAt` ([0] centre, [2k - 1] and [2k] the
// neighbours at distance k).
template <int Tap>
__m64 filterBlock(const RowPointers<Tap>& rowAt, ptrdiff_t j, const WeightVectors& weights) {
  if constexpr (Tap == 0) {
    const __m64 c = load(rowAt[0] + j);
    // Every step saturates, the doubled centre included, as in the SSE2 forms.
    const __m64 twice = _mm_adds_pi16(c, c);
    const __m64 pair = _mm_adds_pi16(load(rowAt[1] + j), load(rowAt[2] + j));
    // +2 rounds the quarter-weighted sum half up.
    const __m64 rounded = _mm_adds_pi16(pair, _mm_set1_pi16(2));
    return _mm_srai_pi16(_mm_adds_pi16(twice, rounded), 2);
  } else {
    constexpr TapWeights t = kTapWeights[Tap];
    __m64 op[kOperandCount] = {};
    op[kCentre] = load(rowAt[0] + j);
    for (int k = 1; k <= reachOf(Tap); ++k) {
      op[k] = _mm_adds_pi16(load(rowAt[2 * k - 1] + j), load(rowAt[2 * k] + j));
    }
    op[kOnes] = _mm_set1_pi16(1);
    // 16383 rounds halves down, tap 5 included; the 32-bit sums cannot overflow.
    const __m64 rounding = t.roundingInPair ? _mm_setzero_si64() : _mm_set1_pi32(16383);
    __m64 low = rounding;
    __m64 high = rounding;
    for (int m = 0; m < t.pairCount; ++m) {
      const WeightPair& p = t.pairs[static_cast<size_t>(m)];
      const __m64 a = op[p.first];
      const __m64 b = op[p.second];
      const __m64 w = weights.pair[m];
      low = _mm_add_pi32(low, _mm_madd_pi16(_mm_unpacklo_pi16(a, b), w));
      high = _mm_add_pi32(high, _mm_madd_pi16(_mm_unpackhi_pi16(a, b), w));
    }
    return _mm_packs_pi32(_mm_srai_pi32(low, 15), _mm_srai_pi32(high, 15));
  }
}

// The last `count` (< 4) samples of a row, from offset j: the rows' tail samples go through a
// stack block so nothing past the row is read or written, and the body's arithmetic applies.
template <int Tap>
void filterRowTail(int16_t* out, const RowPointers<Tap>& rowAt, ptrdiff_t j, ptrdiff_t count,
                   const WeightVectors& weights) {
  int16_t block[2 * reachOf(Tap) + 1][kBlock] = {};
  RowPointers<Tap> blockAt{};
  for (size_t r = 0; r < rowAt.size(); ++r) {
    std::memcpy(block[r], rowAt[r] + j, static_cast<size_t>(count) * sizeof(int16_t));
    blockAt[r] = block[r];
  }
  int16_t result[kBlock];
  store(result, filterBlock<Tap>(blockAt, 0, weights));
  std::memcpy(out + j, result, static_cast<size_t>(count) * sizeof(int16_t));
}

template <int Tap>
void lowpassKernelMmx(int16_t* dst, const int16_t* src, int rows, int width, int stride,
                      int firstRow, int rowCount) {
  const BandRows range = bandRowsToFilter(rows, firstRow, rowCount);
  if (range.begin >= range.end || width <= 0) return;
  assert(rows == 1 || stride >= width);
  constexpr int kReach = reachOf(Tap);
  const ptrdiff_t pitch = static_cast<ptrdiff_t>(stride) * kSamplesPerPixel;
  const ptrdiff_t samples = static_cast<ptrdiff_t>(width) * kSamplesPerPixel;
  const ptrdiff_t bodyEnd = samples / kBlock * kBlock;
  const WeightVectors weights = weightVectors<Tap>();
  RowPointers<Tap> rowAt{};
  for (int i = range.begin; i < range.end; ++i) {
    rowAt[0] = src + i * pitch;
    for (int k = 1; k <= kReach; ++k) {
      rowAt[static_cast<size_t>(2 * k - 1)] = src + mirrorBandRow(i - k, rows) * pitch;
      rowAt[static_cast<size_t>(2 * k)] = src + mirrorBandRow(i + k, rows) * pitch;
    }
    int16_t* out = dst + i * pitch;
    for (ptrdiff_t j = 0; j < bodyEnd; j += kBlock)
      store(out + j, filterBlock<Tap>(rowAt, j, weights));
    if (bodyEnd < samples) filterRowTail<Tap>(out, rowAt, bodyEnd, samples - bodyEnd, weights);
  }
  // A kernel may be called on its own, so it leaves the x87 unit usable.
  _mm_empty();
}

}  // namespace

const LowpassKernelTable LowpassKernelsMmx = {
    lowpassKernelMmx<0>, lowpassKernelMmx<1>, lowpassKernelMmx<2>, lowpassKernelMmx<3>,
    lowpassKernelMmx<4>, lowpassKernelMmx<5>, lowpassKernelMmx<6>,
};

HOST_ENTRY void LowpassStageMmx(int threadIndex, int threadCount, RowJob* job, void*) {
  runLowpassStage(LowpassKernelsMmx, threadIndex, threadCount, *job);
  _mm_empty();
}

}  // namespace quillet
