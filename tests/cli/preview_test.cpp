#include "cli/preview.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "standin/clip.h"

namespace quillet {
namespace {

// ---- colour ------------------------------------------------------------------------------------

struct ColourCase {
  const char* header;
  ColourMatrix matrix;
  ColourRange range;
};

class PreviewColourOf : public ::testing::TestWithParam<ColourCase> {};

TEST_P(PreviewColourOf, FollowsHintsElseFrameSize) {
  const PreviewColour c = previewColourFor(parseY4mHeader(GetParam().header));
  EXPECT_EQ(c.matrix, GetParam().matrix);
  EXPECT_EQ(c.range, GetParam().range);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Headers, PreviewColourOf,
    ::testing::Values(
        ColourCase{"YUV4MPEG2 W720 H576", ColourMatrix::kBt601, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W1279 H719", ColourMatrix::kBt601, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W1280 H480", ColourMatrix::kBt709, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W640 H720", ColourMatrix::kBt709, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W1920 H1080 XCOLORRANGE=FULL", ColourMatrix::kBt709, ColourRange::kFull},
        ColourCase{"YUV4MPEG2 W720 H480 XCOLORRANGE=LIMITED", ColourMatrix::kBt601, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W720 H480 XCOLORMATRIX=BT709", ColourMatrix::kBt709, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W1920 H1080 XCOLORSPACE=bt601", ColourMatrix::kBt601, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W1920 H1080 XCOLORMATRIX=SMPTE170M", ColourMatrix::kBt601, ColourRange::kLimited},
        ColourCase{"YUV4MPEG2 W720 H480 XCOLORMATRIX=unknown", ColourMatrix::kBt601, ColourRange::kLimited}));
// clang-format on

// Host pixel for 8-bit video-range codes.
Pixel fromCodes(double y, double cb, double cr) {
  return {static_cast<int16_t>(std::lrint((y - 16) * 4096 / 219)),
          static_cast<int16_t>(std::lrint((cb - 128) * 2048 / 112)),
          static_cast<int16_t>(std::lrint((cr - 128) * 2048 / 112))};
}

struct RgbCase {
  const char* name;
  ColourMatrix matrix;
  double y, cb, cr;  // 8-bit video-range codes of the colour
  int r, g, b;
};

class HostToRgb : public ::testing::TestWithParam<RgbCase> {};

TEST_P(HostToRgb, PrimariesComeOutSaturated) {
  const RgbCase& c = GetParam();
  uint8_t rgb[3];
  hostPixelToRgb(fromCodes(c.y, c.cb, c.cr), {c.matrix, ColourRange::kLimited}, rgb);
  // The 8-bit codes of a primary are themselves rounded, hence one step of slack.
  EXPECT_NEAR(rgb[0], c.r, 1);
  EXPECT_NEAR(rgb[1], c.g, 1);
  EXPECT_NEAR(rgb[2], c.b, 1);
}

// Codes of the primaries under each matrix: Y = 16 + 219 Y', Cb = 128 + 224 (B - Y') / (2 - 2 Kb),
// Cr = 128 + 224 (R - Y') / (2 - 2 Kr).
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Primaries, HostToRgb,
    ::testing::Values(
        RgbCase{"Black", ColourMatrix::kBt601, 16, 128, 128, 0, 0, 0},
        RgbCase{"White", ColourMatrix::kBt709, 235, 128, 128, 255, 255, 255},
        RgbCase{"Red601", ColourMatrix::kBt601, 81.48, 90.2, 240, 255, 0, 0},
        RgbCase{"Green601", ColourMatrix::kBt601, 144.55, 53.8, 34.21, 0, 255, 0},
        RgbCase{"Blue601", ColourMatrix::kBt601, 40.97, 240, 109.79, 0, 0, 255},
        RgbCase{"Red709", ColourMatrix::kBt709, 62.56, 102.34, 240, 255, 0, 0},
        RgbCase{"Green709", ColourMatrix::kBt709, 172.63, 41.66, 26.27, 0, 255, 0},
        RgbCase{"Blue709", ColourMatrix::kBt709, 31.81, 240, 117.73, 0, 0, 255}),
    [](const ::testing::TestParamInfo<RgbCase>& p) { return std::string(p.param.name); });
// clang-format on

TEST(HostToRgb, FullRangeStretchesTheWholeCodeRange) {
  // In a full-range stream code 0 is black and 255 white; they reach the host as -299, 4470.
  uint8_t rgb[3];
  hostPixelToRgb({-299, 0, 0}, {ColourMatrix::kBt601, ColourRange::kFull}, rgb);
  EXPECT_EQ(rgb[0], 0);
  EXPECT_EQ(rgb[1], 0);
  hostPixelToRgb({4470, 0, 0}, {ColourMatrix::kBt601, ColourRange::kFull}, rgb);
  EXPECT_EQ(rgb[0], 255);
  EXPECT_EQ(rgb[2], 255);
  // Video-range white read as full range is a light grey, not white.
  hostPixelToRgb({4096, 0, 0}, {ColourMatrix::kBt601, ColourRange::kFull}, rgb);
  EXPECT_EQ(rgb[1], 235);
}

// ---- weights -----------------------------------------------------------------------------------

TEST(WeightFromDisplay, RecoversEveryWeightWithinTwo) {
  for (int32_t m = 0; m <= 4096; ++m) {
    const Pixel painted{1000, static_cast<int16_t>((m * 3435) >> 13),
                        static_cast<int16_t>((m * 2231) >> 13)};
    const int32_t w = weightFromDisplay(painted);
    ASSERT_LE(w, m);
    ASSERT_GE(w, m - 2);
    // Whatever it picks paints the same colour.
    ASSERT_EQ((w * 3435) >> 13, painted.cb) << m;
    ASSERT_EQ((w * 2231) >> 13, painted.cr) << m;
  }
}

TEST(WeightFromDisplay, ColoursNoDisplayMakesStayInRange) {
  EXPECT_EQ(weightFromDisplay({0, -500, -500}), 0);
  const int32_t top = weightFromDisplay({0, 32767, 32767});
  EXPECT_GE(top, 4094);
  EXPECT_LE(top, 4096);
}

struct BandCase {
  int32_t top, bottom, height, expectTop, expectEnd;
};

class BandOf : public ::testing::TestWithParam<BandCase> {};

TEST_P(BandOf, MatchesTheMargins) {
  const BandCase& c = GetParam();
  standin::Settings s;
  s.top = c.top;
  s.bottom = c.bottom;
  const Band band = bandFor(s, c.height);
  EXPECT_EQ(band.top, c.expectTop);
  EXPECT_EQ(band.end, c.expectEnd);
}

INSTANTIATE_TEST_SUITE_P(Margins, BandOf,
                         ::testing::Values(BandCase{0, 0, 100, 0, 100},
                                           BandCase{10, 20, 100, 10, 80},
                                           BandCase{256, 0, 100, 100, 100},
                                           BandCase{60, 60, 100, 60, 60},
                                           BandCase{0, 256, 100, 0, 0}));

// Three frames of a flat grey clip (at least 16 x 16); the middle one has a bright square.
standin::Clip squareClip(int32_t width, int32_t height) {
  standin::Clip clip;
  clip.width = width;
  clip.height = height;
  const std::vector<Pixel> grey(static_cast<size_t>(width * height), Pixel{1000, 0, 0});
  clip.frames = {grey, grey, grey};
  for (int32_t y = 8; y < 16; ++y) {
    for (int32_t x = 8; x < 16; ++x) clip.frames[1][static_cast<size_t>(y * width + x)].y = 3500;
  }
  return clip;
}

TEST(MotionWeights, FullWhereThePictureChangedNoneWhereStillNoneOutsideTheBand) {
  const standin::Clip clip = squareClip(40, 32);
  standin::HostConfig config;
  config.settings.bottom = 4;
  const std::vector<uint16_t> w = motionWeightsOf(config, clip, 1);
  ASSERT_EQ(w.size(), 40u * 32u);
  const auto at = [&](int32_t x, int32_t y) { return w[static_cast<size_t>(y * 40 + x)]; };
  EXPECT_GE(at(12, 12), 4094);  // a 2500-unit change at threshold 24 saturates
  EXPECT_EQ(at(30, 24), 0);     // far from the square
  for (int32_t y = 28; y < 32; ++y) {
    for (int32_t x = 0; x < 40; ++x) EXPECT_EQ(at(x, y), 0) << x << "," << y;
  }
}

TEST(MotionWeights, WithMotionOffTheBandIsAllLowPass) {
  const standin::Clip clip = squareClip(16, 20);
  standin::HostConfig config;
  config.settings.motion = 0;
  config.settings.top = 3;
  config.settings.bottom = 5;
  const std::vector<uint16_t> w = motionWeightsOf(config, clip, 1);
  for (int32_t y = 0; y < 20; ++y) {
    const uint16_t expected = (y >= 3 && y < 15) ? 4096 : 0;
    for (int32_t x = 0; x < 16; ++x) ASSERT_EQ(w[static_cast<size_t>(y * 16 + x)], expected);
  }
}

// ---- the picture
// ---------------------------------------------------------------------------------

TEST(ComposePreview, PanelsSitSideBySide) {
  const int32_t width = 3;
  const int32_t height = 2;
  const int32_t stride = 5;
  std::vector<Pixel> input(stride * height, Pixel{0, 0, 0});
  std::vector<Pixel> output(stride * height, Pixel{4096, 0, 0});
  input[0] = {4096, 0, 0};
  const std::vector<uint16_t> weights = {0, 2048, 4096, 4096, 0, 0};
  const PreviewImage image =
      composePreview(input.data(), output.data(), stride, weights, width, height, {});
  ASSERT_EQ(previewWidth(image), 3 * width + 2 * kPreviewGap);
  ASSERT_EQ(image.rgb.size(), static_cast<size_t>(previewWidth(image) * height * 3));
  const auto red = [&](int32_t x, int32_t y) {
    return image.rgb[static_cast<size_t>((y * previewWidth(image) + x) * 3)];
  };
  EXPECT_EQ(red(0, 0), 255);  // input
  EXPECT_EQ(red(1, 0), 0);
  EXPECT_EQ(red(width + kPreviewGap, 1), 255);  // output
  const int32_t weightsAt = 2 * (width + kPreviewGap);
  EXPECT_EQ(red(weightsAt + 0, 0), 0);
  EXPECT_EQ(red(weightsAt + 1, 0), 128);
  EXPECT_EQ(red(weightsAt + 2, 0), 255);
  EXPECT_EQ(red(weightsAt + 0, 1), 255);
  EXPECT_EQ(red(width, 0), red(2 * width + kPreviewGap, 1));  // the gaps share one colour
}

std::filesystem::path scratchDir() {
  const auto dir =
      std::filesystem::temp_directory_path() / ("quillet_preview_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(WritePng, ReadsBackAsTheSamePixels) {
  PreviewImage image;
  image.width = 5;
  image.height = 3;
  image.rgb.resize(static_cast<size_t>(previewWidth(image) * image.height * 3));
  for (size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = static_cast<uint8_t>(i * 7);
  const std::string path = (scratchDir() / "roundtrip.png").string();
  std::string error;
  ASSERT_TRUE(writePng(path, image, error)) << error;

  png_image read{};
  read.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&read, path.c_str()), 0) << read.message;
  read.format = PNG_FORMAT_RGB;
  EXPECT_EQ(read.width, static_cast<uint32_t>(previewWidth(image)));
  EXPECT_EQ(read.height, 3u);
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(read));
  ASSERT_NE(png_image_finish_read(&read, nullptr, pixels.data(), 0, nullptr), 0) << read.message;
  EXPECT_EQ(pixels, image.rgb);
  std::filesystem::remove(path);
}

TEST(WritePng, FailuresAreReportedWithThePath) {
  PreviewImage image;
  image.width = 64;
  image.height = 64;
  image.rgb.assign(static_cast<size_t>(previewWidth(image) * 64 * 3), 1);
  std::string error;
  EXPECT_FALSE(writePng("/nonexistent-dir/x.png", image, error));
  EXPECT_NE(error.find("/nonexistent-dir/x.png"), std::string::npos) << error;
  if (std::filesystem::exists("/dev/full")) {
    error.clear();
    EXPECT_FALSE(writePng("/dev/full", image, error));
    EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
  }
}

TEST(PreviewCapture, KeepsTheNeighboursAndTheOutputOfItsFrame) {
  const standin::Clip clip = squareClip(24, 24);
  // Five frames, the square in frame 1 only; preview frame 1 from a clip that streams past.
  standin::Clip five = clip;
  five.frames.push_back(clip.frames[0]);
  five.frames.push_back(clip.frames[0]);
  PreviewCapture capture(1, 24, 24);
  for (int32_t n = 0; n < 5; ++n) {
    capture.offerInput(n, five.frames[static_cast<size_t>(n)].data(), 24);
    capture.offerOutput(n, five.frames[static_cast<size_t>(n)].data(), 24);
  }
  EXPECT_TRUE(capture.complete());
  EXPECT_EQ(capture.inputFramesSeen(), 5);
  const std::string path = (scratchDir() / "capture.png").string();
  std::string error;
  ASSERT_TRUE(capture.write({}, {}, path, error)) << error;
  png_image read{};
  read.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&read, path.c_str()), 0);
  EXPECT_EQ(read.width, 3u * 24u + 2u * kPreviewGap);
  png_image_free(&read);
  std::filesystem::remove(path);
}

