#include "tests/support/fake_host.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#include "compose/compose.h"
#include "host/filter_entry.h"
#include "lowpass/lowpass.h"
#include "motion/motion.h"
#include "pipeline/frame_driver.h"
#include "tests/support/guarded_buffer.h"

namespace quillet::test {

namespace {

FakeHost* activeHost = nullptr;

int HOST_CDECL reserveService(FilterTable* filter, int maxWidth, int maxHeight, int frames,
                              int flags) {
  HostCall call{.kind = HostCall::kReserve, .filter = filter};
  call.args[0] = maxWidth;
  call.args[1] = maxHeight;
  call.args[2] = frames;
  call.args[3] = flags;
  activeHost->calls.push_back(call);
  return activeHost->reserveResult;
}

Pixel* HOST_CDECL fetchService(FilterTable* filter, void* editHandle, int frameNumber, int* width,
                               int* height) {
  FakeHost& host = *activeHost;
  host.calls.push_back(HostCall{.kind = HostCall::kFetch,
                                .filter = filter,
                                .editHandle = editHandle,
                                .frameNumber = frameNumber,
                                .widthOut = width,
                                .heightOut = height});
  if (frameNumber < 0 || frameNumber >= host.frameCount() || host.unavailable.count(frameNumber)) {
    return nullptr;
  }
  if (width != nullptr) *width = host.width;
  if (height != nullptr) *height = host.height;
  if (host.currentInEditPlane && frameNumber == host.info.frameNumber) {
    const size_t pixels =
        static_cast<size_t>(host.storageWidth()) * static_cast<size_t>(host.maxHeight);
    std::memcpy(host.info.editFrame, host.frame(frameNumber), pixels * sizeof(Pixel));
    return host.info.editFrame;
  }
  return const_cast<Pixel*>(host.frame(frameNumber));
}

int HOST_CDECL runService(RowStage stage, RowJob* job, void* extra) {
  FakeHost& host = *activeHost;
  HostCall call{.kind = HostCall::kRun, .stage = stage, .job = *job, .extra = extra};
  if (extra != nullptr) std::memcpy(call.extraWords, extra, sizeof call.extraWords);
  host.calls.push_back(call);
  std::vector<std::thread> workers;
  workers.reserve(static_cast<size_t>(host.threads));
  for (int i = 0; i < host.threads; ++i) workers.emplace_back(stage, i, host.threads, job, extra);
  for (std::thread& w : workers) w.join();
  return 1;
}

int16_t clampSample(int32_t v) {
  return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

// A smooth combed picture with a moving pattern in every other 8-column strip and noise
// everywhere: neighbouring frames differ by amounts that spread the motion weights over their
// whole range at the default motion setting. Every pixel depends on its position only, so the
// picture is the same for every storage geometry.
void generateFrame(Pixel* frame, int32_t storageWidth, int32_t storageHeight, int32_t n,
                   uint64_t seed) {
  for (int32_t y = 0; y < storageHeight; ++y) {
    for (int32_t x = 0; x < storageWidth; ++x) {
      Prng prng(seed ^ (static_cast<uint64_t>(n) << 42) ^ (static_cast<uint64_t>(y) << 21) ^
                static_cast<uint64_t>(x));
      const int32_t comb = (y & 1) != 0 ? 240 : -240;
      const int32_t moving = (x % 16) < 8 ? ((x + 3 * n) % 11) * 30 : 0;
      Pixel& p = frame[static_cast<size_t>(y) * static_cast<size_t>(storageWidth) +
                       static_cast<size_t>(x)];
      p.y = clampSample(1500 + 12 * x + 9 * y + comb + moving + prng.range(-60, 60));
      p.cb = clampSample(-300 + 5 * x - 4 * y + prng.range(-90, 90) + n * 17);
      p.cr = clampSample(200 - 3 * x + 6 * y + prng.range(-90, 90) - n * 23);
    }
  }
}

void fillCanary(Pixel* plane, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) plane[i] = kCanaryPixel;
}

bool isCanary(const Pixel& p) {
  return p.y == kCanaryPixel.y && p.cb == kCanaryPixel.cb && p.cr == kCanaryPixel.cr;
}

}  // namespace

Plane::Plane(size_t pixels)
    : data_(static_cast<Pixel*>(::operator new[](pixels * sizeof(Pixel), std::align_val_t{64}))) {}

Plane::~Plane() {
  if (data_ != nullptr) ::operator delete[](data_, std::align_val_t{64});
}

Plane::Plane(Plane&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }

FakeHost::FakeHost(int32_t frameWidth, int32_t frameHeight, int32_t storageWidth,
                   int32_t storageHeight, int32_t frameCount, uint64_t seed)
    : width(frameWidth),
      height(frameHeight),
      maxWidth(storageWidth),
      maxHeight(storageHeight),
      storageWidth_(storageWidth),
      storageHeight_(storageHeight),
      planeA_(static_cast<size_t>(storageWidth) * static_cast<size_t>(storageHeight)),
      planeB_(static_cast<size_t>(storageWidth) * static_cast<size_t>(storageHeight)) {
  if (activeHost != nullptr) throw std::logic_error("one FakeHost at a time");
  activeHost = this;
  const size_t pixels = static_cast<size_t>(storageWidth) * static_cast<size_t>(storageHeight);
  for (int32_t n = 0; n < frameCount; ++n) {
    clip_.emplace_back(pixels);
    generateFrame(clip_.back().data(), storageWidth, storageHeight, n, seed);
  }
  table = *GetFilterTable();
  table.trackValues = settings.tracks;
  table.checkValues = settings.checks;
  table.services = &services;
  services.reserveFrameCache = reserveService;
  services.fetchFrame = fetchService;
}

FakeHost::~FakeHost() { activeHost = nullptr; }

int FakeHost::process(int32_t frameNumber) {
  const size_t pixels = static_cast<size_t>(storageWidth_) * static_cast<size_t>(storageHeight_);
  fillCanary(planeA(), pixels);
  fillCanary(planeB(), pixels);
  calls.clear();
  services.runOnThreads = threads > 0 ? runService : nullptr;
  table.trackValues = settings.tracks;
  table.checkValues = settings.checks;
  info = FrameProcInfo{};
  info.editFrame = planeA();
  info.tempFrame = planeB();
  info.width = -1;  // the host writes the geometry through FetchFrame
  info.height = -1;
  info.maxWidth = maxWidth;
  info.maxHeight = maxHeight;
  info.frameNumber = frameNumber;
  info.editHandle = handle();
  return FilterProc(&table, &info);
}

std::vector<Pixel> FakeHost::output() const {
  std::vector<Pixel> out;
  for (int32_t y = 0; y < height; ++y) {
    const Pixel* row = info.editFrame + static_cast<ptrdiff_t>(y) * storageWidth_;
    out.insert(out.end(), row, row + width);
  }
  return out;
}

bool FakeHost::outsideFrameIntact() const {
  for (const Pixel* plane : {planeA(), planeB()}) {
    for (int32_t y = 0; y < storageHeight_; ++y) {
      for (int32_t x = 0; x < storageWidth_; ++x) {
        const bool inside = y < height && x < width;
        if (!inside && !isCanary(plane[static_cast<ptrdiff_t>(y) * storageWidth_ + x])) {
          return false;
        }
      }
    }
  }
  return true;
}

bool FakeHost::planeUntouched(const Pixel* plane) const {
  const size_t pixels = static_cast<size_t>(storageWidth_) * static_cast<size_t>(storageHeight_);
  for (size_t i = 0; i < pixels; ++i) {
    if (!isCanary(plane[i])) return false;
  }
  return true;
}

bool samePixels(const std::vector<Pixel>& a, const std::vector<Pixel>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Pixel)) == 0);
}

