#include "pipeline/frame_driver.h"

#include <cstring>

#include "compose/compose.h"
#include "dispatch/mmx_state.h"
#include "lowpass/lowpass.h"
#include "motion/motion.h"
#include "motion/motion_state.h"
#include "pipeline/filter_instance.h"
#include "pipeline/row_execution.h"
#include "platform/virtual_memory.h"

namespace quillet {

bool framesAligned(int32_t stride, const Pixel* a, const Pixel* b) {
  const auto misaligned = [](uintptr_t v) { return (v & 15u) != 0; };
  const uintptr_t rowBytes = static_cast<uintptr_t>(static_cast<uint32_t>(stride)) * sizeof(Pixel);
  return !misaligned(rowBytes) && !misaligned(reinterpret_cast<uintptr_t>(a)) &&
         !misaligned(reinterpret_cast<uintptr_t>(b));
}

namespace {

constexpr int32_t kNoKey = -1;

// The host's slider and check-box values, each clamped into its declared range: a value out of
// range would otherwise index past the kernel table (tap) or push the band outside the frame.
struct Settings {
  int32_t tap;
  int32_t top;
  int32_t bottom;
  int32_t motion;
  int32_t motion2;
  int32_t showMotion;
  int32_t nextFrame;
  int32_t useMax;
};

int32_t clampTo(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

int32_t checked(int32_t v) { return v != 0 ? 1 : 0; }

Settings readSettings(const FrameCall& call) {
  const int32_t* t = call.trackValues;
  const int32_t* c = call.checkValues;
  return Settings{
      .tap = clampTo(t[kTrackTap], 0, kTapCount - 1),
      .top = clampTo(t[kTrackTop], 0, 256),
      .bottom = clampTo(t[kTrackBottom], 0, 256),
      .motion = clampTo(t[kTrackMotion], 0, 256),
      .motion2 = clampTo(t[kTrackMotion2], 0, 256),
      .showMotion = checked(c[kCheckShowMotion]),
      .nextFrame = checked(c[kCheckNextFrame]),
      .useMax = checked(c[kCheckMax]),
  };
}

// Frame numbers one apart, wrapping instead of overflowing at the ends of the int range.
int32_t frameOffset(int32_t frameNumber, int32_t delta) {
  return static_cast<int32_t>(static_cast<uint32_t>(frameNumber) + static_cast<uint32_t>(delta));
}

// The executor is fixed once per call: the host's when it offers one, else this thread.
struct Executor {
  RunStagesFn host;

  void run(RowStage stage, RowJob* job, void* extra) const {
    if (host != nullptr) {
      host(stage, job, extra);
    } else {
      runOnCallingThread(stage, job, extra);
    }
  }
};

// Rows [0, height) x pixels [0, width) must fit the host's planes of maxWidth x maxHeight.
bool geometryFits(const FrameCall& call) {
  const int32_t width = *call.width;
  const int32_t height = *call.height;
  return call.maxWidth > 0 && call.maxHeight > 0 && width >= 0 && height >= 0 &&
         width <= call.maxWidth && height <= call.maxHeight;
}

void computeBand(RowJob& job, int32_t top, int32_t bottom) {
  job.bandTop = top < job.height ? top : job.height;
  job.bandEnd = job.bandTop > job.height - bottom ? job.bandTop : job.height - bottom;
}

// Motion adaptation off: give the memory back but keep the other words, which the next
// allocation rewrites; no cached map may survive.
void dropMotionBuffers(MotionState& motion) {
  if (motion.base != nullptr) {
    platform::releasePages(motion.base, motion.size);
    motion.base = nullptr;
  }
  invalidateNeighbourCache(motion);
}

bool slotHolds(const NeighbourSlot& slot, int32_t key, const RowJob& job) {
  return slot.key != kNoKey && slot.key == key && slot.width == job.width &&
         slot.height == job.height && slot.bandTop == job.bandTop && slot.bandEnd == job.bandEnd;
}

void keySlot(NeighbourSlot& slot, int32_t key, const RowJob& job) {
  slot.key = key;
  slot.width = job.width;
  slot.height = job.height;
  slot.bandTop = job.bandTop;
  slot.bandEnd = job.bandEnd;
}

// A neighbour the host cannot deliver has no motion against this frame: its map is all zero,
// never what an earlier frame pair left in the slot.
void clearSlotMap(const NeighbourSlot& slot, const RowJob& job) {
  const int32_t rows = job.bandEnd - job.bandTop;
  if (job.width <= 0) return;
  const size_t rowBytes = static_cast<size_t>(job.width) * sizeof(int16_t);
  for (int32_t r = 0; r < rows; ++r) {
    std::memset(slot.map + static_cast<ptrdiff_t>(r) * job.motion->pitch, 0, rowBytes);
  }
}

struct FrameContext {
  const FrameCall& call;
  Executor executor;
  const KernelSet& kernels;
  RowJob job;
};

// Brings the slot for the pair whose later frame is `key` up to date, comparing the current
// frame with `neighbour`.
void refreshNeighbour(FrameContext& ctx, int32_t key, int32_t neighbour) {
  NeighbourSlot& slot = ctx.job.motion->slot[key & 1];
  if (slotHolds(slot, key, ctx.job)) return;
  Pixel* other = ctx.call.fetchFrame(ctx.call.host, neighbour, nullptr, nullptr);
  if (other != nullptr) {
    ctx.job.counters->mapRows.store(0);
    ctx.job.counters->rows.store(0);
    ctx.job.other = other;
    const RowStage diff = framesAligned(ctx.job.stride, other, ctx.call.editFrame)
                              ? ctx.kernels.diffAligned
                              : ctx.kernels.diffUnaligned;
    ctx.executor.run(diff, &ctx.job, nullptr);
    ctx.executor.run(ctx.kernels.motionMap, &ctx.job, &slot);
  } else {
    // The map says nothing about the pair: with the key left empty, the next call that
    // needs the pair fetches the neighbour again instead of trusting this empty map.
    clearSlotMap(slot, ctx.job);
    slot.key = kNoKey;
    return;
  }
  keySlot(slot, key, ctx.job);
}

void clearMmxIfUsed(const KernelSet& kernels) {
  if (kernels.clearMmx != nullptr) kernels.clearMmx();
}

}  // namespace

int processFrame(FilterInstance& instance, FrameCall& call) {
  if (call.maxWidth <= 0 || call.maxHeight <= 0) return 0;
  const KernelSet& kernels = instance.kernels;
  FrameContext ctx{.call = call, .executor = {call.runOnThreads}, .kernels = kernels, .job = {}};

  if (call.reserveFrameCache(call.host, call.maxWidth, call.maxHeight, 2, 0) == 0) return 0;
  Pixel* fetched = call.fetchFrame(call.host, call.frameNumber, call.width, call.height);
  if (fetched == nullptr) return 0;
  if (!geometryFits(call)) return 0;

  const Settings settings = readSettings(call);
  RowJob& job = ctx.job;
  job.counters = &instance.counters;
  job.motion = &instance.motion;
  job.weights = &instance.weights;
  job.source = fetched;
  job.other = call.tempFrame;
  job.selector = settings.tap;
  job.hardLimit = 2 * settings.motion2;
  job.height = *call.height;
  job.width = *call.width;
  job.stride = call.maxWidth;
  computeBand(job, settings.top, settings.bottom);

  const RowStage lowpass = framesAligned(job.stride, job.source, job.other)
                               ? kernels.lowpassAligned
                               : kernels.lowpassUnaligned;
  job.counters->rows.store(0);
  ctx.executor.run(lowpass, &job, nullptr);
  clearMmxIfUsed(kernels);

  if (settings.motion <= 0) {
    dropMotionBuffers(instance.motion);
  } else {
    kernels.buildWeights(&instance.weights, 8 * settings.motion);
    if (ensureMotionBuffers(instance.motion, call.maxHeight, call.maxWidth) == 0) return 0;

    job.source = call.editFrame;
    // A host may hand out its edit buffer as the current frame; then it already is the copy.
    if (fetched != call.editFrame) {
      job.counters->rows.store(0);
      ctx.executor.run(copyRows, &job, fetched);
    }

    const int32_t next = frameOffset(call.frameNumber, 1);
    const int32_t current = call.frameNumber;
    refreshNeighbour(ctx, next, next);
    refreshNeighbour(ctx, current, frameOffset(current, -1));

    job.selector = (settings.useMax + 1) * settings.nextFrame;
    job.other = call.tempFrame;
    job.counters->rows.store(0);
    NeighbourSlot* pair[2] = {&instance.motion.slot[current & 1], &instance.motion.slot[next & 1]};
    ctx.executor.run(kernels.blend, &job, pair);
    if (settings.showMotion != 0) {
      MotionDisplay(job.stride, job.bandEnd - job.bandTop,
                    call.tempFrame + static_cast<ptrdiff_t>(job.bandTop) * job.stride, pair[0]->map,
                    pair[1]->map, job.selector, job.width, instance.motion.pitch);
    }
  }

  Pixel* result = call.tempFrame;
  call.tempFrame = call.editFrame;
  call.editFrame = result;
  clearMmxIfUsed(kernels);
  return 1;
}

}  // namespace quillet
