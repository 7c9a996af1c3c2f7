#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "common/pixel.h"
#include "dispatch/cpu_features.h"
#include "host/host_records.h"
#include "runtime/worker_pool.h"
#include "standin/frame_buffer.h"
#include "standin/processing_order.h"

namespace quillet::standin {

// The filter's five sliders and three check boxes, as the editor would set them.
struct Settings {
  int32_t tap = 0;
  int32_t top = 0;
  int32_t bottom = 0;
  int32_t motion = 24;
  int32_t motion2 = 64;
  bool showMotion = false;
  bool nextFrame = false;
  bool useMax = false;
};

constexpr int32_t kNoFrame = std::numeric_limits<int32_t>::min();
// Frames the host can number: the filter takes a frame number and its neighbours' as an int.
constexpr int32_t kMaxClipFrames = std::numeric_limits<int32_t>::max();
constexpr CpuFeatures kAllCpuFeatures = kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2 | kCpuAvx512;

struct HostConfig {
  int32_t width = 0;  // frame size of the clip
  int32_t height = 0;
  int32_t maxWidth = 0;   // row stride of every frame; 0: width rounded up to a multiple of 8
  int32_t maxHeight = 0;  // rows every frame can hold; 0: height
  int threads = 0;        // workers behind RunOnThreads; 0: the host offers no executor
  CpuFeatures cpuMask = kAllCpuFeatures;  // kernel sets beyond these are not chosen
  Settings settings;

  // Test controls.
  BufferPlacement placement;            // misaligned or page-end frame buffers
  int32_t failFetchOf = kNoFrame;       // FetchFrame answers null when asked for this number
  bool refuseCache = false;             // ReserveFrameCache answers 0
  int failAllocations = 0;              // the filter's next allocations in each run are refused
  bool continueAfterFailure = false;    // a frame the filter fails on is skipped, not the end
  bool streamForward = true;            // false: forward order also reads the whole clip first
  bool logFetches = false;              // keep every frame number FetchFrame is asked for
  int32_t maxFrames = kMaxClipFrames;   // frames numbered at most; lower only for tests
  const FilterTable* filter = nullptr;  // another filter's record; null: GetFilterTable()'s
};

// Where the clip comes from, one frame after the other.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Writes the next frame (width x height pixels, rows `stride` pixels apart) into `frame`.
  // False at the end of the clip, or when no further whole frame can be had; the host then
  // treats the clip as ending before it.
  virtual bool readFrame(Pixel* frame, int32_t stride) = 0;
  // Waits until it is known whether readFrame will give a frame; false when it will not. The
  // host asks before it takes memory for a frame, so a clip that ends early costs none. A
  // source that cannot tell in advance answers true.
  virtual bool hasNextFrame() { return true; }
};

// Where results go, in increasing frame order.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Takes the result of frame `number` (width x height pixels, rows `stride` pixels apart).
  // False stops the run.
  virtual bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) = 0;
};

struct RunResult {
  // kTooManyFrames: the source had more frames than maxFrames; the frames that could be
  // numbered were run as a clip that ends there.
  enum class Status { kDone, kFilterFailed, kSinkFailed, kTooManyFrames };
  Status status = Status::kDone;
  int32_t frame = kNoFrame;           // the first frame failed on, or left without a number
  std::vector<int32_t> failedFrames;  // every frame the filter failed on, in processing order
  int64_t framesRead = 0;             // frames of the clip the source gave
  int64_t framesWritten = 0;          // frames the sink took
};

// The stand-in editor. It loads the filter through its registration record (init on
// construction, exit on destruction), fills the record's values and services, holds the clip's
// frames and calls the process callback once per frame. One host exists at a time: the
// services without a context argument reach it through a process-wide pointer.
class Host {
 public:
  // Throws std::logic_error when another host exists or the geometry is impossible. Frames
  // are taken by run(), when the first frame arrives.
  explicit Host(const HostConfig& config);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Filters the clip from `source` into `sink`. Forward order streams: only the current,
  // previous and next frame are held. Any other order reads the whole clip first. Stops at the
  // first frame the filter or the sink fails on (unless continueAfterFailure), or after the
  // last frame it can number when the source has more (kTooManyFrames); what was
  // delivered before is complete and in frame order. The neighbour cache is invalidated
  // first, so one host can run several clips. The edit and scratch frames are taken with the
  // first frame and kept for later runs. Throws std::bad_alloc when frames cannot be had.
  RunResult run(FrameSource& source, FrameSink& sink, const ProcessingOrder& order = {});

  // Changes the sliders and check boxes, telling the filter which sliders changed.
  void changeSettings(const Settings& settings);

  const HostConfig& config() const { return config_; }
  // The record as the editor passes it to every callback.
  FilterTable* filterTable() { return &table_; }
  // With logFetches: the frame numbers FetchFrame was asked for, in call order.
  const std::vector<int32_t>& fetchLog() const { return fetchLog_; }
  void clearFetchLog() { fetchLog_.clear(); }
  // Clip frames held at most during the last run (edit and scratch frames not counted).
  int32_t peakClipFrames() const { return peakClipFrames_; }
  // Workers behind RunOnThreads (fewer than config().threads when the system refused some).
  int workers() const { return pool_ ? pool_->size() : 0; }

 private:
  friend struct HostServiceEntries;

  RunResult streamForward(FrameSource& source, FrameSink& sink);
  RunResult loadAndProcess(FrameSource& source, FrameSink& sink, const ProcessingOrder& order);
  // Runs the process callback for one frame; after success the result is in editFrame_.
  bool processFrame(int32_t number);
  // Records a failed frame; true when the run goes on.
  bool noteFailure(RunResult& result, int32_t number);
  Pixel* fetch(int32_t number, int32_t* width, int32_t* height);
  FrameBuffer newFrame() const;
  // Takes the edit and scratch frames unless they exist.
  void ensureEditFrames();
  void writeSettings(const Settings& settings);

  HostConfig config_;
  FilterTable table_{};
  HostServices services_{};
  int32_t trackValues_[kTrackCount] = {};
  int32_t checkValues_[kCheckCount] = {};
  std::unique_ptr<runtime::WorkerPool> pool_;
  FrameBuffer frameA_;
  FrameBuffer frameB_;
  Pixel* editFrame_ = nullptr;  // exchanged with tempFrame_ by every successful call; null
                                // until the first frame arrives
  Pixel* tempFrame_ = nullptr;

  // The clip as far as the filter may see it. Streaming: three buffers, frame n in buffer
  // n mod 3. Otherwise frame n in buffer n.
  std::vector<FrameBuffer> clip_;
  std::vector<int32_t> clipNumbers_;  // the frame each buffer holds, kNoFrame for none
  bool streaming_ = false;
  int64_t clipLength_ = 0;     // frames read so far, at most maxFrames
  bool clipComplete_ = false;  // the source has ended: fetches beyond are mirrored into the clip
  bool clipTooLong_ = false;   // it ended at maxFrames with more to give
  int32_t peakClipFrames_ = 0;
  std::vector<int32_t> fetchLog_;
};

// The feature masks of the kernel sets this processor can run, best first: AVX2 (15), SSE2 (7),
// SSE (3), MMX (1) where present, and always scalar (0).
std::vector<CpuFeatures> availableCpuMasks();

}  // namespace quillet::standin