// The preview of a frame that passed unchanged: input and output as for any frame, the weights
// panel without weights (the square moved, but nothing was mixed) framed in amber with PASSED.
TEST(PreviewCapture, PassedFrameShowsTheMarkInsteadOfWeights) {
  const int32_t w = 96;
  const int32_t h = 48;
  const standin::Clip clip = squareClip(w, h);
  std::vector<uint8_t> rgb[2];
  for (const bool passed : {false, true}) {
    PreviewCapture capture(1, w, h);
    for (int32_t n = 0; n < 3; ++n) {
      capture.offerInput(n, clip.frames[static_cast<size_t>(n)].data(), w);
      capture.offerOutput(n, clip.frames[static_cast<size_t>(n)].data(), w);
    }
    if (passed) capture.notePassed(1);
    const std::string path = (scratchDir() / "passed.png").string();
    std::string error;
    ASSERT_TRUE(capture.write({}, {}, path, error)) << error;
    png_image read{};
    read.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&read, path.c_str()), 0) << read.message;
    read.format = PNG_FORMAT_RGB;
    rgb[passed].resize(PNG_IMAGE_SIZE(read));
    ASSERT_NE(png_image_finish_read(&read, nullptr, rgb[passed].data(), 0, nullptr), 0);
    std::filesystem::remove(path);
  }
  const int32_t imageWidth = 3 * w + 2 * kPreviewGap;
  const int32_t weightsAt = 2 * (w + kPreviewGap);
  const auto pixel = [&](bool passed, int32_t x, int32_t y) {
    const auto at = rgb[passed].begin() + (y * imageWidth + x) * 3;
    return std::vector<uint8_t>(at, at + 3);
  };
  const std::vector<uint8_t> amber(kPassedMark, kPassedMark + 3);
  const std::vector<uint8_t> black = {0, 0, 0};
  EXPECT_NE(pixel(false, weightsAt + 12, 12), black);  // where the square moved
  int64_t amberInside = 0;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < imageWidth; ++x) {
      if (x < weightsAt) {
        ASSERT_EQ(pixel(true, x, y), pixel(false, x, y)) << x << "," << y;
        continue;
      }
      const bool edge = x == weightsAt || y == 0 || x == imageWidth - 1 || y == h - 1;
      const std::vector<uint8_t> p = pixel(true, x, y);
      if (edge) {
        ASSERT_EQ(p, amber) << x << "," << y;
      } else {
        ASSERT_TRUE(p == amber || p == black) << x << "," << y;
        amberInside += p == amber;
      }
    }
  }
  EXPECT_GT(amberInside, 100) << "the letters";
}

