#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

// How the luma samples of a stored frame are laid out.
enum class LumaKind { k8, k16, kYcc16 };

// The luma of one stored frame: row y at data + y * stride.
struct LumaPlane {
  const uint8_t* data = nullptr;
  size_t stride = 0;
};

// The detector works in blocks of kCombBlock columns by kCombBlock rows, at fixed places in the
// frame (block rows start at multiples of kCombBlock).
constexpr int32_t kCombBlock = 16;
constexpr int32_t kDefaultCombSensitivity = 40;

// Rows y - 1, y, y + 1, y + 2 of one frame's luma, for scoring row y.
struct CombRows {
  const uint8_t* row[4];
};

// Adds what row y of `current` shows to its blocks (b = x / kCombBlock):
//  - counts[b] gains each comb pixel. Pixel x combs when the four rows of `current` alternate
//    there: rows y and y + 2 on one side of rows y - 1 and y + 1, each of the three steps at
//    least `step` (1..32767) and the least of them more than half the change within the fields
//    (|Y(y-1) - Y(y+1)| + |Y(y) - Y(y+2)|); its comb is then the step Y(y) - Y(y+1). It counts
//    unless `previous` or `next` combs there in the same direction with a step within a factor
//    of three: a comb that stays put is detail, one that comes and goes is two moments.
//  - fitPrevious[b] gains |Y(y-1) + Y(y+1) - 2 P(y)| over the block's pixels, P being row y of
//    `previous`: how badly that row fits between the current frame's rows around it, i.e. into
//    the opposite field; fitNext[b] the same with row y of `next`.
//  - fitOwn[b] gains |Y(y-1) + Y(y+1) - 2 Y(y)| over the block's pixels: how badly the row fits
//    into the other field of its own frame.
// A row holds `width` samples: uint8_t (k8), uint16_t in native order (k16), or the Y of Y, Cb,
// Cr int16_t triplets (kYcc16, 6 bytes a pixel). Every sample value counts, codes above the bit
// depth included. A kernel reads nothing outside the samples, needs no alignment, keeps no
// state; every form gives the same sums.
using CombRowFn = void (*)(const CombRows& current, const CombRows& previous, const CombRows& next,
                           int32_t width, int32_t step, int32_t* counts, int32_t* fitPrevious,
                           int32_t* fitNext, int32_t* fitOwn);

struct CombKernels {
  CombRowFn row8;
  CombRowFn row16;
  CombRowFn rowYcc16;
};

// The reference.
extern const CombKernels CombKernelsScalar;
#if QUILLET_ENABLE_SIMD
// 16 pixels (one block) at a time; a row's last partial block goes through a stack copy.
extern const CombKernels CombKernelsSse2;
#if QUILLET_HAVE_AVX2
extern const CombKernels CombKernelsAvx2;
#endif
#endif

// What the detector looks at for one frame. Both neighbours are always given: at the ends of a
// clip the one that is missing is stood in for by the other (frame 1 before frame 0, frame
// k - 1 after the last frame k; a one-frame clip has frame 0 on both sides), and the flags say
// so, since which side a frame lies on decides which field it pairs with.
struct CombFrame {
  const CombKernels* kernels = nullptr;
  LumaKind kind = LumaKind::k8;
  int shift = 0;  // bits above 8: scales the 8-bit step and biases to the samples' range
  int32_t width = 0;
  int32_t height = 0;
  LumaPlane current, previous, next;
  bool previousIsLater = false;  // `previous` is frame k + 1 standing in for frame k - 1
  bool nextIsEarlier = false;    // `next` is frame k - 1 standing in for frame k + 1
};

// The thresholds of one sensitivity (1..100).
struct CombThresholds {
  int32_t count;       // comb pixels a block needs
  int32_t blockRatio;  // in 1/16: how much worse one field pairing must fit in the block
  int32_t frameRatio;  // in 1/16: the same over the whole frame
  // in 1/16: the same, over a frame whose better pairing fits about as well as its own fields
  int32_t nearRatio;
};
CombThresholds combThresholds(int32_t sensitivity);

// One block row's findings.
struct CombStripResult {
  // The comb count of the block row's most combed block among those whose field pairing says
  // two moments, up to `thresholds.count`.
  int32_t score = 0;
  // Field-pairing misfit summed over the block row, in 8-bit units: [0] the pairings that fit
  // best when the top field came first (each field with the other field of the frame on the
  // side it is nearest in time), [1] when the bottom field came first.
  int64_t fit[2] = {0, 0};
  // The rows' misfit within their own frame (fitOwn of CombRowFn), summed the same way.
  int64_t own = 0;
  // The misfits against each neighbour alone ([0] the previous frame, [1] the next) by row
  // parity ([0] even rows, [1] odd rows).
  int64_t side[2][2] = {{0, 0}, {0, 0}};
};

// The findings of the block row from row y0 (a multiple of kCombBlock) to y1 (at most
// y0 + kCombBlock, or the frame's end), counting rows y with y - 1 .. y + 2 in the frame. Stops
// early once a block reaches the count (its fits are then partial). Depends on the rows alone,
// never on who calls it when or with which form.
CombStripResult combStripScore(const CombFrame& frame, const CombThresholds& thresholds, int32_t y0,
                               int32_t y1);

// Whether the frame-level pairing of a whole frame's summed fits says two moments: one pairing
// fits far better than the other, or clearly better while fitting about as well as the frame's
// own fields fit each other, or one neighbour alone pairs with one field far better than with
// the other. `sums`: the CombStripResult fields fit, own and side summed over every block row.
bool combFramePairs(const CombFrame& frame, const CombThresholds& thresholds,
                    const CombStripResult& sums);

}  // namespace quillet
