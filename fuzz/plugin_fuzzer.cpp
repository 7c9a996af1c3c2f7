// libFuzzer entry for the plug-in boundary: the bytes drive a small host through the filter's
// registration record (GetFilterTable, then init, process, update and exit) with random frame
// geometry, settings, frame numbers, kernel sets and services that fail: ReserveFrameCache
// refusing, FetchFrame answering null for some frames, the filter's memory refused, and either
// no executor or a serial one that runs a stage's indices one after the other.
//
// Besides "no crash, no undefined behaviour", every call is checked against what the host may
// rely on:
//   - nothing outside the frames is written: every buffer has canary guards before and after it
//     (poisoned for AddressSanitizer as well), the edit and scratch planes keep the canary outside
//     width x height, and the frames FetchFrame hands out are never written;
//   - a failed call leaves the edit plane and both pointers as they were; a successful one
//     exchanges the pointers;
//   - the result equals what a fresh filter (exit, init, the same call alone) makes of the same
//     frame with the same settings, while the planes and the frames' row padding hold other
//     contents, so it depends neither on cached maps nor on memory outside the frames.
// The host is well-behaved where the filter's contract needs it: it reports every slider change
// and a new clip with the update callback, and a frame's contents never change within a clip.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "dispatch/cpu_features.h"
#include "host/filter_entry.h"
#include "host/host_records.h"
#include "host/kernel_select.h"
#include "platform/virtual_memory.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define QUILLET_FUZZ_POISON 1
#endif
#endif
#ifndef QUILLET_FUZZ_POISON
#define QUILLET_FUZZ_POISON 0
#endif

namespace {

using quillet::FilterTable;
using quillet::FrameProcInfo;
using quillet::HostServices;
using quillet::Pixel;
using quillet::RowJob;
using quillet::RowStage;

// A failed neighbour fetch keys the neighbour's slot with the all-zero map it leaves, so a later
// call with that frame available reuses the zero map where a fresh filter fetches the frame. Until
// the driver forgets failed fetches, calls made after such a frame has become available are not
// compared.
constexpr bool kFailedFetchRemembered = true;

constexpr int kMaxActions = 16;
constexpr int32_t kMaxWidth = 72;
constexpr int32_t kMaxHeight = 40;
constexpr int32_t kMaxClipFrames = 8;
constexpr size_t kGuardBytes = 96;
constexpr uint8_t kGuardByte = 0xC3;
constexpr Pixel kCanary{0x5A5A, -0x5A5B, 0x5A5A};

void check(bool ok) {
  if (!ok) std::abort();
}

bool samePixels(const Pixel* a, const Pixel* b, size_t count) {
  return count == 0 || std::memcmp(a, b, count * sizeof(Pixel)) == 0;
}

bool isCanary(const Pixel& p) {
  return p.y == kCanary.y && p.cb == kCanary.cb && p.cr == kCanary.cr;
}

uint64_t mix(uint64_t v) {
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdull;
  v ^= v >> 33;
  v *= 0xc4ceb9fe1a85ec53ull;
  return v ^ (v >> 33);
}

// `pixels` pixels starting `misalign` bytes past a 64-byte boundary, between two guards.
class GuardedPlane {
 public:
  GuardedPlane(size_t pixels, size_t misalign)
      : bytes_(pixels * sizeof(Pixel)),
        storage_(new uint8_t[kGuardBytes + 64 + bytes_ + kGuardBytes]),
        data_(storage_.get() + kGuardBytes +
              ((64 - reinterpret_cast<uintptr_t>(storage_.get() + kGuardBytes) % 64) % 64) +
              misalign) {
    guardBefore_ = data_ - kGuardBytes;
    std::memset(guardBefore_, kGuardByte, kGuardBytes);
    std::memset(data_ + bytes_, kGuardByte, kGuardBytes);
#if QUILLET_FUZZ_POISON
    ASAN_POISON_MEMORY_REGION(guardBefore_, kGuardBytes);
    ASAN_POISON_MEMORY_REGION(data_ + bytes_, kGuardBytes);
#endif
  }
  ~GuardedPlane() {
#if QUILLET_FUZZ_POISON
    ASAN_UNPOISON_MEMORY_REGION(guardBefore_, kGuardBytes);
    ASAN_UNPOISON_MEMORY_REGION(data_ + bytes_, kGuardBytes);
#endif
  }
  GuardedPlane(const GuardedPlane&) = delete;
  GuardedPlane& operator=(const GuardedPlane&) = delete;

  Pixel* pixels() const { return reinterpret_cast<Pixel*>(data_); }

