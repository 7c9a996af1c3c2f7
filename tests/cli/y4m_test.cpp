#include "cli/y4m.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A read stream holding `bytes`.
File streamOf(const std::string& bytes) {
  File f(std::tmpfile());
  std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  std::rewind(f.get());
  return f;
}

// ---- stream header -------------------------------------------------------------------------

struct LayoutCase {
  const char* token;
  ChromaLayout layout;
  int bitDepth;
  size_t frameBytes;  // for a 5 x 3 frame
};

class ColourspaceToken : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ColourspaceToken, SetsLayoutDepthAndFrameSize) {
  const LayoutCase& c = GetParam();
  const Y4mFormat f = parseY4mHeader(std::string("YUV4MPEG2 W5 H3 C") + c.token);
  EXPECT_EQ(f.layout, c.layout);
  EXPECT_EQ(f.bitDepth, c.bitDepth);
  EXPECT_EQ(f.colourspace, c.token);
  EXPECT_EQ(frameGeometry(f).frameBytes, c.frameBytes);
}

// 5 x 3 frames: subsampled planes are ceil(5/2) = 3 wide and, for 4:2:0, ceil(3/2) = 2 high.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    AllLayouts, ColourspaceToken,
    ::testing::Values(
        LayoutCase{"420jpeg", ChromaLayout::k420, 8, 15 + 2 * 6},
        LayoutCase{"420mpeg2", ChromaLayout::k420, 8, 15 + 2 * 6},
        LayoutCase{"420paldv", ChromaLayout::k420, 8, 15 + 2 * 6},
        LayoutCase{"420", ChromaLayout::k420, 8, 15 + 2 * 6},
        LayoutCase{"420p10", ChromaLayout::k420, 10, 2 * (15 + 2 * 6)},
        LayoutCase{"420p12", ChromaLayout::k420, 12, 2 * (15 + 2 * 6)},
        LayoutCase{"420p16", ChromaLayout::k420, 16, 2 * (15 + 2 * 6)},
        LayoutCase{"422", ChromaLayout::k422, 8, 15 + 2 * 9},
        LayoutCase{"422p10", ChromaLayout::k422, 10, 2 * (15 + 2 * 9)},
        LayoutCase{"422p12", ChromaLayout::k422, 12, 2 * (15 + 2 * 9)},
        LayoutCase{"422p16", ChromaLayout::k422, 16, 2 * (15 + 2 * 9)},
        LayoutCase{"444", ChromaLayout::k444, 8, 3 * 15},
        LayoutCase{"444p10", ChromaLayout::k444, 10, 2 * 3 * 15},
        LayoutCase{"444p12", ChromaLayout::k444, 12, 2 * 3 * 15},
        LayoutCase{"444p16", ChromaLayout::k444, 16, 2 * 3 * 15},
        LayoutCase{"mono", ChromaLayout::kMono, 8, 15},
        LayoutCase{"mono10", ChromaLayout::kMono, 10, 30},
        LayoutCase{"mono12", ChromaLayout::kMono, 12, 30},
        LayoutCase{"mono16", ChromaLayout::kMono, 16, 30},
        LayoutCase{"420p9", ChromaLayout::k420, 9, 2 * (15 + 2 * 6)},
        LayoutCase{"422p14", ChromaLayout::k422, 14, 2 * (15 + 2 * 9)},
        LayoutCase{"444p9", ChromaLayout::k444, 9, 2 * 3 * 15},
        LayoutCase{"mono9", ChromaLayout::kMono, 9, 30},
        LayoutCase{"mono14", ChromaLayout::kMono, 14, 30},
        LayoutCase{"411", ChromaLayout::k411, 8, 15 + 2 * 6},
        LayoutCase{"411p10", ChromaLayout::k411, 10, 2 * (15 + 2 * 6)}),
    [](const ::testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.token); });
// clang-format on