TEST(PreviewCapture, FrameBeyondTheClipIsAnError) {
  const standin::Clip clip = squareClip(24, 24);
  for (const int32_t frame : {7, std::numeric_limits<int32_t>::max()}) {
    SCOPED_TRACE(frame);
    PreviewCapture capture(frame, 24, 24);
    for (int32_t n = 0; n < 3; ++n) {
      capture.offerInput(n, clip.frames[static_cast<size_t>(n)].data(), 24);
      capture.offerOutput(n, clip.frames[static_cast<size_t>(n)].data(), 24);
    }
    EXPECT_FALSE(capture.complete());
    std::string error;
    EXPECT_FALSE(capture.write({}, {}, (scratchDir() / "none.png").string(), error));
    EXPECT_NE(error.find("the clip has 3 frames"), std::string::npos) << error;
  }
}

// ---- the option
// ----------------------------------------------------------------------------------

struct RequestCase {
  const char* text;
  bool ok;
  int32_t frame;
  const char* path;
};

class PreviewRequestOf : public ::testing::TestWithParam<RequestCase> {};

TEST_P(PreviewRequestOf, ParsesFrameAndPath) {
  const RequestCase& c = GetParam();
  const std::optional<PreviewRequest> r = parsePreviewRequest(c.text);
  ASSERT_EQ(r.has_value(), c.ok) << c.text;
  if (!r) return;
  EXPECT_EQ(r->frame, c.frame);
  EXPECT_EQ(r->path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PreviewRequestOf,
    ::testing::Values(RequestCase{"5:a.png", true, 5, "a.png"}, RequestCase{"0:x", true, 0, "x"},
                      RequestCase{"12:dir/a:b.png", true, 12, "dir/a:b.png"},
                      RequestCase{":a.png", false, 0, ""}, RequestCase{"5:", false, 0, ""},
                      RequestCase{"-1:a.png", false, 0, ""}, RequestCase{"x:a.png", false, 0, ""},
                      RequestCase{"5a:b.png", false, 0, ""},
                      RequestCase{"99999999999:a.png", false, 0, ""},
                      RequestCase{"a.png", false, 0, ""}));

}  // namespace
}  // namespace quillet
