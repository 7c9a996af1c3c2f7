// The Windows test program: loads quillet_pp.auf as the editor does, reads its registration
// record as raw bytes, drives clips through its callbacks with and without a worker pool and
// compares every output frame with the native build's output for the same input, settings and
// kernel set. Also checks the Windows platform layer and the x87 weights against native values.
//
// Usage: plugin_test --cpu-set
//          prints the kernel set this processor gets (scalar, mmx, sse or sse2)
//        plugin_test PLUGIN DATA_DIR REFERENCE_DIR CPU_SET
//          DATA_DIR from windows_reference, REFERENCE_DIR with ref_<case>.ycc16 made by the
//          native quillet with --cpu CPU_SET
#include <float.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include "dispatch/cpu_features.h"
#include "host/host_records.h"
#include "host/kernel_select.h"
#include "motion/motion.h"
#include "motion/motion_state.h"
#include "platform/sse_support.h"
#include "platform/virtual_memory.h"
#include "tests/windows/reference_format.h"

namespace quillet::windows_test {
namespace {

// ---- Reporting ----------------------------------------------------------------------------

struct Tally {
  int passed = 0;
  int failed = 0;

  void check(bool ok, const std::string& name, const std::string& detail = {}) {
    if (ok) {
      ++passed;
      std::printf("ok   %s\n", name.c_str());
    } else {
      ++failed;
      std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
  }
};

std::string hexBytes(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

template <class... T>
std::string format(const char* fmt, T... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// ---- Calls with the stack of a 32-bit Windows caller ------------------------------------------

// The 32-bit Windows ABI promises only 4-byte stack alignment, and the editor's calls and its
// workers' stage calls may come with the stack at any multiple of 4. Every entry the host calls
// must cope; this program's own calls would always arrive 16-byte aligned.
#if defined(__i386__)
extern "C" uintptr_t quilletCallSkewed(const void* fn, const uintptr_t* args, int count,
                                       uintptr_t skew);
// Calls fn(args[0..count-1]) (cdecl) with the stack pointer `skew` bytes past a 16-byte boundary
// at the call instruction.
__asm__(
    ".text\n"
    "_quilletCallSkewed:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"  // args
    "  movl 16(%ebp), %ecx\n"  // count
    "  leal 32(,%ecx,4), %eax\n"
    "  subl %eax, %esp\n"
    "  andl $-16, %esp\n"
    "  addl 20(%ebp), %esp\n"  // skew, inside the 32 bytes of room
    "  movl %esp, %edi\n"
    "  cld\n"
    "  rep movsl\n"
    "  call *8(%ebp)\n"
    "  leal -8(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");
#endif

template <class Fn, class... Args>
uintptr_t callWithSkew(Fn* fn, uintptr_t skew, Args... args) {
#if defined(__i386__)
  const uintptr_t words[] = {(uintptr_t)(args)...};
  const void* target = nullptr;
  std::memcpy(&target, &fn, sizeof target);
  return quilletCallSkewed(target, words, static_cast<int>(sizeof...(Args)), skew);
#else
  (void)skew;
  if constexpr (std::is_void_v<decltype(fn(args...))>) {
    fn(args...);
    return 0;
  } else {
    return static_cast<uintptr_t>(fn(args...));
  }
#endif
}

// ---- The registration record as raw bytes ---------------------------------------------------

using GetFilterTableFn = FilterTable*(HOST_CDECL*)();

uint32_t wordAt(const unsigned char* record, int offset) {
  uint32_t v = 0;
  std::memcpy(&v, record + offset, sizeof v);
  return v;
}

const unsigned char* pointerAt(const unsigned char* record, int offset) {
  return reinterpret_cast<const unsigned char*>(static_cast<uintptr_t>(wordAt(record, offset)));
}

std::string cString(const unsigned char* p) {
  return p == nullptr ? std::string("<null>") : std::string(reinterpret_cast<const char*>(p));
}

bool insideModule(HMODULE module, const void* p) {
  MEMORY_BASIC_INFORMATION info{};
  if (p == nullptr || VirtualQuery(p, &info, sizeof info) == 0) return false;
  return info.AllocationBase == reinterpret_cast<void*>(module);
}

// The strings the editor shows, in code page 932.
const std::string kNameCp932 = "Quillet\x81\x7b\x81\x7b";
const std::string kInformation = "quillet by Tarvo, ver1.4.1";
const std::vector<std::string> kTrackLabelsCp932 = {"tap", "\x8f\xe3", "\x89\xba",
                                                    "\x93\xae\x82\xab", "\x93\xae\x82\xab\x32"};
const std::vector<std::string> kCheckLabelsCp932 = {
    "\x93\xae\x82\xab\x82\xcc\x95\x5c\x8e\xa6",
    "\x8e\x9f\x83\x74\x83\x8c\x81\x5b\x83\x80\x82\xe0\x8e\x51\x8f\xc6\x82\xb7\x82\xe9", "MAX"};

void checkLabels(Tally& t, const char* name, const unsigned char* table,
                 const std::vector<std::string>& expected) {
  std::string detail;
  if (table == nullptr) {
    detail = "label table pointer is null";
  } else {
    for (size_t i = 0; i < expected.size(); ++i) {
      const std::string got = cString(pointerAt(table, static_cast<int>(4 * i)));
      if (got != expected[i]) {
        detail += format("[%d] %s, want %s; ", static_cast<int>(i), hexBytes(got).c_str(),
                         hexBytes(expected[i]).c_str());
      }
    }
  }
  t.check(detail.empty(), name, detail);
}

void checkIntArray(Tally& t, const char* name, const unsigned char* array,
                   const std::vector<int32_t>& expected) {
  std::string detail;
  if (array == nullptr) {
    detail = "array pointer is null";
  } else {
    for (size_t i = 0; i < expected.size(); ++i) {
      const auto got = static_cast<int32_t>(wordAt(array, static_cast<int>(4 * i)));
      if (got != expected[i]) {
        detail += format("[%d] %d, want %d; ", static_cast<int>(i), got, expected[i]);
      }
    }
  }
  t.check(detail.empty(), name, detail);
}

void checkRecord(Tally& t, HMODULE module, GetFilterTableFn getFilterTable) {
  FilterTable* first = getFilterTable();
  FilterTable* second = getFilterTable();
  t.check(first != nullptr && first == second && insideModule(module, first),
          "record.same_static_address",
          format("first %p, second %p", static_cast<void*>(first), static_cast<void*>(second)));
  if (first == nullptr) return;
  const auto* rec = reinterpret_cast<const unsigned char*>(first);

  t.check(wordAt(rec, 0) == 0x08040000u, "record.flags", format("0x%08x", wordAt(rec, 0)));
  t.check(wordAt(rec, 16) == 5 && wordAt(rec, 36) == 3, "record.counts",
          format("tracks %u, checks %u", wordAt(rec, 16), wordAt(rec, 36)));

  std::string zeroDetail;
  std::vector<int> zeroOffsets = {4, 8, 64, 68, 72, 76, 80, 88, 92, 96};
  for (int offset = 100; offset <= 136; offset += 4) zeroOffsets.push_back(offset);
  for (int offset : zeroOffsets) {
    if (wordAt(rec, offset) != 0)
      zeroDetail += format("+%d = 0x%08x; ", offset, wordAt(rec, offset));
  }
  t.check(zeroDetail.empty(), "record.zero_words", zeroDetail);

  const std::string name = cString(pointerAt(rec, 12));
  t.check(name == kNameCp932, "record.name_cp932", hexBytes(name));
  const std::string information = cString(pointerAt(rec, 84));
  t.check(information == kInformation, "record.information", information);

  checkLabels(t, "record.track_labels_cp932", pointerAt(rec, 20), kTrackLabelsCp932);
  checkIntArray(t, "record.track_defaults", pointerAt(rec, 24), {0, 0, 0, 24, 64});
  checkIntArray(t, "record.track_minimums", pointerAt(rec, 28), {0, 0, 0, 0, 0});
  checkIntArray(t, "record.track_maximums", pointerAt(rec, 32), {6, 256, 256, 256, 256});
  checkLabels(t, "record.check_labels_cp932", pointerAt(rec, 40), kCheckLabelsCp932);
  checkIntArray(t, "record.check_defaults", pointerAt(rec, 44), {0, 0, 0});

  std::string callbackDetail;
  for (int offset = 48; offset <= 60; offset += 4) {
    const unsigned char* callback = pointerAt(rec, offset);
    if (!insideModule(module, callback)) {
      callbackDetail += format("+%d = %p is not code of the module; ", offset,
                               static_cast<const void*>(callback));
    }
  }
  t.check(callbackDetail.empty(), "record.callbacks_in_module", callbackDetail);
}

// ---- Clips and frames -------------------------------------------------------------------------

struct Clip {
  int32_t width = 0;
  int32_t height = 0;
  int32_t frames = 0;
  std::vector<Pixel> pixels;  // frames x height x width, packed

  const Pixel* frame(int32_t n) const {
    return pixels.data() + static_cast<size_t>(n) * static_cast<size_t>(width) * height;
  }
};

bool readClip(const std::string& path, int32_t width, int32_t height, int32_t frames, Clip& clip) {
  clip.width = width;
  clip.height = height;
  clip.frames = frames;
  clip.pixels.assign(static_cast<size_t>(width) * height * frames, Pixel{});
  std::ifstream in(path, std::ios::binary);
  const auto bytes = static_cast<std::streamsize>(clip.pixels.size() * sizeof(Pixel));
  in.read(reinterpret_cast<char*>(clip.pixels.data()), bytes);
  return in.gcount() == bytes;
}

// A frame of the host's geometry: maxWidth x maxHeight pixels starting `offset` bytes past a
// 16-byte boundary (0 or a multiple of the pixel size).
struct FrameBuffer {
  std::vector<unsigned char> storage;
  Pixel* pixels = nullptr;
  size_t count = 0;

  FrameBuffer(int32_t maxWidth, int32_t maxHeight, size_t offset) {
    count = static_cast<size_t>(maxWidth) * static_cast<size_t>(maxHeight);
    storage.assign(count * sizeof(Pixel) + 16 + offset, 0);
    const auto base = reinterpret_cast<uintptr_t>(storage.data());
    pixels = reinterpret_cast<Pixel*>(((base + 15) & ~uintptr_t{15}) + offset);
  }
  unsigned char* bytes() { return reinterpret_cast<unsigned char*>(pixels); }
  size_t byteCount() const { return count * sizeof(Pixel); }
};

void putFrame(FrameBuffer& to, const Clip& clip, int32_t n, int32_t stride) {
  for (int32_t y = 0; y < clip.height; ++y) {
    std::memcpy(to.pixels + static_cast<size_t>(y) * stride,
                clip.frame(n) + static_cast<size_t>(y) * clip.width,
                static_cast<size_t>(clip.width) * sizeof(Pixel));
  }
}

// ---- The worker pool behind RunOnThreads ------------------------------------------------------

class WorkerPool {
 public:
  explicit WorkerPool(int count) : count_(count) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this, i] { work(i); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      ++generation_;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Calls stage(i, count, job, extra) on every worker at once; returns when all have returned.
  void run(RowStage stage, RowJob* job, void* extra) {
    std::unique_lock<std::mutex> lock(mutex_);
    stage_ = stage;
    job_ = job;
    extra_ = extra;
    remaining_ = count_;
    ++generation_;
    wake_.notify_all();
    done_.wait(lock, [this] { return remaining_ == 0; });
  }

 private:
  void work(int index) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      if (stop_) return;
      const RowStage stage = stage_;
      RowJob* job = job_;
      void* extra = extra_;
      lock.unlock();
      // Workers enter the stage 4, 8 and 12 bytes off a 16-byte boundary in turn.
      callWithSkew(stage, 4 + 4 * static_cast<uintptr_t>(index % 3), index, count_, job, extra);
      lock.lock();
      if (--remaining_ == 0) done_.notify_one();
    }
  }

  const int count_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  uint64_t generation_ = 0;
  bool stop_ = false;
  RowStage stage_ = nullptr;
  RowJob* job_ = nullptr;
  void* extra_ = nullptr;
  int remaining_ = 0;
};

// ---- The host ---------------------------------------------------------------------------------

struct Settings {
  int32_t tap = 0, top = 0, bottom = 0, motion = 24, motion2 = 64;
  int32_t show = 0, next = 0, max = 0;
};

// The editor around the plug-in: the clip at the host's geometry, the services, the values.
struct Host {
  FilterTable* table = nullptr;
  const Clip* clip = nullptr;
  int32_t maxWidth = 0;
  int32_t maxHeight = 0;
  std::vector<FrameBuffer> frames;
  WorkerPool* pool = nullptr;
  bool refuseCache = false;
  int32_t failFetchOf = INT_MIN;
  std::string serviceErrors;  // arguments the filter passed that the editor would not expect
  HostServices services{};
  int32_t tracks[kTrackCount] = {};
  int32_t checks[kCheckCount] = {};
};

Host* activeHost = nullptr;
char editHandleTag;  // its address is the edit handle

int HOST_CDECL reserveFrameCache(FilterTable* filter, int maxWidth, int maxHeight, int frames,
                                 int flags) {
  Host& h = *activeHost;
  if (filter != h.table || maxWidth != h.maxWidth || maxHeight != h.maxHeight || frames != 2 ||
      flags != 0) {
    h.serviceErrors +=
        format("ReserveFrameCache(%d, %d, %d, %d); ", maxWidth, maxHeight, frames, flags);
  }
  return h.refuseCache ? 0 : 1;
}

Pixel* HOST_CDECL fetchFrame(FilterTable* filter, void* editHandle, int n, int* width,
                             int* height) {
  Host& h = *activeHost;
  if (filter != h.table || editHandle != &editHandleTag) h.serviceErrors += "FetchFrame handle; ";
  if (n == h.failFetchOf) return nullptr;
  // Outside the clip its mirror inside it (frame -1 gives 1, frame N gives N - 2), held inside
  // a clip too short for it, as the stand-in host answers.
  const int32_t last = h.clip->frames - 1;
  const int32_t k = std::clamp(n < 0 ? -n : n > last ? 2 * last - n : n, 0, last);
  if (width != nullptr) *width = h.clip->width;
  if (height != nullptr) *height = h.clip->height;
  return h.frames[static_cast<size_t>(k)].pixels;
}

int HOST_CDECL runOnThreads(RowStage stage, RowJob* job, void* extra) {
  activeHost->pool->run(stage, job, extra);
  return 1;
}

void attach(Host& h, FilterTable* table, const Clip& clip, int32_t maxWidth, int32_t maxHeight) {
  h.table = table;
  h.clip = &clip;
  h.maxWidth = maxWidth;
  h.maxHeight = maxHeight;
  h.frames.clear();
  for (int32_t n = 0; n < clip.frames; ++n) {
    h.frames.emplace_back(maxWidth, maxHeight, 0);
    putFrame(h.frames.back(), clip, n, maxWidth);
  }
  h.services = HostServices{};
  h.services.reserveFrameCache = reserveFrameCache;
  h.services.fetchFrame = fetchFrame;
  table->services = &h.services;
  table->trackValues = h.tracks;
  table->checkValues = h.checks;
  activeHost = &h;
}

void applySettings(Host& h, const Settings& s) {
  const int32_t tracks[kTrackCount] = {s.tap, s.top, s.bottom, s.motion, s.motion2};
  const int32_t checks[kCheckCount] = {s.show, s.next, s.max};
  std::copy(std::begin(tracks), std::end(tracks), h.tracks);
  std::copy(std::begin(checks), std::end(checks), h.checks);
  h.services.runOnThreads = h.pool != nullptr ? runOnThreads : nullptr;
}

// The editor's buffers for one frame call.
struct FrameCall {
  FrameBuffer edit;
  FrameBuffer temp;
  FrameProcInfo info{};

