#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "comb/comb.h"

namespace quillet {

namespace {

// Steps between alternating rows below this (8-bit units) are texture, not combing.
constexpr int32_t kCombStep = 10;

template <LumaKind Kind>
int32_t sampleAt(const uint8_t* row, int32_t x) {
  if constexpr (Kind == LumaKind::k8) {
    return row[x];
  } else if constexpr (Kind == LumaKind::k16) {
    uint16_t v;
    std::memcpy(&v, row + 2 * static_cast<size_t>(x), sizeof v);
    return v;
  } else {
    int16_t v;  // Y of a Y, Cb, Cr triplet
    std::memcpy(&v, row + 6 * static_cast<size_t>(x), sizeof v);
    return v;
  }
}

// The comb of rows y - 1 .. y + 2 at pixels x0 .. x0 + n - 1 into out[0 .. n - 1]: the step
// from row y to row y + 1 when the rows alternate (see CombRowFn), 0 otherwise. Returns whether
// any pixel combs.
template <LumaKind Kind>
bool combValues(const CombRows& rows, int32_t x0, int32_t n, int32_t step, int32_t* out) {
  bool any = false;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t a = sampleAt<Kind>(rows.row[0], x0 + i);
    const int32_t c = sampleAt<Kind>(rows.row[1], x0 + i);
    const int32_t d = sampleAt<Kind>(rows.row[2], x0 + i);
    const int32_t e = sampleAt<Kind>(rows.row[3], x0 + i);
    const int32_t s1 = c - a;
    const int32_t s2 = c - d;
    const int32_t s3 = e - d;
    const int32_t lo = std::min(s1, std::min(s2, s3));
    const int32_t hi = std::max(s1, std::max(s2, s3));
    // All three steps at least `step` one way: the least of them is lo, or -hi the other way.
    const int32_t least = lo >= step ? lo : (hi <= -step ? -hi : 0);
    const int32_t withinFields = std::abs(a - d) + std::abs(c - e);
    out[i] = least != 0 && 2 * least > withinFields ? s2 : 0;
    any = any || out[i] != 0;
  }
  return any;
}

// Whether comb `there` of a neighbouring frame is comb `here` (nonzero) staying put: same
// direction, a step within a factor of three, so noise and fades keep still detail still.
bool stays(int32_t here, int32_t there) {
  const int32_t a = std::abs(there);
  const int32_t b = std::abs(here);
  return (there > 0) == (here > 0) && there != 0 && 3 * a >= b && a <= 3 * b;
}

template <LumaKind Kind>
int32_t combRow(const CombRows& current, const CombRows* previous, const CombRows* next,
                int32_t width, int32_t step, int32_t* counts) {
  int32_t best = 0;
  for (int32_t x0 = 0; x0 < width; x0 += kCombBlock) {
    int32_t* count = counts + x0 / kCombBlock;
    const int32_t n = std::min(kCombBlock, width - x0);
    int32_t here[kCombBlock];
    // The neighbours matter only where this frame combs.
    if (combValues<Kind>(current, x0, n, step, here)) {
      int32_t before[kCombBlock] = {};
      int32_t after[kCombBlock] = {};
      if (previous != nullptr) combValues<Kind>(*previous, x0, n, step, before);
      if (next != nullptr) combValues<Kind>(*next, x0, n, step, after);
      for (int32_t i = 0; i < n; ++i) {
        *count += here[i] != 0 && !stays(here[i], before[i]) && !stays(here[i], after[i]);
      }
    }
    best = std::max(best, *count);
  }
  return best;
}

CombRows rowsAround(const LumaPlane& p, int32_t y) {
  const auto at = [&](int32_t r) { return p.data + static_cast<size_t>(r) * p.stride; };
  return CombRows{{at(y - 1), at(y), at(y + 1), at(y + 2)}};
}

}  // namespace

const CombKernels CombKernelsScalar = {
    .row8 = combRow<LumaKind::k8>,
    .row16 = combRow<LumaKind::k16>,
    .rowYcc16 = combRow<LumaKind::kYcc16>,
};

int32_t combBlockThreshold(int32_t sensitivity) {
  const int32_t s = std::clamp(sensitivity, 1, 100);
  return 1 + (100 - s) * 64 / 100;
}

int32_t combStripScore(const CombKernels& kernels, LumaKind kind, int shift, int32_t width,
                       int32_t height, const LumaPlane& current, const LumaPlane& previous,
                       const LumaPlane& next, int32_t y0, int32_t y1, int32_t enough) {
  const CombRowFn row = kind == LumaKind::k8    ? kernels.row8
                        : kind == LumaKind::k16 ? kernels.row16
                                                : kernels.rowYcc16;
  const int32_t step = kCombStep << shift;
  // Rows y - 1 .. y + 2 must lie in the frame.
  const int32_t from = std::max(y0, 1);
  const int32_t to = std::min(y1, height - 2);
  thread_local std::vector<int32_t> blockCounts;
  std::vector<int32_t>& counts = blockCounts;
  counts.assign(static_cast<size_t>((width + kCombBlock - 1) / kCombBlock), 0);
  int32_t best = 0;
  for (int32_t y = from; y < to; ++y) {
    const CombRows here = rowsAround(current, y);
    const CombRows before = previous.data != nullptr ? rowsAround(previous, y) : CombRows{};
    const CombRows after = next.data != nullptr ? rowsAround(next, y) : CombRows{};
    best = row(here, previous.data != nullptr ? &before : nullptr,
               next.data != nullptr ? &after : nullptr, width, step, counts.data());
    if (best >= enough) return enough;
  }
  return best;
}

}  // namespace quillet