namespace {

// A motion map of the band with its own pitch, from the current and a neighbour frame.
struct ModelMap {
  int32_t pitch;
  std::vector<int16_t> values;
  int16_t* row(int32_t r) { return values.data() + static_cast<ptrdiff_t>(r) * pitch; }
};

ModelMap modelMotionMap(const Pixel* current, const Pixel* neighbour, int32_t stride, int32_t width,
                        int32_t bandTop, int32_t rows, int32_t hardLimit,
                        const MotionWeights& weights) {
  ModelMap map{.pitch = width + 16, .values = {}};
  map.values.assign(static_cast<size_t>(map.pitch) * static_cast<size_t>(rows + 1), 0);
  if (neighbour == nullptr || rows <= 0 || width <= 0) return map;
  // Difference rows -1..rows, each with a spare element on both sides.
  std::vector<int16_t> diff(static_cast<size_t>(map.pitch) * static_cast<size_t>(rows + 3), 0);
  const auto diffRow = [&](int32_t r) { return diff.data() + 8 + (r + 1) * map.pitch; };
  for (int32_t r = 0; r < rows; ++r) {
    const ptrdiff_t at = static_cast<ptrdiff_t>(bandTop + r) * stride;
    DiffRowScalar(current + at, neighbour + at, diffRow(r), width);
  }
  const size_t rowBytes = static_cast<size_t>(width) * sizeof(int16_t);
  std::memcpy(diffRow(-1), diffRow(0), rowBytes);
  std::memcpy(diffRow(rows), diffRow(rows - 1), rowBytes);
  for (int32_t r = 0; r < rows; ++r) {
    if (hardLimit > 0) {
      MotionRowLimitedScalar(diffRow(r), map.row(r), width, map.pitch, hardLimit, weights);
    } else {
      MotionRowScalar(diffRow(r), map.row(r), width, map.pitch, weights);
    }
  }
  return map;
}

}  // namespace

