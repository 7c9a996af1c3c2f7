#include "engine/engine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include "comb/comb.h"
#include "dispatch/mmx_state.h"
#include "motion/motion_state.h"

namespace quillet::engine {

namespace {

constexpr size_t kLine = 64;
constexpr int32_t kLargestSide = 32767;
constexpr int32_t kMostThreads = 256;
// The widest low-pass reaches 7 rows to each side; the motion map one.
constexpr int32_t kHalo = 7;
// Comb strips the calling thread scores before it shares the rest of a frame's out.
constexpr int32_t kCombStripsAlone = 4;

size_t roundUp(size_t v, size_t to) { return (v + to - 1) / to * to; }

int32_t clampTo(int32_t v, int32_t lo, int32_t hi) { return std::clamp(v, lo, hi); }

// Pointer to row `row` of a plane of `stride` elements per row, for a row that may lie before
// the buffer's first row: kernels addressed from a band's first row reach only the rows the
// strip holds.
template <class T>
T* rowAt(T* base, int64_t row, ptrdiff_t stride) {
  return reinterpret_cast<T*>(
      reinterpret_cast<uintptr_t>(base) +
      static_cast<uintptr_t>(row * stride * static_cast<int64_t>(sizeof(T))));
}

CpuFeatures featuresOf(QuilletCpu cpu) {
  switch (cpu) {
    case QUILLET_CPU_MMX:
      return kCpuMmx;
    case QUILLET_CPU_SSE:
      return kCpuMmx | kCpuSse;
    case QUILLET_CPU_SSE2:
      return kCpuMmx | kCpuSse | kCpuSse2;
    case QUILLET_CPU_AVX2:
      return kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2;
    default:
      return 0;
  }
}

QuilletCpu cpuOf(CpuFeatures level) {
  if (level == kCpuAvx2) return QUILLET_CPU_AVX2;
  if (level == kCpuSse2) return QUILLET_CPU_SSE2;
  if (level == kCpuSse) return QUILLET_CPU_SSE;
  if (level == kCpuMmx) return QUILLET_CPU_MMX;
  return QUILLET_CPU_SCALAR;
}

// Everything one frame's strips read; the workers share it and write only their rows.
struct FrameJob {
  const uint8_t* const* current;  // plane pointers of the stored frames
  const size_t* currentStride;
  const uint8_t* const* previous;
  const size_t* previousStride;
  const uint8_t* const* next;
  const size_t* nextStride;
  QuilletFrame out;
  QuilletSettings settings;
  int32_t bandTop;
  int32_t bandEnd;
  int32_t mode;  // blend mode: 0 previous map, 1 minimum, 2 maximum
  bool motion;
  const int16_t* cachedPrevious;  // the previous pair's map when it is cached, else null
  int16_t* nextMap;               // where the next pair's map goes, null when not needed
  alignas(16) MotionWeights weights;
  int32_t strips;
  std::atomic<int32_t> claimed{0};
};

// The comb detector's view of one frame: the block rows score independently, each into its slot.
struct CombJob {
  CombFrame frame;
  CombThresholds thresholds;
  int32_t strips;
  CombStripResult* results;
  std::atomic<int32_t> claimed{0};
  std::atomic<bool> combed{false};  // a block row settled it: the rest need not be scored
};

struct CombJobStage {
  Engine* engine;
  CombJob* job;
};

HOST_ENTRY void runCombStage(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)threadCount;
  (void)job;
  auto* stage = static_cast<CombJobStage*>(extra);
  stage->engine->runCombWorker(stage->job);
}

struct FrameJobStage {
  Engine* engine;
  FrameJob* job;
};

HOST_ENTRY void runFrameStage(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadCount;
  (void)job;
  auto* stage = static_cast<FrameJobStage*>(extra);
  stage->engine->runWorker(threadIndex, stage->job);
}

thread_local std::string createError;

// The processor's kernel-set features, found once. An x86-64 operating system always saves the
// SSE registers, so the probe there needs no signal handler of its own.
CpuFeatures processorFeatures() {
  static const CpuFeatures features = [] {
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return CpuFeatures{0};
    return decodeCpuFeatures(edx, true) | probeAvx2Support();
#else
    return probeCpuFeatures();
#endif
  }();
  return features;
}

}  // namespace

void AlignedBuffer::Free::operator()(void* p) const {
  ::operator delete (p, std::align_val_t{kLine});
}

bool AlignedBuffer::allocate(size_t bytes) {
  data_.reset();
  size_ = 0;
  if (bytes == 0) return true;
  void* p = ::operator new (bytes, std::align_val_t{kLine}, std::nothrow);
  if (p == nullptr) return false;
  data_.reset(p);
  size_ = bytes;
  return true;
}