  FrameCall(const Host& h, size_t offset)
      : edit(h.maxWidth, h.maxHeight, offset), temp(h.maxWidth, h.maxHeight, offset) {}
};

// Runs the process callback for frame n; the edit frame starts as the frame itself (as in the
// editor), the scratch frame full of a pattern the result must not depend on.
int processFrame(Host& h, FrameCall& call, int32_t n) {
  putFrame(call.edit, *h.clip, n, h.maxWidth);
  std::memset(call.temp.bytes(), 0x5A, call.temp.byteCount());
  call.info = FrameProcInfo{};
  call.info.editFrame = call.edit.pixels;
  call.info.tempFrame = call.temp.pixels;
  call.info.maxWidth = h.maxWidth;
  call.info.maxHeight = h.maxHeight;
  call.info.frameNumber = n;
  call.info.editHandle = &editHandleTag;
  // Successive frames arrive 4, 8 and 12 bytes off a 16-byte boundary.
  const auto skew = static_cast<uintptr_t>(4 + 4 * (n % 3));
  return static_cast<int>(callWithSkew(h.table->process, skew, h.table, &call.info));
}

// First difference between the result rows and frame n of the reference, or empty.
std::string compareFrame(const Pixel* result, int32_t stride, const Clip& reference, int32_t n) {
  int mismatches = 0;
  std::string first;
  for (int32_t y = 0; y < reference.height; ++y) {
    for (int32_t x = 0; x < reference.width; ++x) {
      const Pixel& got = result[static_cast<size_t>(y) * stride + x];
      const Pixel& want = reference.frame(n)[static_cast<size_t>(y) * reference.width + x];
      if (got.y != want.y || got.cb != want.cb || got.cr != want.cr) {
        if (mismatches++ == 0) {
          first = format("frame %d pixel (%d,%d): got (%d,%d,%d), want (%d,%d,%d)", n, x, y, got.y,
                         got.cb, got.cr, want.y, want.cb, want.cr);
        }
      }
    }
  }
  if (mismatches == 0) return {};
  return first + format(" [%d pixels differ]", mismatches);
}

// Restarts the filter as the editor does when it loads it.
void restart(FilterTable* table) {
  table->exit(table);
  table->init(table);
}

// The whole clip in frame order through the plug-in; empty when every frame equals the reference.
std::string runClip(Host& h, const Settings& s, const Clip& reference, size_t offset) {
  restart(h.table);
  applySettings(h, s);
  h.serviceErrors.clear();
  FrameCall call(h, offset);
  for (int32_t n = 0; n < h.clip->frames; ++n) {
    if (processFrame(h, call, n) != 1) return format("frame %d: FilterProc returned 0", n);
    if (call.info.editFrame != call.temp.pixels || call.info.tempFrame != call.edit.pixels) {
      return format("frame %d: edit and scratch frames were not exchanged", n);
    }
    const std::string diff = compareFrame(call.info.editFrame, h.maxWidth, reference, n);
    if (!diff.empty()) return diff;
  }
  return h.serviceErrors;
}

// ---- Cases --------------------------------------------------------------------------------

struct Case {
  std::string name;
  std::string clip;
  int32_t width = 0, height = 0, maxWidth = 0, maxHeight = 0, frames = 0;
  Settings settings;
};

std::vector<Case> readCases(const std::string& path) {
  std::vector<Case> cases;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Case c;
    Settings& s = c.settings;
    fields >> c.name >> c.clip >> c.width >> c.height >> c.maxWidth >> c.maxHeight >> c.frames >>
        s.tap >> s.top >> s.bottom >> s.motion >> s.motion2 >> s.show >> s.next >> s.max;
    if (fields) cases.push_back(c);
  }
  return cases;
}

const Case* caseNamed(const std::vector<Case>& cases, const std::string& name) {
  for (const Case& c : cases) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

struct Inputs {
  std::string dataDir;
  std::string referenceDir;
  std::vector<Case> cases;
};

bool loadCase(const Inputs& in, const Case& c, Clip& clip, Clip& reference) {
  return readClip(in.dataDir + "/clip_" + c.clip + ".ycc16", c.width, c.height, c.frames, clip) &&
         readClip(in.referenceDir + "/ref_" + c.name + ".ycc16", c.width, c.height, c.frames,
                  reference);
}

// Every case on a pool of three workers with 16-byte-aligned frames, and on the calling thread
// with frames one pixel off alignment: both must give the native bytes.
void checkClips(Tally& t, FilterTable* table, const Inputs& in) {
  WorkerPool pool(3);
  for (const Case& c : in.cases) {
    Clip clip, reference;
    if (!loadCase(in, c, clip, reference)) {
      t.check(false, "clip." + c.name, "cannot read the clip or its reference");
      continue;
    }
    Host h;
    attach(h, table, clip, c.maxWidth, c.maxHeight);
    h.pool = &pool;
    const std::string aligned = runClip(h, c.settings, reference, 0);
    t.check(aligned.empty(), "clip." + c.name + ".pool3_aligned", aligned);
    h.pool = nullptr;
    const std::string unaligned = runClip(h, c.settings, reference, sizeof(Pixel));
    t.check(unaligned.empty(), "clip." + c.name + ".calling_thread_offset", unaligned);
  }
}

// ---- Failures -----------------------------------------------------------------------------

// Takes every 64 KiB slot of the address space, so that the next allocation of any size fails.
struct AddressSpaceHog {
  std::vector<void*> reservations;

  AddressSpaceHog() {
    // Room for every slot of a 4 GiB space, so that no heap growth is needed while it is full.
    reservations.reserve(size_t{1} << 16);
    for (size_t size = size_t{1} << 30; size >= 4096; size /= 2) {
      while (reservations.size() < reservations.capacity()) {
        void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
        if (p == nullptr) break;
        reservations.push_back(p);
      }
    }
  }
  ~AddressSpaceHog() {
    for (void* p : reservations) VirtualFree(p, 0, MEM_RELEASE);
  }
};

struct FailureCase {
  const char* name;
  bool refuseCache;
  bool failCurrentFetch;
  bool exhaustMemory;
  bool scratchUntouched;  // the low-pass has already filled the scratch frame when memory fails
};

// A refused cache, a missing current frame or refused motion buffers: FilterProc returns 0, the
// frame pointers stay and the editor's frame keeps its bytes. The frame after succeeds.
void checkFailures(Tally& t, FilterTable* table, const Inputs& in) {
  const Case* c = caseNamed(in.cases, "band_next");
  Clip clip, reference;
  if (c == nullptr || !loadCase(in, *c, clip, reference)) {
    t.check(false, "failure.inputs", "case band_next missing");
    return;
  }
  const FailureCase failures[] = {
      {"failure.refused_cache", true, false, false, true},
      {"failure.missing_current_frame", false, true, false, true},
      {"failure.motion_buffers_refused", false, false, true, false},
  };
  for (const FailureCase& f : failures) {
    Host h;
    attach(h, table, clip, c->maxWidth, c->maxHeight);
    restart(table);
    applySettings(h, c->settings);
    h.refuseCache = f.refuseCache;
    h.failFetchOf = f.failCurrentFetch ? 0 : INT_MIN;

    FrameCall call(h, 0);
    putFrame(call.edit, clip, 0, h.maxWidth);
    std::memset(call.temp.bytes(), 0x5A, call.temp.byteCount());
    const std::vector<unsigned char> editBefore(call.edit.bytes(),
                                                call.edit.bytes() + call.edit.byteCount());
    const std::vector<unsigned char> tempBefore(call.temp.bytes(),
                                                call.temp.bytes() + call.temp.byteCount());
    call.info = FrameProcInfo{};
    call.info.editFrame = call.edit.pixels;
    call.info.tempFrame = call.temp.pixels;
    call.info.maxWidth = h.maxWidth;
    call.info.maxHeight = h.maxHeight;
    call.info.frameNumber = 0;
    call.info.editHandle = &editHandleTag;
    int result = 0;
    if (f.exhaustMemory) {
      AddressSpaceHog hog;
      result = table->process(table, &call.info);
    } else {
      result = table->process(table, &call.info);
    }
    std::string detail;
    if (result != 0) detail += "returned 1; ";
    if (call.info.editFrame != call.edit.pixels || call.info.tempFrame != call.temp.pixels) {
      detail += "frame pointers exchanged; ";
    }
    if (!std::equal(editBefore.begin(), editBefore.end(), call.edit.bytes())) {
      detail += "edit frame written; ";
    }
    if (f.scratchUntouched &&
        !std::equal(tempBefore.begin(), tempBefore.end(), call.temp.bytes())) {
      detail += "scratch frame written; ";
    }
    // The editor asks again: with the cause gone the same frame comes out right.
    h.refuseCache = false;
    h.failFetchOf = INT_MIN;
    if (processFrame(h, call, 0) != 1) {
      detail += "the next call failed too; ";
    } else {
      const std::string diff = compareFrame(call.info.editFrame, h.maxWidth, reference, 0);
      if (!diff.empty()) detail += "next call: " + diff;
    }
    t.check(detail.empty(), f.name, detail);
  }
}

// ---- Update and exit ----------------------------------------------------------------------

std::vector<Pixel> resultRows(const FrameCall& call, const Clip& clip, int32_t stride) {
  std::vector<Pixel> rows;
  for (int32_t y = 0; y < clip.height; ++y) {
    const Pixel* row = call.info.editFrame + static_cast<size_t>(y) * stride;
    rows.insert(rows.end(), row, row + clip.width);
  }
  return rows;
}

bool samePixels(const std::vector<Pixel>& a, const std::vector<Pixel>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const Pixel& p, const Pixel& q) {
           return p.y == q.y && p.cb == q.cb && p.cr == q.cr;
         });
}

// Frame 1 is filtered with "動き" 24, which caches the map of the pair (1, 2); then "動き" becomes
// 48 and the host sends `code` before frame 2. Codes announcing a change of the maps' inputs must
// make frame 2 equal a fresh start with 48; the others must leave the cached map in use.
void checkUpdateCodes(Tally& t, FilterTable* table, const Inputs& in) {
  const Case* c = caseNamed(in.cases, "motion_16");
  Clip clip, unused;
  if (c == nullptr || !loadCase(in, *c, clip, unused)) {
    t.check(false, "update.inputs", "case motion_16 missing");
    return;
  }
  Host h;
  attach(h, table, clip, c->maxWidth, c->maxHeight);
  Settings before = c->settings;
  before.motion = 24;
  before.next = 0;
  before.max = 0;
  Settings after = before;
  after.motion = 48;

  FrameCall call(h, 0);
  restart(table);
  applySettings(h, after);
  const bool freshOk = processFrame(h, call, 2) == 1;
  const std::vector<Pixel> fresh = resultRows(call, clip, h.maxWidth);

  struct Code {
    int code;
    bool invalidates;
  };
  const Code codes[] = {{0, true},       {0x10001, true},  {0x10002, true},  {0x10003, true},
                        {0x10004, true}, {0x10000, false}, {0x10005, false}, {0x20000, false},
                        {1, false},      {-1, false}};
  for (const Code& code : codes) {
    restart(table);
    applySettings(h, before);
    const bool firstOk = processFrame(h, call, 1) == 1;
    applySettings(h, after);
    const int updateResult = table->update(table, code.code);
    const bool secondOk = processFrame(h, call, 2) == 1;
    const bool equalsFresh = samePixels(resultRows(call, clip, h.maxWidth), fresh);
    std::string detail;
    if (!freshOk || !firstOk || !secondOk) detail += "FilterProc returned 0; ";
    if (updateResult != 1) detail += format("FilterUpdate returned %d; ", updateResult);
    if (equalsFresh != code.invalidates) {
      detail += code.invalidates ? "frame 2 still used the map made with the old threshold"
                                 : "the cached map was dropped";
    }
    t.check(detail.empty(), format("update.code_0x%x", static_cast<unsigned>(code.code)), detail);
  }
}

// Allocation bases of the private committed regions of the process.
std::set<void*> privateAllocations() {
  std::set<void*> bases;
  MEMORY_BASIC_INFORMATION info{};
  uintptr_t address = 0x10000;
  while (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) != 0) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) bases.insert(info.AllocationBase);
    const uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return bases;
}