  bool guardsIntact() const {
#if QUILLET_FUZZ_POISON
    ASAN_UNPOISON_MEMORY_REGION(guardBefore_, kGuardBytes);
    ASAN_UNPOISON_MEMORY_REGION(data_ + bytes_, kGuardBytes);
#endif
    bool intact = true;
    for (size_t i = 0; i < kGuardBytes; ++i) {
      intact = intact && guardBefore_[i] == kGuardByte && data_[bytes_ + i] == kGuardByte;
    }
#if QUILLET_FUZZ_POISON
    ASAN_POISON_MEMORY_REGION(guardBefore_, kGuardBytes);
    ASAN_POISON_MEMORY_REGION(data_ + bytes_, kGuardBytes);
#endif
    return intact;
  }

 private:
  size_t bytes_;
  std::unique_ptr<uint8_t[]> storage_;
  uint8_t* data_;
  uint8_t* guardBefore_;
};

// Everything about the host that decides what one process call sees.
struct HostState {
  int32_t width = 16;  // what FetchFrame reports for the current frame
  int32_t height = 8;
  int32_t maxWidth = 16;  // the planes' stride and rows
  int32_t maxHeight = 8;
  size_t misalign = 0;  // of every buffer, in bytes
  int32_t tracks[quillet::kTrackCount] = {0, 0, 0, 24, 64};
  int32_t checks[quillet::kCheckCount] = {0, 0, 0};
  uint64_t clipSeed = 1;
  int32_t clipFrames = 4;
  bool nearestOutside = true;     // numbers outside the clip: the nearest frame, or null
  bool fullRange = false;         // samples anywhere in int16, not only the nominal ranges
  std::set<int32_t> unavailable;  // clip frames FetchFrame answers null for
  bool refuseCache = false;
  int failAllocations = 0;
  bool currentInEdit = false;  // the current frame is delivered in the edit plane itself
  int executorThreads = 0;     // 0: no executor; else the serial executor's thread count
  quillet::CpuFeatures cpuMask = 7;
};

// The frame FetchFrame delivers for `number`, or -1 when it answers null.
int32_t clipFrameFor(const HostState& host, int32_t number) {
  int32_t n = number;
  if (n < 0 || n >= host.clipFrames) {
    if (!host.nearestOutside) return -1;
    n = n < 0 ? 0 : host.clipFrames - 1;
  }
  return host.unavailable.count(n) != 0 ? -1 : n;
}

// Sample values depend on the clip, the frame and the position only, so every geometry shows
// the same picture. Rows alternate (combing) and a pattern moves with the frame number.
Pixel sampleAt(const HostState& host, int32_t frame, int32_t x, int32_t y) {
  const uint64_t h = mix(host.clipSeed ^ (static_cast<uint64_t>(frame) << 40) ^
                         (static_cast<uint64_t>(y) << 20) ^ static_cast<uint64_t>(x));
  if (host.fullRange) {
    return Pixel{static_cast<int16_t>(h), static_cast<int16_t>(h >> 16),
                 static_cast<int16_t>(h >> 32)};
  }
  const int32_t comb = (y & 1) != 0 ? 300 : -300;
  const int32_t moving = ((x + 5 * frame) % 13) * 40;
  const auto noise = static_cast<int32_t>(h % 129) - 64;
  return Pixel{static_cast<int16_t>(2048 + comb + moving + noise),
               static_cast<int16_t>(-200 + 9 * frame + noise),
               static_cast<int16_t>(150 - 7 * frame - noise)};
}

int32_t visibleWidth(const HostState& host) { return std::min(host.width, host.maxWidth); }
int32_t visibleHeight(const HostState& host) { return std::min(host.height, host.maxHeight); }
size_t planePixels(const HostState& host) {
  return static_cast<size_t>(host.maxWidth) * static_cast<size_t>(host.maxHeight);
}
size_t pixelIndex(const HostState& host, int32_t x, int32_t y) {
  return static_cast<size_t>(y) * static_cast<size_t>(host.maxWidth) + static_cast<size_t>(x);
}

// The host the services reach: one per process, used by one call at a time.
struct FakeHost {
  HostState state;
  std::unique_ptr<GuardedPlane> planeA;
  std::unique_ptr<GuardedPlane> planeB;
  FrameProcInfo info{};
  HostServices services{};
  FilterTable* table = nullptr;
  int32_t tracks[quillet::kTrackCount] = {};
  int32_t checks[quillet::kCheckCount] = {};
  // Frames handed out during the current call, with a copy to check that they stay unchanged.
  std::map<int32_t, std::unique_ptr<GuardedPlane>> fetched;
  std::map<int32_t, std::vector<Pixel>> fetchedCopy;
  uint16_t paddingPattern = 0;   // fills the row padding of handed-out frames
  int32_t deliveredInEdit = -1;  // the clip frame written into the edit plane in this call
  // Since the last full invalidation: frame numbers FetchFrame delivered, and numbers it answered
  // null for when asked for a neighbour.
  std::set<int32_t> delivered;
  std::set<int32_t> failedNeighbours;
};

FakeHost host;

int HOST_CDECL reserveFrameCache(FilterTable*, int, int, int, int) {
  return host.state.refuseCache ? 0 : 1;
}

Pixel* HOST_CDECL fetchFrame(FilterTable*, void* editHandle, int number, int* width, int* height) {
  check(editHandle == &host);
  const HostState& s = host.state;
  const int32_t frame = clipFrameFor(s, number);
  if (frame < 0) {
    if (number != host.info.frameNumber) host.failedNeighbours.insert(number);
    return nullptr;
  }
  host.delivered.insert(number);
  if (width != nullptr) *width = s.width;
  if (height != nullptr) *height = s.height;
  Pixel* pixels = nullptr;
  if (s.currentInEdit && number == host.info.frameNumber) {
    pixels = host.info.editFrame;
    host.deliveredInEdit = frame;
  } else {
    std::unique_ptr<GuardedPlane>& plane = host.fetched[number];
    if (plane) return plane->pixels();
    plane = std::make_unique<GuardedPlane>(planePixels(s), s.misalign);
    pixels = plane->pixels();
    const auto pad = static_cast<int16_t>(host.paddingPattern);
    for (size_t i = 0; i < planePixels(s); ++i) pixels[i] = Pixel{pad, pad, pad};
  }
  for (int32_t y = 0; y < visibleHeight(s); ++y) {
    for (int32_t x = 0; x < visibleWidth(s); ++x) {
      pixels[pixelIndex(s, x, y)] = sampleAt(s, frame, x, y);
    }
  }
  if (pixels != host.info.editFrame) {
    host.fetchedCopy[number].assign(pixels, pixels + planePixels(s));
  }
  return pixels;
}

int HOST_CDECL runSerially(RowStage stage, RowJob* job, void* extra) {
  const int n = host.state.executorThreads;
  for (int i = 0; i < n; ++i) stage(i, n, job, extra);
  return 1;
}

void fillOutsideFrame(Pixel* plane, const HostState& s) {
  const int32_t w = visibleWidth(s);
  const int32_t h = visibleHeight(s);
  for (int32_t y = 0; y < s.maxHeight; ++y) {
    for (int32_t x = 0; x < s.maxWidth; ++x) {
      if (y >= h || x >= w) plane[pixelIndex(s, x, y)] = kCanary;
    }
  }
}

bool outsideFrameIntact(const Pixel* plane, const HostState& s) {
  const int32_t w = visibleWidth(s);
  const int32_t h = visibleHeight(s);
  for (int32_t y = 0; y < s.maxHeight; ++y) {
    for (int32_t x = 0; x < s.maxWidth; ++x) {
      if ((y >= h || x >= w) && !isCanary(plane[pixelIndex(s, x, y)])) return false;
    }
  }
  return true;
}

// (Re)makes both planes for the state's geometry, filled with the canary.
void makePlanes() {
  const HostState& s = host.state;
  host.planeA = std::make_unique<GuardedPlane>(planePixels(s), s.misalign);
  host.planeB = std::make_unique<GuardedPlane>(planePixels(s), s.misalign);
  for (GuardedPlane* plane : {host.planeA.get(), host.planeB.get()}) {
    for (size_t i = 0; i < planePixels(s); ++i) plane->pixels()[i] = kCanary;
  }
  host.info.editFrame = host.planeA->pixels();
  host.info.tempFrame = host.planeB->pixels();
}

struct CallResult {
  int status = 0;
  std::vector<Pixel> output;  // width x height of the result, on success
};

// One process call for `number` as the host makes it, with every check that does not need a
// second filter.
CallResult process(int32_t number) {
  const HostState& s = host.state;
  for (int i = 0; i < quillet::kTrackCount; ++i) host.tracks[i] = s.tracks[i];
  for (int i = 0; i < quillet::kCheckCount; ++i) host.checks[i] = s.checks[i];
  host.services.runOnThreads = s.executorThreads > 0 ? runSerially : nullptr;
  Pixel* const edit = host.info.editFrame;
  Pixel* const temp = host.info.tempFrame;
  fillOutsideFrame(edit, s);
  fillOutsideFrame(temp, s);
  const std::vector<Pixel> editBefore(edit, edit + planePixels(s));

  FrameProcInfo& info = host.info;
  std::memset(info.reserved, 0x11, sizeof info.reserved);
  info.width = -1;  // the host writes the geometry through FetchFrame
  info.height = -1;
  info.maxWidth = s.maxWidth;
  info.maxHeight = s.maxHeight;
  info.frameNumber = number;
  info.editHandle = &host;
  host.deliveredInEdit = -1;
  quillet::platform::failNextAllocations(s.failAllocations);
  CallResult result;
  result.status = host.table->process(host.table, &info);
  quillet::platform::failNextAllocations(0);

  check(host.planeA->guardsIntact() && host.planeB->guardsIntact());
  for (const auto& [n, plane] : host.fetched) {
    check(plane->guardsIntact());
    const std::vector<Pixel>& copy = host.fetchedCopy[n];
    check(samePixels(copy.data(), plane->pixels(), copy.size()));
  }
  host.fetched.clear();
  host.fetchedCopy.clear();
  if (result.status == 0) {
    // The edit plane holds what it held, or what the host itself wrote into it.
    std::vector<Pixel> expected = editBefore;
    if (host.deliveredInEdit >= 0) {
      for (int32_t y = 0; y < visibleHeight(s); ++y) {
        for (int32_t x = 0; x < visibleWidth(s); ++x) {
          expected[pixelIndex(s, x, y)] = sampleAt(s, host.deliveredInEdit, x, y);
        }
      }
    }
    check(info.editFrame == edit && info.tempFrame == temp);
    check(samePixels(expected.data(), edit, expected.size()));
    check(outsideFrameIntact(temp, s));
    return result;
  }
  check(info.editFrame == temp && info.tempFrame == edit);
  check(info.width == s.width && info.height == s.height);
  check(outsideFrameIntact(edit, s) && outsideFrameIntact(temp, s));
  for (int32_t y = 0; y < s.height; ++y) {
    const Pixel* row = info.editFrame + pixelIndex(s, 0, y);
    result.output.insert(result.output.end(), row, row + s.width);
  }
  return result;
}

// A call to compare with a fresh filter's.
struct Recorded {
  HostState state;
  int32_t number;
  bool editIsA;
  std::vector<Pixel> output;
};

void initFilter(quillet::CpuFeatures mask) {
  quillet::setCpuFeatureMask(mask);
  check(host.table->init(host.table) != 0);
}

void compareWithFreshFilter(const Recorded& call) {
  host.table->exit(host.table);
  host.state = call.state;
  host.state.failAllocations = 0;  // the fresh filter allocates its maps anew
  initFilter(call.state.cpuMask);
  makePlanes();
  if (!call.editIsA) std::swap(host.info.editFrame, host.info.tempFrame);
  host.paddingPattern = 0x7A7A;
  const CallResult fresh = process(call.number);
  check(fresh.status != 0);
  check(fresh.output.size() == call.output.size());
  check(samePixels(fresh.output.data(), call.output.data(), call.output.size()));
}

int32_t pickFrameNumber(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return data.ConsumeIntegral<int32_t>();
    case 1:
      return data.PickValueInArray({INT32_MIN, INT32_MIN + 1, -1, INT32_MAX - 1, INT32_MAX});
    default:
      return data.ConsumeIntegralInRange<int32_t>(-2, kMaxClipFrames + 1);
  }
}