std::vector<Pixel> modelFrame(const FakeHost& host, int32_t k, const HostSettings& s) {
  const int32_t stride = host.storageWidth();
  const int32_t width = host.width;
  const int32_t height = host.height;
  const int32_t top = s.tracks[kTrackTop];
  const int32_t bottom = s.tracks[kTrackBottom];
  const int32_t bandTop = top < height ? top : height;
  const int32_t bandEnd = height - bottom < bandTop ? bandTop : height - bottom;
  const int32_t rows = bandEnd - bandTop;
  const Pixel* current = host.frame(k);

  std::vector<Pixel> filtered(current, current + static_cast<ptrdiff_t>(stride) * height);
  const ptrdiff_t bandOffset = static_cast<ptrdiff_t>(bandTop) * stride;
  LowpassKernelsScalar[static_cast<size_t>(s.tracks[kTrackTap])](
      reinterpret_cast<int16_t*>(filtered.data() + bandOffset),
      reinterpret_cast<const int16_t*>(current + bandOffset), rows, width, stride, 0, rows);

  const int32_t motion = s.tracks[kTrackMotion];
  if (motion > 0) {
    MotionWeights weights{};
    BuildWeightsScalar(&weights, 8 * motion);
    const auto neighbour = [&](int32_t n) -> const Pixel* {
      const bool delivered = n >= 0 && n < host.frameCount() && !host.unavailable.count(n);
      return delivered ? host.frame(n) : nullptr;
    };
    const int32_t hardLimit = 2 * s.tracks[kTrackMotion2];
    ModelMap prev =
        modelMotionMap(current, neighbour(k - 1), stride, width, bandTop, rows, hardLimit, weights);
    ModelMap next =
        modelMotionMap(current, neighbour(k + 1), stride, width, bandTop, rows, hardLimit, weights);
    const int32_t mode = (s.checks[kCheckMax] + 1) * s.checks[kCheckNextFrame];
    for (int32_t r = 0; r < rows; ++r) {
      const ptrdiff_t at = bandOffset + static_cast<ptrdiff_t>(r) * stride;
      BlendRowsScalar[static_cast<size_t>(mode)](filtered.data() + at, current + at, prev.row(r),
                                                 next.row(r), width);
    }
    if (s.checks[kCheckShowMotion] != 0) {
      MotionDisplay(stride, rows, filtered.data() + bandOffset, prev.row(0), next.row(0), mode,
                    width, prev.pitch);
    }
  }

  std::vector<Pixel> out;
  for (int32_t y = 0; y < height; ++y) {
    const Pixel* row = filtered.data() + static_cast<ptrdiff_t>(y) * stride;
    out.insert(out.end(), row, row + width);
  }
  return out;
}

}  // namespace quillet::test