bool isFree(void* base) {
  MEMORY_BASIC_INFORMATION info{};
  return VirtualQuery(base, &info, sizeof info) != 0 && info.State == MEM_FREE;
}

// The motion buffers are one allocation made by the first frame with motion, given back by
// "動き" 0 and by FilterExit, which may be called twice.
void checkMotionBufferLifetime(Tally& t, FilterTable* table, const Inputs& in) {
  const Case* c = caseNamed(in.cases, "band_next");
  Clip clip, unused;
  if (c == nullptr || !loadCase(in, *c, clip, unused)) {
    t.check(false, "lifetime.inputs", "case band_next missing");
    return;
  }
  Host h;
  // Large maxima make the allocation stand out from anything the heap does.
  attach(h, table, clip, 1000, 700);
  FrameCall call(h, 0);
  restart(table);
  applySettings(h, c->settings);

  const std::set<void*> before = privateAllocations();
  const bool processed = processFrame(h, call, 0) == 1;
  std::vector<void*> added;
  for (void* base : privateAllocations()) {
    if (before.count(base) == 0) added.push_back(base);
  }
  MEMORY_BASIC_INFORMATION info{};
  size_t size = 0;
  if (added.size() == 1 && VirtualQuery(added[0], &info, sizeof info) != 0) size = info.RegionSize;
  t.check(processed && added.size() == 1 && size >= motionAllocationSize(700, 1000),
          "lifetime.one_motion_allocation",
          format("FilterProc %d, %d new allocations, size %u, need %u", processed ? 1 : 0,
                 static_cast<int>(added.size()), static_cast<unsigned>(size),
                 static_cast<unsigned>(motionAllocationSize(700, 1000))));
  if (added.size() != 1) return;

  const int firstExit = table->exit(table);
  const bool freedByExit = isFree(added[0]);
  const int secondExit = table->exit(table);
  t.check(firstExit == 1 && secondExit == 1 && freedByExit, "lifetime.exit_frees_once",
          format("exit %d then %d, freed %d", firstExit, secondExit, freedByExit ? 1 : 0));

  table->init(table);
  const bool again = processFrame(h, call, 1) == 1;
  std::vector<void*> current;
  for (void* base : privateAllocations()) {
    if (before.count(base) == 0) current.push_back(base);
  }
  Settings off = c->settings;
  off.motion = 0;
  applySettings(h, off);
  const bool offOk = processFrame(h, call, 2) == 1;
  const bool freedByMotionOff = current.size() == 1 && isFree(current[0]);
  t.check(again && offOk && freedByMotionOff, "lifetime.motion_off_frees",
          format("%d allocations before, freed %d", static_cast<int>(current.size()),
                 freedByMotionOff ? 1 : 0));
  table->exit(table);
}

