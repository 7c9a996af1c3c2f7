#pragma once

namespace quillet {

// The filter's sliders and check boxes, in the order the host keeps their values.
enum Track : int {
  kTrackTap = 0,
  kTrackTop,
  kTrackBottom,
  kTrackMotion,
  kTrackMotion2,
  kTrackCount
};
enum Check : int { kCheckShowMotion = 0, kCheckNextFrame, kCheckMax, kCheckCount };

}  // namespace quillet
