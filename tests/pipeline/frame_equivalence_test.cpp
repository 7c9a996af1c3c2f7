// Whole frames through the driver with every kernel form the processor has: the result must not
// depend on the executor, the number of workers, the order frames are processed in, or the
// padding of the host's planes. These tests run real threads; CI runs them under TSan.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dispatch/kernel_sets.h"
#include "host/filter_entry.h"
#include "host/kernel_select.h"
#include "pipeline/frame_driver.h"
#include "tests/support/fake_host.h"
#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

using test::FakeHost;
using test::HostSettings;
using test::samePixels;

constexpr int32_t kWidth = 45;  // not a multiple of 8: uneven strips and vector tails
constexpr int32_t kHeight = 23;
constexpr int32_t kFrames = 7;

const HostSettings kMotionOn{.tracks = {4, 2, 3, 24, 40}, .checks = {1, 1, 1}};
const HostSettings kMinimumBlend{.tracks = {2, 0, 0, 30, 0}, .checks = {0, 1, 0}};
const HostSettings kMotionOff{.tracks = {6, 3, 1, 0, 64}, .checks = {0, 1, 0}};

void reload() {
  FilterExit(nullptr);
  FilterInit(nullptr);
}

class FormTest : public test::FormTest {
 protected:
  void SetUp() override {
    test::FormTest::SetUp();
    if (IsSkipped()) return;
    if (kernelSetLevel(GetParam().setMask()) != GetParam().level) {
      GTEST_SKIP() << "the plug-in has no set of this level";
    }
    setCpuFeatureMask(GetParam().setMask());
    reload();
    ASSERT_EQ(selectedCpuFeatures(), GetParam().level);
  }
  void TearDown() override {
    FilterExit(nullptr);
    setCpuFeatureMask(kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2);
  }
};

// Frames `order` processed one after another by one loaded filter; results indexed by frame.
std::vector<std::vector<Pixel>> processInOrder(FakeHost& host, const std::vector<int32_t>& order) {
  std::vector<std::vector<Pixel>> out(static_cast<size_t>(host.frameCount()));
  reload();
  for (int32_t k : order) {
    if (host.process(k) != 1) {
      ADD_FAILURE() << "frame " << k << " failed";
      continue;
    }
    EXPECT_TRUE(host.outsideFrameIntact()) << "frame " << k;
    out[static_cast<size_t>(k)] = host.output();
  }
  return out;
}

std::vector<int32_t> forward(int32_t count) {
  std::vector<int32_t> order;
  for (int32_t k = 0; k < count; ++k) order.push_back(k);
  return order;
}

TEST_P(FormTest, EveryExecutorGivesTheSameFrames) {
  for (const HostSettings& settings : {kMotionOn, kMinimumBlend, kMotionOff}) {
    FakeHost host(kWidth, kHeight, kWidth + 3, kHeight, kFrames, test::testSeed());
    host.settings = settings;
    host.threads = 0;
    const auto reference = processInOrder(host, forward(kFrames));
    for (int threads : {1, 2, 4, 7, 16}) {
      SCOPED_TRACE(::testing::Message()
                   << threads << " threads, motion " << settings.tracks[kTrackMotion]);
      host.threads = threads;
      const auto frames = processInOrder(host, forward(kFrames));
      for (int32_t k = 0; k < kFrames; ++k) {
        EXPECT_TRUE(samePixels(frames[static_cast<size_t>(k)], reference[static_cast<size_t>(k)]))
            << "frame " << k << " seed " << test::testSeed();
      }
    }
  }
}

TEST_P(FormTest, ProcessingOrderDoesNotChangeFrames) {
  for (const HostSettings& settings : {kMotionOn, kMinimumBlend, kMotionOff}) {
    FakeHost host(kWidth, kHeight, kWidth, kHeight, kFrames, test::testSeed());
    host.settings = settings;
    host.threads = 2;

    // Each frame computed by a freshly loaded filter, with nothing cached.
    std::vector<std::vector<Pixel>> alone;
    for (int32_t k = 0; k < kFrames; ++k) {
      reload();
      ASSERT_EQ(host.process(k), 1);
      alone.push_back(host.output());
    }

    std::vector<int32_t> reverse = forward(kFrames);
    std::reverse(reverse.begin(), reverse.end());
    std::vector<int32_t> shuffled = forward(kFrames);
    test::Prng prng(test::testSeed());
    for (size_t i = shuffled.size() - 1; i > 0; --i) {
      std::swap(shuffled[i], shuffled[static_cast<size_t>(prng.range(0, static_cast<int32_t>(i)))]);
    }
    const std::vector<int32_t> orders[] = {forward(kFrames),
                                           reverse,
                                           shuffled,
                                           {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6},
                                           {6, 1, 5, 2, 4, 3, 0}};
    for (const std::vector<int32_t>& order : orders) {
      ::testing::Message what;
      for (int32_t k : order) what << k << " ";
      SCOPED_TRACE(what << "motion " << settings.tracks[kTrackMotion] << " seed "
                        << test::testSeed());
      const auto frames = processInOrder(host, order);
      for (int32_t k = 0; k < kFrames; ++k) {
        EXPECT_TRUE(samePixels(frames[static_cast<size_t>(k)], alone[static_cast<size_t>(k)]))
            << "frame " << k;
      }
    }
  }
}

TEST_P(FormTest, PlanePaddingDoesNotChangeFrames) {
  constexpr int32_t kAlignedWidth = 40;
  struct Geometry {
    int32_t maxWidth;
    int32_t maxHeight;
  };
  const Geometry geometries[] = {{kAlignedWidth, kHeight},
                                 {kAlignedWidth + 1, kHeight},
                                 {kAlignedWidth + 7, kHeight + 3},
                                 {kAlignedWidth + 8, kHeight + 1}};
  for (const HostSettings& settings : {kMotionOn, kMotionOff}) {
    std::vector<std::vector<Pixel>> reference;
    for (const Geometry& g : geometries) {
      SCOPED_TRACE(::testing::Message() << "maxWidth " << g.maxWidth << " maxHeight " << g.maxHeight
                                        << " motion " << settings.tracks[kTrackMotion]);
      FakeHost host(kAlignedWidth, kHeight, g.maxWidth, g.maxHeight, kFrames, test::testSeed());
      host.settings = settings;
      host.threads = 3;
      const auto frames = processInOrder(host, forward(kFrames));
      if (reference.empty()) {
        reference = frames;
        continue;
      }
      for (int32_t k = 0; k < kFrames; ++k) {
        EXPECT_TRUE(samePixels(frames[static_cast<size_t>(k)], reference[static_cast<size_t>(k)]))
            << "frame " << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, FormTest, ::testing::ValuesIn(test::kernelSets()),
                         test::FormName());

}  // namespace
}  // namespace quillet
