#include "standin/host.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "dispatch/cpu_levels.h"
#include "dispatch/kernel_sets.h"
#include "host/filter_entry.h"
#include "host/kernel_select.h"
#include "platform/virtual_memory.h"

namespace quillet::standin {

namespace {
Host* currentHost = nullptr;

// The editor's change notifications for slider i are 0x10000 + i.
constexpr int kTrackChangedCode = 0x10000;
// The code the editor sends when the whole clip changes.
constexpr int kClipChangedCode = 0;
// Clip frames the streaming window holds: previous, current, next.
constexpr size_t kWindowFrames = 3;
}  // namespace

// The host services as the filter calls them. FetchFrame finds the host through the edit
// handle; the other two have no context argument and use the current host.
struct HostServiceEntries {
  static int HOST_CDECL reserveFrameCache(FilterTable*, int, int, int, int) {
    assert(currentHost != nullptr);
    return currentHost->config_.refuseCache ? 0 : 1;
  }

  static Pixel* HOST_CDECL fetchFrame(FilterTable*, void* editHandle, int frameNumber, int* width,
                                      int* height) {
    return static_cast<Host*>(editHandle)->fetch(frameNumber, width, height);
  }

  static int HOST_CDECL runOnThreads(RowStage stage, RowJob* job, void* extra) {
    assert(currentHost != nullptr && currentHost->pool_ != nullptr);
    currentHost->pool_->run(stage, job, extra);
    return 1;
  }
};

Host::Host(const HostConfig& config) : config_(config) {
  if (currentHost != nullptr) throw std::logic_error("only one stand-in host may exist at a time");
  if (config_.maxWidth == 0) config_.maxWidth = (config_.width + 7) & ~7;
  if (config_.maxHeight == 0) config_.maxHeight = config_.height;
  if (config_.width < 0 || config_.height < 0 || config_.maxWidth < config_.width ||
      config_.maxHeight < config_.height) {
    throw std::logic_error("the frame does not fit the host's maximum frame size");
  }
  if (config_.threads > 0) pool_ = std::make_unique<runtime::WorkerPool>(config_.threads);

  const FilterTable* filter = config_.filter != nullptr ? config_.filter : GetFilterTable();
  table_ = *filter;
  writeSettings(config_.settings);
  table_.trackValues = trackValues_;
  table_.checkValues = checkValues_;
  services_.reserveFrameCache = &HostServiceEntries::reserveFrameCache;
  services_.fetchFrame = &HostServiceEntries::fetchFrame;
  services_.runOnThreads = pool_ ? &HostServiceEntries::runOnThreads : nullptr;
  table_.services = &services_;

  currentHost = this;
  setCpuFeatureMask(config_.cpuMask);
  if (table_.init != nullptr) table_.init(&table_);
}

Host::~Host() {
  if (table_.exit != nullptr) table_.exit(&table_);
  setCpuFeatureMask(kAllCpuFeatures);
  currentHost = nullptr;
}

void Host::writeSettings(const Settings& settings) {
  trackValues_[kTrackTap] = settings.tap;
  trackValues_[kTrackTop] = settings.top;
  trackValues_[kTrackBottom] = settings.bottom;
  trackValues_[kTrackMotion] = settings.motion;
  trackValues_[kTrackMotion2] = settings.motion2;
  checkValues_[kCheckShowMotion] = settings.showMotion ? 1 : 0;
  checkValues_[kCheckNextFrame] = settings.nextFrame ? 1 : 0;
  checkValues_[kCheckMax] = settings.useMax ? 1 : 0;
}

void Host::changeSettings(const Settings& settings) {
  const int32_t before[kTrackCount] = {trackValues_[0], trackValues_[1], trackValues_[2],
                                       trackValues_[3], trackValues_[4]};
  config_.settings = settings;
  writeSettings(settings);
  if (table_.update == nullptr) return;
  for (int i = 0; i < kTrackCount; ++i) {
    if (trackValues_[i] != before[i]) table_.update(&table_, kTrackChangedCode + i);
  }
}

FrameBuffer Host::newFrame() const {
  return FrameBuffer(config_.maxWidth, config_.maxHeight, config_.placement);
}

void Host::ensureEditFrames() {
  if (editFrame_ != nullptr) return;
  frameA_ = newFrame();
  frameB_ = newFrame();
  editFrame_ = frameA_.pixels();
  tempFrame_ = frameB_.pixels();
}

Pixel* Host::fetch(int32_t number, int32_t* width, int32_t* height) {
  if (config_.logFetches) fetchLog_.push_back(number);
  if (number == config_.failFetchOf || clipLength_ == 0) return nullptr;
  // A number outside the clip yields its mirror about the clip's end (frame -1 gives frame 1,
  // frame N gives N - 2), so the first and last frames have a real neighbour to measure motion
  // against; a mirror that falls outside as well (a one-frame clip) is held inside.
  const int64_t last = clipLength_ - 1;
  int64_t n = number;
  if (n < 0) {
    n = -n;
    if (clipComplete_) n = std::min(n, last);
  } else if (clipComplete_ && n > last) {
    n = std::max<int64_t>(2 * last - n, 0);
  }
  const size_t index = streaming_ ? static_cast<size_t>(n) % kWindowFrames : static_cast<size_t>(n);
  if (index >= clip_.size() || clipNumbers_[index] != n) return nullptr;
  if (width != nullptr) *width = config_.width;
  if (height != nullptr) *height = config_.height;
  return clip_[index].pixels();
}

bool Host::processFrame(int32_t number) {
  FrameProcInfo info{};
  info.editFrame = editFrame_;
  info.tempFrame = tempFrame_;
  info.width = config_.width;
  info.height = config_.height;
  info.maxWidth = config_.maxWidth;
  info.maxHeight = config_.maxHeight;
  info.frameNumber = number;
  info.editHandle = this;
  if (table_.process(&table_, &info) == 0) return false;
  assert((info.editFrame == frameA_.pixels() && info.tempFrame == frameB_.pixels()) ||
         (info.editFrame == frameB_.pixels() && info.tempFrame == frameA_.pixels()));
  editFrame_ = info.editFrame;
  tempFrame_ = info.tempFrame;
  return true;
}

bool Host::noteFailure(RunResult& result, int32_t number) {
  result.failedFrames.push_back(number);
  if (result.status == RunResult::Status::kDone) {
    result.status = RunResult::Status::kFilterFailed;
    result.frame = number;
  }
  return config_.continueAfterFailure;
}

RunResult Host::run(FrameSource& source, FrameSink& sink, const ProcessingOrder& order) {
  clip_.clear();
  clipNumbers_.clear();
  clipLength_ = 0;
  clipComplete_ = false;
  clipTooLong_ = false;
  peakClipFrames_ = 0;
  if (table_.update != nullptr) table_.update(&table_, kClipChangedCode);
  platform::failNextAllocations(config_.failAllocations);

  RunResult result;
  try {
    if (order.kind == ProcessingOrder::Kind::kForward && config_.streamForward) {
      result = streamForward(source, sink);
    } else {
      result = loadAndProcess(source, sink, order);
    }
  } catch (...) {
    platform::failNextAllocations(0);
    throw;
  }
  platform::failNextAllocations(0);
  clip_.clear();
  clipNumbers_.clear();
  if (clipTooLong_ && result.status == RunResult::Status::kDone) {
    result.status = RunResult::Status::kTooManyFrames;
    result.frame = config_.maxFrames;
  }
  return result;
}

RunResult Host::streamForward(FrameSource& source, FrameSink& sink) {
  streaming_ = true;
  RunResult result;
  // Reads frame clipLength_ into its window buffer, which held frame clipLength_ - 3.
  const auto readNext = [&]() {
    if (clipComplete_) return;
    if (!source.hasNextFrame()) {
      clipComplete_ = true;
      return;
    }
    ensureEditFrames();
    const size_t slot = static_cast<size_t>(clipLength_) % kWindowFrames;
    if (slot == clip_.size()) {
      clip_.push_back(newFrame());
      clipNumbers_.push_back(kNoFrame);
      peakClipFrames_ = std::max(peakClipFrames_, static_cast<int32_t>(clip_.size()));
    }
    clipNumbers_[slot] = kNoFrame;
    if (!source.readFrame(clip_[slot].pixels(), config_.maxWidth)) {
      clipComplete_ = true;
      return;
    }
    if (clipLength_ == config_.maxFrames) {
      // A frame no number is left for: the clip ends before it.
      clipComplete_ = true;
      clipTooLong_ = true;
      return;
    }
    clipNumbers_[slot] = static_cast<int32_t>(clipLength_++);
    ++result.framesRead;
  };

  readNext();
  for (int32_t k = 0; k < clipLength_; ++k) {
    readNext();
    if (!processFrame(k)) {
      if (noteFailure(result, k)) continue;
      break;
    }
    if (!sink.writeFrame(k, editFrame_, config_.maxWidth)) {
      result.status = RunResult::Status::kSinkFailed;
      result.frame = k;
      break;
    }
    ++result.framesWritten;
  }
  return result;
}

RunResult Host::loadAndProcess(FrameSource& source, FrameSink& sink, const ProcessingOrder& order) {
  streaming_ = false;
  RunResult result;
  while (source.hasNextFrame()) {
    ensureEditFrames();
    FrameBuffer frame = newFrame();
    if (!source.readFrame(frame.pixels(), config_.maxWidth)) break;
    if (clipLength_ == config_.maxFrames) {
      clipTooLong_ = true;
      break;
    }
    clip_.push_back(std::move(frame));
    clipNumbers_.push_back(static_cast<int32_t>(clipLength_++));
    ++result.framesRead;
  }
  clipComplete_ = true;
  const auto frames = static_cast<int32_t>(clipLength_);
  peakClipFrames_ = frames;

  // Results wait here until every frame before them is done; a failed frame is done too.
  enum class State : uint8_t { kPending, kReady, kFailed };
  const size_t width = static_cast<size_t>(config_.width);
  const size_t stride = static_cast<size_t>(config_.maxWidth);
  std::vector<std::vector<Pixel>> results(static_cast<size_t>(frames));
  std::vector<State> state(static_cast<size_t>(frames), State::kPending);
  int32_t nextOut = 0;
  for (const int32_t k : processingSequence(order, frames)) {
    const size_t index = static_cast<size_t>(k);
    if (processFrame(k)) {
      results[index].resize(width * static_cast<size_t>(config_.height));
      for (int32_t r = 0; r < config_.height; ++r) {
        const size_t row = static_cast<size_t>(r);
        std::copy_n(editFrame_ + row * stride, width, results[index].data() + row * width);
      }
      state[index] = State::kReady;
    } else {
      state[index] = State::kFailed;
      if (!noteFailure(result, k)) break;
    }
    for (; nextOut < frames; ++nextOut) {
      const size_t out = static_cast<size_t>(nextOut);
      if (state[out] == State::kPending) break;
      if (state[out] == State::kFailed) continue;
      if (!sink.writeFrame(nextOut, results[out].data(), config_.width)) {
        result.status = RunResult::Status::kSinkFailed;
        result.frame = nextOut;
        return result;
      }
      ++result.framesWritten;
      std::vector<Pixel>().swap(results[out]);
    }
  }
  return result;
}

std::vector<CpuFeatures> availableCpuMasks() {
  const CpuFeatures present = probeCpuFeatures();
  std::vector<CpuFeatures> masks;
  for (const CpuLevel& level : cpuLevels()) {
    // Levels the plug-in has no set of its own for (AVX-512) would repeat the one below.
    if ((present & level.level) == level.level && kernelSetLevel(level.features()) == level.level) {
      masks.push_back(level.features());
    }
  }
  return masks;
}

}  // namespace quillet::standin