// ---- The Windows platform layer -----------------------------------------------------------

void checkVirtualMemory(Tally& t) {
  const int live = platform::liveAllocationCount();
  const size_t size = 100000;
  auto* p = static_cast<unsigned char*>(platform::allocatePages(size));
  bool zero = p != nullptr;
  for (size_t i = 0; zero && i < size; ++i) zero = p[i] == 0;
  if (p != nullptr) std::memset(p, 0xC3, size);  // committed read-write: writing must not fault
  const bool granular = (reinterpret_cast<uintptr_t>(p) & 0xFFFF) == 0;
  const int liveAfter = platform::liveAllocationCount();
  platform::releasePages(p, size);
  const bool released = p != nullptr && isFree(p);
  t.check(zero && granular && liveAfter == live + 1 && released &&
              platform::liveAllocationCount() == live,
          "platform.allocate_release",
          format("zero %d, 64K aligned %d, live %d->%d, released %d", zero ? 1 : 0,
                 granular ? 1 : 0, live, liveAfter, released ? 1 : 0));

  platform::failNextAllocations(2);
  void* a = platform::allocatePages(4096);
  void* b = platform::allocatePages(4096);
  void* c = platform::allocatePages(4096);
  platform::releasePages(c, 4096);
  platform::releasePages(nullptr, 4096);
  t.check(a == nullptr && b == nullptr && c != nullptr && platform::liveAllocationCount() == live &&
              platform::allocatePages(0) == nullptr,
          "platform.refused_allocations",
          format("a %p b %p c %p live %d", a, b, c, platform::liveAllocationCount()));
}

