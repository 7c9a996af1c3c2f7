#include "pipeline/frame_driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/filter_entry.h"
#include "host/kernel_select.h"
#include "motion/motion_state.h"
#include "pipeline/row_execution.h"
#include "platform/virtual_memory.h"
#include "tests/support/fake_host.h"
#include "tests/support/guarded_buffer.h"
#include "tests/support/motion_reference.h"

namespace quillet {
namespace {

using test::FakeHost;
using test::HostCall;
using test::HostSettings;
using test::modelFrame;
using test::samePixels;

constexpr int32_t kWidth = 40;
constexpr int32_t kHeight = 30;
constexpr int32_t kFrames = 8;

void reload() {
  FilterExit(nullptr);
  FilterInit(nullptr);
}

// Frame k processed alone by a freshly loaded filter.
std::vector<Pixel> processedAlone(FakeHost& host, int32_t k) {
  reload();
  if (host.process(k) != 1) return {};
  return host.output();
}

// The calls of one process call, spelled out: the services with their arguments, and the stage
// each executor call ran.
std::vector<std::string> describe(const FakeHost& host) {
  std::vector<std::string> out;
  for (const HostCall& c : host.calls) {
    switch (c.kind) {
      case HostCall::kReserve:
        out.push_back("reserve " + std::to_string(c.args[0]) + " " + std::to_string(c.args[1]) +
                      " " + std::to_string(c.args[2]) + " " + std::to_string(c.args[3]) +
                      (c.filter == &host.table ? "" : " (foreign record)"));
        break;
      case HostCall::kFetch: {
        std::string s = "fetch " + std::to_string(c.frameNumber);
        if (c.widthOut == &host.info.width && c.heightOut == &host.info.height) {
          s += " +geometry";
        } else if (c.widthOut != nullptr || c.heightOut != nullptr) {
          s += " (stray geometry pointers)";
        }
        if (c.editHandle != const_cast<FakeHost&>(host).handle()) s += " (foreign handle)";
        if (c.filter != &host.table) s += " (foreign record)";
        out.push_back(s);
        break;
      }
      case HostCall::kRun: {
        const KernelSet& kernels = pluginInstance().kernels;
        if (c.stage == kernels.lowpassAligned || c.stage == kernels.lowpassUnaligned) {
          out.push_back("lowpass");
        } else if (c.stage == copyRows) {
          out.push_back("copy");
        } else if (c.stage == kernels.diffAligned || c.stage == kernels.diffUnaligned) {
          out.push_back("diff");
        } else if (c.stage == kernels.motionMap) {
          out.push_back("map");
        } else if (c.stage == kernels.blend) {
          out.push_back("blend");
        } else {
          out.push_back("unknown stage");
        }
        break;
      }
    }
  }
  return out;
}

std::vector<int32_t> neighbourFetches(const FakeHost& host) {
  std::vector<int32_t> out;
  for (const HostCall& c : host.calls) {
    if (c.kind == HostCall::kFetch && c.widthOut == nullptr) out.push_back(c.frameNumber);
  }
  return out;
}

const HostCall* findRun(const FakeHost& host, const std::string& stage, int occurrence = 0) {
  const std::vector<std::string> names = describe(host);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == stage && occurrence-- == 0) return &host.calls[i];
  }
  return nullptr;
}

// Every test starts with a freshly loaded filter using the scalar set, so that results can be
// compared with the scalar row functions composed by hand.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setCpuFeatureMask(0);
    reload();
  }
  void TearDown() override {
    FilterExit(nullptr);
    platform::failNextAllocations(0);
    setCpuFeatureMask(kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2);
  }
  // The plug-in's own motion state, which its driver works on.
  MotionState& motionState = pluginInstance().motion;
};

