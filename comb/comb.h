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

// Comb pixels are counted in blocks of this many columns and one strip's rows.
constexpr int32_t kCombBlock = 16;
constexpr int32_t kDefaultCombSensitivity = 40;

// Comb pixels a block must hold for its frame to count as combed, for sensitivity 1..100.
int32_t combBlockThreshold(int32_t sensitivity);

// Rows y - 1, y, y + 1, y + 2 of one frame's luma, for scoring row y.
struct CombRows {
  const uint8_t* row[4];
};

// Adds the comb pixels of one row to its blocks. Pixel x combs when the four rows of `current`
// alternate there: rows y and y + 2 on one side of rows y - 1 and y + 1, each of the three steps
// at least `step` (1..32767) and the least of them more than half the change within the fields
// (|Y(y-1) - Y(y+1)| + |Y(y) - Y(y+2)|); its comb is then the step Y(y) - Y(y+1). It counts
// unless a neighbouring frame (`previous`, `next`; null when missing) combs there in the same
// direction with a step within a factor of three: a comb that stays put is still detail, one
// that comes and goes is two fields of different moments. counts[x / kCombBlock] gains each pixel
// that counts. Returns the largest of counts[0 .. ceil(width / kCombBlock) - 1] afterwards.
//
// A row holds `width` samples: uint8_t (k8), uint16_t in native order (k16), or the Y of Y, Cb,
// Cr int16_t triplets (kYcc16, 6 bytes a pixel). Every sample value counts, codes above the bit
// depth included. A kernel reads nothing outside the samples, needs no alignment, keeps no
// state; every form gives the same counts.
using CombRowFn = int32_t (*)(const CombRows& current, const CombRows* previous,
                              const CombRows* next, int32_t width, int32_t step, int32_t* counts);

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

// The comb count of the most combed block of rows [y0, y1) of `current` against `previous` and
// `next` (null data when missing), rows y - 1 .. y + 2 in the frame for every row y counted.
// `shift` scales the 8-bit step of 10 to the samples' range. Stops at `enough`: the result is
// the count, or `enough` as soon as a block reaches it. Depends on the rows alone, never on who
// calls it when or with which form.
int32_t combStripScore(const CombKernels& kernels, LumaKind kind, int shift, int32_t width,
                       int32_t height, const LumaPlane& current, const LumaPlane& previous,
                       const LumaPlane& next, int32_t y0, int32_t y1, int32_t enough);

}  // namespace quillet
