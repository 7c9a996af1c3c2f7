#include "host/filter_entry.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "host/kernel_select.h"
#include "motion/motion_state.h"
#include "pipeline/frame_driver.h"
#include "platform/virtual_memory.h"

namespace quillet {
namespace {

class FilterEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    releaseMotionState(motionState);
    clearMotionState(motionState);
  }
  void TearDown() override {
    releaseMotionState(motionState);
    setCpuFeatureMask(kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2);
  }
  // The plug-in's own motion state, which the callbacks work on.
  MotionState& motionState = pluginInstance().motion;
};

TEST_F(FilterEntryTest, RecordReadsBackAsRegistered) {
  const FilterTable* t = GetFilterTable();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t, GetFilterTable()) << "the host keeps the first address";

  EXPECT_EQ(t->flags, 0x08040000u);
  EXPECT_EQ(t->trackCount, 5);
  EXPECT_EQ(t->checkCount, 3);
  EXPECT_EQ(t->process, &FilterProc);
  EXPECT_EQ(t->init, &FilterInit);
  EXPECT_EQ(t->exit, &FilterExit);
  EXPECT_EQ(t->update, &FilterUpdate);
  EXPECT_EQ(t->trackValues, nullptr);
  EXPECT_EQ(t->checkValues, nullptr);
  EXPECT_EQ(t->services, nullptr);
  EXPECT_STREQ(t->information, "quillet by Tarvo, ver1.4.1");
  EXPECT_STREQ(t->trackNames[0], "tap");
  EXPECT_STREQ(t->checkNames[2], "MAX");

  struct TrackRow {
    int32_t minimum, maximum, defaultValue;
  };
  const TrackRow tracks[] = {{0, 6, 0}, {0, 256, 0}, {0, 256, 0}, {0, 256, 24}, {0, 256, 64}};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t->trackMinimums[i], tracks[i].minimum);
    EXPECT_EQ(t->trackMaximums[i], tracks[i].maximum);
    EXPECT_EQ(t->trackDefaults[i], tracks[i].defaultValue);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(t->checkDefaults[i], 0) << i;

  const intptr_t zeroWords[] = {t->reserved4,  t->reserved8,  t->reserved64, t->reserved76,
                                t->reserved80, t->reserved88, t->reserved92};
  for (intptr_t w : zeroWords) EXPECT_EQ(w, 0);
  for (intptr_t w : t->reserved100) EXPECT_EQ(w, 0);
}

// The labels as the host's code page stores them, converted here independently of the source.
std::string toCp932(const char* utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no CP932 converter>";
  std::string in(utf8);
  std::string out(in.size() * 2 + 8, '\0');
  char* inPtr = in.data();
  char* outPtr = out.data();
  size_t inLeft = in.size();
  size_t outLeft = out.size();
  const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return "<conversion failed>";
  out.resize(out.size() - outLeft);
  return out;
}

TEST_F(FilterEntryTest, LabelsAreStoredInCodePage932) {
  const FilterTable* t = GetFilterTable();
  struct Row {
    const char* what;
    const char* stored;
    const char* unicode;
  };
  const Row rows[] = {
      {"name", t->name, "Quillet＋＋"},
      {"track 0", t->trackNames[0], "tap"},
      {"track 1", t->trackNames[1], "上"},
      {"track 2", t->trackNames[2], "下"},
      {"track 3", t->trackNames[3], "動き"},
      {"track 4", t->trackNames[4], "動き2"},
      {"check 0", t->checkNames[0], "動きの表示"},
      {"check 1", t->checkNames[1], "次フレームも参照する"},
      {"check 2", t->checkNames[2], "MAX"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(std::string(r.stored), toCp932(r.unicode)) << r.what;
  }
}

TEST_F(FilterEntryTest, UpdateInvalidatesOnlyForMapInputs) {
  ASSERT_EQ(ensureMotionBuffers(motionState, 16, 24), 1);
  void* const base = motionState.base;
  struct Row {
    int code;
    bool invalidates;
  };
  const Row rows[] = {{0, true},       {0x10001, true},  {0x10002, true},  {0x10003, true},
                      {0x10004, true}, {0x10000, false}, {0x10005, false}, {0x20000, false},
                      {1, false},      {-1, false},      {0x0FFFF, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    motionState.slot[0].key = 12;
    motionState.slot[1].key = 13;
    EXPECT_EQ(FilterUpdate(nullptr, r.code), 1);
    EXPECT_EQ(motionState.slot[0].key, r.invalidates ? -1 : 12);
    EXPECT_EQ(motionState.slot[1].key, r.invalidates ? -1 : 13);
    EXPECT_EQ(motionState.base, base) << "the allocation stays";
  }
}

TEST_F(FilterEntryTest, ExitFreesOnceAndClearsState) {
  const int before = platform::liveAllocationCount();
  ASSERT_EQ(ensureMotionBuffers(motionState, 20, 30), 1);
  ASSERT_EQ(platform::liveAllocationCount(), before + 1);

  EXPECT_EQ(FilterExit(nullptr), 1);
  EXPECT_EQ(platform::liveAllocationCount(), before);
  EXPECT_EQ(motionState.base, nullptr);
  EXPECT_EQ(motionState.rows, 0);

  EXPECT_EQ(FilterExit(nullptr), 1);
  EXPECT_EQ(platform::liveAllocationCount(), before) << "a second exit frees nothing";
}

TEST_F(FilterEntryTest, InitClearsStateWithoutLeakingAndInstallsKernels) {
  const int before = platform::liveAllocationCount();
  ASSERT_EQ(ensureMotionBuffers(motionState, 20, 30), 1);
  motionState.slot[0].key = 4;
  motionState.slot[1].key = 5;
  setCpuFeatureMask(0);
  pluginInstance().kernels.blend = nullptr;

  EXPECT_EQ(FilterInit(nullptr), 1);
  EXPECT_EQ(platform::liveAllocationCount(), before);
  for (const NeighbourSlot& s : motionState.slot) {
    EXPECT_EQ(s.map, nullptr);
    EXPECT_EQ(s.key, 0);
    EXPECT_EQ(s.width | s.height | s.bandTop | s.bandEnd, 0);
  }
  EXPECT_EQ(motionState.rows, 0);
  EXPECT_EQ(motionState.width, 0);
  EXPECT_EQ(motionState.diff, nullptr);
  EXPECT_EQ(motionState.base, nullptr);
  EXPECT_EQ(pluginInstance().kernels.blend, kKernelSetScalar.blend);
}

}  // namespace
}  // namespace quillet