uint32_t cpuidEdx() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
  return edx;
}

// On a processor without SSE the probe's instruction faults: the handler must turn that into
// "no" instead of a crash. With SSE a Windows that runs this program saves the SSE state.
void checkSseProbe(Tally& t) {
  const bool reported = (cpuidEdx() & (1u << 25)) != 0;
  const bool executes = platform::osExecutesSse();
  const bool executesAgain = platform::osExecutesSse();
  t.check(executes == reported && executesAgain == reported, "platform.sse_probe",
          format("CPUID SSE %d, probe %d then %d", reported ? 1 : 0, executes ? 1 : 0,
                 executesAgain ? 1 : 0));
}

// ---- x87 weights against the native values --------------------------------------------------

struct NativeWeights {
  std::vector<uint32_t> bits;                 // per m = 1..256
  std::vector<std::vector<int16_t>> weights;  // per m, per weightMeasures(m)
};

bool readWeights(const std::string& path, NativeWeights& native) {
  std::ifstream in(path, std::ios::binary);
  for (int32_t m = 1; m <= kMaxMotion; ++m) {
    uint32_t bits = 0;
    in.read(reinterpret_cast<char*>(&bits), sizeof bits);
    native.bits.push_back(bits);
    std::vector<int16_t> weights(weightMeasures(m).size());
    in.read(reinterpret_cast<char*>(weights.data()),
            static_cast<std::streamsize>(weights.size() * sizeof(int16_t)));
    native.weights.push_back(weights);
  }
  return static_cast<bool>(in);
}

