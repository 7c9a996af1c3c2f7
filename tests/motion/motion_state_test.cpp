#include "motion/motion_state.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/virtual_memory.h"

namespace quillet {
namespace {

class MotionStateTest : public ::testing::Test {
 protected:
  void TearDown() override {
    releaseMotionState(motionState);
    platform::failNextAllocations(0);
  }
  ptrdiff_t offsetOf(const void* p) const {
    return static_cast<const char*>(p) - static_cast<const char*>(motionState.base);
  }
  MotionState motionState{};
};

TEST_F(MotionStateTest, PlanesArePlacedAtThePitchAndCoveredByTheAllocation) {
  struct Case {
    int32_t height, width, pitch;
    ptrdiff_t slot0, diff, slot1;
    size_t atLeast;
  };
  const Case cases[] = {
      // A 1x1 maximum: slot 1's map lies beyond (H + 3) x P x 6 = 768 bytes.
      {1, 1, 32, 64, 3 * 64 + 64 + 256, 2 * 3 * 64 + 64 + 512, 960 + 2 * 32 * 2},
      // Pitch: 1280 + 8 taken up to a multiple of 32.
      {720, 1280, 1312, 2 * 1312, 1894528 + 2 * 1312 + 256, 2 * 1894528 + 2 * 1312 + 512,
       723 * 1312 * 6},
      {3, 100, 128, 256, 5 * 256 + 256 + 256, 2 * 5 * 256 + 256 + 512, 6 * 128 * 6},
      {2, 24, 32, 64, 4 * 64 + 64 + 256, 2 * 4 * 64 + 64 + 512, 5 * 32 * 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    releaseMotionState(motionState);
    ASSERT_EQ(ensureMotionBuffers(motionState, c.height, c.width), 1);
    EXPECT_EQ(motionState.pitch, c.pitch);
    EXPECT_EQ(offsetOf(motionState.slot[0].map), c.slot0);
    EXPECT_EQ(offsetOf(motionState.diff), c.diff);
    EXPECT_EQ(offsetOf(motionState.slot[1].map), c.slot1);
    EXPECT_GE(motionState.size, c.atLeast);
    // Slot 1's last row, whole pitch included, ends inside the allocation.
    const ptrdiff_t slot1End = c.slot1 + static_cast<ptrdiff_t>(c.height) * c.pitch * 2;
    EXPECT_LE(slot1End, static_cast<ptrdiff_t>(motionState.size));
    for (const auto* p : {motionState.slot[0].map, motionState.diff, motionState.slot[1].map}) {
      // Rows on whole cache lines: workers writing neighbouring rows share none.
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    }
    EXPECT_EQ(motionState.slot[0].key, -1);
    EXPECT_EQ(motionState.slot[1].key, -1);
  }
}

TEST_F(MotionStateTest, ShrinkingMaximaKeepTheAllocationGrowingOnesReplaceIt) {
  ASSERT_EQ(ensureMotionBuffers(motionState, 100, 200), 1);
  void* first = motionState.base;
  motionState.slot[0].key = 7;
  motionState.slot[1].key = 8;

  ASSERT_EQ(ensureMotionBuffers(motionState, 50, 120), 1);
  EXPECT_EQ(motionState.base, first);
  EXPECT_EQ(motionState.rows, 100);
  EXPECT_EQ(motionState.width, 200);
  EXPECT_EQ(motionState.slot[0].key, 7);

  const int live = platform::liveAllocationCount();
  ASSERT_EQ(ensureMotionBuffers(motionState, 100, 201), 1);
  EXPECT_EQ(platform::liveAllocationCount(), live);  // the old one was given back
  EXPECT_EQ(motionState.width, 201);
  EXPECT_EQ(motionState.slot[0].key, -1);
  EXPECT_EQ(motionState.slot[1].key, -1);
}

TEST_F(MotionStateTest, RefusedOrImpossibleAllocationsLeaveNoBase) {
  const int live = platform::liveAllocationCount();
  platform::failNextAllocations(1);
  EXPECT_EQ(ensureMotionBuffers(motionState, 10, 10), 0);
  EXPECT_EQ(motionState.base, nullptr);

  // Maxima no address space holds are refused without asking the system, never wrapped into a
  // small allocation.
  EXPECT_EQ(ensureMotionBuffers(motionState, INT32_MAX, INT32_MAX - 39), 0);
  EXPECT_EQ(ensureMotionBuffers(motionState, 16, INT32_MAX), 0);
  EXPECT_EQ(motionState.base, nullptr);
  EXPECT_EQ(platform::liveAllocationCount(), live);

  EXPECT_EQ(ensureMotionBuffers(motionState, 10, 10), 1);
  EXPECT_NE(motionState.base, nullptr);
}

}  // namespace
}  // namespace quillet
