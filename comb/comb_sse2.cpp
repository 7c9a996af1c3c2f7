#include <emmintrin.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "comb/comb.h"

namespace quillet {
namespace {

using V = __m128i;

V load(const void* p) { return _mm_loadu_si128(static_cast<const V*>(p)); }
V andNot(V mask, V v) { return _mm_andnot_si128(mask, v); }

// 16-bit lanes, for 8-bit samples: every difference, sum and triple of them fits. A block is
// two registers.
struct Narrow {
  static constexpr int kRegs = 2;
  static V set1(int32_t v) { return _mm_set1_epi16(static_cast<int16_t>(v)); }
  static V add(V a, V b) { return _mm_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi16(a, b); }
  static V min(V a, V b) { return _mm_min_epi16(a, b); }
  static V max(V a, V b) { return _mm_max_epi16(a, b); }
  static V greater(V a, V b) { return _mm_cmpgt_epi16(a, b); }
  static V signs(V a) { return _mm_srai_epi16(a, 15); }
  // The block's lane masks as one byte each, in pixel order.
  static V bytes(const V (&m)[kRegs]) { return _mm_packs_epi16(m[0], m[1]); }
};

// 32-bit lanes, for 16-bit samples. A block is four registers.
struct Wide {
  static constexpr int kRegs = 4;
  static V set1(int32_t v) { return _mm_set1_epi32(v); }
  static V add(V a, V b) { return _mm_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
  static V greater(V a, V b) { return _mm_cmpgt_epi32(a, b); }
  static V min(V a, V b) {
    const V aAbove = greater(a, b);
    return _mm_or_si128(_mm_and_si128(aAbove, b), andNot(aAbove, a));
  }
  static V max(V a, V b) {
    const V aAbove = greater(a, b);
    return _mm_or_si128(_mm_and_si128(aAbove, a), andNot(aAbove, b));
  }
  static V signs(V a) { return _mm_srai_epi32(a, 31); }
  static V bytes(const V (&m)[kRegs]) {
    return _mm_packs_epi16(_mm_packs_epi32(m[0], m[1]), _mm_packs_epi32(m[2], m[3]));
  }
};

// One block of the four rows, widened to the lanes of L.
template <class L>
struct Block {
  V row[4][L::kRegs];
};

// 16 samples of a row from element x on, widened to the lanes of L. Kinds k8 and k16 read the
// row itself, kYcc16 gathers its Y samples first; `n` below 16 reads n samples, the rest being 0
// (equal rows: no comb, no misfit).
template <LumaKind Kind>
void loadRow(const uint8_t* row, int32_t x, int32_t n, V (&out)[Narrow::kRegs]) {
  static_assert(Kind == LumaKind::k8);
  const V zero = _mm_setzero_si128();
  V v;
  if (n == kCombBlock) {
    v = load(row + x);
  } else {
    alignas(16) uint8_t part[kCombBlock] = {};
    std::memcpy(part, row + x, static_cast<size_t>(n));
    v = load(part);
  }
  out[0] = _mm_unpacklo_epi8(v, zero);
  out[1] = _mm_unpackhi_epi8(v, zero);
}

template <LumaKind Kind>
void loadRow(const uint8_t* row, int32_t x, int32_t n, V (&out)[Wide::kRegs]) {
  const V zero = _mm_setzero_si128();
  V lo;
  V hi;
  if constexpr (Kind == LumaKind::k16) {
    const uint8_t* at = row + 2 * static_cast<size_t>(x);
    if (n == kCombBlock) {
      lo = load(at);
      hi = load(at + 16);
    } else {
      alignas(16) uint16_t part[kCombBlock] = {};
      std::memcpy(part, at, 2 * static_cast<size_t>(n));
      lo = load(part);
      hi = load(part + 8);
    }
    out[0] = _mm_unpacklo_epi16(lo, zero);
    out[1] = _mm_unpackhi_epi16(lo, zero);
    out[2] = _mm_unpacklo_epi16(hi, zero);
    out[3] = _mm_unpackhi_epi16(hi, zero);
  } else {
    static_assert(Kind == LumaKind::kYcc16);
    alignas(16) int16_t y[kCombBlock] = {};
    const uint8_t* at = row + 6 * static_cast<size_t>(x);
    for (int32_t i = 0; i < n; ++i) std::memcpy(&y[i], at + 6 * static_cast<size_t>(i), 2);
    lo = load(y);
    hi = load(y + 8);
    // Sign-extended: each word into the high half of its lane, then shifted down.
    out[0] = _mm_srai_epi32(_mm_unpacklo_epi16(lo, lo), 16);
    out[1] = _mm_srai_epi32(_mm_unpackhi_epi16(lo, lo), 16);
    out[2] = _mm_srai_epi32(_mm_unpacklo_epi16(hi, hi), 16);
    out[3] = _mm_srai_epi32(_mm_unpackhi_epi16(hi, hi), 16);
  }
}

template <LumaKind Kind, class L>
void loadBlock(const CombRows& rows, int32_t x, int32_t n, Block<L>& b) {
  for (int r = 0; r < 4; ++r) loadRow<Kind>(rows.row[r], x, n, b.row[r]);
}

template <class L>
V absolute(V v) {
  const V s = L::signs(v);
  return L::sub(_mm_xor_si128(v, s), s);
}

// The block's combs (the step of row y to row y + 1 where the rows alternate, else 0) and
// their lane masks. `below` is step - 1, `above` 1 - step.
template <class L>
void combsOf(const Block<L>& b, V below, V above, V (&comb)[L::kRegs], V (&mask)[L::kRegs]) {
  for (int i = 0; i < L::kRegs; ++i) {
    const V a = b.row[0][i], c = b.row[1][i], d = b.row[2][i], e = b.row[3][i];
    const V s1 = L::sub(c, a), s2 = L::sub(c, d), s3 = L::sub(e, d);
    const V lo = L::min(s1, L::min(s2, s3));
    const V hi = L::max(s1, L::max(s2, s3));
    const V up = L::greater(lo, below);
    const V down = L::greater(above, hi);
    const V least =
        _mm_or_si128(_mm_and_si128(up, lo), _mm_and_si128(down, L::sub(_mm_setzero_si128(), hi)));
    const V withinFields = L::add(absolute<L>(L::sub(a, d)), absolute<L>(L::sub(c, e)));
    // Where neither way holds `least` is 0, never above the sum of two magnitudes.
    mask[i] = L::greater(L::add(least, least), withinFields);
    comb[i] = _mm_and_si128(mask[i], s2);
  }
}

// Lanes of `mask` whose comb `here` the neighbour's comb `there` does not keep still.
template <class L>
V comesAndGoes(V here, V there, V mask) {
  const V b = absolute<L>(here);
  const V a = absolute<L>(there);
  // A 0 neighbour fails the factor of three, as `here` is not 0.
  const V fails = _mm_or_si128(
      L::signs(_mm_xor_si128(here, there)),
      _mm_or_si128(L::greater(b, L::add(a, L::add(a, a))), L::greater(a, L::add(b, L::add(b, b)))));
  return _mm_and_si128(mask, fails);
}

// The sum of a block's lanes.
int32_t sumLanes(const V (&v)[Narrow::kRegs]) {
  // Pairs of 16-bit lanes into 32 bits; every lane is at most 510 here.
  const V ones = _mm_set1_epi16(1);
  const V sums = _mm_add_epi32(_mm_madd_epi16(v[0], ones), _mm_madd_epi16(v[1], ones));
  const V halves = _mm_add_epi32(sums, _mm_srli_si128(sums, 8));
  return _mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 4)));
}

