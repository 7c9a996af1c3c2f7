#pragma once

// What the native reference writer and the Windows test program agree on (weights.bin).

#include <cstdint>
#include <vector>

namespace quillet::windows_test {

constexpr int32_t kMaxMotion = 256;
// Pitch of the three-row difference map through which one measure is turned into a weight.
constexpr int kWeightPitch = 8;

// The motion measures whose weights weights.bin holds for threshold m: every measure up to a
// little past 8m, where the weight reaches 4096, and the largest one.
inline std::vector<int32_t> weightMeasures(int32_t m) {
  std::vector<int32_t> measures;
  for (int32_t v = 0; v <= 8 * m + 64; ++v) measures.push_back(v);
  measures.push_back(32767);
  return measures;
}

}  // namespace quillet::windows_test