// A C caller may store any int in an enum field; reading it as the enum would be undefined
// when it names no enumerator, so the bytes are read as the int they are.
template <class Enum>
int rawValue(const Enum& value) {
  static_assert(sizeof(Enum) == sizeof(int));
  int raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

bool describeFormat(const QuilletConfig& config, Format& f, std::string& error) {
  const int layout = rawValue(config.layout);
  if (layout < QUILLET_LAYOUT_444 || layout > QUILLET_LAYOUT_YVYU) {
    error = "unknown layout " + std::to_string(layout);
    return false;
  }
  if (config.width < 1 || config.width > kLargestSide || config.height < 1 ||
      config.height > kLargestSide) {
    error = "frame size " + std::to_string(config.width) + "x" + std::to_string(config.height) +
            " is outside 1x1..32767x32767";
    return false;
  }
  f = Format{};
  f.width = config.width;
  f.height = config.height;
  f.layout = config.layout;
  switch (config.layout) {
    case QUILLET_LAYOUT_444:
      break;
    case QUILLET_LAYOUT_422:
      f.shiftX = 1;
      break;
    case QUILLET_LAYOUT_420:
      f.shiftX = 1;
      f.shiftY = 1;
      break;
    case QUILLET_LAYOUT_411:
      f.shiftX = 2;
      break;
    case QUILLET_LAYOUT_NV12:
    case QUILLET_LAYOUT_NV21:
    case QUILLET_LAYOUT_P010:
    case QUILLET_LAYOUT_P016:
      f.packing = Format::Packing::kSemiPlanar;
      f.planes = 2;
      f.shiftX = 1;
      f.shiftY = 1;
      f.crFirst = config.layout == QUILLET_LAYOUT_NV21;
      break;
    case QUILLET_LAYOUT_YUY2:
    case QUILLET_LAYOUT_UYVY:
    case QUILLET_LAYOUT_YVYU:
      f.packing = Format::Packing::kPacked;
      f.planes = 1;
      f.shiftX = 1;
      f.packedOrder = config.layout == QUILLET_LAYOUT_YUY2   ? kPackedYuyv
                      : config.layout == QUILLET_LAYOUT_UYVY ? kPackedUyvy
                                                             : kPackedYvyu;
      break;
    case QUILLET_LAYOUT_MONO:
    case QUILLET_LAYOUT_YCC16:
      f.planes = 1;
      break;
  }
  if (config.layout == QUILLET_LAYOUT_YCC16) {
    f.bitDepth = 16;
    f.bytesPerSample = static_cast<int>(sizeof(Pixel));
  } else if (f.packing != Format::Packing::kPlanar) {
    // Fixed depths: the layout says it.
    f.bitDepth = config.layout == QUILLET_LAYOUT_P010   ? 10
                 : config.layout == QUILLET_LAYOUT_P016 ? 16
                                                        : 8;
    f.bytesPerSample = f.bitDepth > 8 ? 2 : 1;
    f.highBits = f.bitDepth > 8 ? 16 - f.bitDepth : 0;
  } else {
    if (config.bit_depth < 8 || config.bit_depth > 16) {
      error = "bit depth " + std::to_string(config.bit_depth) + " is outside 8..16";
      return false;
    }
    f.bitDepth = config.bit_depth;
    f.bytesPerSample = config.bit_depth > 8 ? 2 : 1;
  }
  const auto w = static_cast<size_t>(f.width);
  f.rowBytes[0] = w * static_cast<size_t>(f.bytesPerSample);
  f.rows[0] = f.height;
  const size_t pairs = (w + 1) / 2;
  if (f.packing == Format::Packing::kSemiPlanar) {
    f.rowBytes[1] = 2 * pairs * static_cast<size_t>(f.bytesPerSample);
    f.rows[1] = (f.height + 1) / 2;
  } else if (f.packing == Format::Packing::kPacked) {
    f.rowBytes[0] = 4 * pairs;
  } else if (f.planes == 3) {
    const size_t chromaWidth = (w + (size_t{1} << f.shiftX) - 1) >> f.shiftX;
    for (int p = 1; p < 3; ++p) {
      f.rowBytes[p] = chromaWidth * static_cast<size_t>(f.bytesPerSample);
      f.rows[p] = (f.height + (1 << f.shiftY) - 1) >> f.shiftY;
    }
  }
  return true;
}

QuilletSettings clampSettings(const QuilletSettings& s) {
  const auto checked = [](int32_t v) { return v != 0 ? 1 : 0; };
  return QuilletSettings{
      .tap = clampTo(s.tap, 0, kTapCount - 1),
      .top = clampTo(s.top, 0, 256),
      .bottom = clampTo(s.bottom, 0, 256),
      .motion = clampTo(s.motion, 0, 256),
      .motion2 = clampTo(s.motion2, 0, 256),
      .show_motion = checked(s.show_motion),
      .next_frame = checked(s.next_frame),
      .use_max = checked(s.use_max),
      .deint = clampTo(s.deint, QUILLET_DEINT_ALL, QUILLET_DEINT_COMBED),
      .comb_sensitivity =
          s.comb_sensitivity == 0 ? kDefaultCombSensitivity : clampTo(s.comb_sensitivity, 1, 100),
  };
}

QuilletStatus Engine::create(const QuilletConfig& config, std::unique_ptr<Engine>& engine,
                             std::string& error) {
  Format format;
  if (!describeFormat(config, format, error)) return QUILLET_ERROR_ARGUMENT;
  if (config.threads < 0 || config.threads > kMostThreads) {
    error = "thread count " + std::to_string(config.threads) + " is outside 0..256";
    return QUILLET_ERROR_ARGUMENT;
  }
  if (config.cpu < QUILLET_CPU_AUTO || config.cpu > QUILLET_CPU_AVX2) {
    error = "unknown kernel set " + std::to_string(static_cast<int>(config.cpu));
    return QUILLET_ERROR_ARGUMENT;
  }
  if (quillet_cpu_supported(config.cpu) == 0) {
    error = "this processor or build cannot run the requested kernel set";
    return QUILLET_ERROR_UNSUPPORTED;
  }

  std::unique_ptr<Engine> e(new (std::nothrow) Engine());
  if (!e) {
    error = "out of memory";
    return QUILLET_ERROR_MEMORY;
  }
  e->format_ = format;
  e->settings_ = clampSettings(config.settings);
  const CpuFeatures features =
      config.cpu == QUILLET_CPU_AUTO ? processorFeatures() : featuresOf(config.cpu);
  e->kernels_ = &rowKernelsFor(features);
  e->cpu_ = cpuOf(e->kernels_->level);
  e->comb_ = &combKernelsFor(e->kernels_->level);
  // Every conversion form gives the same bytes; a set below SSE2 keeps to scalar code, so a
  // forced older set runs on the processors it is meant for.
  e->convert_ = &ConvertKernelsScalar;
#if QUILLET_ENABLE_SIMD
  if ((features & kCpuSse2) != 0) e->convert_ = &ConvertKernelsSse2;
#if QUILLET_HAVE_AVX2
  if ((features & kCpuSse2) != 0 && (processorFeatures() & kCpuAvx2) != 0) {
    e->convert_ = &ConvertKernelsAvx2;
  }
#endif
#endif

  try {
    if (format.layout != QUILLET_LAYOUT_YCC16) e->scale_ = makeSampleScale(format.bitDepth);
    int threads = config.threads;
    if (threads == 0) threads = static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
    if (threads > 1) e->pool_ = std::make_unique<runtime::WorkerPool>(threads);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return QUILLET_ERROR_MEMORY;
  } catch (const std::system_error& failure) {
    error = std::string("cannot start the worker threads: ") + failure.what();
    return QUILLET_ERROR_MEMORY;
  }

  engine = std::move(e);
  return QUILLET_OK;
}

bool Engine::allocateBuffers() {
  if (frames_[0].memory.data() != nullptr) return true;
  // Frames: each plane's rows on whole lines.
  for (StoredFrame& frame : frames_) {
    size_t total = 0;
    for (int p = 0; p < format_.planes; ++p) {
      frame.stride[p] = roundUp(format_.rowBytes[p], kLine);
      total += frame.stride[p] * static_cast<size_t>(format_.rows[p]);
    }
    if (!frame.memory.allocate(total)) {
      return false;
    }
    auto* at = static_cast<uint8_t*>(frame.memory.data());
    for (int p = 0; p < format_.planes; ++p) {
      frame.plane[p] = at;
      at += frame.stride[p] * static_cast<size_t>(format_.rows[p]);
    }
  }

  // Maps at the plug-in's pitch: whole lines, 8 spare values after every row.
  pixelStride_ = static_cast<int32_t>(roundUp(static_cast<size_t>(format_.width), 8));
  mapPitch_ = mapPitchFor(format_.width);
  const size_t mapPlane =
      static_cast<size_t>(mapPitch_) * sizeof(int16_t) * static_cast<size_t>(format_.height);
  if (!mapMemory_.allocate(2 * mapPlane)) {
    return false;
  }
  maps_[0].map = static_cast<int16_t*>(mapMemory_.data());
  maps_[1].map = maps_[0].map + mapPlane / sizeof(int16_t);

  // Strip buffers, one set per worker.
  const int32_t strip = stripRows_;
  const size_t pixelRow = static_cast<size_t>(pixelStride_) * sizeof(Pixel);
  const size_t mapRow = static_cast<size_t>(mapPitch_) * sizeof(int16_t);
  const auto sourceRows = static_cast<size_t>(strip + 2 * kHalo);
  const auto filteredRows = static_cast<size_t>(strip);
  const auto neighbourRows = static_cast<size_t>(strip + 2);
  const auto diffRows = static_cast<size_t>(strip + 4);  // a spare row before and after
  const auto mapRows = static_cast<size_t>(strip);
  strips_.resize(static_cast<size_t>(threads()));
  for (StripBuffers& s : strips_) {
    // Each buffer starts on a line of its own.
    const size_t parts[] = {
        roundUp(pixelRow * sourceRows, kLine), roundUp(pixelRow * filteredRows, kLine),
        roundUp(pixelRow * neighbourRows, kLine), mapRow * diffRows, mapRow * mapRows};
    size_t bytes = 0;
    for (size_t part : parts) bytes += part;
    if (!s.memory.allocate(bytes)) {
      return false;
    }
    auto* at = static_cast<uint8_t*>(s.memory.data());
    s.source = reinterpret_cast<Pixel*>(at);
    at += parts[0];
    s.filtered = reinterpret_cast<Pixel*>(at);
    at += parts[1];
    s.neighbour = reinterpret_cast<Pixel*>(at);
    at += parts[2];
    s.diff = reinterpret_cast<int16_t*>(at);
    at += parts[3];
    s.map = reinterpret_cast<int16_t*>(at);
  }
  return true;
}

Engine::~Engine() = default;

size_t Engine::memoryBytes() const {
  size_t total = mapMemory_.size();
  for (const StoredFrame& f : frames_) total += f.memory.size();
  for (const StripBuffers& s : strips_) total += s.memory.size();
  return total;
}

QuilletStatus Engine::fail(QuilletStatus status, std::string message) {
  error_ = std::move(message);
  return status;
}

bool Engine::sharesFrames() const {
  // A small frame is less work than waking a worker, and a worker that a busy machine runs late
  // would only delay it: such frames stay on the calling thread. The output is the same either
  // way, as every row's result is.
  constexpr int64_t kSmallestSharedFrame = 128 * 128;
  return pool_ != nullptr && int64_t{format_.width} * format_.height >= kSmallestSharedFrame;
}

bool Engine::ready() const {
  if (pulled_ >= pushed_) return false;
  // Frame 0 waits for frame 1, which stands in for its missing previous frame.
  const bool needsNext =
      settings_.next_frame != 0 || settings_.deint == QUILLET_DEINT_COMBED || pulled_ == 0;
  return !needsNext || flushed_ || pulled_ + 1 < pushed_;
}

bool Engine::checkFrame(const QuilletFrame* frame, const char* what) {
  if (frame == nullptr) {
    fail(QUILLET_ERROR_ARGUMENT, std::string(what) + ": null frame");
    return false;
  }
  for (int p = 0; p < format_.planes; ++p) {
    if (frame->planes[p] == nullptr) {
      fail(QUILLET_ERROR_ARGUMENT, std::string(what) + ": plane " + std::to_string(p) + " is null");
      return false;
    }
    if (frame->strides[p] < 0 || static_cast<size_t>(frame->strides[p]) < format_.rowBytes[p]) {
      fail(QUILLET_ERROR_ARGUMENT,
           std::string(what) + ": stride " + std::to_string(frame->strides[p]) + " of plane " +
               std::to_string(p) + " is below its row size " + std::to_string(format_.rowBytes[p]));
      return false;
    }
  }
  return true;
}

QuilletStatus Engine::push(const QuilletFrame* frame, bool interlaced) {
  error_.clear();
  if (flushed_) return fail(QUILLET_ERROR_STATE, "push after the flush");
  if (!checkFrame(frame, "push")) return QUILLET_ERROR_ARGUMENT;
  if (ready()) return QUILLET_AGAIN;
  // The frame memory is taken with the first frame, so an engine made for a stream that never
  // delivers one costs nothing.
  if (!allocateBuffers()) {
    releaseBuffers();
    return fail(QUILLET_ERROR_MEMORY, "out of memory for frames of " +
                                          std::to_string(format_.width) + "x" +
                                          std::to_string(format_.height) + " pixels");
  }
  StoredFrame& slot = frames_[pushed_ % 3];
  // The bits below a high-bit code are stored as zero: every later read, the pass-through copy
  // included, sees the code alone.
  const auto lowBits = static_cast<uint16_t>((1u << format_.highBits) - 1);
  for (int p = 0; p < format_.planes; ++p) {
    const auto* from = static_cast<const uint8_t*>(frame->planes[p]);
    for (int32_t r = 0; r < format_.rows[p]; ++r) {
      uint8_t* to = slot.plane[p] + static_cast<size_t>(r) * slot.stride[p];
      std::memcpy(to, from + static_cast<ptrdiff_t>(r) * frame->strides[p], format_.rowBytes[p]);
      if (lowBits == 0) continue;
      auto* samples = reinterpret_cast<uint16_t*>(to);
      for (size_t i = 0; i < format_.rowBytes[p] / 2; ++i) samples[i] &= ~lowBits;
    }
  }
  interlaced_[pushed_ % 3] = interlaced;
  packedLumaReady_[pushed_ % 3] = false;
  ++pushed_;
  return QUILLET_OK;
}

QuilletStatus Engine::flush() {
  error_.clear();
  flushed_ = true;
  return QUILLET_OK;
}

QuilletStatus Engine::setSettings(const QuilletSettings& settings) {
  error_.clear();
  settings_ = clampSettings(settings);
  return QUILLET_OK;
}

int32_t Engine::combScore(int64_t k, int64_t previous, int64_t next,
                          const CombThresholds& thresholds) {
  CombJob job{};
  CombFrame& f = job.frame;
  f.kernels = comb_;
  if (format_.layout == QUILLET_LAYOUT_YCC16) {
    f.kind = LumaKind::kYcc16;
    f.shift = 4;  // Y 0..4096
  } else {
    f.kind = format_.bytesPerSample == 1 ? LumaKind::k8 : LumaKind::k16;
    // A high-bit code is a 16-bit one with its low bits zero.
    f.shift = format_.highBits > 0 ? 8 : format_.bitDepth - 8;
  }
  f.width = format_.width;
  f.height = format_.height;
  f.current = combLuma(k);
  f.previous = combLuma(previous);
  f.next = combLuma(next);
  f.previousIsLater = previous > k;
  f.nextIsEarlier = next < k;
  job.thresholds = thresholds;
  job.strips = (format_.height + kCombBlock - 1) / kCombBlock;
  combStrips_.assign(static_cast<size_t>(job.strips), CombStripResult{});
  job.results = combStrips_.data();
  if (sharesFrames()) {
    // The first strips on this thread alone: on an interlaced frame one of them mostly settles
    // it, and a job that short would cost more in handing it out than it saves (and teach the
    // pool that its helpers come too late). The workers share what is left.
    const int32_t strips = job.strips;
    job.strips = std::min(strips, kCombStripsAlone);
    runCombWorker(&job);
    if (!job.combed.load(std::memory_order_relaxed) && job.strips < strips) {
      job.claimed.store(job.strips);  // every strip so far is scored
      job.strips = strips;
      CombJobStage stage{this, &job};
      RowJob unused{};
      pool_->run(runCombStage, &unused, &stage);
    }
  } else {
    runCombWorker(&job);
  }
  // A block row that reached the count settles the frame, whichever worker scored it; the
  // others are then skipped. Otherwise every block row was scored, and the summed field
  // pairings of the whole frame decide: the same either way.
  int32_t score = 0;
  int64_t fit[2] = {0, 0};
  for (const CombStripResult& r : combStrips_) {
    score = std::max(score, r.score);
    fit[0] += r.fit[0];
    fit[1] += r.fit[1];
  }
  if (score < thresholds.count && combFramePairs(f, thresholds, fit)) score = thresholds.count;
  return score;
}

LumaPlane Engine::combLuma(int64_t n) {
  const StoredFrame& frame = frames_[n % 3];
  if (format_.packing != Format::Packing::kPacked)
    return LumaPlane{frame.plane[0], frame.stride[0]};
  std::vector<uint8_t>& luma = packedLuma_[n % 3];
  const auto width = static_cast<size_t>(format_.width);
  if (!packedLumaReady_[n % 3]) {
    luma.resize(width * static_cast<size_t>(format_.height));
    const size_t first = format_.packedOrder == kPackedUyvy ? 1 : 0;
    for (int32_t y = 0; y < format_.height; ++y) {
      const uint8_t* row = frame.plane[0] + static_cast<size_t>(y) * frame.stride[0];
      uint8_t* to = luma.data() + static_cast<size_t>(y) * width;
      for (size_t x = 0; x < width; ++x) to[x] = row[2 * x + first];
    }
    packedLumaReady_[n % 3] = true;
  }
  return LumaPlane{luma.data(), width};
}

void Engine::runCombWorker(void* jobPointer) {
  auto& job = *static_cast<CombJob*>(jobPointer);
  for (int32_t s = job.claimed.fetch_add(1); s < job.strips; s = job.claimed.fetch_add(1)) {
    if (job.combed.load(std::memory_order_relaxed)) return;
    const int32_t y0 = s * kCombBlock;
    job.results[s] =
        combStripScore(job.frame, job.thresholds, y0, std::min(format_.height, y0 + kCombBlock));
    if (job.results[s].score >= job.thresholds.count) {
      job.combed.store(true, std::memory_order_relaxed);
    }
  }
}

void Engine::passThrough(int64_t k, const QuilletFrame& out) const {
  const StoredFrame& frame = frames_[k % 3];
  for (int p = 0; p < format_.planes; ++p) {
    auto* to = static_cast<uint8_t*>(out.planes[p]);
    for (int32_t r = 0; r < format_.rows[p]; ++r) {
      std::memcpy(to + static_cast<ptrdiff_t>(r) * out.strides[p],
                  frame.plane[p] + static_cast<size_t>(r) * frame.stride[p], format_.rowBytes[p]);
    }
  }
}

QuilletStatus Engine::pull(QuilletFrame* out, QuilletFrameInfo* info) {
  error_.clear();
  if (!checkFrame(out, "pull")) return QUILLET_ERROR_ARGUMENT;
  if (!ready()) return flushed_ && pulled_ >= pushed_ ? QUILLET_END : QUILLET_AGAIN;

  const int64_t k = pulled_;
  // At the ends of the stream the one neighbour stands in for the other (a one-frame stream
  // has only itself), as the stand-in host's fetch mirrors a number outside the clip.
  const int64_t after = k + 1 < pushed_ ? k + 1 : k;
  const int64_t previous = k > 0 ? k - 1 : after;
  const int64_t next = k + 1 < pushed_ ? k + 1 : previous;
  bool filter = true;
  int32_t score = -1;
  if (settings_.deint == QUILLET_DEINT_INTERLACED) {
    filter = interlaced_[k % 3];
  } else if (settings_.deint == QUILLET_DEINT_COMBED) {
    const CombThresholds thresholds = combThresholds(settings_.comb_sensitivity);
    score = combScore(k, previous, next, thresholds);
    filter = score >= thresholds.count;
  }
  if (info != nullptr) *info = QuilletFrameInfo{k, filter ? 1 : 0, score};
  if (!filter) {
    // Nothing is computed, so no map is kept under this frame's pairs: a filtered frame next to
    // it makes its own, the same values a kept one would hold.
    passThrough(k, *out);
    ++pulled_;
    return QUILLET_OK;
  }
  FrameJob job{};
  job.current = frames_[k % 3].plane;
  job.currentStride = frames_[k % 3].stride;
  job.previous = frames_[previous % 3].plane;
  job.previousStride = frames_[previous % 3].stride;
  job.next = frames_[next % 3].plane;
  job.nextStride = frames_[next % 3].stride;
  job.out = *out;
  job.settings = settings_;
  const QuilletSettings& s = job.settings;
  const int32_t height = format_.height;
  job.bandTop = s.top < height ? s.top : height;
  job.bandEnd = job.bandTop > height - s.bottom ? job.bandTop : height - s.bottom;
  job.mode = (s.use_max + 1) * s.next_frame;
  job.motion = s.motion > 0;
  if (job.motion) {
    kernels_->buildWeights(&job.weights, 8 * s.motion);
    if (kernels_->usesMmx) clearMmxState();
    const auto holds = [&](const CachedMap& m, int64_t key) {
      return m.key == key && m.motion == s.motion && m.motion2 == s.motion2 &&
             m.bandTop == job.bandTop && m.bandEnd == job.bandEnd;
    };
    CachedMap& previousPair = maps_[k & 1];
    job.cachedPrevious = holds(previousPair, k) ? previousPair.map : nullptr;
    if (job.mode != 0) {
      CachedMap& nextPair = maps_[(k + 1) & 1];
      job.nextMap = nextPair.map;
      nextPair = CachedMap{nextPair.map, k + 1, s.motion, s.motion2, job.bandTop, job.bandEnd};
    }
  }
  job.strips = (height + stripRows_ - 1) / stripRows_;

  FrameJobStage stage{this, &job};
  if (sharesFrames()) {
    RowJob unused{};
    pool_->run(runFrameStage, &unused, &stage);
  } else {
    runWorker(0, &job);
  }
  ++pulled_;
  return QUILLET_OK;
}

namespace {

// What one worker does to the rows [y0, y1) of a frame.
class StripRunner {
 public:
  StripRunner(const Format& format, const RowKernels& kernels, const ConvertKernels& convert,
              const SampleScale& scale, const FrameJob& job, StripBuffers& buffers,
              int32_t pixelStride, int32_t mapPitch)
      : f_(format),
        k_(kernels),
        decode_(format.bytesPerSample == 1 ? convert.decode8 : convert.decode16),
        encodeLuma_(format.bytesPerSample == 1 ? convert.encodeLuma8
                    : format.highBits > 0      ? convert.encodeLumaHigh16
                                               : convert.encodeLuma16),
        encodeChroma_(format.bytesPerSample == 1 ? convert.encodeChroma8 : convert.encodeChroma16),
        decodeSemi_(format.bytesPerSample == 1 ? convert.decodeSemi8 : convert.decodeSemi16),
        encodeSemiChroma_(format.bytesPerSample == 1 ? convert.encodeSemiChroma8
                                                     : convert.encodeSemiChroma16),
        decodePacked_(convert.decodePacked),
        encodePacked_(convert.encodePacked),
        scale_(scale),
        job_(job),
        b_(buffers),
        stride_(pixelStride),
        pitch_(mapPitch),
        reach_(lowpassReach(job.settings.tap)) {}

  void run(int32_t y0, int32_t y1) {
    y0_ = y0;
    y1_ = y1;
    first_ = std::max(0, y0 - reach_);
    const int32_t last = std::min(f_.height, y1 + reach_);
    for (int32_t y = first_; y < last; ++y)
      decode(job_.current, job_.currentStride, y, sourceRow(y));

    const int32_t bt = job_.bandTop;
    const int32_t be = job_.bandEnd;
    const int32_t from = std::max(y0, bt);
    const int32_t to = std::min(y1, be);
    if (from < to) {
      lowpass(from, to);
      if (job_.motion) motion(from, to);
    }
    encode();
  }

 private:
  Pixel* sourceRow(int32_t y) const { return rowAt(b_.source, y - first_, stride_); }
  Pixel* filteredRow(int32_t y) const { return rowAt(b_.filtered, y - y0_, stride_); }
  const Pixel* outputRow(int32_t y) const {
    return y >= job_.bandTop && y < job_.bandEnd ? filteredRow(y) : sourceRow(y);
  }

  static bool aligned(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15u) == 0; }

  void decode(const uint8_t* const* planes, const size_t* strides, int32_t y, Pixel* dst) const {
    const uint8_t* luma = planes[0] + static_cast<size_t>(y) * strides[0];
    if (f_.layout == QUILLET_LAYOUT_YCC16) {
      std::memcpy(dst, luma, f_.rowBytes[0]);
      return;
    }
    if (f_.packing == Format::Packing::kPacked) {
      decodePacked_(luma, f_.width, f_.packedOrder, scale_, dst);
      return;
    }
    if (f_.packing == Format::Packing::kSemiPlanar) {
      const uint8_t* chroma = planes[1] + static_cast<size_t>(y >> 1) * strides[1];
      decodeSemi_(luma, chroma, f_.width, f_.crFirst, scale_, dst);
      return;
    }
    const uint8_t* cb = nullptr;
    const uint8_t* cr = nullptr;
    if (f_.planes == 3) {
      const auto row = static_cast<size_t>(y >> f_.shiftY);
      cb = planes[1] + row * strides[1];
      cr = planes[2] + row * strides[2];
    }
    decode_(luma, cb, cr, f_.width, f_.shiftX, scale_, dst);
  }

  void lowpass(int32_t from, int32_t to) {
    const int32_t bt = job_.bandTop;
    Pixel* dst = rowAt(b_.filtered, bt - y0_, stride_);
    const Pixel* src = rowAt(b_.source, bt - first_, stride_);
    const bool alignedRows = aligned(b_.filtered) && aligned(b_.source) && stride_ % 8 == 0;
    const LowpassKernelTable& table = alignedRows ? *k_.lowpassAligned : *k_.lowpass;
    table[static_cast<size_t>(job_.settings.tap)](
        reinterpret_cast<int16_t*>(dst), reinterpret_cast<const int16_t*>(src), job_.bandEnd - bt,
        f_.width, stride_, from - bt, to - from);
    if (k_.usesMmx) clearMmxState();
  }

  // Weights of band rows [r0, r1) for the pair (current, neighbour) into `map` (row r0 first),
  // the neighbour's rows decoded into the strip's neighbour buffer.
  void pairMap(const uint8_t* const* planes, const size_t* strides, int32_t r0, int32_t r1,
               int16_t* map) {
    const int32_t bt = job_.bandTop;
    const int32_t n = job_.bandEnd - bt;
    const int32_t lo = std::max(r0 - 1, 0);
    const int32_t hi = std::min(r1 + 1, n);
    // Local row i holds band row r0 - 1 + i; one spare row before it takes diff[-1] of the first.
    int16_t* diff0 = b_.diff + pitch_;
    const auto diffRow = [&](int32_t r) {
      return diff0 + static_cast<ptrdiff_t>(r - r0 + 1) * pitch_;
    };
    const auto neighbourRow = [&](int32_t r) {
      return b_.neighbour + static_cast<ptrdiff_t>(r - r0 + 1) * stride_;
    };
    for (int32_t r = lo; r < hi; ++r) {
      Pixel* other = neighbourRow(r);
      decode(planes, strides, bt + r, other);
      const Pixel* current = sourceRow(bt + r);
      int16_t* d = diffRow(r);
      const bool alignedRows = aligned(current) && aligned(other) && aligned(d);
      (alignedRows ? k_.diffAligned : k_.diff)(current, other, d, f_.width);
    }
    const size_t rowBytes = static_cast<size_t>(f_.width) * sizeof(int16_t);
    // The map's guard rows repeat the band's first and last difference rows.
    if (r0 == 0) std::memcpy(diffRow(-1), diffRow(0), rowBytes);
    if (r1 == n) std::memcpy(diffRow(n), diffRow(n - 1), rowBytes);
    if (k_.usesMmx) clearMmxState();
    const int32_t hardLimit = 2 * job_.settings.motion2;
    for (int32_t r = r0; r < r1; ++r) {
      int16_t* out = map + static_cast<ptrdiff_t>(r - r0) * pitch_;
      if (hardLimit > 0) {
        k_.motionLimited(diffRow(r), out, f_.width, pitch_, hardLimit, job_.weights);
      } else {
        k_.motion(diffRow(r), out, f_.width, pitch_, job_.weights);
      }
    }
    if (k_.usesMmx) clearMmxState();
  }

  void motion(int32_t from, int32_t to) {
    const int32_t bt = job_.bandTop;
    const int32_t r0 = from - bt;
    const int32_t r1 = to - bt;
    const int16_t* previous = nullptr;
    if (job_.cachedPrevious != nullptr) {
      previous = job_.cachedPrevious + static_cast<ptrdiff_t>(r0) * pitch_;
    } else {
      pairMap(job_.previous, job_.previousStride, r0, r1, b_.map);
      previous = b_.map;
    }
    const int16_t* next = nullptr;
    if (job_.nextMap != nullptr) {
      int16_t* nextRows = job_.nextMap + static_cast<ptrdiff_t>(r0) * pitch_;
      pairMap(job_.next, job_.nextStride, r0, r1, nextRows);
      next = nextRows;
    }
    const BlendRow blend = (*k_.blend)[static_cast<size_t>(job_.mode)];
    for (int32_t y = from; y < to; ++y) {
      const ptrdiff_t at = static_cast<ptrdiff_t>(y - from) * pitch_;
      blend(filteredRow(y), sourceRow(y), previous + at, next == nullptr ? nullptr : next + at,
            f_.width);
    }
    if (k_.usesMmx) clearMmxState();
    if (job_.settings.show_motion != 0) {
      MotionDisplay(stride_, to - from, filteredRow(from), previous, next, job_.mode, f_.width,
                    pitch_);
    }
  }

  void encode() const {
    const QuilletFrame& out = job_.out;
    auto* luma = static_cast<uint8_t*>(out.planes[0]);
    for (int32_t y = y0_; y < y1_; ++y) {
      uint8_t* dst = luma + static_cast<ptrdiff_t>(y) * out.strides[0];
      if (f_.layout == QUILLET_LAYOUT_YCC16) {
        std::memcpy(dst, outputRow(y), f_.rowBytes[0]);
      } else if (f_.packing == Format::Packing::kPacked) {
        encodePacked_(outputRow(y), f_.width, f_.packedOrder, scale_, dst);
      } else {
        encodeLuma_(outputRow(y), f_.width, scale_, dst);
      }
    }
    if (f_.packing == Format::Packing::kSemiPlanar) {
      auto* chroma = static_cast<uint8_t*>(out.planes[1]);
      for (int32_t c = y0_ >> 1; c < (y1_ + 1) >> 1; ++c) {
        const int32_t y = 2 * c;
        const Pixel* rowB = y + 1 < f_.height ? outputRow(y + 1) : nullptr;
        encodeSemiChroma_(outputRow(y), rowB, f_.width, f_.crFirst, scale_,
                          chroma + static_cast<ptrdiff_t>(c) * out.strides[1]);
      }
      return;
    }
    if (f_.planes == 1) return;
    auto* cb = static_cast<uint8_t*>(out.planes[1]);
    auto* cr = static_cast<uint8_t*>(out.planes[2]);
    const int32_t c0 = y0_ >> f_.shiftY;
    const int32_t c1 = (y1_ + (1 << f_.shiftY) - 1) >> f_.shiftY;
    for (int32_t c = c0; c < c1; ++c) {
      const int32_t y = c << f_.shiftY;
      const Pixel* rowB = f_.shiftY == 1 && y + 1 < f_.height ? outputRow(y + 1) : nullptr;
      encodeChroma_(outputRow(y), rowB, f_.width, f_.shiftX, scale_,
                    cb + static_cast<ptrdiff_t>(c) * out.strides[1],
                    cr + static_cast<ptrdiff_t>(c) * out.strides[2]);
    }
  }

  const Format& f_;
  const RowKernels& k_;
  const DecodeRow decode_;
  const EncodeLumaRow encodeLuma_;
  const EncodeChromaRow encodeChroma_;
  const DecodeSemiRow decodeSemi_;
  const EncodeSemiChromaRow encodeSemiChroma_;
  const DecodePackedRow decodePacked_;
  const EncodePackedRow encodePacked_;
  const SampleScale& scale_;
  const FrameJob& job_;
  StripBuffers& b_;
  const int32_t stride_;
  const int32_t pitch_;
  const int32_t reach_;
  int32_t y0_ = 0;
  int32_t y1_ = 0;
  int32_t first_ = 0;  // first frame row in the source buffer
};

}  // namespace

