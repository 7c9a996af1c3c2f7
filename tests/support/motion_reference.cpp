#include "tests/support/motion_reference.h"

#include <algorithm>
#include <cmath>

namespace quillet::test {

int32_t scalarWeightRule(int32_t measure, float w) {
  const double product = static_cast<double>(measure * measure) * static_cast<double>(w);
  const double sum = product + 0.5;
  const float v = static_cast<float>(sum);
  return v > 4096.0f ? 4096 : static_cast<int32_t>(std::trunc(v));
}

int32_t vectorWeightRule(int32_t measure, float w) {
  const float m = static_cast<float>(measure);
  const float square = m * m;
  const float product = square * w;
  const float capped = std::min(product, 4096.0f);
  return static_cast<int32_t>(std::lrint(capped));  // default mode: nearest, ties to even
}

std::vector<WeightNearTie> findWeightNearTies(float (*weightForLevel)(int32_t level)) {
  std::vector<WeightNearTie> ties;
  for (int32_t motion = 1; motion <= 256; ++motion) {
    const float w = weightForLevel(8 * motion);
    for (int32_t m = 0; m <= 8 * motion + 1; ++m) {
      const int32_t s = scalarWeightRule(m, w);
      const int32_t v = vectorWeightRule(m, w);
      if (s != v) ties.push_back({motion, m, s, v});
    }
  }
  return ties;
}

MapPlane::MapPlane(int32_t width, int32_t rows, int16_t fill)
    : pitch_(((std::max(width, 0) + 7) & ~7) + 8),
      rows_(rows),
      storage_(static_cast<size_t>(rows + 4) * static_cast<size_t>(pitch_) + 8, fill) {
  // Start row -2 on a 16-byte boundary; the vector holds 8 spare values for the shift.
  auto address = reinterpret_cast<uintptr_t>(storage_.data());
  const size_t shift = ((16 - address % 16) % 16) / sizeof(int16_t);
  origin_ = storage_.data() + shift + 2 * static_cast<size_t>(pitch_);
}

std::vector<int16_t> MapPlane::snapshot() const {
  const int16_t* first = origin_ - 2 * static_cast<ptrdiff_t>(pitch_);
  return {first, first + static_cast<ptrdiff_t>(rows_ + 4) * pitch_};
}

void clearMmxState() {
#if defined(__i386__) || defined(__x86_64__)
  __asm__ volatile("emms");
#endif
}

}  // namespace quillet::test
