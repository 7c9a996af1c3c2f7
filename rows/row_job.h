#pragma once

#include <atomic>
#include <cstdint>

#include "common/pixel.h"

namespace quillet {

struct MotionState;    // motion/motion_state.h
struct MotionWeights;  // motion/motion.h

// Row counters shared by the workers of one stage. The low-pass, copy, difference-map and blend
// stages claim runs of rows from `rows`, the motion-map stage from `mapRows`. Each filter
// instance owns one pair; its driver resets them with plain stores while no worker runs.
struct RowCounters {
  std::atomic<int32_t> rows{0};
  std::atomic<int32_t> mapRows{0};
};

// The record every stage of one frame reads. It lives in the driver's stack frame for one
// process call; stages only read it, the driver changes some words between stages.
struct RowJob {
  Pixel* source;      // current frame, unfiltered (the fetched frame, then its copy in editFrame)
  Pixel* other;       // second plane: tempFrame for low-pass and blend, the neighbour for the diff
  int32_t selector;   // tap 0..6 for the low-pass; blend mode 0..2 for the blend and display
  int32_t hardLimit;  // 2 x the second motion threshold, read by the motion-map stage
  int32_t height;     // rows of the frame
  int32_t width;      // pixels per row
  int32_t stride;     // row distance in pixels of every frame plane (the host's maxWidth)
  int32_t bandTop;    // first filtered row
  int32_t bandEnd;    // one past the last filtered row; bandTop <= bandEnd <= height
  // The running instance's state, set by its driver. Stages that share rows between workers
  // claim them from `counters`; the difference, motion-map and blend stages read the maps and
  // their pitch from `motion`, the motion-map stage its weights from `weights`.
  RowCounters* counters = nullptr;
  MotionState* motion = nullptr;
  const MotionWeights* weights = nullptr;
};

// A stage: called once per worker as stage(i, n, job, extra) with i = 0..n-1. The host's
// executor passes both pointers through unchanged.
using RowStage = void (*)(int threadIndex, int threadCount, RowJob* job, void* extra);

}  // namespace quillet
