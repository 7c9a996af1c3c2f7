#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

// One cached motion map and the frame pair it describes. The key is the later frame k of the
// pair (k - 1, k); the map lives in slot (k AND 1). The geometry the map was made for is kept
// with the key: a map of another frame size or band is a miss, never a hit.
struct NeighbourSlot {
  int16_t* map;
  int32_t key;  // -1: holds nothing
  int32_t width;
  int32_t height;
  int32_t bandTop;
  int32_t bandEnd;
};

// The one piece of state that outlives a frame: a single zero-filled allocation holding the
// difference map and the two slot maps, all addressed at the plane pitch `pitch`.
struct MotionState {
  NeighbourSlot slot[2];
  int32_t rows;   // maxHeight the allocation was made for
  int32_t width;  // maxWidth the allocation was made for
  int16_t* diff;  // difference map, row 0; guard rows at -1 and n
  void* base;     // start of the allocation; null when there is none
  size_t size;    // bytes of the allocation
  int32_t pitch;  // distance in values between map rows, fixed for the life of the allocation
};

// Map plane pitch for a maximum width: the width plus 8, taken up to a multiple of 32 values.
// Every map row starts on a 64-byte line and has at least 8 spare values after any row of the
// frame, so whole 8-value blocks and the edge copies at -1 and `width` stay inside the row, and
// workers writing neighbouring rows never share a cache line.
int32_t mapPitchFor(int32_t maxWidth);

// Bytes the allocation needs for the maxima: three planes and their guard rows, covering slot
// 1's map entirely for every size.
size_t motionAllocationSize(int32_t maxHeight, int32_t maxWidth);

// Makes sure `state` has an allocation that fits maxHeight x maxWidth: frees one that is too
// small, keeps one that is large enough (also when the maxima shrank), otherwise allocates anew
// with both keys -1. Returns 1 when ready, 0 when the system refused the memory (then `base` is
// null).
int ensureMotionBuffers(MotionState& state, int32_t maxHeight, int32_t maxWidth);

// Frees the allocation, if any, and clears the whole record.
void releaseMotionState(MotionState& state);

// Sets both slot keys to -1; the allocation stays.
void invalidateNeighbourCache(MotionState& state);

// Clears the whole record without freeing (the init callback's start state).
void clearMotionState(MotionState& state);

}  // namespace quillet
