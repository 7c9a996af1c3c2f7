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
#include "dispatch/cpu_levels.h"
#include "dispatch/mmx_state.h"
#include "motion/motion_state.h"

namespace quillet::engine {

namespace {

constexpr size_t kLine = 64;
constexpr int32_t kMostThreads = 256;

size_t roundUp(size_t v, size_t to) { return (v + to - 1) / to * to; }

struct FrameCall {
  Engine* engine;
  FrameJob* job;
};

}  // namespace

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

QuilletStatus Engine::create(const QuilletConfig& config, std::unique_ptr<Engine>& engine,
                             std::string& error) {
  Format format;
  if (!describeFormat(config, format, error)) return QUILLET_ERROR_ARGUMENT;
  if (config.threads < 0 || config.threads > kMostThreads) {
    error = "thread count " + std::to_string(config.threads) + " is outside 0..256";
    return QUILLET_ERROR_ARGUMENT;
  }
  if (config.cpu != QUILLET_CPU_AUTO && cpuLevelOf(config.cpu) == nullptr) {
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
      config.cpu == QUILLET_CPU_AUTO ? processorFeatures() : cpuLevelOf(config.cpu)->features();
  e->kernels_ = &rowKernelsFor(features);
  e->cpu_ = cpuLevelWithBit(e->kernels_->level)->cpu;
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
    if (format.layout != QUILLET_LAYOUT_YCC16) {
      e->scale_ = makeSampleScale(format.bitDepth);
      e->codeCopies_ = codeCopiesFor(e->scale_);
    }
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
  // Frames: planes back to back, rows packed (a Y4M payload's layout, so that a caller can read
  // one straight into a lent slot).
  for (StoredFrame& frame : frames_) {
    size_t total = 0;
    for (int p = 0; p < format_.planes; ++p) {
      frame.stride[p] = format_.rowBytes[p];
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
  return true;
}

bool Engine::ensureStrips(bool planar) {
  const auto workers = static_cast<size_t>(threads());
  if (planar) {
    if (!planarStrips_.empty()) return true;
    planarStrips_.resize(workers);
    for (PlanarStripBuffers& s : planarStrips_) {
      if (!allocatePlanarStrip(format_, stripRows_, mapPitch_, s)) return false;
    }
    return true;
  }
  if (!strips_.empty()) return true;
  // Strip buffers, one set per worker.
  const int32_t strip = stripRows_;
  const size_t pixelRow = static_cast<size_t>(pixelStride_) * sizeof(Pixel);
  const size_t mapRow = static_cast<size_t>(mapPitch_) * sizeof(int16_t);
  const auto sourceRows = static_cast<size_t>(strip + 2 * kHalo);
  const auto filteredRows = static_cast<size_t>(strip);
  const auto neighbourRows = static_cast<size_t>(strip + 2);
  const auto diffRows = static_cast<size_t>(strip + 4);  // a spare row before and after
  const auto mapRows = static_cast<size_t>(strip);
  strips_.resize(workers);
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
  for (const PlanarStripBuffers& s : planarStrips_) total += s.memory.size();
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

bool Engine::takeFrameMemory() {
  // The frame memory is taken with the first frame, so an engine made for a stream that never
  // delivers one costs nothing.
  if (allocateBuffers()) return true;
  releaseBuffers();
  fail(QUILLET_ERROR_MEMORY, "out of memory for frames of " + std::to_string(format_.width) + "x" +
                                 std::to_string(format_.height) + " pixels");
  return false;
}

QuilletStatus Engine::push(const QuilletFrame* frame, bool interlaced) {
  error_.clear();
  if (flushed_) return fail(QUILLET_ERROR_STATE, "push after the flush");
  if (lent_) return fail(QUILLET_ERROR_STATE, "push while a frame buffer is lent: push it first");
  if (!checkFrame(frame, "push")) return QUILLET_ERROR_ARGUMENT;
  if (ready()) return QUILLET_AGAIN;
  if (!takeFrameMemory()) return QUILLET_ERROR_MEMORY;
  StoredFrame& to = slot(pushed_);
  for (int p = 0; p < format_.planes; ++p) {
    const auto* from = static_cast<const uint8_t*>(frame->planes[p]);
    for (int32_t r = 0; r < format_.rows[p]; ++r) {
      std::memcpy(to.plane[p] + static_cast<size_t>(r) * to.stride[p],
                  from + static_cast<ptrdiff_t>(r) * frame->strides[p], format_.rowBytes[p]);
    }
  }
  storePushed(interlaced);
  return QUILLET_OK;
}

void Engine::storePushed(bool interlaced) {
  // The bits below a high-bit code are stored as zero: every later read, the pass-through copy
  // included, sees the code alone.
  if (format_.highBits > 0) {
    const auto lowBits = static_cast<uint16_t>((1u << format_.highBits) - 1);
    StoredFrame& to = slot(pushed_);
    for (int p = 0; p < format_.planes; ++p) {
      for (int32_t r = 0; r < format_.rows[p]; ++r) {
        auto* samples =
            reinterpret_cast<uint16_t*>(to.plane[p] + static_cast<size_t>(r) * to.stride[p]);
        for (size_t i = 0; i < format_.rowBytes[p] / 2; ++i)
          samples[i] &= static_cast<uint16_t>(~lowBits);
      }
    }
  }
  interlaced_[pushed_ % kSlots] = interlaced;
  packedLumaReady_[pushed_ % kSlots] = false;
  ++pushed_;
}

QuilletStatus Engine::frameBuffer(QuilletFrame* frame) {
  error_.clear();
  if (frame == nullptr) return fail(QUILLET_ERROR_ARGUMENT, "frame buffer: null frame");
  *frame = QuilletFrame{};
  if (flushed_) return fail(QUILLET_ERROR_STATE, "frame buffer after the flush");
  // The slot of frame pushed_ - kSlots is free once no frame left to pull needs it as a
  // neighbour: frame pushed_ - kSlots + 1 has come out.
  if (pulled_ + kSlots - 2 < pushed_) return QUILLET_AGAIN;
  if (!takeFrameMemory()) return QUILLET_ERROR_MEMORY;
  const StoredFrame& s = slot(pushed_);
  for (int p = 0; p < format_.planes; ++p) {
    frame->planes[p] = s.plane[p];
    frame->strides[p] = static_cast<ptrdiff_t>(s.stride[p]);
  }
  lent_ = true;
  return QUILLET_OK;
}

QuilletStatus Engine::pushBuffer(bool interlaced) {
  error_.clear();
  if (flushed_) return fail(QUILLET_ERROR_STATE, "push of a frame buffer after the flush");
  if (!lent_) {
    return fail(QUILLET_ERROR_STATE, "push of a frame buffer that was not lent or already pushed");
  }
  lent_ = false;
  storePushed(interlaced);
  return QUILLET_OK;
}

QuilletStatus Engine::flush() {
  error_.clear();
  // A buffer lent and not pushed holds no frame: the stream ended while it was being filled.
  lent_ = false;
  flushed_ = true;
  return QUILLET_OK;
}

QuilletStatus Engine::setSettings(const QuilletSettings& settings) {
  error_.clear();
  settings_ = clampSettings(settings);
  return QUILLET_OK;
}

void Engine::passThrough(int64_t k, const QuilletFrame& out) const {
  const StoredFrame& frame = slot(k);
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
    filter = interlaced_[k % kSlots];
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
  // Planar strips where the set has planar rows and the layout is one they take (separate
  // planes, chroma halved across at most); the display paints pixels, and every other layout
  // (ycc16's pixels among them) goes through host pixels.
  const bool planarLayout =
      format_.layout == QUILLET_LAYOUT_444 || format_.layout == QUILLET_LAYOUT_422 ||
      format_.layout == QUILLET_LAYOUT_420 || format_.layout == QUILLET_LAYOUT_MONO;
  const bool planar = kernels_->planar != nullptr && planarLayout && settings_.show_motion == 0;
  if (!ensureStrips(planar)) {
    return fail(QUILLET_ERROR_MEMORY, "out of memory for the strip buffers");
  }
  FrameJob job{};
  job.planar = planar;
  job.current = slot(k).plane;
  job.currentStride = slot(k).stride;
  job.previous = slot(previous).plane;
  job.previousStride = slot(previous).stride;
  job.next = slot(next).plane;
  job.nextStride = slot(next).stride;
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

  FrameCall call{this, &job};
  if (sharesFrames()) {
    pool_->run(
        +[](int worker, FrameCall& c) { c.engine->runWorker(worker, *c.job); }, call);
  } else {
    runWorker(0, job);
  }
  ++pulled_;
  return QUILLET_OK;
}

void Engine::releaseBuffers() {
  for (StoredFrame& frame : frames_) frame.memory = AlignedBuffer();
  mapMemory_ = AlignedBuffer();
  strips_.clear();
  planarStrips_.clear();
}

void Engine::runWorker(int worker, FrameJob& job) {
  if (job.planar) {
    PlanarStripBuffers& buffers = planarStrips_[static_cast<size_t>(worker)];
    for (int32_t s = job.claimed.fetch_add(1); s < job.strips; s = job.claimed.fetch_add(1)) {
      const int32_t y0 = s * stripRows_;
      runPlanarStrip(format_, *kernels_, scale_, codeCopies_, job, buffers, mapPitch_, y0,
                     std::min(format_.height, y0 + stripRows_));
    }
    return;
  }
  StripBuffers& buffers = strips_[static_cast<size_t>(worker)];
  for (int32_t s = job.claimed.fetch_add(1); s < job.strips; s = job.claimed.fetch_add(1)) {
    const int32_t y0 = s * stripRows_;
    runPixelStrip(format_, *kernels_, *convert_, scale_, job, buffers, pixelStride_, mapPitch_, y0,
                  std::min(format_.height, y0 + stripRows_));
  }
}

}  // namespace quillet::engine