TEST(Y4mHeader, ReadsEveryToken) {
  const Y4mFormat f =
      parseY4mHeader("YUV4MPEG2 W1920 H1080 F30000:1001 It A128:117 C422p10 XYSCSS=422P10 XFOO");
  EXPECT_EQ(f.width, 1920);
  EXPECT_EQ(f.height, 1080);
  EXPECT_TRUE(f.hasRate);
  EXPECT_EQ(f.rateNum, 30000u);
  EXPECT_EQ(f.rateDen, 1001u);
  EXPECT_EQ(f.interlace, 't');
  EXPECT_TRUE(f.hasAspect);
  EXPECT_EQ(f.aspectNum, 128u);
  EXPECT_EQ(f.aspectDen, 117u);
  EXPECT_EQ(f.layout, ChromaLayout::k422);
  EXPECT_EQ(f.bitDepth, 10);
  EXPECT_EQ(f.extraTokens, (std::vector<std::string>{"XYSCSS=422P10", "XFOO"}));
}

TEST(Y4mHeader, WithoutColourSpaceIsEightBit420) {
  const Y4mFormat f = parseY4mHeader("YUV4MPEG2 W4 H2");
  EXPECT_EQ(f.layout, ChromaLayout::k420);
  EXPECT_EQ(f.bitDepth, 8);
  EXPECT_FALSE(f.hasRate);
  EXPECT_FALSE(f.hasAspect);
  EXPECT_EQ(frameGeometry(f).frameBytes, 8u + 2u * 2u);
}

TEST(Y4mHeader, UnknownRatesAndSizeLimitsAreAccepted) {
  const Y4mFormat f = parseY4mHeader("YUV4MPEG2 W16384 H1 F0:0 A0:0");
  EXPECT_EQ(f.width, 16384);
  EXPECT_EQ(f.rateDen, 0u);
  EXPECT_EQ(f.aspectNum, 0u);
}

TEST(Y4mHeader, OutputIsProgressiveAndKeepsEverythingElse) {
  const std::string in =
      "YUV4MPEG2 W720 H480 F30000:1001 Ib A10:11 C420mpeg2 XYSCSS=420MPEG2 XCOLORRANGE=LIMITED";
  EXPECT_EQ(formatY4mHeader(parseY4mHeader(in)),
            "YUV4MPEG2 W720 H480 F30000:1001 Ip A10:11 C420mpeg2 XYSCSS=420MPEG2 "
            "XCOLORRANGE=LIMITED\n");
  // What was absent stays absent, so nothing is invented for the next tool.
  EXPECT_EQ(formatY4mHeader(parseY4mHeader("YUV4MPEG2 W2 H2")), "YUV4MPEG2 W2 H2 Ip\n");
}

// ---- malformed input -----------------------------------------------------------------------

struct BadInput {
  const char* name;
  std::string bytes;
  const char* message;  // a part of the message
  int64_t frame;        // -1: stream header
  uint64_t offset;
};

class MalformedY4m : public ::testing::TestWithParam<BadInput> {};

// Reads the whole stream; the error must name what and where.
TEST_P(MalformedY4m, IsRefusedWithWhatAndWhere) {
  const BadInput& c = GetParam();
  File f = streamOf(c.bytes);
  try {
    Y4mReader reader(f.get());
    std::vector<uint8_t> payload;
    while (reader.readFrame(payload)) {
    }
    FAIL() << "accepted";
  } catch (const Y4mError& e) {
    EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    EXPECT_EQ(e.frame, c.frame) << e.what();
    EXPECT_EQ(e.offset, c.offset) << e.what();
    const std::string where = c.frame < 0 ? "stream header, byte offset " + std::to_string(c.offset)
                                          : "frame " + std::to_string(c.frame) + ", byte offset " +
                                                std::to_string(c.offset);
    EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
  }
}

