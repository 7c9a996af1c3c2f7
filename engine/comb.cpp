#include "engine/comb.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quillet::engine {

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

const uint8_t* rowOf(const LumaPlane& p, int32_t y) {
  return p.data + static_cast<size_t>(y) * p.stride;
}

// How rows y - 1 .. y + 2 of `p` alternate at x: the step from row y to row y + 1 when rows y
// and y + 2 lie on one side of rows y - 1 and y + 1, every step at least `step` and larger than
// the change within each field; 0 otherwise.
template <LumaKind Kind>
int32_t combAt(const LumaPlane& p, int32_t y, int32_t x, int32_t step) {
  const int32_t a = sampleAt<Kind>(rowOf(p, y - 1), x);
  const int32_t c = sampleAt<Kind>(rowOf(p, y), x);
  const int32_t d = sampleAt<Kind>(rowOf(p, y + 1), x);
  const int32_t e = sampleAt<Kind>(rowOf(p, y + 2), x);
  const int32_t s1 = c - a;
  const int32_t s2 = c - d;
  const int32_t s3 = e - d;
  const int32_t least = std::min({std::abs(s1), std::abs(s2), std::abs(s3)});
  const bool alternate = (s1 > 0) == (s2 > 0) && (s2 > 0) == (s3 > 0);
  const int32_t withinFields = std::abs(a - d) + std::abs(c - e);
  return alternate && least >= step && 2 * least > withinFields ? s2 : 0;
}

// Whether `other` shows the comb `comb` (nonzero) at the same place: same direction, a step
// within a quarter of it (at least `step`), so noise and slow fades keep still detail still.
template <LumaKind Kind>
bool sameComb(const LumaPlane& other, int32_t y, int32_t x, int32_t step, int32_t comb) {
  const int32_t there = combAt<Kind>(other, y, x, step);
  return there != 0 && (there > 0) == (comb > 0) &&
         std::abs(there - comb) < std::max(step, std::abs(comb) / 4);
}

template <LumaKind Kind>
int32_t stripScore(int shift, int32_t width, int32_t height, const LumaPlane& current,
                   const LumaPlane& previous, const LumaPlane& next, int32_t y0, int32_t y1) {
  const int32_t step = kCombStep << shift;
  // Rows y - 1 .. y + 2 must lie in the frame.
  const int32_t from = std::max(y0, 1);
  const int32_t to = std::min(y1, height - 2);
  int32_t best = 0;
  for (int32_t bx = 0; bx < width; bx += kCombBlock) {
    const int32_t bxEnd = std::min(width, bx + kCombBlock);
    int32_t count = 0;
    for (int32_t y = from; y < to; ++y) {
      for (int32_t x = bx; x < bxEnd; ++x) {
        const int32_t comb = combAt<Kind>(current, y, x, step);
        if (comb == 0) continue;
        // The same comb in a neighbouring frame is still detail (stripes, a slowly fading
        // pattern), not fields from two moments.
        if (previous.data != nullptr && sameComb<Kind>(previous, y, x, step, comb)) continue;
        if (next.data != nullptr && sameComb<Kind>(next, y, x, step, comb)) continue;
        ++count;
      }
    }
    best = std::max(best, count);
  }
  return best;
}

}  // namespace

int32_t combBlockThreshold(int32_t sensitivity) {
  const int32_t s = std::clamp(sensitivity, 1, 100);
  return 1 + (100 - s) * 64 / 100;
}

int32_t combStripScore(LumaKind kind, int shift, int32_t width, int32_t height,
                       const LumaPlane& current, const LumaPlane& previous, const LumaPlane& next,
                       int32_t y0, int32_t y1) {
  switch (kind) {
    case LumaKind::k8:
      return stripScore<LumaKind::k8>(shift, width, height, current, previous, next, y0, y1);
    case LumaKind::k16:
      return stripScore<LumaKind::k16>(shift, width, height, current, previous, next, y0, y1);
    case LumaKind::kYcc16:
      return stripScore<LumaKind::kYcc16>(shift, width, height, current, previous, next, y0, y1);
  }
  return 0;
}

}  // namespace quillet::engine
