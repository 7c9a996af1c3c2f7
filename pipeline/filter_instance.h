#pragma once

#include "motion/motion.h"
#include "motion/motion_state.h"
#include "rows/row_job.h"

namespace quillet {

// Everything one filter instance keeps between and during its frames: the counters its stages
// claim rows from, the motion maps with their cache keys, and the weights of the current motion
// setting. Stages reach it only through the RowJob its driver hands them.
struct FilterInstance {
  RowCounters counters;
  MotionState motion{};
  MotionWeights weights{};
};

}  // namespace quillet
