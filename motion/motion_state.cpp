#include "motion/motion_state.h"

#include <algorithm>
#include <cstdint>

#include "platform/virtual_memory.h"

namespace quillet {

namespace {
// Widest maximum whose pitch still fits an int32_t.
constexpr int32_t kWidestMaximum = INT32_MAX - 39;

uint64_t pitchFor(uint64_t width) { return (width + 8 + 31) & ~uint64_t{31}; }
}  // namespace

int32_t mapPitchFor(int32_t maxWidth) {
  const uint64_t pitch = pitchFor(static_cast<uint64_t>(std::max(maxWidth, 0)));
  return static_cast<int32_t>(std::min<uint64_t>(pitch, INT32_MAX & ~31));
}

namespace {
// Byte offsets of the three planes inside the allocation. Each plane holds rows -1..H at the
// pitch; the difference map has a spare row and 128 values before its guard row -1, slot 1 a
// further 256 values of lead.
// Worked out in 64 bits: on a 32-bit build absurd maxima would otherwise wrap the size and yield
// an allocation smaller than the maps placed in it.
struct PlaneLayout {
  uint64_t pitchBytes;
  uint64_t planeBytes;
  uint64_t slot0;
  uint64_t diff;
  uint64_t slot1;
  uint64_t total;
};

PlaneLayout layoutFor(int32_t maxHeight, int32_t maxWidth) {
  PlaneLayout l{};
  const uint64_t width = static_cast<uint64_t>(std::max(maxWidth, 0));
  const uint64_t pitch = pitchFor(width);
  const uint64_t rows = static_cast<uint64_t>(std::max(maxHeight, 0));
  l.pitchBytes = pitch * 2;
  l.planeBytes = (rows + 2) * l.pitchBytes;
  l.slot0 = l.pitchBytes;
  l.diff = l.planeBytes + l.pitchBytes + 256;
  l.slot1 = 2 * l.planeBytes + l.pitchBytes + 512;
  // (H + 3) rows of three planes, but never less than the end of slot 1's last row (narrow
  // maxima would otherwise leave slot 1's map partly outside the allocation).
  const uint64_t formula = (rows + 3) * pitch * 6;
  const uint64_t slot1End = l.slot1 + (rows + 1) * l.pitchBytes;
  l.total = std::max(formula, slot1End);
  return l;
}
}  // namespace

size_t motionAllocationSize(int32_t maxHeight, int32_t maxWidth) {
  const uint64_t total = layoutFor(maxHeight, maxWidth).total;
  return total > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(total);
}

void releaseMotionState(MotionState& state) {
  if (state.base == nullptr) return;
  platform::releasePages(state.base, state.size);
  state = MotionState{};
}

void clearMotionState(MotionState& state) { state = MotionState{}; }

void invalidateNeighbourCache(MotionState& state) {
  state.slot[0].key = -1;
  state.slot[1].key = -1;
}

int ensureMotionBuffers(MotionState& state, int32_t maxHeight, int32_t maxWidth) {
  if (state.rows < maxHeight || state.width < maxWidth) releaseMotionState(state);
  if (state.base != nullptr) return 1;

  const PlaneLayout l = layoutFor(maxHeight, maxWidth);
  // Maxima no address space can hold are refused like memory the system refuses.
  const bool fits = maxWidth <= kWidestMaximum && l.total <= PTRDIFF_MAX;
  void* base = fits ? platform::allocatePages(static_cast<size_t>(l.total)) : nullptr;
  state.base = base;
  if (base == nullptr) return 0;

  auto* bytes = static_cast<unsigned char*>(base);
  state.size = static_cast<size_t>(l.total);
  state.pitch = mapPitchFor(maxWidth);
  state.slot[0] = NeighbourSlot{reinterpret_cast<int16_t*>(bytes + l.slot0), -1, 0, 0, 0, 0};
  state.slot[1] = NeighbourSlot{reinterpret_cast<int16_t*>(bytes + l.slot1), -1, 0, 0, 0, 0};
  state.diff = reinterpret_cast<int16_t*>(bytes + l.diff);
  state.rows = maxHeight;
  state.width = maxWidth;
  return 1;
}

}  // namespace quillet