TEST_F(DriverTest, ServiceCallsFollowTheFrameSteps) {
  struct Row {
    const char* name;
    int32_t motion;
    std::vector<int32_t> before;
    int32_t frame;
    std::vector<std::string> expected;
  };
  const std::string reserve = "reserve 40 30 2 0";
  const Row rows[] = {
      {"motion off", 0, {}, 4, {reserve, "fetch 4 +geometry", "lowpass"}},
      {"cold cache",
       24,
       {},
       4,
       {reserve, "fetch 4 +geometry", "lowpass", "copy", "fetch 5", "diff", "map", "fetch 3",
        "diff", "map", "blend"}},
      {"same frame again", 24, {4}, 4, {reserve, "fetch 4 +geometry", "lowpass", "copy", "blend"}},
      {"next frame past the clip",
       24,
       {},
       7,
       {reserve, "fetch 7 +geometry", "lowpass", "copy", "fetch 8", "fetch 6", "diff", "map",
        "blend"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    host.threads = 1;
    host.settings.tracks[kTrackMotion] = r.motion;
    for (int32_t k : r.before) ASSERT_EQ(host.process(k), 1);
    ASSERT_EQ(host.process(r.frame), 1);
    EXPECT_EQ(describe(host), r.expected);
  }
}

TEST_F(DriverTest, StagesReceiveTheirPlanesSlotsAndSettings) {
  FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
  host.threads = 1;
  host.settings = HostSettings{.tracks = {5, 4, 6, 30, 11}, .checks = {0, 1, 1}};
  const int32_t k = 3;
  ASSERT_EQ(host.process(k), 1);
  Pixel* const edit = host.planeA();
  Pixel* const temp = host.planeB();

  const HostCall* lowpass = findRun(host, "lowpass");
  ASSERT_NE(lowpass, nullptr);
  EXPECT_EQ(lowpass->job.source, host.frame(k));
  EXPECT_EQ(lowpass->job.other, temp);
  EXPECT_EQ(lowpass->job.selector, 5);
  EXPECT_EQ(lowpass->job.hardLimit, 22);
  EXPECT_EQ(lowpass->job.height, kHeight);
  EXPECT_EQ(lowpass->job.width, kWidth);
  EXPECT_EQ(lowpass->job.stride, kWidth);
  EXPECT_EQ(lowpass->job.bandTop, 4);
  EXPECT_EQ(lowpass->job.bandEnd, kHeight - 6);
  EXPECT_EQ(lowpass->extra, nullptr);

  const HostCall* copy = findRun(host, "copy");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->job.source, edit);
  EXPECT_EQ(copy->extra, host.frame(k));

  struct Neighbour {
    int occurrence;
    int32_t frame;
    const NeighbourSlot* slot;
  };
  const Neighbour neighbours[] = {{0, k + 1, &motionState.slot[(k + 1) & 1]},
                                  {1, k - 1, &motionState.slot[k & 1]}};
  for (const Neighbour& n : neighbours) {
    SCOPED_TRACE(n.frame);
    const HostCall* diff = findRun(host, "diff", n.occurrence);
    const HostCall* map = findRun(host, "map", n.occurrence);
    ASSERT_NE(diff, nullptr);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(diff->job.source, edit);
    EXPECT_EQ(diff->job.other, host.frame(n.frame));
    EXPECT_EQ(diff->extra, nullptr);
    EXPECT_EQ(map->extra, n.slot);
    EXPECT_EQ(map->job.hardLimit, 22);
  }

  const HostCall* blend = findRun(host, "blend");
  ASSERT_NE(blend, nullptr);
  EXPECT_EQ(blend->job.source, edit);
  EXPECT_EQ(blend->job.other, temp);
  EXPECT_EQ(blend->job.selector, 2);
  EXPECT_EQ(blend->extraWords[0], &motionState.slot[k & 1]) << "previous-frame slot first";
  EXPECT_EQ(blend->extraWords[1], &motionState.slot[(k + 1) & 1]);

  EXPECT_EQ(host.info.editFrame, temp) << "the pointers are exchanged";
  EXPECT_EQ(host.info.tempFrame, edit);
  EXPECT_EQ(motionState.slot[(k + 1) & 1].key, k + 1);
  EXPECT_EQ(motionState.slot[k & 1].key, k);
}

TEST_F(DriverTest, FailuresReturnZeroAndTouchNothing) {
  struct Row {
    const char* name;
    std::function<void(FakeHost&)> arrange;
    std::vector<std::string> expectedCalls;
  };
  const Row rows[] = {
      {"cache refused", [](FakeHost& h) { h.reserveResult = 0; }, {"reserve 40 30 2 0"}},
      {"current frame missing",
       [](FakeHost& h) { h.unavailable.insert(2); },
       {"reserve 40 30 2 0", "fetch 2 +geometry"}},
      {"frame wider than maxWidth",
       [](FakeHost& h) { h.width = kWidth + 1; },
       {"reserve 40 30 2 0", "fetch 2 +geometry"}},
      {"frame taller than maxHeight",
       [](FakeHost& h) { h.height = kHeight + 1; },
       {"reserve 40 30 2 0", "fetch 2 +geometry"}},
      {"maxWidth zero", [](FakeHost& h) { h.maxWidth = 0; }, {}},
      {"maxHeight negative", [](FakeHost& h) { h.maxHeight = -1; }, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    ASSERT_EQ(host.process(1), 1) << "a warm cache to leave alone";
    const MotionState before = motionState;
    const int allocations = platform::liveAllocationCount();

    r.arrange(host);
    EXPECT_EQ(host.process(2), 0);
    EXPECT_EQ(describe(host), r.expectedCalls);
    EXPECT_EQ(host.info.editFrame, host.planeA());
    EXPECT_EQ(host.info.tempFrame, host.planeB());
    EXPECT_TRUE(host.planeUntouched(host.planeA()));
    EXPECT_TRUE(host.planeUntouched(host.planeB()));
    EXPECT_EQ(motionState.base, before.base);
    for (int s = 0; s < 2; ++s) {
      EXPECT_EQ(motionState.slot[s].key, before.slot[s].key) << s;
      EXPECT_EQ(motionState.slot[s].map, before.slot[s].map) << s;
    }
    EXPECT_EQ(platform::liveAllocationCount(), allocations);
  }
}

TEST_F(DriverTest, RefusedAllocationFailsTheFrameAndTheNextCallRetries) {
  FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
  const int allocations = platform::liveAllocationCount();
  platform::failNextAllocations(1);
  EXPECT_EQ(host.process(3), 0);
  EXPECT_EQ(host.info.editFrame, host.planeA()) << "no exchange";
  EXPECT_EQ(host.info.tempFrame, host.planeB());
  EXPECT_TRUE(host.planeUntouched(host.planeA())) << "editFrame is not written";
  EXPECT_EQ(motionState.base, nullptr);
  EXPECT_TRUE(neighbourFetches(host).empty());
  EXPECT_EQ(platform::liveAllocationCount(), allocations);

  EXPECT_EQ(host.process(3), 1);
  EXPECT_NE(motionState.base, nullptr);
  EXPECT_EQ(platform::liveAllocationCount(), allocations + 1);
  EXPECT_TRUE(samePixels(host.output(), modelFrame(host, 3, host.settings)));
}

TEST_F(DriverTest, NeighboursFetchedDependOnTheFramesBefore) {
  constexpr int kNoUpdate = -99;
  struct Row {
    int32_t first;
    int update;
    int32_t second;
    std::vector<int32_t> fetched;
  };
  const Row rows[] = {
      {5, kNoUpdate, 6, {7}},    {5, kNoUpdate, 4, {3}},    {5, kNoUpdate, 5, {}},
      {5, kNoUpdate, 7, {8, 6}}, {5, kNoUpdate, 2, {3, 1}}, {5, 0x10000, 5, {}},
      {5, 0x10005, 5, {}},       {5, 0x20000, 6, {7}},      {5, 0x10002, 5, {6, 4}},
      {5, 0, 5, {6, 4}},         {5, 0x10004, 6, {7, 5}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.first << " then " << r.second << " update " << r.update);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    ASSERT_EQ(host.process(r.first), 1);
    if (r.update != kNoUpdate) FilterUpdate(&host.table, r.update);
    ASSERT_EQ(host.process(r.second), 1);
    EXPECT_EQ(neighbourFetches(host), r.fetched);
    EXPECT_TRUE(samePixels(host.output(), modelFrame(host, r.second, host.settings)));
  }
}

TEST_F(DriverTest, MotionOffFreesTheBuffersAndFetchesNoNeighbour) {
  FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
  const int allocations = platform::liveAllocationCount();
  ASSERT_EQ(host.process(2), 1);
  ASSERT_EQ(platform::liveAllocationCount(), allocations + 1);

  host.settings.tracks[kTrackMotion] = 0;
  ASSERT_EQ(host.process(3), 1);
  EXPECT_EQ(platform::liveAllocationCount(), allocations);
  EXPECT_EQ(motionState.base, nullptr);
  EXPECT_EQ(motionState.slot[0].key, -1);
  EXPECT_EQ(motionState.slot[1].key, -1);
  EXPECT_TRUE(neighbourFetches(host).empty());
  EXPECT_TRUE(samePixels(host.output(), modelFrame(host, 3, host.settings)));

  host.settings.tracks[kTrackMotion] = 24;
  ASSERT_EQ(host.process(3), 1);
  EXPECT_EQ(platform::liveAllocationCount(), allocations + 1);
  EXPECT_EQ(neighbourFetches(host), (std::vector<int32_t>{4, 2}));
  EXPECT_TRUE(samePixels(host.output(), modelFrame(host, 3, host.settings)));
}

TEST_F(DriverTest, BandFollowsTheMargins) {
  struct Row {
    int32_t top, bottom, bandTop, bandEnd;
  };
  const Row rows[] = {
      {0, 0, 0, 30},    {30, 0, 30, 30}, {45, 0, 30, 30}, {10, 20, 10, 10}, {10, 25, 10, 10},
      {10, 19, 10, 11}, {0, 30, 0, 0},   {0, 200, 0, 0},  {3, 4, 3, 26},    {29, 0, 29, 30},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "top " << r.top << " bottom " << r.bottom);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    host.threads = 1;
    host.settings.tracks[kTrackTop] = r.top;
    host.settings.tracks[kTrackBottom] = r.bottom;
    ASSERT_EQ(host.process(4), 1);
    for (const char* stage : {"lowpass", "blend"}) {
      const HostCall* run = findRun(host, stage);
      ASSERT_NE(run, nullptr) << stage;
      EXPECT_EQ(run->job.bandTop, r.bandTop) << stage;
      EXPECT_EQ(run->job.bandEnd, r.bandEnd) << stage;
    }
    EXPECT_TRUE(samePixels(host.output(), modelFrame(host, 4, host.settings)));
  }
}

TEST_F(DriverTest, SlidersAndChecksAreClampedIntoTheirRanges) {
  // Tall frames so that the margin limit of 256 rows is visible.
  constexpr int32_t kTall = 300;
  constexpr int32_t kNarrow = 12;
  struct Row {
    const char* name;
    HostSettings given;
    HostSettings clamped;
  };
  const Row rows[] = {
      {"tap above 6", {{99, 2, 3, 24, 64}, {0, 1, 0}}, {{6, 2, 3, 24, 64}, {0, 1, 0}}},
      {"tap negative", {{-4, 2, 3, 24, 64}, {0, 1, 0}}, {{0, 2, 3, 24, 64}, {0, 1, 0}}},
      {"margins negative", {{3, -5, -9, 24, 64}, {0, 1, 0}}, {{3, 0, 0, 24, 64}, {0, 1, 0}}},
      {"margins above 256", {{3, 290, 400, 24, 64}, {0, 1, 0}}, {{3, 256, 256, 24, 64}, {0, 1, 0}}},
      {"bottom above 256", {{3, 0, 280, 24, 64}, {0, 0, 0}}, {{3, 0, 256, 24, 64}, {0, 0, 0}}},
      {"motion above 256", {{3, 2, 3, 999, 64}, {0, 1, 0}}, {{3, 2, 3, 256, 64}, {0, 1, 0}}},
      {"motion negative", {{3, 2, 3, -7, 64}, {0, 1, 0}}, {{3, 2, 3, 0, 64}, {0, 1, 0}}},
      {"motion2 negative", {{3, 2, 3, 24, -3}, {0, 1, 0}}, {{3, 2, 3, 24, 0}, {0, 1, 0}}},
      {"motion2 above 256", {{3, 2, 3, 4, 1000}, {0, 1, 0}}, {{3, 2, 3, 4, 256}, {0, 1, 0}}},
      {"checks not 0 or 1", {{3, 2, 3, 24, 64}, {2, 5, -1}}, {{3, 2, 3, 24, 64}, {1, 1, 1}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    FakeHost host(kNarrow, kTall, kNarrow, kTall, 4, test::testSeed());
    host.threads = 1;
    host.settings = r.given;
    const std::vector<Pixel> out = processedAlone(host, 1);
    const std::vector<HostCall> givenCalls = host.calls;
    host.settings = r.clamped;
    EXPECT_TRUE(samePixels(out, processedAlone(host, 1)));
    EXPECT_TRUE(samePixels(out, modelFrame(host, 1, r.clamped)));

    // The stages saw exactly what the in-range values give.
    ASSERT_EQ(givenCalls.size(), host.calls.size());
    for (size_t i = 0; i < givenCalls.size(); ++i) {
      const RowJob& given = givenCalls[i].job;
      const RowJob& clamped = host.calls[i].job;
      EXPECT_EQ(given.selector, clamped.selector) << i;
      EXPECT_EQ(given.hardLimit, clamped.hardLimit) << i;
      EXPECT_EQ(given.bandTop, clamped.bandTop) << i;
      EXPECT_EQ(given.bandEnd, clamped.bandEnd) << i;
    }
    const HostCall* lowpass = findRun(host, "lowpass");
    ASSERT_NE(lowpass, nullptr);
    EXPECT_EQ(lowpass->job.selector, r.clamped.tracks[kTrackTap]);
    EXPECT_EQ(lowpass->job.hardLimit, 2 * r.clamped.tracks[kTrackMotion2]);
  }
}

// A neighbour the host cannot deliver must not leave the slot's map of another frame pair in
// place: the frame then equals the frame processed alone, with no motion against that neighbour.
TEST_F(DriverTest, UndeliveredNeighbourContributesNoMotion) {
  struct Row {
    const char* name;
    std::vector<int32_t> unavailable;
    std::vector<int32_t> before;
    int32_t frame;
    int32_t checks[kCheckCount];
  };
  const Row rows[] = {
      {"next frame past the clip", {}, {5}, 7, {0, 1, 1}},
      {"previous frame before the clip", {}, {2}, 0, {0, 0, 0}},
      {"next frame missing inside the clip", {4}, {2}, 3, {0, 1, 1}},
      {"previous frame missing inside the clip", {2}, {5}, 3, {0, 0, 0}},
      {"display of the cleared map", {}, {5}, 7, {1, 1, 1}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    for (int c = 0; c < kCheckCount; ++c) host.settings.checks[c] = r.checks[c];
    for (int32_t k : r.before) ASSERT_EQ(host.process(k), 1);
    host.unavailable.insert(r.unavailable.begin(), r.unavailable.end());
    ASSERT_EQ(host.process(r.frame), 1);
    const std::vector<Pixel> out = host.output();
    EXPECT_TRUE(samePixels(out, modelFrame(host, r.frame, host.settings)));
    EXPECT_TRUE(samePixels(out, processedAlone(host, r.frame)));
  }
}

// A failed fetch says nothing about the pair: once the neighbour can be had, a frame processed
// again equals the frame processed by a fresh filter.
TEST_F(DriverTest, NeighbourThatCouldNotBeFetchedIsFetchedAgain) {
  struct Row {
    const char* name;
    int32_t missing;
    int32_t checks[kCheckCount];
  };
  const Row rows[] = {{"previous", 4, {0, 0, 0}}, {"next", 6, {0, 1, 1}}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    for (int c = 0; c < kCheckCount; ++c) host.settings.checks[c] = r.checks[c];
    host.unavailable.insert(r.missing);
    ASSERT_EQ(host.process(5), 1);
    host.unavailable.clear();
    ASSERT_EQ(host.process(5), 1);
    const std::vector<Pixel> again = host.output();
    EXPECT_TRUE(samePixels(again, processedAlone(host, 5)));
  }
}

TEST_F(DriverTest, GeometryChangeWithinTheMaximaRecomputesTheMaps) {
  struct Row {
    const char* name;
    std::function<void(FakeHost&)> change;
  };
  const Row rows[] = {
      {"narrower", [](FakeHost& h) { h.width = kWidth - 7; }},
      {"shorter", [](FakeHost& h) { h.height = kHeight - 6; }},
      {"top margin", [](FakeHost& h) { h.settings.tracks[kTrackTop] = 5; }},
      {"bottom margin", [](FakeHost& h) { h.settings.tracks[kTrackBottom] = 0; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    ASSERT_EQ(host.process(4), 1);
    r.change(host);
    ASSERT_EQ(host.process(4), 1);
    EXPECT_EQ(neighbourFetches(host), (std::vector<int32_t>{5, 3}));
    EXPECT_TRUE(samePixels(host.output(), modelFrame(host, 4, host.settings)));
    EXPECT_TRUE(host.outsideFrameIntact());
  }
}

TEST_F(DriverTest, OutputMatchesTheStagesComposedByHand) {
  struct Row {
    const char* name;
    HostSettings settings;
  };
  const Row rows[] = {
      {"defaults", {{0, 0, 0, 24, 64}, {0, 0, 0}}},
      {"previous map only", {{3, 2, 3, 24, 64}, {0, 0, 1}}},
      {"minimum of both maps", {{6, 2, 3, 24, 64}, {0, 1, 0}}},
      {"maximum of both maps", {{1, 0, 5, 10, 64}, {0, 1, 1}}},
      {"no hard limit", {{4, 1, 1, 16, 0}, {0, 1, 0}}},
      {"strongest motion setting", {{2, 3, 0, 1, 1}, {0, 1, 1}}},
      {"weakest motion setting", {{5, 0, 0, 256, 256}, {0, 0, 0}}},
      {"motion display", {{3, 4, 4, 12, 30}, {1, 1, 0}}},
      {"motion off", {{6, 5, 5, 0, 64}, {1, 1, 1}}},
      {"empty band", {{3, 20, 10, 24, 64}, {1, 1, 0}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    reload();
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    host.settings = r.settings;
    for (int32_t k = 0; k < kFrames; ++k) {
      ASSERT_EQ(host.process(k), 1) << k;
      EXPECT_TRUE(samePixels(host.output(), modelFrame(host, k, host.settings))) << k;
      EXPECT_TRUE(host.outsideFrameIntact()) << k;
    }
  }
}

// A host may hand out the current frame in its edit plane itself: the low-pass reads it there and
// the untouched source for the blend is already in place.
TEST_F(DriverTest, CurrentFrameDeliveredInTheEditPlane) {
  FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
  host.currentInEditPlane = true;
  host.threads = 2;
  for (int32_t motion : {24, 0}) {
    SCOPED_TRACE(motion);
    host.settings.tracks[kTrackMotion] = motion;
    for (int32_t k : {2, 3, 1}) {
      ASSERT_EQ(host.process(k), 1) << k;
      EXPECT_TRUE(samePixels(host.output(), modelFrame(host, k, host.settings))) << k;
    }
  }
}

#if QUILLET_ENABLE_SIMD && (defined(__i386__) || defined(__x86_64__))
// Sets that use the MMX registers leave the state empty; the scalar set, meant for processors
// without MMX, executes no MMX instruction at all, so a dirty state stays dirty.
TEST_F(DriverTest, ClearsTheMmxStateOnlyForSetsThatUseIt) {
  FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
  for (bool scalar : {false, true}) {
    pluginInstance().kernels = scalar ? kKernelSetScalar : kernelSetFor(probeCpuFeatures());
    for (int32_t motion : {0, 24}) {
      SCOPED_TRACE(::testing::Message() << "scalar " << scalar << " motion " << motion);
      host.settings.tracks[kTrackMotion] = motion;
      test::dirtyMmxState();
      ASSERT_FALSE(test::mmxStateEmpty());
      ASSERT_EQ(host.process(2), 1);
      EXPECT_EQ(test::mmxStateEmpty(), !scalar);
      test::clearMmxState();
    }
  }
  reload();
}
#endif

}  // namespace
}  // namespace quillet