int32_t pickSlider(FuzzedDataProvider& data, int32_t max) {
  return data.ConsumeBool() ? data.ConsumeIntegralInRange<int32_t>(0, max)
                            : data.ConsumeIntegral<int32_t>();
}

void pickGeometry(FuzzedDataProvider& data, HostState& s) {
  s.width = data.ConsumeIntegralInRange<int32_t>(0, kMaxWidth);
  s.height = data.ConsumeIntegralInRange<int32_t>(0, kMaxHeight);
  s.maxWidth = s.width + data.ConsumeIntegralInRange<int32_t>(0, 20);
  s.maxHeight = s.height + data.ConsumeIntegralInRange<int32_t>(0, 4);
  if (data.ConsumeIntegralInRange(0, 15) == 0) {
    // Geometry the filter must refuse: a frame larger than the planes, or no planes at all.
    s.width = s.maxWidth + data.ConsumeIntegralInRange<int32_t>(0, 3);
    s.height = s.maxHeight + data.ConsumeIntegralInRange<int32_t>(0, 3);
    if (s.width == s.maxWidth && s.height == s.maxHeight) s.maxWidth = 0;
  }
  s.misalign = 2 * data.ConsumeIntegralInRange<size_t>(0, 7);
}

quillet::CpuFeatures pickCpuMask(FuzzedDataProvider& data) {
  return data.PickValueInArray<quillet::CpuFeatures>({0, 1, 3, 7});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  host = FakeHost{};
  host.table = GetFilterTable();
  check(host.table != nullptr && host.table == GetFilterTable());
  FilterTable* table = host.table;
  host.services.reserveFrameCache = reserveFrameCache;
  host.services.fetchFrame = fetchFrame;
  table->trackValues = host.tracks;
  table->checkValues = host.checks;
  table->services = &host.services;

  HostState& s = host.state;
  pickGeometry(data, s);
  s.cpuMask = pickCpuMask(data);
  initFilter(s.cpuMask);
  makePlanes();

  // Since the last full invalidation, a frame the host delivered (a cached map may rest on it)
  // became unavailable: a fresh filter would see none. Comparing needs the same frames.
  bool framesLost = false;
  // ... or a neighbour it could not deliver became available.
  bool failedNeighbourGained = false;
  std::vector<Recorded> toCompare;
  const auto invalidated = [&] {
    framesLost = failedNeighbourGained = false;
    host.delivered.clear();
    host.failedNeighbours.clear();
  };

  for (int action = 0; action < kMaxActions && data.remaining_bytes() > 0; ++action) {
    switch (data.ConsumeIntegralInRange(0, 9)) {
      case 0: {  // sliders and check boxes, each changed slider announced
        const HostState before = s;
        for (int i = 0; i < quillet::kTrackCount; ++i) {
          if (data.ConsumeBool()) s.tracks[i] = pickSlider(data, i == 0 ? 6 : 256);
          host.tracks[i] = s.tracks[i];
        }
        for (int i = 0; i < quillet::kCheckCount; ++i) {
          s.checks[i] = data.ConsumeBool() ? data.ConsumeIntegral<int32_t>() : 0;
          host.checks[i] = s.checks[i];
        }
        for (int i = 0; i < quillet::kTrackCount; ++i) {
          if (s.tracks[i] != before.tracks[i]) table->update(table, 0x10000 + i);
        }
        break;
      }
      case 1:  // frame geometry (the maps are keyed by it)
        pickGeometry(data, s);
        makePlanes();
        break;
      case 2: {  // frames the host can deliver, at any time
        std::set<int32_t> unavailable;
        for (int32_t n = 0; n < kMaxClipFrames; ++n) {
          if (data.ConsumeIntegralInRange(0, 3) == 0) unavailable.insert(n);
        }
        s.unavailable = unavailable;
        s.nearestOutside = data.ConsumeBool();
        for (const int32_t n : host.delivered) framesLost = framesLost || clipFrameFor(s, n) < 0;
        for (const int32_t n : host.failedNeighbours) {
          failedNeighbourGained = failedNeighbourGained || clipFrameFor(s, n) >= 0;
        }
        break;
      }
      case 3:  // a new clip, announced
        s.clipSeed = data.ConsumeIntegral<uint64_t>();
        s.clipFrames = data.ConsumeIntegralInRange<int32_t>(1, kMaxClipFrames);
        s.fullRange = data.ConsumeBool();
        table->update(table, 0);
        invalidated();
        break;
      case 4:  // services that fail or change shape
        s.refuseCache = data.ConsumeIntegralInRange(0, 7) == 0;
        s.failAllocations = data.ConsumeIntegralInRange(0, 7) == 0 ? 1 : 0;
        s.currentInEdit = data.ConsumeBool();
        s.executorThreads = data.ConsumeIntegralInRange(0, 4);
        break;
      case 5:  // any update code
        table->update(table, data.ConsumeIntegral<int32_t>());
        break;
      case 6:  // init again, without exit, possibly with another kernel set
        s.cpuMask = pickCpuMask(data);
        initFilter(s.cpuMask);
        invalidated();
        break;
      default: {
        const int32_t number = pickFrameNumber(data);
        const bool editIsA = host.info.editFrame == host.planeA->pixels();
        const HostState state = s;
        host.paddingPattern = data.ConsumeIntegral<uint16_t>();
        CallResult result = process(number);
        const bool comparable = !framesLost && !(kFailedFetchRemembered && failedNeighbourGained);
        if (result.status != 0 && comparable) {
          toCompare.push_back(Recorded{state, number, editIsA, std::move(result.output)});
        }
        break;
      }
    }
  }

  for (const Recorded& call : toCompare) compareWithFreshFilter(call);
  table->exit(table);
  check(quillet::platform::liveAllocationCount() == 0);
  quillet::setCpuFeatureMask(7);
  return 0;
}
