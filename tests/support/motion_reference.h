#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet::test {

// The two ways the motion kernels turn a motion measure M into a weight with the constant W:
// the scalar rule (double M^2 x W + 0.5, rounded to single precision, truncated, capped above
// 4096) and the vector rule (single-precision M x M x W, min 4096, rounded to nearest even).
int32_t scalarWeightRule(int32_t measure, float w);
int32_t vectorWeightRule(int32_t measure, float w);

// A motion setting and measure where the two rules give different weights.
struct WeightNearTie {
  int32_t motion;   // slider value 1..256; level = 8 x motion
  int32_t measure;  // M
  int32_t scalar;
  int32_t vector;
};

// Every case over motion 1..256 and M = 0 .. 8 x motion + 1 where the rules differ, given the
// builder that turns a level into W.
std::vector<WeightNearTie> findWeightNearTies(float (*weightForLevel)(int32_t level));

// A plane of 16-bit map rows at a pitch of the width rounded up to 8 plus 8, rows 16-byte
// aligned, with rows -1 .. `rows` (guard rows included) and one spare row on each side.
class MapPlane {
 public:
  MapPlane(int32_t width, int32_t rows, int16_t fill);
  int32_t pitch() const { return pitch_; }
  int16_t* row(int32_t r) { return origin_ + static_cast<ptrdiff_t>(r) * pitch_; }
  // Every value of rows -2 .. rows + 1, for comparisons of whole planes.
  std::vector<int16_t> snapshot() const;

 private:
  int32_t pitch_;
  int32_t rows_;
  std::vector<int16_t> storage_;
  int16_t* origin_;
};

// Leaves MMX state (EMMS) after a test called a vector row kernel directly; row kernels leave
// that to their stage.
void clearMmxState();

}  // namespace quillet::test