void Engine::releaseBuffers() {
  for (StoredFrame& frame : frames_) frame.memory = AlignedBuffer();
  mapMemory_ = AlignedBuffer();
  strips_.clear();
}

void Engine::runWorker(int worker, void* jobPointer) {
  auto& job = *static_cast<FrameJob*>(jobPointer);
  StripRunner runner(format_, *kernels_, *convert_, scale_, job,
                     strips_[static_cast<size_t>(worker)], pixelStride_, mapPitch_);
  for (int32_t s = job.claimed.fetch_add(1); s < job.strips; s = job.claimed.fetch_add(1)) {
    const int32_t y0 = s * stripRows_;
    runner.run(y0, std::min(format_.height, y0 + stripRows_));
  }
}

}  // namespace quillet::engine

using quillet::engine::Engine;

struct QuilletEngine {
  std::unique_ptr<Engine> engine;
};

extern "C" {

void quillet_default_settings(QuilletSettings* settings) {
  if (settings == nullptr) return;
  *settings = QuilletSettings{
      0, 0, 0, 24, 64, 0, 0, 0, QUILLET_DEINT_ALL, quillet::kDefaultCombSensitivity};
}

void quillet_default_config(QuilletConfig* config) {
  if (config == nullptr) return;
  *config = QuilletConfig{};
  config->layout = QUILLET_LAYOUT_420;
  config->bit_depth = 8;
  quillet_default_settings(&config->settings);
  config->threads = 0;
  config->cpu = QUILLET_CPU_AUTO;
}

QuilletStatus quillet_create(const QuilletConfig* config, QuilletEngine** engine) {
  using quillet::engine::createError;
  if (engine == nullptr) {
    createError = "null engine pointer";
    return QUILLET_ERROR_ARGUMENT;
  }
  *engine = nullptr;
  if (config == nullptr) {
    createError = "null config";
    return QUILLET_ERROR_ARGUMENT;
  }
  if (const int cpu = quillet::engine::rawValue(config->cpu);
      cpu < QUILLET_CPU_AUTO || cpu > QUILLET_CPU_AVX2) {
    createError = "unknown kernel set " + std::to_string(cpu);
    return QUILLET_ERROR_ARGUMENT;
  }
  std::unique_ptr<Engine> made;
  std::string error;
  QuilletStatus status = QUILLET_ERROR_MEMORY;
  try {
    status = Engine::create(*config, made, error);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  if (status != QUILLET_OK) {
    createError = error;
    return status;
  }
  auto* handle = new (std::nothrow) QuilletEngine{std::move(made)};
  if (handle == nullptr) {
    createError = "out of memory";
    return QUILLET_ERROR_MEMORY;
  }
  createError.clear();
  *engine = handle;
  return QUILLET_OK;
}

void quillet_destroy(QuilletEngine* engine) { delete engine; }

QuilletStatus quillet_push(QuilletEngine* engine, const QuilletFrame* frame) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->push(frame, true);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_push_marked(QuilletEngine* engine, const QuilletFrame* frame,
                                  int interlaced) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->push(frame, interlaced != 0);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_pull(QuilletEngine* engine, QuilletFrame* out, int64_t* frame_number) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    QuilletFrameInfo info{};
    const QuilletStatus status = engine->engine->pull(out, &info);
    if (status == QUILLET_OK && frame_number != nullptr) *frame_number = info.frame_number;
    return status;
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_pull_info(QuilletEngine* engine, QuilletFrame* out, QuilletFrameInfo* info) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  try {
    return engine->engine->pull(out, info);
  } catch (const std::bad_alloc&) {
    return engine->engine->fail(QUILLET_ERROR_MEMORY, "out of memory");
  }
}

QuilletStatus quillet_flush(QuilletEngine* engine) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  return engine->engine->flush();
}

