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
#include "formats/convert.h"
#include "formats/sample_scale.h"
#include "include/quillet/quillet.h"
#include "runtime/worker_pool.h"

namespace quillet::engine {

// A frame format as the engine stores and converts it.
struct Format {
  int32_t width = 0;
  int32_t height = 0;
  QuilletLayout layout = QUILLET_LAYOUT_420;
  int32_t bitDepth = 8;
  int planes = 3;  // 1 (mono, ycc16) or 3
  int shiftX = 0;  // chroma subsampling, as a shift of the pixel position
  int shiftY = 0;
  int bytesPerSample = 1;
  size_t rowBytes[3] = {};
  int32_t rows[3] = {};
  // How the samples lie: planar (one plane per component), semi-planar (Y, then Cb Cr pairs) or
  // packed 4:2:2 (one plane); each holds the samples of its planar equivalent.
  enum class Packing { kPlanar, kSemiPlanar, kPacked } packing = Packing::kPlanar;
  bool crFirst = false;  // semi-planar: Cr Cb pairs
  int packedOrder = 0;   // packed: a PackedOrder
  int highBits = 0;      // bits below the code in a 16-bit sample (P010: 6)
};

// Checks `config`'s format; on failure says why in `error`.
bool describeFormat(const QuilletConfig& config, Format& format, std::string& error);

// The plug-in's slider and check-box ranges: every value clamped, checks 0 or 1.
QuilletSettings clampSettings(const QuilletSettings& settings);

// Memory aligned to a 64-byte line, released with the owner.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  // False when the memory could not be had.
  bool allocate(size_t bytes);
  void* data() const { return data_.get(); }
  size_t size() const { return size_; }

 private:
  struct Free {
    void operator()(void* p) const;
  };
  std::unique_ptr<void, Free> data_;
  size_t size_ = 0;
};

// One compact frame as pushed: its planes back to back, each row on its own 64-byte line.
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

// Buffers of one worker: the strip's rows on the host's scale and its maps.
struct StripBuffers {
  AlignedBuffer memory;
  Pixel* source = nullptr;     // current frame, strip rows plus the low-pass halo
  Pixel* filtered = nullptr;   // low-pass then blend output of the strip's band rows
  Pixel* neighbour = nullptr;  // a neighbour frame's rows, strip plus one row each side
  int16_t* diff = nullptr;     // difference rows, strip plus guard rows, at the map pitch
  int16_t* map = nullptr;      // the previous pair's weights when they are not cached
};

class Engine {
 public:
  static QuilletStatus create(const QuilletConfig& config, std::unique_ptr<Engine>& engine,
                              std::string& error);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  QuilletStatus push(const QuilletFrame* frame, bool interlaced);
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
  void runWorker(int worker, void* job);
  // Scores the comb strips claimed from `job` (called from the pool).
  void runCombWorker(void* job);

 private:
  Engine() = default;
  bool ready() const;
  // Whether frames are shared out to the pool's workers.
  bool sharesFrames() const;
  // Takes the frame memory if it is not held yet; false when the system refused it.
  bool allocateBuffers();
  void releaseBuffers();
  bool checkFrame(const QuilletFrame* frame, const char* what);
  // The comb score of frame k (QuilletFrameInfo.comb_score) against frames `previous` and
  // `next`, which may stand in for each other at the ends of the stream.
  int32_t combScore(int64_t k, int64_t previous, int64_t next, const CombThresholds& thresholds);
  // Copies stored frame k into the caller's planes.
  void passThrough(int64_t k, const QuilletFrame& out) const;
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
  std::unique_ptr<runtime::WorkerPool> pool_;

  // Frames k - 1, k, k + 1 around the next frame to come out, frame n in slot n mod 3.
  StoredFrame frames_[3];
  bool interlaced_[3] = {};             // each stored frame's mark
  std::vector<uint8_t> packedLuma_[3];  // packed layouts: each stored frame's Y, when gathered
  bool packedLumaReady_[3] = {};
  int64_t pushed_ = 0;  // frames pushed so far
  int64_t pulled_ = 0;  // frames that came out so far
  bool flushed_ = false;

  int32_t stripRows_ = 16;
  int32_t pixelStride_ = 0;  // pixels between rows of a strip buffer
  int32_t mapPitch_ = 0;     // values between rows of every map
  AlignedBuffer mapMemory_;
  CachedMap maps_[2];  // key k in slot k AND 1
  std::vector<StripBuffers> strips_;
  std::vector<CombStripResult> combStrips_;  // one per block row, in order

  std::string error_;
};

}  // namespace quillet::engine
