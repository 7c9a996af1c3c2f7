#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "include/quillet/quillet.h"
#include "motion/motion.h"

namespace quillet::engine {

// The widest low-pass reaches 7 rows to each side; the motion map one.
constexpr int32_t kHalo = 7;

// Everything one frame's strips read; the workers share it and write only their rows.
struct FrameJob {
  const uint8_t* const* current;  // plane pointers of the stored frames
  const size_t* currentStride;
  const uint8_t* const* previous;
  const size_t* previousStride;
  const uint8_t* const* next;
  const size_t* nextStride;
  QuilletFrame out;
  QuilletSettings settings;
  int32_t bandTop;
  int32_t bandEnd;
  int32_t mode;  // blend mode: 0 previous map, 1 minimum, 2 maximum
  bool motion;
  const int16_t* cachedPrevious;  // the previous pair's map when it is cached, else null
  int16_t* nextMap;               // where the next pair's map goes, null when not needed
  alignas(16) MotionWeights weights;
  int32_t strips;
  bool planar;  // the strips run on planar rows (PlanarStrip), else on host pixels
  std::atomic<int32_t> claimed{0};
};

// Pointer to row `row` of a plane of `stride` elements per row, for a row that may lie before
// the buffer's first row: kernels addressed from a band's first row reach only the rows the
// strip holds.
template <class T>
T* rowAt(T* base, int64_t row, ptrdiff_t stride) {
  return reinterpret_cast<T*>(
      reinterpret_cast<uintptr_t>(base) +
      static_cast<uintptr_t>(row * stride * static_cast<int64_t>(sizeof(T))));
}

}  // namespace quillet::engine
