#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::engine {

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

// The comb count of the most combed block of rows [y0, y1) of `current`, blocks of kCombBlock
// columns. Row y counts at pixel x when rows y - 1 .. y + 2 alternate (y and y + 2 on one side of
// y - 1 and y + 1, every step at least 10 in 8-bit units) and neither neighbouring frame shows the
// same alternation there: a comb that stays put is still detail, one that comes and goes is two
// fields of different moments. A missing neighbour (null data) is not compared. `shift` scales
// the 8-bit step to the samples' range. Stops at `enough`: the result is the count, or `enough`
// as soon as a block reaches it. Depends on the rows alone, never on who calls it when.
int32_t combStripScore(LumaKind kind, int shift, int32_t width, int32_t height,
                       const LumaPlane& current, const LumaPlane& previous, const LumaPlane& next,
                       int32_t y0, int32_t y1, int32_t enough);

}  // namespace quillet::engine