QuilletStatus quillet_set_settings(QuilletEngine* engine, const QuilletSettings* settings) {
  if (engine == nullptr) return QUILLET_ERROR_ARGUMENT;
  if (settings == nullptr) return engine->engine->fail(QUILLET_ERROR_ARGUMENT, "null settings");
  return engine->engine->setSettings(*settings);
}

QuilletStatus quillet_get_settings(const QuilletEngine* engine, QuilletSettings* settings) {
  if (engine == nullptr || settings == nullptr) return QUILLET_ERROR_ARGUMENT;
  *settings = engine->engine->settings();
  return QUILLET_OK;
}

size_t quillet_plane_row_bytes(const QuilletConfig* config, int plane) {
  quillet::engine::Format f;
  std::string error;
  if (config == nullptr || plane < 0 || plane > 2 ||
      !quillet::engine::describeFormat(*config, f, error) || plane >= f.planes) {
    return 0;
  }
  return f.rowBytes[plane];
}

int32_t quillet_plane_rows(const QuilletConfig* config, int plane) {
  quillet::engine::Format f;
  std::string error;
  if (config == nullptr || plane < 0 || plane > 2 ||
      !quillet::engine::describeFormat(*config, f, error) || plane >= f.planes) {
    return 0;
  }
  return f.rows[plane];
}

