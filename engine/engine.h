#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comb/comb.h"
#include "common/pixel.h"
#include "dispatch/row_kernels.h"
#include "engine/aligned_buffer.h"
#include "engine/format.h"
#include "engine/frame_job.h"
#include "engine/pixel_strip.h"
#include "engine/planar_strip.h"
#include "engine/settings.h"
#include "formats/convert.h"
#include "formats/sample_scale.h"
#include "include/quillet/quillet.h"
#include "runtime/worker_pool.h"

namespace quillet::engine {

// One compact frame as pushed: its planes back to back, rows packed.
struct StoredFrame {
  AlignedBuffer memory;
  uint8_t* plane[3] = {};
  size_t stride[3] = {};
};

// The map of motion weights of one frame pair, kept for the next frame (with "next frame" on,
// the pair (k, k + 1) made for frame k serves frame k + 1 as its previous pair). Keyed like the
// plug-in's slots: by the later frame and everything the map depends on.
struct CachedMap {
  int16_t* map = nullptr;
  int64_t key = -1;
  int32_t motion = 0;
  int32_t motion2 = 0;
  int32_t bandTop = 0;
  int32_t bandEnd = 0;
};

// The kernel-set features of this processor and operating system, probed once.
CpuFeatures processorFeatures();

struct CombJob;

class Engine {
 public:
  static QuilletStatus create(const QuilletConfig& config, std::unique_ptr<Engine>& engine,
                              std::string& error);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  QuilletStatus push(const QuilletFrame* frame, bool interlaced);
  // Lends the slot of the next frame (quillet_frame_buffer) / pushes it (quillet_push_buffer).
  QuilletStatus frameBuffer(QuilletFrame* frame);
  QuilletStatus pushBuffer(bool interlaced);
  QuilletStatus pull(QuilletFrame* out, QuilletFrameInfo* info);
  QuilletStatus flush();
  QuilletStatus setSettings(const QuilletSettings& settings);
  QuilletSettings settings() const { return settings_; }

  QuilletCpu cpu() const { return cpu_; }
  int32_t threads() const { return pool_ ? pool_->size() : 1; }
  size_t memoryBytes() const;
  const std::string& error() const { return error_; }
  QuilletStatus fail(QuilletStatus status, std::string message);

  // Runs the strips of the frame in `job` on worker `worker` (called from the pool).
  void runWorker(int worker, FrameJob& job);
  // Scores the comb strips claimed from `job` (called from the pool).
  void runCombWorker(CombJob& job);

 private:
  Engine() = default;
  bool ready() const;
  // Whether frames are shared out to the pool's workers.
  bool sharesFrames() const;
  // Takes the frame memory if it is not held yet; false when the system refused it.
  bool allocateBuffers();
  // allocateBuffers(), failing with QUILLET_ERROR_MEMORY and its message when refused.
  bool takeFrameMemory();
  StoredFrame& slot(int64_t n) { return frames_[n % kSlots]; }
  const StoredFrame& slot(int64_t n) const { return frames_[n % kSlots]; }
  // Takes the workers' strip buffers of one kind if they are not held yet; false when refused.
  bool ensureStrips(bool planar);
  void releaseBuffers();
  bool checkFrame(const QuilletFrame* frame, const char* what);
  // The comb score of frame k (QuilletFrameInfo.comb_score) against frames `previous` and
  // `next`, which may stand in for each other at the ends of the stream.
  int32_t combScore(int64_t k, int64_t previous, int64_t next, const CombThresholds& thresholds);
  // Copies stored frame k into the caller's planes.
  void passThrough(int64_t k, const QuilletFrame& out) const;
  // Marks slot(pushed_), filled by a push or by the caller, as frame pushed_ and counts it.
  void storePushed(bool interlaced);
  // The luma of stored frame n for the comb detector: plane 0, or for packed rows their Y
  // gathered into packedLuma_ once per stored frame.
  LumaPlane combLuma(int64_t n);

  Format format_;
  QuilletSettings settings_{};
  QuilletCpu cpu_ = QUILLET_CPU_SCALAR;
  const RowKernels* kernels_ = nullptr;
  const ConvertKernels* convert_ = nullptr;
  const CombKernels* comb_ = nullptr;
  SampleScale scale_;
  CodeCopies codeCopies_;  // planar strips: where still pixels take their stored codes
  std::unique_ptr<runtime::WorkerPool> pool_;

  // Frames k - 1, k, k + 1 around the next frame to come out, frame n in slot n mod kSlots; the
  // fourth slot takes the next frame while frame k waits to be pulled.
  static constexpr int kSlots = 4;
  StoredFrame frames_[kSlots];
  bool interlaced_[kSlots] = {};             // each stored frame's mark
  std::vector<uint8_t> packedLuma_[kSlots];  // packed layouts: each stored frame's Y, when gathered
  bool packedLumaReady_[kSlots] = {};
  bool lent_ = false;   // slot(pushed_) is lent to the caller
  int64_t pushed_ = 0;  // frames pushed so far
  int64_t pulled_ = 0;  // frames that came out so far
  bool flushed_ = false;

  int32_t stripRows_ = 32;   // frame rows a worker takes at a time
  int32_t pixelStride_ = 0;  // pixels between rows of a strip buffer
  int32_t mapPitch_ = 0;     // values between rows of every map
  AlignedBuffer mapMemory_;
  CachedMap maps_[2];  // key k in slot k AND 1
  std::vector<StripBuffers> strips_;
  std::vector<PlanarStripBuffers> planarStrips_;
  std::vector<CombStripResult> combStrips_;  // one per block row, in order

  std::string error_;
};

}  // namespace quillet::engine
