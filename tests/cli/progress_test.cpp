#include "cli/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/y4m.h"

namespace quillet {
namespace {

using namespace std::chrono_literals;

std::string contentsOf(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

TEST(Progress, KnownTotalShowsCountRateAndEta) {
  EXPECT_EQ(formatProgress(50, 200, 2.0), "frame 50/200  25.0 fps  elapsed 0:02  ETA 0:06");
}

TEST(Progress, UnknownTotalShowsNoEta) {
  EXPECT_EQ(formatProgress(30, -1, 4.0), "frame 30  7.5 fps  elapsed 0:04");
}

TEST(Progress, SplitOfFilteredAndPassedFollowsTheCount) {
  EXPECT_EQ(formatProgress(50, 200, 2.0, 10),
            "frame 50/200  40 filtered, 10 passed  25.0 fps  elapsed 0:02  ETA 0:06");
}

TEST(Progress, LongRunsShowHours) {
  EXPECT_EQ(formatProgress(3600, 7200, 3725.0),
            "frame 3600/7200  1.0 fps  elapsed 1:02:05  ETA 1:02:05");
}

TEST(Progress, NothingDoneYetHasNoRate) {
  EXPECT_EQ(formatProgress(0, 100, 0.0), "frame 0/100  0.0 fps  elapsed 0:00");
}

TEST(Progress, WritesAtMostTenTimesASecond) {
  std::unique_ptr<std::FILE, FileCloser> f(std::tmpfile());
  const auto t0 = ProgressLine::Clock::time_point{};
  ProgressLine line(f.get(), 100, true, t0);
  // 1 ms apart for 1 s: the first update writes, then one every 100 ms.
  for (int i = 0; i <= 1000; ++i) line.update(i / 10, t0 + std::chrono::milliseconds(i));
  EXPECT_EQ(line.linesWritten(), 11);
  const std::string text = contentsOf(f.get());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 11);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0);
}

TEST(Progress, FinishEndsTheLineOnceAndBlanksLeftovers) {
  std::unique_ptr<std::FILE, FileCloser> f(std::tmpfile());
  const auto t0 = ProgressLine::Clock::time_point{};
  ProgressLine line(f.get(), -1, true, t0);
  line.update(123456, t0 + 1s);
  line.finish(7, t0 + 2s);
  line.finish(8, t0 + 3s);
  line.update(9, t0 + 4s);
  const std::string text = contentsOf(f.get());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_EQ(text.back(), '\n');
  // The shorter final line covers every character of the longer one before it.
  const size_t second = text.rfind('\r');
  const size_t first = text.find('\r');
  EXPECT_EQ(text.size() - 1 - second, second - first);
}

TEST(Progress, DisabledWritesNothing) {
  std::unique_ptr<std::FILE, FileCloser> f(std::tmpfile());
  ProgressLine line(f.get(), 10, false);
  line.update(1);
  line.finish(10);
  EXPECT_EQ(contentsOf(f.get()), "");
}

TEST(Progress, FrameCountOfAWrittenFileIsEstimatedExactly) {
  const Y4mFormat format = parseY4mHeader("YUV4MPEG2 W7 H5 F25:1 C420p10 XCOLORRANGE=LIMITED");
  const std::vector<uint8_t> frame(frameGeometry(format).frameBytes, 0);
  for (int frames : {0, 1, 17}) {
    std::unique_ptr<std::FILE, FileCloser> f(std::tmpfile());
    Y4mWriter writer(f.get(), format);
    for (int i = 0; i < frames; ++i) writer.writeFrame(frame.data());
    writer.flush();
    const std::string all = contentsOf(f.get());
    EXPECT_EQ(estimateY4mFrames(all.size(), formatY4mHeader(format).size(), frame.size()), frames);
  }
  EXPECT_EQ(estimateY4mFrames(10, 20, 100), -1);
}

}  // namespace
}  // namespace quillet