const std::string kGood = "YUV4MPEG2 W4 H2 C444\n";  // 24-byte frames
const std::string kFrame = "FRAME\n" + std::string(24, '\x80');

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedY4m,
    ::testing::Values(
        BadInput{"EmptyInput", "", "empty input", -1, 0},
        BadInput{"PngFile", "\x89PNG\r\n\x1a\n0000", "not a Y4M stream", -1, 0},
        BadInput{"ShortText", "YUV", "not a Y4M stream", -1, 0},
        BadInput{"SignatureRunOn", "YUV4MPEG2X W4 H2\n", "not a Y4M stream", -1, 0},
        BadInput{"MissingWidth", "YUV4MPEG2 H2 C444\n", "missing W token", -1, 17},
        BadInput{"MissingHeight", "YUV4MPEG2 W4 C444\n", "missing H token", -1, 17},
        BadInput{"WidthNotANumber", "YUV4MPEG2 W4x H2\n", "bad W token \"W4x\"", -1, 10},
        BadInput{"EmptyHeight", "YUV4MPEG2 W4 H\n", "bad H token", -1, 13},
        BadInput{"NegativeWidth", "YUV4MPEG2 W-4 H2\n", "bad W token", -1, 10},
        BadInput{"ZeroWidth", "YUV4MPEG2 W0 H2\n", "frame width \"0\" is out of range 1..16384", -1, 10},
        BadInput{"ZeroHeight", "YUV4MPEG2 W4 H0\n", "frame height \"0\" is out of range", -1, 13},
        BadInput{"WidthAboveLimit", "YUV4MPEG2 W16385 H2\n", "out of range 1..16384", -1, 10},
        BadInput{"HeightAboveLimit", "YUV4MPEG2 W2 H16385\n", "out of range 1..16384", -1, 13},
        BadInput{"WidthOverflowing", "YUV4MPEG2 W99999999999999999999999 H2\n", "out of range", -1, 10},
        BadInput{"EmptyColourSpace", "YUV4MPEG2 W4 H2 C\n", "bad C token", -1, 16},
        BadInput{"LayoutWithAlpha", "YUV4MPEG2 W4 H2 C444alpha\n", "unsupported chroma layout", -1, 16},
        BadInput{"SeventeenBits", "YUV4MPEG2 W4 H2 C420p17\n", "unsupported chroma layout", -1, 16},
        BadInput{"EightBitsSpelledOut", "YUV4MPEG2 W4 H2 C444p8\n", "unsupported chroma layout", -1, 16},
        BadInput{"DepthAfterSiting", "YUV4MPEG2 W4 H2 C420jpegp10\n", "unsupported chroma layout", -1, 16},
        BadInput{"MonoDepthWithP", "YUV4MPEG2 W4 H2 Cmonop10\n", "unsupported chroma layout", -1, 16},
        BadInput{"RateWithoutDenominator", "YUV4MPEG2 W4 H2 F30\n", "bad F token", -1, 16},
        BadInput{"RateZeroDenominator", "YUV4MPEG2 W4 H2 F30:0\n", "bad F token", -1, 16},
        BadInput{"AspectNotANumber", "YUV4MPEG2 W4 H2 A1:x\n", "bad A token", -1, 16},
        BadInput{"InterlaceUnknown", "YUV4MPEG2 W4 H2 Ix\n", "bad I token", -1, 16},
        BadInput{"InterlaceControl", "YUV4MPEG2 W4 H2 I\x01\n", "bad I token \"I\\x01\"", -1, 16},
        BadInput{"HeaderEndsInCrLf", "YUV4MPEG2 W4 H2 It\r\n", "header line ends in CR LF", -1, 18},
        BadInput{"HeaderWithoutNewline", "YUV4MPEG2 W4 H2 C444", "truncated stream header", -1, 20},
        BadInput{"HeaderEndlessly", "YUV4MPEG2 " + std::string(70000, 'X'), "stream header longer than 65536", -1, 65536},
        BadInput{"EndsInsideFirstFrame", kGood + "FRAME\n" + std::string(10, '\x80'), "ends inside a frame: 10 of 24 bytes", 0, 37},
        BadInput{"EndsInsideSecondFrame", kGood + kFrame + "FRAME\n" + std::string(23, '\x80'), "ends inside a frame: 23 of 24 bytes", 1, 80},
        BadInput{"EndsInsideMarker", kGood + kFrame + "FRA", "ends inside a FRAME marker", 1, 54},
        BadInput{"EndsAfterMarker", kGood + "FRAME", "ends inside a FRAME marker", 0, 26},
        BadInput{"EndsInsideFrameParameters", kGood + "FRAME Ixyz", "ends inside a frame header", 0, 31},
        BadInput{"MarkerMissing", kGood + std::string(30, '\x80'), "FRAME marker missing", 0, 21},
        BadInput{"MarkerMissingAfterAFrame", kGood + kFrame + std::string(24, '\x80'), "FRAME marker missing", 1, 51},
        BadInput{"MarkerRunOn", kGood + "FRAMES\n" + std::string(24, '\x80'), "FRAME marker missing", 0, 21},
        BadInput{"FrameHeaderEndlessly", kGood + "FRAME " + std::string(70000, 'x'), "frame header longer than 65536", 0, 21}),
    [](const ::testing::TestParamInfo<BadInput>& p) { return std::string(p.param.name); });
