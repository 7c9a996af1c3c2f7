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
void combRow(const CombRows& current, const CombRows& previous, const CombRows& next, int32_t width,
             int32_t step, int32_t* counts, int32_t* fitPrevious, int32_t* fitNext,
             int32_t* fitOwn) {
  for (int32_t x0 = 0; x0 < width; x0 += kCombBlock) {
    const int32_t b = x0 / kCombBlock;
    const int32_t n = std::min(kCombBlock, width - x0);
    int32_t here[kCombBlock];
    // The neighbours' combs matter only where this frame combs.
    if (combValues<Kind>(current, x0, n, step, here)) {
      int32_t before[kCombBlock];
      int32_t after[kCombBlock];
      combValues<Kind>(previous, x0, n, step, before);
      combValues<Kind>(next, x0, n, step, after);
      for (int32_t i = 0; i < n; ++i) {
        counts[b] += here[i] != 0 && !stays(here[i], before[i]) && !stays(here[i], after[i]);
      }
    }
    int32_t misfitPrevious = 0;
    int32_t misfitNext = 0;
    int32_t misfitOwn = 0;
    for (int32_t i = 0; i < n; ++i) {
      const int32_t around =
          sampleAt<Kind>(current.row[0], x0 + i) + sampleAt<Kind>(current.row[2], x0 + i);
      misfitPrevious += std::abs(around - 2 * sampleAt<Kind>(previous.row[1], x0 + i));
      misfitNext += std::abs(around - 2 * sampleAt<Kind>(next.row[1], x0 + i));
      misfitOwn += std::abs(around - 2 * sampleAt<Kind>(current.row[1], x0 + i));
    }
    fitPrevious[b] += misfitPrevious;
    fitNext[b] += misfitNext;
    fitOwn[b] += misfitOwn;
  }
}

CombRows rowsAround(const LumaPlane& p, int32_t y) {
  const auto at = [&](int32_t r) { return p.data + static_cast<size_t>(r) * p.stride; };
  return CombRows{{at(y - 1), at(y), at(y + 1), at(y + 2)}};
}

// Whether `worse` is at least ratio / 16 times `better` plus `bias`: one pairing of fields fits
// far better than the other.
bool pairsApart(int64_t better, int64_t worse, int32_t ratio, int64_t bias) {
  return 16 * worse >= ratio * better + 16 * bias;
}

}  // namespace

const CombKernels CombKernelsScalar = {
    .row8 = combRow<LumaKind::k8>,
    .row16 = combRow<LumaKind::k16>,
    .rowYcc16 = combRow<LumaKind::kYcc16>,
};

CombThresholds combThresholds(int32_t sensitivity) {
  const int32_t s = std::clamp(sensitivity, 1, 100);
  // From the generated clips of bench/comb_material.sh at the default 40: 16 combs, a block's
  // worse pairing 1.5 times the better one, the frame's 1.25 times, or 1.125 times where the
  // better one fits about as well as the frame's own fields. 1 gives 23, 1.8, 1.375, 1.1875; 100
  // gives 4 and any clear difference.
  return CombThresholds{
      .count = 4 + (100 - s) * 20 / 100,
      .blockRatio = 16 + (100 - s) * 2 / 15,
      .frameRatio = 16 + (100 - s) / 15,
      .nearRatio = 16 + (100 - s) / 25,
  };
}

namespace {

// Misfit a block must show beyond the better pairing's ratio (8-bit units), and the frame per
// pixel in 1/16, so that still blocks and frames, which fit both ways almost exactly, never pair.
constexpr int64_t kBlockBias = 256;
constexpr int64_t kFrameBias16 = 1;
// How many times the better pairing's excess misfit over the frame's own fields the gap between
// the pairings must be for the near test (see combFramePairs).
constexpr int64_t kNearLead = 2;

// fit[0], fit[1] of CombStripResult from the misfits of rows by parity ([0] even rows, the top
// field's; [1] odd rows) against the previous and the next frame. Under top field first a top
// field row lies nearest the previous frame's bottom field and a bottom field row nearest the
// next frame's top field. A stand-in neighbour lies on the other side, so its parities swap.
void pairFits(const CombFrame& frame, const int64_t (&previous)[2], const int64_t (&next)[2],
              int64_t (&fit)[2]) {
  const int p = frame.previousIsLater ? 1 : 0;
  const int n = frame.nextIsEarlier ? 1 : 0;
  fit[0] = previous[1 - p] + next[n];
  fit[1] = previous[p] + next[1 - n];
}

}  // namespace

