#include "host/filter_entry.h"

#include "host/kernel_select.h"
#include "motion/motion_state.h"
#include "pipeline/frame_driver.h"

namespace quillet {

namespace {

constinit FilterInstance plugin;

// Labels in code page 932, the host's encoding, as escaped bytes so that the source stays
// independent of the compiler's execution character set.
constexpr const char kName[] = "Quillet\x81\x7b\x81\x7b";           // Quillet＋＋
constexpr const char kTrackTapName[] = "tap";                       // tap
constexpr const char kTrackTopName[] = "\x8f\xe3";                  // 上
constexpr const char kTrackBottomName[] = "\x89\xba";               // 下
constexpr const char kTrackMotionName[] = "\x93\xae\x82\xab";       // 動き
constexpr const char kTrackMotion2Name[] = "\x93\xae\x82\xab\x32";  // 動き2
constexpr const char kCheckShowName[] = "\x93\xae\x82\xab\x82\xcc\x95\x5c\x8e\xa6";  // 動きの表示
constexpr const char kCheckNextName[] =
    "\x8e\x9f\x83\x74\x83\x8c\x81\x5b\x83\x80\x82\xe0\x8e\x51\x8f\xc6\x82\xb7\x82\xe9";  // 次フレームも参照する
constexpr const char kCheckMaxName[] = "MAX";
constexpr const char kInformation[] = "quillet by Tarvo, ver1.4.1";

const char* const kTrackNames[kTrackCount] = {kTrackTapName, kTrackTopName, kTrackBottomName,
                                              kTrackMotionName, kTrackMotion2Name};
const int32_t kTrackDefaults[kTrackCount] = {0, 0, 0, 24, 64};
const int32_t kTrackMinimums[kTrackCount] = {0, 0, 0, 0, 0};
const int32_t kTrackMaximums[kTrackCount] = {6, 256, 256, 256, 256};
const char* const kCheckNames[kCheckCount] = {kCheckShowName, kCheckNextName, kCheckMaxName};
const int32_t kCheckDefaults[kCheckCount] = {0, 0, 0};

// Host flag word: exactly the bits 0x08000000 and 0x00040000.
constexpr uint32_t kFilterFlags = 0x08040000u;

FilterTable filterTable{
    .flags = kFilterFlags,
    .reserved4 = 0,
    .reserved8 = 0,
    .name = kName,
    .trackCount = kTrackCount,
    .trackNames = kTrackNames,
    .trackDefaults = kTrackDefaults,
    .trackMinimums = kTrackMinimums,
    .trackMaximums = kTrackMaximums,
    .checkCount = kCheckCount,
    .checkNames = kCheckNames,
    .checkDefaults = kCheckDefaults,
    .process = FilterProc,
    .init = FilterInit,
    .exit = FilterExit,
    .update = FilterUpdate,
    .reserved64 = 0,
    .trackValues = nullptr,
    .checkValues = nullptr,
    .reserved76 = 0,
    .reserved80 = 0,
    .information = kInformation,
    .reserved88 = 0,
    .reserved92 = 0,
    .services = nullptr,
    .reserved100 = {},
};

// Codes announcing a change of the band margins, "動き" or "動き2", or of everything (0).
bool invalidatesMaps(int code) { return code == 0 || (code >= 0x10001 && code <= 0x10004); }

// What the driver's service calls need of the record: the record itself, its services and the
// frame's edit handle, all as they were when the call began.
struct BoundHost {
  FilterTable* filter;
  HostServices* services;
  void* editHandle;
};

int reserveFrameCache(void* host, int32_t maxWidth, int32_t maxHeight, int32_t frames,
                      int32_t flags) {
  const auto& h = *static_cast<const BoundHost*>(host);
  return h.services->reserveFrameCache(h.filter, maxWidth, maxHeight, frames, flags);
}

Pixel* fetchFrame(void* host, int32_t frameNumber, int32_t* width, int32_t* height) {
  const auto& h = *static_cast<const BoundHost*>(host);
  return h.services->fetchFrame(h.filter, h.editHandle, frameNumber, width, height);
}

}  // namespace

FilterInstance& pluginInstance() { return plugin; }

HOST_ENTRY int HOST_CDECL FilterProc(FilterTable* filter, FrameProcInfo* frame) {
  if (filter == nullptr || frame == nullptr || filter->services == nullptr ||
      filter->trackValues == nullptr || filter->checkValues == nullptr) {
    return 0;
  }
  BoundHost host{.filter = filter, .services = filter->services, .editHandle = frame->editHandle};
  // The host writes the current frame's size straight into the record.
  FrameCall call{
      .host = &host,
      .reserveFrameCache = reserveFrameCache,
      .fetchFrame = fetchFrame,
      .runOnThreads = filter->services->runOnThreads,
      .frameNumber = frame->frameNumber,
      .maxWidth = frame->maxWidth,
      .maxHeight = frame->maxHeight,
      .width = &frame->width,
      .height = &frame->height,
      .editFrame = frame->editFrame,
      .tempFrame = frame->tempFrame,
      .trackValues = filter->trackValues,
      .checkValues = filter->checkValues,
  };
  if (processFrame(plugin, call) == 0) return 0;
  frame->editFrame = call.editFrame;
  frame->tempFrame = call.tempFrame;
  return 1;
}

HOST_ENTRY int HOST_CDECL FilterInit(FilterTable* filter) {
  (void)filter;
  // A second init without exit must not leak an allocation it forgets.
  releaseMotionState(plugin.motion);
  clearMotionState(plugin.motion);
  selectKernels();
  return 1;
}

HOST_ENTRY int HOST_CDECL FilterExit(FilterTable* filter) {
  (void)filter;
  releaseMotionState(plugin.motion);
  return 1;
}

HOST_ENTRY int HOST_CDECL FilterUpdate(FilterTable* filter, int code) {
  (void)filter;
  if (invalidatesMaps(code)) invalidateNeighbourCache(plugin.motion);
  return 1;
}

}  // namespace quillet

HOST_EXPORT HOST_ENTRY quillet::FilterTable* HOST_CDECL GetFilterTable() {
  return &quillet::filterTable;
}