int32_t sumLanes(const V (&v)[Wide::kRegs]) {
  const V sums = _mm_add_epi32(_mm_add_epi32(v[0], v[1]), _mm_add_epi32(v[2], v[3]));
  const V halves = _mm_add_epi32(sums, _mm_srli_si128(sums, 8));
  return _mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 4)));
}

// The misfit of a row y (`middle`) between the current rows y - 1 and y + 1 (`around`, their
// sum), summed over the block.
template <class L>
int32_t misfitOf(const V (&around)[L::kRegs], const V (&middle)[L::kRegs]) {
  V misfits[L::kRegs];
  for (int i = 0; i < L::kRegs; ++i) {
    misfits[i] = absolute<L>(L::sub(around[i], L::add(middle[i], middle[i])));
  }
  return sumLanes(misfits);
}

// The same for row y of a neighbour, from element x on.
template <LumaKind Kind, class L>
int32_t misfit(const V (&around)[L::kRegs], const uint8_t* row, int32_t x, int32_t n) {
  V middle[L::kRegs];
  loadRow<Kind>(row, x, n, middle);
  return misfitOf<L>(around, middle);
}

// Lanes set in a block's byte mask.
int32_t countBytes(V bytes) {
  const V sums = _mm_sad_epu8(_mm_and_si128(bytes, _mm_set1_epi8(1)), _mm_setzero_si128());
  return _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
}

template <LumaKind Kind>
void combRow(const CombRows& current, const CombRows& previous, const CombRows& next, int32_t width,
             int32_t step, int32_t* counts, int32_t* fitPrevious, int32_t* fitNext,
             int32_t* fitOwn) {
  using L = std::conditional_t<Kind == LumaKind::k8, Narrow, Wide>;
  const V below = L::set1(step - 1);
  const V above = L::set1(1 - step);
  for (int32_t x = 0; x < width; x += kCombBlock) {
    const int32_t b = x / kCombBlock;
    const int32_t n = width - x < kCombBlock ? width - x : kCombBlock;
    Block<L> block;
    loadBlock<Kind>(current, x, n, block);
    V around[L::kRegs];
    for (int i = 0; i < L::kRegs; ++i) around[i] = L::add(block.row[0][i], block.row[2][i]);
    fitOwn[b] += misfitOf<L>(around, block.row[1]);
    V here[L::kRegs];
    V mask[L::kRegs];
    combsOf<L>(block, below, above, here, mask);
    if (_mm_movemask_epi8(L::bytes(mask)) != 0) {
      // The neighbours' combs matter only where this frame combs.
      for (const CombRows* neighbour : {&previous, &next}) {
        V there[L::kRegs];
        V unused[L::kRegs];
        loadBlock<Kind>(*neighbour, x, n, block);
        combsOf<L>(block, below, above, there, unused);
        for (int i = 0; i < L::kRegs; ++i) mask[i] = comesAndGoes<L>(here[i], there[i], mask[i]);
      }
      counts[b] += countBytes(L::bytes(mask));
    }
    fitPrevious[b] += misfit<Kind, L>(around, previous.row[1], x, n);
    fitNext[b] += misfit<Kind, L>(around, next.row[1], x, n);
  }
}

}  // namespace

const CombKernels CombKernelsSse2 = {
    .row8 = combRow<LumaKind::k8>,
    .row16 = combRow<LumaKind::k16>,
    .rowYcc16 = combRow<LumaKind::kYcc16>,
};

}  // namespace quillet
