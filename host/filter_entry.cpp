#include "host/filter_entry.h"

#include "host/kernel_select.h"
#include "motion/motion_state.h"
#include "pipeline/frame_driver.h"

namespace quillet {

namespace {

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

}  // namespace

HOST_ENTRY int HOST_CDECL FilterInit(FilterTable* filter) {
  (void)filter;
  // A second init without exit must not leak an allocation it forgets.
  MotionState& motion = pluginInstance().motion;
  releaseMotionState(motion);
  clearMotionState(motion);
  selectKernels();
  return 1;
}

HOST_ENTRY int HOST_CDECL FilterExit(FilterTable* filter) {
  (void)filter;
  releaseMotionState(pluginInstance().motion);
  return 1;
}

HOST_ENTRY int HOST_CDECL FilterUpdate(FilterTable* filter, int code) {
  (void)filter;
  if (invalidatesMaps(code)) invalidateNeighbourCache(pluginInstance().motion);
  return 1;
}

}  // namespace quillet

HOST_EXPORT HOST_ENTRY quillet::FilterTable* HOST_CDECL GetFilterTable() {
  return &quillet::filterTable;
}
