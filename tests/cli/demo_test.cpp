#include "cli/demo.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "standin/clip.h"

namespace quillet {
namespace {

struct CombingCase {
  const char* name;
  std::vector<int16_t> rows;  // Y of each row of a 2-pixel-wide frame
  std::vector<uint8_t> maskRows;
  double energy;
  int64_t pixels;
};

class CombingMeasure : public ::testing::TestWithParam<CombingCase> {};

TEST_P(CombingMeasure, SumsSquaredAlternationInsideTheMask) {
  const CombingCase& c = GetParam();
  const auto height = static_cast<int32_t>(c.rows.size());
  std::vector<Pixel> frame;
  std::vector<uint8_t> mask;
  for (size_t y = 0; y < c.rows.size(); ++y) {
    for (int x = 0; x < 2; ++x) {
      frame.push_back({c.rows[y], 0, 0});
      mask.push_back(c.maskRows[y]);
    }
  }
  const CombingSum s = combingOf(frame, 2, height, mask);
  EXPECT_DOUBLE_EQ(s.energy, c.energy);
  EXPECT_EQ(s.pixels, c.pixels);
}

// Alternating rows a, b: each inner row's component is (2a - 2b) / 4, squared (a - b)^2 / 4.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Frames, CombingMeasure,
    ::testing::Values(
        CombingCase{"Flat", {500, 500, 500, 500}, {1, 1, 1, 1}, 0.0, 4},
        CombingCase{"Ramp", {0, 100, 200, 300, 400}, {1, 1, 1, 1, 1}, 0.0, 6},
        CombingCase{"Comb", {0, 400, 0, 400, 0}, {1, 1, 1, 1, 1}, 6 * 40000.0, 6},
        CombingCase{"CombOutsideMask", {0, 400, 0, 400, 0}, {1, 0, 0, 0, 1}, 0.0, 0},
        CombingCase{"EdgeRowsNeverCount", {0, 400, 0}, {1, 0, 1}, 0.0, 0},
        CombingCase{"OneMaskedRow", {0, 400, 0, 400, 0}, {0, 0, 1, 0, 0}, 2 * 40000.0, 2}),
    [](const ::testing::TestParamInfo<CombingCase>& p) { return std::string(p.param.name); });
// clang-format on

class DemoClipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { demo_ = new DemoClip(makeDemoClip(160, 96, 8)); }
  static void TearDownTestSuite() {
    delete demo_;
    demo_ = nullptr;
  }
  static DemoClip* demo_;
};
DemoClip* DemoClipTest::demo_ = nullptr;

TEST_F(DemoClipTest, ClipIsWhatTheY4mFramesHold) {
  const DemoClip& d = *demo_;
  ASSERT_EQ(d.payloads.size(), 8u);
  ASSERT_EQ(d.clip.frames.size(), 8u);
  const SampleScale scale = makeSampleScale(8);
  std::vector<Pixel> decoded(160 * 96);
  for (size_t n = 0; n < 8; ++n) {
    ASSERT_EQ(d.payloads[n].size(), frameGeometry(d.format).frameBytes);
    y4mFrameToPixels(d.format, scale, d.payloads[n].data(), decoded.data(), 160);
    for (size_t i = 0; i < decoded.size(); ++i) {
      ASSERT_EQ(decoded[i].y, d.clip.frames[n][i].y);
      ASSERT_EQ(decoded[i].cb, d.clip.frames[n][i].cb);
    }
  }
}

TEST_F(DemoClipTest, EveryFrameMovesSomewhereAndStandsStillElsewhere) {
  for (const auto& mask : demo_->moving) {
    size_t moving = 0;
    for (uint8_t m : mask) moving += m;
    EXPECT_GT(moving, mask.size() / 50);
    EXPECT_LT(moving, mask.size() / 2);
  }
}

