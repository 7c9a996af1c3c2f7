#pragma once

#include "dispatch/kernel_sets.h"
#include "motion/motion.h"
#include "motion/motion_state.h"
#include "rows/row_job.h"

namespace quillet {

// Everything one filter instance keeps between and during its frames: the counters its stages
// claim rows from, the motion maps with their cache keys, the weights of the current motion
// setting and the live kernel set its driver runs (the scalar set until one is selected, so it
// is always complete). Stages reach it only through the RowJob its driver hands them.
struct FilterInstance {
  RowCounters counters;
  MotionState motion{};
  MotionWeights weights{};
  KernelSet kernels = kKernelSetScalar;
};

}  // namespace quillet