// clang-format on

TEST(Y4mReader, OversizedHeaderIsRefusedBeforeAnyFrameIsRead) {
  // The largest accepted geometry would need gigabytes; one step beyond must not be tried.
  File f = streamOf("YUV4MPEG2 W16385 H16385 C444p16\nFRAME\n");
  EXPECT_THROW(Y4mReader reader(f.get()), Y4mError);
}

TEST(Y4mReader, ShortStreamWithHugeFrameSizeAllocatesOnlyWhatArrives) {
  // 16384 x 16384 at 4:4:4 16-bit is 1.5 GiB a frame; ten bytes of it must not cost that much.
  File f = streamOf("YUV4MPEG2 W16384 H16384 C444p16\nFRAME\n0123456789");
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  try {
    Y4mReader reader(f.get());
    std::vector<uint8_t> payload;
    reader.readFrame(payload);
    FAIL() << "accepted";
  } catch (const Y4mError& e) {
    EXPECT_NE(std::string(e.what()).find("10 of 1610612736 bytes"), std::string::npos) << e.what();
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "peak resident memory grew (KiB)";
}

// ---- reading -------------------------------------------------------------------------------

TEST(Y4mReader, ReadsFramesWithAndWithoutParameters) {
  const std::string a(24, '\x10');
  const std::string b(24, '\x20');
  const std::string c(24, '\x30');
  File f = streamOf(kGood + "FRAME\n" + a + "FRAME Ip XFOO=1\n" + b + "FRAME\n" + c);
  Y4mReader reader(f.get());
  EXPECT_EQ(reader.headerBytes(), kGood.size());
  std::vector<uint8_t> payload;
  for (const std::string& expected : {a, b, c}) {
    ASSERT_TRUE(reader.readFrame(payload));
    EXPECT_EQ(std::string(payload.begin(), payload.end()), expected);
  }
  EXPECT_FALSE(reader.readFrame(payload));
  EXPECT_EQ(reader.framesRead(), 3);
  EXPECT_EQ(reader.offset(), kGood.size() + 3 * 30 + 10);
}

TEST(Y4mReader, ReadsFromAPipe) {
  // A pipe cannot seek, and delivers the stream in pieces of its own choosing.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string frame = "FRAME\n" + std::string(24, '\x55');
  std::thread writer([&] {
    std::string all = kGood;
    for (int i = 0; i < 500; ++i) all += frame;
    size_t done = 0;
    while (done < all.size()) {
      const size_t chunk = std::min<size_t>(7, all.size() - done);
      const ssize_t n = write(fds[1], all.data() + done, chunk);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  File in(fdopen(fds[0], "rb"));
  int64_t frames = 0;
  {
    Y4mReader reader(in.get());
    std::vector<uint8_t> payload;
    while (reader.readFrame(payload)) ++frames;
  }
  writer.join();
  EXPECT_EQ(frames, 500);
}

// ---- writing -------------------------------------------------------------------------------

TEST(Y4mWriter, WhatItWritesReadsBackTheSame) {
  const Y4mFormat format = parseY4mHeader("YUV4MPEG2 W5 H3 F25:1 A1:1 C420p12 XCOLORRANGE=LIMITED");
  const size_t bytes = frameGeometry(format).frameBytes;
  test::Prng prng(test::testSeed());
  std::vector<std::vector<uint8_t>> frames(3, std::vector<uint8_t>(bytes));
  for (auto& frame : frames) {
    for (auto& b : frame) b = static_cast<uint8_t>(prng.range(0, 255));
  }
  File f(std::tmpfile());
  Y4mWriter writer(f.get(), format);
  for (const auto& frame : frames) writer.writeFrame(frame.data());
  writer.flush();
  EXPECT_EQ(writer.framesWritten(), 3);

  std::rewind(f.get());
  Y4mReader reader(f.get());
  EXPECT_EQ(formatY4mHeader(reader.format()), formatY4mHeader(format));
  EXPECT_EQ(reader.format().interlace, 'p');
  std::vector<uint8_t> payload;
  for (const auto& frame : frames) {
    ASSERT_TRUE(reader.readFrame(payload));
    EXPECT_EQ(payload, frame);
  }
  EXPECT_FALSE(reader.readFrame(payload));
}

TEST(Y4mWriter, FullDeviceIsAnOutputError) {
  File f(std::fopen("/dev/full", "wb"));
  if (!f) GTEST_SKIP() << "no /dev/full";
  const Y4mFormat format = parseY4mHeader("YUV4MPEG2 W64 H64 C444");
  const std::vector<uint8_t> frame(frameGeometry(format).frameBytes);
  EXPECT_THROW(
      {
        Y4mWriter writer(f.get(), format);
        for (int i = 0; i < 100; ++i) writer.writeFrame(frame.data());
        writer.flush();
      },
      OutputError);
}

// ---- frames to pixels and back ---------------------------------------------------------------

struct GeometryCase {
  const char* colourspace;
  int32_t width;
  int32_t height;
};

class FrameConversion : public ::testing::TestWithParam<GeometryCase> {
 protected:
  Y4mFormat format() const {
    const GeometryCase& c = GetParam();
    return parseY4mHeader("YUV4MPEG2 W" + std::to_string(c.width) + " H" +
                          std::to_string(c.height) + " C" + c.colourspace);
  }
};

// Random samples over the whole code range of the depth.
std::vector<uint8_t> randomPayload(const Y4mFormat& format, test::Prng& prng) {
  std::vector<uint8_t> payload(frameGeometry(format).frameBytes);
  if (format.bitDepth == 8) {
    for (auto& b : payload) b = static_cast<uint8_t>(prng.range(0, 255));
  } else {
    const int32_t maxCode = (1 << format.bitDepth) - 1;
    for (size_t i = 0; i + 1 < payload.size(); i += 2) {
      const int32_t v = prng.range(0, maxCode);
      payload[i] = static_cast<uint8_t>(v & 0xFF);
      payload[i + 1] = static_cast<uint8_t>(v >> 8);
    }
  }
  return payload;
}

TEST_P(FrameConversion, UntouchedPixelsComeBackUnchanged) {
  const Y4mFormat f = format();
  const SampleScale scale = makeSampleScale(f.bitDepth);
  test::Prng prng(test::testSeed());
  const std::vector<uint8_t> in = randomPayload(f, prng);
  const int32_t stride = f.width + 3;
  std::vector<Pixel> pixels(static_cast<size_t>(stride) * static_cast<size_t>(f.height));
  y4mFrameToPixels(f, scale, in.data(), pixels.data(), stride);
  std::vector<uint8_t> out(in.size(), 0);
  pixelsToY4mFrame(f, scale, pixels.data(), stride, out.data());
  if (f.bitDepth <= 12) {
    EXPECT_EQ(out, in) << "seed " << test::testSeed();
  } else {
    // 14 and 16 bits: quantised, but a second pass is exact.
    y4mFrameToPixels(f, scale, out.data(), pixels.data(), stride);
    std::vector<uint8_t> again(in.size(), 0);
    pixelsToY4mFrame(f, scale, pixels.data(), stride, again.data());
    EXPECT_EQ(again, out) << "seed " << test::testSeed();
  }
}

TEST_P(FrameConversion, EveryPixelCarriesTheChromaOfItsSample) {
  const Y4mFormat f = format();
  const FrameGeometry g = frameGeometry(f);
  const SampleScale scale = makeSampleScale(f.bitDepth);
  test::Prng prng(test::testSeed());
  const std::vector<uint8_t> in = randomPayload(f, prng);
  std::vector<Pixel> pixels(static_cast<size_t>(f.width) * static_cast<size_t>(f.height));
  y4mFrameToPixels(f, scale, in.data(), pixels.data(), f.width);
  const size_t bytes = f.bitDepth > 8 ? 2 : 1;
  auto sampleAt = [&](int plane, int32_t x, int32_t y) {
    const size_t i = g.planes[plane].offset +
                     (static_cast<size_t>(y) * static_cast<size_t>(g.planes[plane].width) +
                      static_cast<size_t>(x)) *
                         bytes;
    return bytes == 1 ? int32_t{in[i]} : int32_t{in[i]} | (int32_t{in[i + 1]} << 8);
  };
  for (int32_t y = 0; y < f.height; ++y) {
    for (int32_t x = 0; x < f.width; ++x) {
      const Pixel& p = pixels[static_cast<size_t>(y * f.width + x)];
      ASSERT_EQ(p.y, lumaCodeToHost(sampleAt(0, x, y), scale));
      const int32_t cb = g.planeCount == 3 ? sampleAt(1, x >> g.shiftX, y >> g.shiftY) : -1;
      const int32_t cr = g.planeCount == 3 ? sampleAt(2, x >> g.shiftX, y >> g.shiftY) : -1;
      ASSERT_EQ(p.cb, cb < 0 ? 0 : chromaCodeToHost(cb, scale)) << x << "," << y;
      ASSERT_EQ(p.cr, cr < 0 ? 0 : chromaCodeToHost(cr, scale)) << x << "," << y;
    }
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Layouts, FrameConversion,
    ::testing::Values(
        GeometryCase{"420jpeg", 6, 4}, GeometryCase{"420jpeg", 7, 5}, GeometryCase{"420p10", 7, 5},
        GeometryCase{"420p12", 9, 3}, GeometryCase{"420p16", 7, 5}, GeometryCase{"422", 7, 5},
        GeometryCase{"422p10", 5, 2}, GeometryCase{"422p12", 1, 1}, GeometryCase{"422p16", 5, 5},
        GeometryCase{"444", 7, 5}, GeometryCase{"444p10", 3, 3}, GeometryCase{"444p12", 8, 2},
        GeometryCase{"444p16", 3, 7}, GeometryCase{"mono", 7, 5}, GeometryCase{"mono10", 4, 4},
        GeometryCase{"mono12", 3, 1}, GeometryCase{"mono16", 5, 3}, GeometryCase{"420p9", 7, 5},
        GeometryCase{"422p14", 5, 3}, GeometryCase{"mono14", 3, 2}, GeometryCase{"411", 7, 3},
        GeometryCase{"411", 1, 2}, GeometryCase{"411p12", 6, 3}),
    [](const ::testing::TestParamInfo<GeometryCase>& p) {
      return std::string(p.param.colourspace) + "_" + std::to_string(p.param.width) + "x" +
             std::to_string(p.param.height);
    });
// clang-format on

TEST(FrameConversion, SubsampledChromaIsTheMeanOfItsBlock) {
  // 4:2:0, 2 x 2 pixels: one chroma sample from four differently coloured pixels.
  const Y4mFormat f = parseY4mHeader("YUV4MPEG2 W2 H2 C420jpeg");
  const SampleScale s = makeSampleScale(8);
  const Pixel pixels[4] = {{0, s.chromaToHost[100], s.chromaToHost[50]},
                           {0, s.chromaToHost[104], s.chromaToHost[50]},
                           {0, s.chromaToHost[96], s.chromaToHost[60]},
                           {0, s.chromaToHost[120], s.chromaToHost[40]}};
  uint8_t payload[6] = {};
  pixelsToY4mFrame(f, s, pixels, 2, payload);
  EXPECT_EQ(payload[4], 105);  // (100 + 104 + 96 + 120) / 4
  EXPECT_EQ(payload[5], 50);   // (50 + 50 + 60 + 40) / 4
}

}  // namespace
}  // namespace quillet