uint32_t bitsOf(float f) {
  uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// The scalar weight path runs on x87 here. The editor may run it in 53-bit or 64-bit precision
// (its own choice, or a thread's default), so both must give the x86-64 SSE values.
void checkWeights(Tally& t, const std::string& dataDir) {
  NativeWeights native;
  if (!readWeights(dataDir + "/weights.bin", native)) {
    t.check(false, "weights.inputs", "cannot read weights.bin");
    return;
  }
  struct Precision {
    const char* name;
    unsigned control;
  };
  const Precision precisions[] = {{"pc64", _PC_64}, {"pc53", _PC_53}};
  const unsigned saved = _controlfp(0, 0);
  std::vector<int16_t> diff(3 * kWeightPitch, 0);
  int16_t map[kWeightPitch] = {};
  for (const Precision& pc : precisions) {
    _controlfp(pc.control, _MCW_PC);
    std::string buildDetail, rowDetail;
    for (int32_t m = 1; m <= kMaxMotion; ++m) {
      MotionWeights w{};
      BuildWeightsScalar(&w, 8 * m);
      if (bitsOf(w.lane[0]) != native.bits[static_cast<size_t>(m - 1)] && buildDetail.empty()) {
        buildDetail = format("m %d: 0x%08x, native 0x%08x", m, bitsOf(w.lane[0]),
                             native.bits[static_cast<size_t>(m - 1)]);
      }
      const std::vector<int32_t> measures = weightMeasures(m);
      for (size_t i = 0; i < measures.size(); ++i) {
        for (int row = 0; row < 3; ++row) {
          diff[static_cast<size_t>(row * kWeightPitch + 1)] = static_cast<int16_t>(measures[i]);
        }
        MotionRowScalar(diff.data() + kWeightPitch + 1, map, 1, kWeightPitch, w);
        const int16_t want = native.weights[static_cast<size_t>(m - 1)][i];
        if (map[0] != want && rowDetail.empty()) {
          rowDetail = format("m %d, measure %d: %d, native %d", m, measures[i], map[0], want);
        }
      }
    }
    t.check(buildDetail.empty(), std::string("weights.build_scalar_") + pc.name, buildDetail);
    t.check(rowDetail.empty(), std::string("weights.motion_row_scalar_") + pc.name, rowDetail);
  }
  _controlfp(saved, _MCW_PC);

  if ((probeCpuFeatures() & kCpuSse) != 0) {
    std::string detail;
    for (int32_t m = 1; m <= kMaxMotion && detail.empty(); ++m) {
      MotionWeights w{};
      BuildWeightsSse(&w, 8 * m);
      if (bitsOf(w.lane[0]) != native.bits[static_cast<size_t>(m - 1)]) {
        detail = format("m %d: 0x%08x, native scalar 0x%08x", m, bitsOf(w.lane[0]),
                        native.bits[static_cast<size_t>(m - 1)]);
      }
    }
    t.check(detail.empty(), "weights.build_sse_equals_native_scalar", detail);
  }
}

const char* setName(CpuFeatures features) {
  const KernelSet& set = kernelSetFor(features);
  if (&set == &kKernelSetSse2) return "sse2";
  if (&set == &kKernelSetSse) return "sse";
  if (&set == &kKernelSetMmx) return "mmx";
  return "scalar";
}

int runAll(const std::string& pluginPath, const Inputs& in, const std::string& cpuSet) {
  Tally t;
  const char* picked = setName(probeCpuFeatures());
  t.check(cpuSet == picked, "kernel_set_matches_reference",
          format("this processor gets %s, references made with %s", picked, cpuSet.c_str()));

  HMODULE module = LoadLibraryA(pluginPath.c_str());
  t.check(module != nullptr, "plugin.load", format("LoadLibrary error %lu", GetLastError()));
  if (module != nullptr) {
    // The export's type is the plug-in's contract, not FARPROC's.
    const FARPROC exported = GetProcAddress(module, "GetFilterTable");
    GetFilterTableFn getFilterTable = nullptr;
    static_assert(sizeof getFilterTable == sizeof exported);
    std::memcpy(&getFilterTable, &exported, sizeof exported);
    t.check(getFilterTable != nullptr, "plugin.export_GetFilterTable");
    if (getFilterTable != nullptr) {
      checkRecord(t, module, getFilterTable);
      FilterTable* table = getFilterTable();
      t.check(table->init(table) == 1, "lifecycle.init_returns_1");
      checkClips(t, table, in);
      checkFailures(t, table, in);
      checkUpdateCodes(t, table, in);
      checkMotionBufferLifetime(t, table, in);
      t.check(table->exit(table) == 1, "lifecycle.exit_returns_1");
    }
    FreeLibrary(module);
  }
  checkVirtualMemory(t);
  checkSseProbe(t);
  checkWeights(t, in.dataDir);

  std::printf("%d passed, %d failed\n", t.passed, t.failed);
  return t.failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace quillet::windows_test

int main(int argc, char** argv) {
  using namespace quillet::windows_test;
  if (argc == 2 && std::string(argv[1]) == "--cpu-set") {
    std::printf("%s\n", setName(quillet::probeCpuFeatures()));
    return 0;
  }
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: plugin_test --cpu-set\n"
                 "       plugin_test PLUGIN DATA_DIR REFERENCE_DIR CPU_SET\n");
    return 2;
  }
  Inputs in;
  in.dataDir = argv[2];
  in.referenceDir = argv[3];
  in.cases = readCases(in.dataDir + "/cases.txt");
  if (in.cases.empty()) {
    std::fprintf(stderr, "plugin_test: no cases in %s/cases.txt\n", in.dataDir.c_str());
    return 2;
  }
  return runAll(argv[1], in, argv[4]);
}
