#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "host/host_records.h"
#include "rows/row_job.h"

namespace quillet::test {

// One service call the filter made, in the order it made them.
struct HostCall {
  enum Kind { kReserve, kFetch, kRun };
  Kind kind;
  FilterTable* filter = nullptr;  // reserve, fetch
  int32_t args[4] = {};           // reserve: maxWidth, maxHeight, frames, flags
  void* editHandle = nullptr;     // fetch
  int32_t frameNumber = 0;        // fetch
  int32_t* widthOut = nullptr;    // fetch
  int32_t* heightOut = nullptr;   // fetch
  RowStage stage = nullptr;       // run
  RowJob job{};                   // run: the record as it was when the stage started
  void* extra = nullptr;          // run
  void* extraWords[2] = {};       // run: the two pointers behind `extra` when the stage started
};

// Slider and check-box values the host hands to the filter.
struct HostSettings {
  int32_t tracks[kTrackCount] = {3, 2, 3, 24, 64};
  int32_t checks[kCheckCount] = {0, 1, 0};
};

// A 64-byte-aligned plane of pixels.
class Plane {
 public:
  explicit Plane(size_t pixels);
  ~Plane();
  Plane(Plane&& other) noexcept;
  Plane(const Plane&) = delete;
  Plane& operator=(const Plane&) = delete;
  Pixel* data() const { return data_; }

 private:
  Pixel* data_;
};

// Stands in for the host editor: a clip of generated frames stored `storageWidth` pixels apart,
// an edit and a scratch plane, the three services (recording every call) and, when `threads`
// is above 0, an executor that runs each stage on that many std::threads. Only one FakeHost may
// exist at a time: the services are plain functions that reach it through a global.
class FakeHost {
 public:
  FakeHost(int32_t width, int32_t height, int32_t storageWidth, int32_t storageHeight,
           int32_t frameCount, uint64_t seed);
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // What the host reports: the geometry FetchFrame writes and the maxima of FrameProcInfo.
  int32_t width;
  int32_t height;
  int32_t maxWidth;
  int32_t maxHeight;
  int threads = 0;
  int reserveResult = 1;
  std::set<int32_t> unavailable;    // frames FetchFrame yields null for (besides those outside)
  bool currentInEditPlane = false;  // deliver the current frame in the edit plane itself
  HostSettings settings;
  std::vector<HostCall> calls;
  FrameProcInfo info{};
  FilterTable table{};
  HostServices services{};

  // Fills both planes with the canary, clears `calls` and runs FilterProc for `frameNumber`.
  int process(int32_t frameNumber);
  // The result of the last process(): width x height pixels of info.editFrame.
  std::vector<Pixel> output() const;
  // Pixels of both planes outside the frame's width x height still hold the canary.
  bool outsideFrameIntact() const;
  // Every pixel of a plane still holds the canary.
  bool planeUntouched(const Pixel* plane) const;

  const Pixel* frame(int32_t n) const { return clip_[static_cast<size_t>(n)].data(); }
  int32_t frameCount() const { return static_cast<int32_t>(clip_.size()); }
  int32_t storageWidth() const { return storageWidth_; }
  Pixel* planeA() const { return planeA_.data(); }
  Pixel* planeB() const { return planeB_.data(); }
  void* handle() { return &handleToken_; }

 private:
  int32_t storageWidth_;
  int32_t storageHeight_;
  std::vector<Plane> clip_;
  Plane planeA_;
  Plane planeB_;
  int handleToken_ = 0;
};

constexpr Pixel kCanaryPixel{0x5A5A, 0x5A5A, 0x5A5A};

bool samePixels(const std::vector<Pixel>& a, const std::vector<Pixel>& b);

// The frame the pipeline should produce for frame k of the host's clip with in-range settings,
// built from the subsystems' scalar row functions without the driver or its cache. A neighbour
// the host does not deliver contributes an all-zero map.
std::vector<Pixel> modelFrame(const FakeHost& host, int32_t k, const HostSettings& settings);

}  // namespace quillet::test
