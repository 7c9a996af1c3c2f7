#include <immintrin.h>
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

constexpr int kBlock = 16;  // samples per 32-byte vector

constexpr int reachOf(int tap) { return tap == 0 ? 1 : tap + 1; }

// Frame rows have no alignment the form could rely on; unaligned moves cost nothing on the
// aligned rows most frames have.
__m256i load(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
void store(int16_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

template <int Tap>
struct RowPointers {
  // A type of this file's own (not std::array): files built for other instruction sets never
  // share its compiled accessors.
  const int16_t* row[2 * reachOf(Tap) + 1];
  static constexpr size_t size() { return 2 * reachOf(Tap) + 1; }
  const int16_t*& operator[](size_t i) { return row[i]; }
  const int16_t* operator[](size_t i) const { return row[i]; }
};

// The weight pairs of one tap, each repeated over the eight 32-bit lanes.
struct WeightVectors {
  __m256i pair[4];
};

template <int Tap>
WeightVectors weightVectors() {
  WeightVectors vectors{};
  constexpr TapWeights t = kTapWeights[Tap];
  for (int m = 0; m < t.pairCount; ++m) {
    const WeightPair& p = t.pairs[static_cast<size_t>(m)];
    vectors.pair[m] = _mm256_unpacklo_epi16(_mm256_set1_epi16(p.x), _mm256_set1_epi16(p.y));
  }
  return vectors;
}

// Sixteen output samples at offset j of the rows in `rowAt` ([0] centre, [2k - 1] and [2k] the
// neighbours at distance k). Lane for lane the SSE2 form's arithmetic: the unpacks and the pack
// stay inside each 128-bit half, so the samples come out in order.
template <int Tap>
__m256i filterBlock(const RowPointers<Tap>& rowAt, ptrdiff_t j, const WeightVectors& weights) {
  if constexpr (Tap == 0) {
    const __m256i c = load(rowAt[0] + j);
    // Every step saturates, the doubled centre included, as in the SSE2 and MMX forms.
    const __m256i twice = _mm256_adds_epi16(c, c);
    const __m256i pair = _mm256_adds_epi16(load(rowAt[1] + j), load(rowAt[2] + j));
    // +2 rounds the quarter-weighted sum half up.
    const __m256i rounded = _mm256_adds_epi16(pair, _mm256_set1_epi16(2));
    return _mm256_srai_epi16(_mm256_adds_epi16(twice, rounded), 2);
  } else {
    constexpr TapWeights t = kTapWeights[Tap];
    __m256i op[kOperandCount] = {};
    op[kCentre] = load(rowAt[0] + j);
    for (int k = 1; k <= reachOf(Tap); ++k) {
      op[k] = _mm256_adds_epi16(load(rowAt[2 * k - 1] + j), load(rowAt[2 * k] + j));
    }
    op[kOnes] = _mm256_set1_epi16(1);
    // 16383 rounds halves down, tap 5 included; the 32-bit sums cannot overflow.
    const __m256i rounding = t.roundingInPair ? _mm256_setzero_si256() : _mm256_set1_epi32(16383);
    __m256i low = rounding;
    __m256i high = rounding;
    for (int m = 0; m < t.pairCount; ++m) {
      const WeightPair& p = t.pairs[static_cast<size_t>(m)];
      const __m256i a = op[p.first];
      const __m256i b = op[p.second];
      const __m256i w = weights.pair[m];
      low = _mm256_add_epi32(low, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), w));
      high = _mm256_add_epi32(high, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), w));
    }
    return _mm256_packs_epi32(_mm256_srai_epi32(low, 15), _mm256_srai_epi32(high, 15));
  }
}

// The last `count` (< 16) samples of a row, from offset j: the rows' tail samples go through a
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
void lowpassKernelAvx2(int16_t* dst, const int16_t* src, int rows, int width, int stride,
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
    for (ptrdiff_t j = 0; j < bodyEnd; j += kBlock) {
      store(out + j, filterBlock<Tap>(rowAt, j, weights));
    }
    if (bodyEnd < samples) filterRowTail<Tap>(out, rowAt, bodyEnd, samples - bodyEnd, weights);
  }
}

}  // namespace

const LowpassKernelTable LowpassKernelsAvx2 = {
    lowpassKernelAvx2<0>, lowpassKernelAvx2<1>, lowpassKernelAvx2<2>, lowpassKernelAvx2<3>,
    lowpassKernelAvx2<4>, lowpassKernelAvx2<5>, lowpassKernelAvx2<6>,
};

HOST_ENTRY void LowpassStageAvx2(int threadIndex, int threadCount, RowJob* job, void*) {
  runLowpassStage(LowpassKernelsAvx2, threadIndex, threadCount, *job);
  // Like every stage, hands back an x87 unit free of MMX state, whatever it was given.
  _mm_empty();
}

}  // namespace quillet