TEST_F(DemoClipTest, WhatNeverMovesIsTheSameInEveryFrame) {
  // Pixels whose fields never differ in any frame, with a one-pixel margin for the shared
  // chroma of 4:2:0, hold the same values throughout: no combing where nothing moves.
  const DemoClip& d = *demo_;
  std::vector<uint8_t> ever(d.moving[0].size(), 0);
  for (const auto& mask : d.moving) {
    for (size_t i = 0; i < mask.size(); ++i) ever[i] |= mask[i];
  }
  size_t still = 0;
  for (int32_t y = 1; y < 95; ++y) {
    for (int32_t x = 1; x < 159; ++x) {
      bool near = false;
      for (int32_t dy = -2; dy <= 2 && !near; ++dy) {
        for (int32_t dx = -2; dx <= 2 && !near; ++dx) {
          const int32_t yy = std::clamp(y + dy, 0, 95);
          const int32_t xx = std::clamp(x + dx, 0, 159);
          near = ever[static_cast<size_t>(yy * 160 + xx)] != 0;
        }
      }
      if (near) continue;
      ++still;
      const size_t i = static_cast<size_t>(y * 160 + x);
      for (const auto& frame : d.clip.frames) {
        ASSERT_EQ(frame[i].y, d.clip.frames[0][i].y) << x << "," << y;
        ASSERT_EQ(frame[i].cr, d.clip.frames[0][i].cr) << x << "," << y;
      }
    }
  }
  EXPECT_GT(still, 160u * 96u / 4);
}

TEST_F(DemoClipTest, DefaultSettingsRemoveMostOfTheCombing) {
  standin::HostConfig config;
  config.threads = 2;
  const standin::Clip filtered = standin::filterClip(config, demo_->clip);
  ASSERT_EQ(filtered.frames.size(), demo_->clip.frames.size());
  const double before = meanCombing(demo_->clip, demo_->moving);
  const double after = meanCombing(filtered, demo_->moving);
  EXPECT_GT(before, 1000.0);  // the clip is combed to begin with
  EXPECT_LT(after, before / 2);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::filesystem::path scratchDir(const char* name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quillet_demo_test_" + std::to_string(getpid())) / name;
  std::filesystem::remove_all(dir);
  return dir;
}

std::string readAll(std::FILE* f) {
  std::rewind(f);
  std::string s;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

TEST(RunDemo, WritesInputOutputAndPreview) {
  const auto dir = scratchDir("run");
  std::unique_ptr<std::FILE, FileCloser> report(std::tmpfile());
  ASSERT_EQ(runDemo(dir.string(), report.get(), stderr, {96, 64, 6}), 0);
  const std::string text = readAll(report.get());
  EXPECT_NE(text.find("6 frames of 96x64"), std::string::npos) << text;
  EXPECT_NE(text.find("less"), std::string::npos) << text;

  const DemoClip expected = makeDemoClip(96, 64, 6);
  std::unique_ptr<std::FILE, FileCloser> in(std::fopen((dir / "input.y4m").c_str(), "rb"));
  ASSERT_TRUE(in);
  Y4mReader input(in.get());
  EXPECT_EQ(input.format().interlace, 't');
  std::vector<uint8_t> payload;
  for (const auto& frame : expected.payloads) {
    ASSERT_TRUE(input.readFrame(payload));
    EXPECT_EQ(payload, frame);
  }
  EXPECT_FALSE(input.readFrame(payload));

  std::unique_ptr<std::FILE, FileCloser> out(std::fopen((dir / "output.y4m").c_str(), "rb"));
  ASSERT_TRUE(out);
  Y4mReader output(out.get());
  EXPECT_EQ(output.format().interlace, 'p');
  int frames = 0;
  while (output.readFrame(payload)) ++frames;
  EXPECT_EQ(frames, 6);

  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&png, (dir / "preview.png").c_str()), 0);
  EXPECT_EQ(png.width, 3u * 96u + 8u);
  EXPECT_EQ(png.height, 64u);
  png_image_free(&png);
  std::filesystem::remove_all(dir);
}

TEST(RunDemo, UnusableDirectoryIsAnError) {
  const auto dir = scratchDir("blocked");
  std::filesystem::create_directories(dir.parent_path());
  std::fclose(std::fopen(dir.c_str(), "wb"));  // a file where the directory should go
  std::unique_ptr<std::FILE, FileCloser> errors(std::tmpfile());
  EXPECT_EQ(runDemo((dir / "sub").string(), stdout, errors.get(), {32, 32, 3}), 1);
  const std::string text = readAll(errors.get());
  EXPECT_NE(text.find("quillet demo: cannot create"), std::string::npos) << text;
  std::filesystem::remove(dir);
}

}  // namespace
}  // namespace quillet