size_t quillet_frame_layout(const QuilletConfig* config, void* data, QuilletFrame* frame) {
  QuilletFrame unused;
  if (frame == nullptr) frame = &unused;
  *frame = QuilletFrame{};
  quillet::engine::Format f;
  std::string error;
  if (config == nullptr || !quillet::engine::describeFormat(*config, f, error)) return 0;
  size_t bytes = 0;
  for (int p = 0; p < f.planes; ++p) {
    frame->planes[p] = data == nullptr ? nullptr : static_cast<uint8_t*>(data) + bytes;
    frame->strides[p] = static_cast<ptrdiff_t>(f.rowBytes[p]);
    bytes += f.rowBytes[p] * static_cast<size_t>(f.rows[p]);
  }
  return bytes;
}

int quillet_cpu_supported(QuilletCpu cpu) {
  const quillet::CpuFeatures have = quillet::engine::processorFeatures();
  switch (quillet::engine::rawValue(cpu)) {
    case QUILLET_CPU_AUTO:
    case QUILLET_CPU_SCALAR:
      return 1;
#if QUILLET_ENABLE_SIMD
    case QUILLET_CPU_MMX:
      return (have & quillet::kCpuMmx) != 0;
    case QUILLET_CPU_SSE:
      return (have & quillet::kCpuSse) != 0;
    case QUILLET_CPU_SSE2:
      return (have & quillet::kCpuSse2) != 0;
#endif
#if QUILLET_HAVE_AVX2
    case QUILLET_CPU_AVX2:
      return (have & quillet::kCpuAvx2) != 0;
#endif
    default:
      (void)have;
      return 0;
  }
}

QuilletCpu quillet_engine_cpu(const QuilletEngine* engine) {
  return engine == nullptr ? QUILLET_CPU_AUTO : engine->engine->cpu();
}

int32_t quillet_engine_threads(const QuilletEngine* engine) {
  return engine == nullptr ? 0 : engine->engine->threads();
}

size_t quillet_engine_memory(const QuilletEngine* engine) {
  return engine == nullptr ? 0 : engine->engine->memoryBytes();
}

const char* quillet_error_message(const QuilletEngine* engine) {
  if (engine == nullptr) return quillet::engine::createError.c_str();
  return engine->engine->error().c_str();
}

const char* quillet_status_string(QuilletStatus status) {
  switch (status) {
    case QUILLET_OK:
      return "ok";
    case QUILLET_AGAIN:
      return "again";
    case QUILLET_END:
      return "end of stream";
    case QUILLET_ERROR_ARGUMENT:
      return "invalid argument";
    case QUILLET_ERROR_UNSUPPORTED:
      return "unsupported";
    case QUILLET_ERROR_MEMORY:
      return "out of memory";
    case QUILLET_ERROR_STATE:
      return "call out of order";
  }
  return "unknown status";
}

}  // extern "C"