CombStripResult combStripScore(const CombFrame& frame, const CombThresholds& thresholds, int32_t y0,
                               int32_t y1) {
  const CombKernels& kernels = *frame.kernels;
  const CombRowFn row = frame.kind == LumaKind::k8    ? kernels.row8
                        : frame.kind == LumaKind::k16 ? kernels.row16
                                                      : kernels.rowYcc16;
  const int32_t step = kCombStep << frame.shift;
  // Rows y - 1 .. y + 2 must lie in the frame.
  const int32_t from = std::max(y0, 1);
  const int32_t to = std::min(y1, frame.height - 2);
  const size_t blocks = static_cast<size_t>((frame.width + kCombBlock - 1) / kCombBlock);
  // Per block: comb count, the misfits against the previous and next frame by row parity, the
  // misfit within the frame.
  thread_local std::vector<int32_t> sums;
  sums.assign(6 * blocks, 0);
  int32_t* counts = sums.data();
  int32_t* previousFit[2] = {counts + blocks, counts + 2 * blocks};
  int32_t* nextFit[2] = {counts + 3 * blocks, counts + 4 * blocks};
  int32_t* ownFit = counts + 5 * blocks;
  for (int32_t y = from; y < to; ++y) {
    row(rowsAround(frame.current, y), rowsAround(frame.previous, y), rowsAround(frame.next, y),
        frame.width, step, counts, previousFit[y & 1], nextFit[y & 1], ownFit);
  }
  CombStripResult result;
  const int64_t bias = kBlockBias << frame.shift;
  for (size_t b = 0; b < blocks; ++b) {
    int64_t fit[2];
    pairFits(frame, {previousFit[0][b], previousFit[1][b]}, {nextFit[0][b], nextFit[1][b]}, fit);
    result.fit[0] += fit[0];
    result.fit[1] += fit[1];
    result.own += ownFit[b];
    for (int parity = 0; parity < 2; ++parity) {
      result.side[0][parity] += previousFit[parity][b];
      result.side[1][parity] += nextFit[parity][b];
    }
    if (counts[b] <= result.score) continue;
    const int64_t better = std::min(fit[0], fit[1]);
    const int64_t worse = std::max(fit[0], fit[1]);
    if (pairsApart(better, worse, thresholds.blockRatio, bias)) {
      result.score = std::min(counts[b], thresholds.count);
    }
  }
  return result;
}

bool combFramePairs(const CombFrame& frame, const CombThresholds& thresholds,
                    const CombStripResult& sums) {
  const int64_t pixels = int64_t{frame.width} * frame.height;
  const int64_t bias = (kFrameBias16 * pixels / 16) << frame.shift;
  const int64_t better = std::min(sums.fit[0], sums.fit[1]);
  const int64_t worse = std::max(sums.fit[0], sums.fit[1]);
  if (pairsApart(better, worse, thresholds.frameRatio, bias)) return true;
  // Either neighbour alone, as far apart as a block must pair: next to a cut the other
  // neighbour shows another scene, whose misfits swamp both pairings alike. Each parity holds
  // half the frame's rows, so half the bias. The frame itself standing in for a neighbour (a
  // one-frame clip) pairs with nothing.
  const bool real[2] = {frame.previous.data != frame.current.data,
                        frame.next.data != frame.current.data};
  for (int s = 0; s < 2; ++s) {
    const int64_t(&side)[2] = sums.side[s];
    if (real[s] && pairsApart(std::min(side[0], side[1]), std::max(side[0], side[1]),
                              thresholds.blockRatio, bias / 2)) {
      return true;
    }
  }
  const int64_t own = sums.own;
  // A field of a woven frame lies as near in time to the neighbour's field it pairs best with as
  // to the other field of its own frame: under steady motion it fits both about alike (a slow
  // vertical pan, whose rows shift by a fraction of a row and never alternate). A progressive
  // frame's fields are of one moment and fit each other far better than either neighbour's, and
  // a still frame's fit every way alike, so neither opens a gap between its pairings that is
  // large beside the better pairing's excess over its own fit.
  return pairsApart(better, worse, thresholds.nearRatio, bias) &&
         worse - better >= kNearLead * (better - own);
}

}  // namespace quillet
