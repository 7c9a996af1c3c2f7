#include <emmintrin.h>
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

constexpr int kBlock = 8;  // samples per 16-byte vector

constexpr int reachOf(int tap) { return tap == 0 ? 1 : tap + 1; }

// Memory access of the two tables; their arithmetic is the same.
struct UnalignedAccess {
  static constexpr bool kAligned = false;
  static __m128i load(const int16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void store(int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
};

struct AlignedAccess {
  static constexpr bool kAligned = true;
  static __m128i load(const int16_t* p) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void store(int16_t* p, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); }
};

template <int Tap>
struct RowPointers {
  // A type of this file's own (not std::array): files built for other instruction sets never
  // share its compiled accessors.
  const int16_t* row[2 * reachOf(Tap) + 1];
  static constexpr size_t size() { return 2 * reachOf(Tap) + 1; }
  const int16_t*& operator[](size_t i) { return row[i]; }
  const int16_t* operator[](size_t i) const { return row[i]; }
};

// The weight pairs of one tap, each repeated over the four 32-bit lanes.
struct WeightVectors {
  __m128i pair[4];
};

template <int Tap>
WeightVectors weightVectors() {
  WeightVectors vectors{};
  constexpr TapWeights t = kTapWeights[Tap];
  for (int m = 0; m < t.pairCount; ++m) {
    const WeightPair& p = t.pairs[static_cast<size_t>(m)];
    vectors.pair[m] = _mm_set_epi16(p.y, p.x, p.y, p.x, p.y, p.x, p.y, p.x);
  }
  return vectors;
}

// Eight output samples at offset j of the rows in `rowAt` ([0] centre, [2k - 1] and [2k] the
// neighbours at distance k).
template <int Tap, class Access>
__m128i filterBlock(const RowPointers<Tap>& rowAt, ptrdiff_t j, const WeightVectors& weights) {
  if constexpr (Tap == 0) {
    const __m128i c = Access::load(rowAt[0] + j);
    // Every step saturates, the doubled centre included, so both tables and the MMX form agree.
    const __m128i twice = _mm_adds_epi16(c, c);
    const __m128i pair = _mm_adds_epi16(Access::load(rowAt[1] + j), Access::load(rowAt[2] + j));
    // +2 rounds the quarter-weighted sum half up.
    const __m128i rounded = _mm_adds_epi16(pair, _mm_set1_epi16(2));
    return _mm_srai_epi16(_mm_adds_epi16(twice, rounded), 2);
  } else {
    constexpr TapWeights t = kTapWeights[Tap];
    __m128i op[kOperandCount] = {};
    op[kCentre] = Access::load(rowAt[0] + j);
    for (int k = 1; k <= reachOf(Tap); ++k) {
      op[k] = _mm_adds_epi16(Access::load(rowAt[2 * k - 1] + j), Access::load(rowAt[2 * k] + j));
    }
    op[kOnes] = _mm_set1_epi16(1);
    // 16383 rounds halves down, tap 5 included; the 32-bit sums cannot overflow.
    const __m128i rounding = t.roundingInPair ? _mm_setzero_si128() : _mm_set1_epi32(16383);
    __m128i low = rounding;
    __m128i high = rounding;
    for (int m = 0; m < t.pairCount; ++m) {
      const WeightPair& p = t.pairs[static_cast<size_t>(m)];
      const __m128i a = op[p.first];
      const __m128i b = op[p.second];
      const __m128i w = weights.pair[m];
      low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), w));
      high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), w));
    }
    return _mm_packs_epi32(_mm_srai_epi32(low, 15), _mm_srai_epi32(high, 15));
  }
}

// The last `count` (< 8) samples of a row, from offset j: the rows' tail samples go through a
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
  UnalignedAccess::store(result, filterBlock<Tap, UnalignedAccess>(blockAt, 0, weights));
  std::memcpy(out + j, result, static_cast<size_t>(count) * sizeof(int16_t));
}

template <int Tap, class Access>
void lowpassKernelSse2(int16_t* dst, const int16_t* src, int rows, int width, int stride,
                       int firstRow, int rowCount) {
  const BandRows range = bandRowsToFilter(rows, firstRow, rowCount);
  if (range.begin >= range.end || width <= 0) return;
  assert(rows == 1 || stride >= width);
  if constexpr (Access::kAligned) {
    assert(reinterpret_cast<uintptr_t>(dst) % 16 == 0);
    assert(reinterpret_cast<uintptr_t>(src) % 16 == 0);
    assert(rows == 1 || stride % 8 == 0);
  }
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
      Access::store(out + j, filterBlock<Tap, Access>(rowAt, j, weights));
    }
    if (bodyEnd < samples) filterRowTail<Tap>(out, rowAt, bodyEnd, samples - bodyEnd, weights);
  }
}

template <class Access>
constexpr LowpassKernelTable lowpassTableSse2() {
  return {lowpassKernelSse2<0, Access>, lowpassKernelSse2<1, Access>, lowpassKernelSse2<2, Access>,
          lowpassKernelSse2<3, Access>, lowpassKernelSse2<4, Access>, lowpassKernelSse2<5, Access>,
          lowpassKernelSse2<6, Access>};
}

}  // namespace

const LowpassKernelTable LowpassKernelsSse2 = lowpassTableSse2<UnalignedAccess>();
const LowpassKernelTable LowpassKernelsSse2Aligned = lowpassTableSse2<AlignedAccess>();

HOST_ENTRY void LowpassStageSse2(int threadIndex, int threadCount, RowJob* job, void*) {
  runLowpassStage(LowpassKernelsSse2, threadIndex, threadCount, *job);
  _mm_empty();
}

HOST_ENTRY void LowpassStageSse2Aligned(int threadIndex, int threadCount, RowJob* job, void*) {
  runLowpassStage(LowpassKernelsSse2Aligned, threadIndex, threadCount, *job);
  _mm_empty();
}

}  // namespace quillet
