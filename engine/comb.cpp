#include "engine/comb.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// How rows y - 1 .. y + 2 of `p` alternate at each pixel: the step from row y to row y + 1
// when rows y and y + 2 lie on one side of rows y - 1 and y + 1, every step at least `step` and
// more than half the change within the fields; 0 otherwise. Without branches, so the compiler
// can vectorise it.
template <LumaKind Kind>
void combRow(const LumaPlane& p, int32_t y, int32_t width, int32_t step, int32_t* out) {
  const uint8_t* ra = rowOf(p, y - 1);
  const uint8_t* rc = rowOf(p, y);
  const uint8_t* rd = rowOf(p, y + 1);
  const uint8_t* re = rowOf(p, y + 2);
  for (int32_t x = 0; x < width; ++x) {
    const int32_t a = sampleAt<Kind>(ra, x);
    const int32_t c = sampleAt<Kind>(rc, x);
    const int32_t d = sampleAt<Kind>(rd, x);
    const int32_t e = sampleAt<Kind>(re, x);
    const int32_t s1 = c - a;
    const int32_t s2 = c - d;
    const int32_t s3 = e - d;
    const int32_t lo = std::min(s1, std::min(s2, s3));
    const int32_t hi = std::max(s1, std::max(s2, s3));
    // All three steps at least `step` one way: the least of them is lo, or -hi the other way.
    const int32_t least = lo >= step ? lo : (hi <= -step ? -hi : 0);
    const int32_t withinFields = std::abs(a - d) + std::abs(c - e);
    out[x] = least != 0 && 2 * least > withinFields ? s2 : 0;
  }
}

// Whether comb `there` of a neighbouring frame is comb `here` (nonzero) staying put: same
// direction, a step within a factor of three, so noise and fades keep still detail still.
int32_t stays(int32_t here, int32_t there) {
  const int32_t a = std::abs(there);
  const int32_t b = std::abs(here);
  return static_cast<int32_t>((there > 0) == (here > 0) && there != 0 && 3 * a >= b && a <= 3 * b);
}

template <LumaKind Kind>
int32_t stripScore(int shift, int32_t width, int32_t height, const LumaPlane& current,
                   const LumaPlane& previous, const LumaPlane& next, int32_t y0, int32_t y1,
                   int32_t enough) {
  const int32_t step = kCombStep << shift;
  // Rows y - 1 .. y + 2 must lie in the frame.
  const int32_t from = std::max(y0, 1);
  const int32_t to = std::min(y1, height - 2);
  const auto w = static_cast<size_t>(width);
  thread_local std::vector<int32_t> rows;
  thread_local std::vector<int32_t> blockCounts;
  std::vector<int32_t>& buffer = rows;
  std::vector<int32_t>& counts = blockCounts;
  buffer.assign(3 * w, 0);  // current, previous, next: a frame that is missing shows no comb
  counts.assign((w + kCombBlock - 1) / kCombBlock, 0);
  int32_t* here = buffer.data();
  int32_t* before = here + w;
  int32_t* after = before + w;
  int32_t* countOf = counts.data();
  for (int32_t y = from; y < to; ++y) {
    combRow<Kind>(current, y, width, step, here);
    int32_t any = 0;
    for (size_t x = 0; x < w; ++x) any |= here[x];
    if (any == 0) continue;
    // The same comb in a neighbouring frame is still detail (stripes, a fading pattern), not
    // fields from two moments.
    if (previous.data != nullptr) combRow<Kind>(previous, y, width, step, before);
    if (next.data != nullptr) combRow<Kind>(next, y, width, step, after);
    for (size_t bx = 0; bx < w; bx += kCombBlock) {
      const size_t end = std::min(w, bx + kCombBlock);
      int32_t count = 0;
      for (size_t x = bx; x < end; ++x) {
        count += static_cast<int32_t>(here[x] != 0) & (stays(here[x], before[x]) ^ 1) &
                 (stays(here[x], after[x]) ^ 1);
      }
      countOf[bx / kCombBlock] += count;
      if (countOf[bx / kCombBlock] >= enough) return enough;
    }
  }
  int32_t best = 0;
  for (int32_t count : counts) best = std::max(best, count);
  return best;
}

}  // namespace

int32_t combBlockThreshold(int32_t sensitivity) {
  const int32_t s = std::clamp(sensitivity, 1, 100);
  return 1 + (100 - s) * 64 / 100;
}

int32_t combStripScore(LumaKind kind, int shift, int32_t width, int32_t height,
                       const LumaPlane& current, const LumaPlane& previous, const LumaPlane& next,
                       int32_t y0, int32_t y1, int32_t enough) {
  switch (kind) {
    case LumaKind::k8:
      return stripScore<LumaKind::k8>(shift, width, height, current, previous, next, y0, y1,
                                      enough);
    case LumaKind::k16:
      return stripScore<LumaKind::k16>(shift, width, height, current, previous, next, y0, y1,
                                       enough);
    case LumaKind::kYcc16:
      return stripScore<LumaKind::kYcc16>(shift, width, height, current, previous, next, y0, y1,
                                          enough);
  }
  return 0;
}

}  // namespace quillet::engine
