// Every frame's output must be byte-identical whatever the worker count, the processing order
// and the host's maximum frame size, for each kernel set on its own.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "standin/clip.h"
#include "standin/host.h"
#include "tests/standin/test_clips.h"

namespace quillet::standin {
namespace {

struct NamedSettings {
  const char* name;
  Settings settings;
};

// tap, top, bottom, motion, motion2, showMotion, nextFrame, useMax
const NamedSettings kSettings[] = {
    {"Defaults", Settings{}},
    {"MotionOffTap3", Settings{3, 0, 0, 0, 64, false, false, false}},
    {"Tap6BandNextMax", Settings{6, 2, 3, 24, 64, false, true, true}},
    {"Tap5ShowNext", Settings{5, 0, 0, 40, 10, true, true, false}},
    {"Tap2Motion1NoLimitShowMax", Settings{2, 0, 0, 1, 0, true, true, true}},
    {"Tap4TopBeyondHeight", Settings{4, 100, 0, 24, 64, false, true, false}},
    {"Tap1Motion256Margins", Settings{1, 1, 1, 256, 256, false, true, false}},
};

struct NamedClip {
  const char* name;
  Clip clip;
};

const std::vector<NamedClip>& clips() {
  static const std::vector<NamedClip> all = {
      {"37x11 video range", test::movingClip(37, 11, 5, test::testSeed())},
      {"16x6 full range", test::movingClip(16, 6, 4, test::testSeed() + 1, true)},
      {"3x2 video range", test::movingClip(3, 2, 3, test::testSeed() + 2)},
      // Tall enough for several runs of claimed rows per stage.
      {"20x70 video range", test::movingClip(20, 70, 3, test::testSeed() + 3)},
  };
  return all;
}

const char* maskName(CpuFeatures mask) {
  switch (mask) {
    case 15:
      return "Avx2";
    case 7:
      return "Sse2";
    case 3:
      return "Sse";
    case 1:
      return "Mmx";
    default:
      return "Scalar";
  }
}

class Determinism : public testing::TestWithParam<std::tuple<CpuFeatures, int>> {};

TEST_P(Determinism, OutputIsTheSameForEveryWorkerCountOrderAndMaximumSize) {
  const CpuFeatures mask = std::get<0>(GetParam());
  const Settings settings = kSettings[std::get<1>(GetParam())].settings;
  for (const NamedClip& named : clips()) {
    const Clip& clip = named.clip;
    SCOPED_TRACE(testing::Message() << named.name << ", seed " << test::testSeed());
    HostConfig base;
    base.cpuMask = mask;
    base.settings = settings;
    const Clip reference = filterClip(base, clip);
    ASSERT_EQ(reference.frames.size(), clip.frames.size());

    const int32_t w = clip.width, h = clip.height, w8 = (w + 7) & ~7;
    const std::pair<int32_t, int32_t> maxSizes[] = {
        {w, h}, {w + 1, h}, {w + 7, h + 3}, {w8, 2 * h}, {w8 + 16, h + 1}};
    for (const int threads : {0, 1, 2, 4, 16}) {
      for (const auto& [maxWidth, maxHeight] : maxSizes) {
        HostConfig config = base;
        config.width = w;
        config.height = h;
        config.threads = threads;
        config.maxWidth = maxWidth;
        config.maxHeight = maxHeight;
        // One host runs several orders in turn, as an editor runs one clip after another.
        for (const bool stream : {true, false}) {
          config.streamForward = stream;
          Host host(config);
          for (const char* order : {"forward", "reverse", "shuffle:9"}) {
            if (!stream && order != std::string("forward")) continue;
            ClipSource source(clip);
            ClipSink sink(w, h);
            const RunResult result = host.run(source, sink, *parseProcessingOrder(order));
            ASSERT_EQ(result.status, RunResult::Status::kDone);
            EXPECT_EQ(test::firstDifferentFrame(sink.clip, reference), -1)
                << "threads " << threads << ", max size " << maxWidth << "x" << maxHeight
                << ", order " << order << (stream ? "" : " (whole clip loaded)");
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KernelSetsAndSettings, Determinism,
                         testing::Combine(testing::ValuesIn(availableCpuMasks()),
                                          testing::Range(0,
                                                         static_cast<int>(std::size(kSettings)))),
                         [](const testing::TestParamInfo<Determinism::ParamType>& param) {
                           return std::string(maskName(std::get<0>(param.param))) + "_" +
                                  kSettings[std::get<1>(param.param)].name;
                         });

}  // namespace
}  // namespace quillet::standin
