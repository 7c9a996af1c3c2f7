#include "cli/y4m_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"

namespace quillet::cli {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A 4:2:2 10-bit stream of `frames` random frames, cut to `keep` bytes when given.
std::string randomStream(int frames, std::vector<std::vector<uint8_t>>& payloads,
                         size_t keep = std::string::npos) {
  const Y4mFormat format = parseY4mHeader("YUV4MPEG2 W7 H3 F25:1 C422p10");
  const size_t bytes = frameGeometry(format).frameBytes;
  test::Prng prng(test::testSeed());
  std::string stream = formatY4mHeader(format);
  for (int n = 0; n < frames; ++n) {
    std::vector<uint8_t> payload(bytes);
    for (size_t i = 0; i < bytes; i += 2) {
      const int32_t v = prng.range(0, 1023);
      payload[i] = static_cast<uint8_t>(v & 0xFF);
      payload[i + 1] = static_cast<uint8_t>(v >> 8);
    }
    stream += "FRAME\n" + std::string(payload.begin(), payload.end());
    payloads.push_back(std::move(payload));
  }
  return stream.substr(0, keep);
}

File streamOf(const std::string& bytes) {
  File f(std::tmpfile());
  std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  std::rewind(f.get());
  return f;
}

TEST(Y4mClipReader, GivesEveryFrameInOrderAtTheHostsStride) {
  std::vector<std::vector<uint8_t>> payloads;
  File in = streamOf(randomStream(5, payloads));
  Y4mClipReader reader(in.get());
  ASSERT_EQ(reader.width(), 7);
  ASSERT_EQ(reader.height(), 3);
  const SampleScale scale = makeSampleScale(10);
  const int32_t stride = 16;
  std::vector<Pixel> frame(stride * 3, Pixel{-1, -1, -1});
  std::vector<Pixel> expected(7 * 3);
  for (const auto& payload : payloads) {
    ASSERT_TRUE(reader.readFrame(frame.data(), stride));
    y4mFrameToPixels(reader.format(), scale, payload.data(), expected.data(), 7);
    for (int32_t y = 0; y < 3; ++y) {
      for (int32_t x = 0; x < stride; ++x) {
        const Pixel& got = frame[static_cast<size_t>(y * stride + x)];
        // Past the width the host's buffer is left alone.
        const Pixel want = x < 7 ? expected[static_cast<size_t>(y * 7 + x)] : Pixel{-1, -1, -1};
        ASSERT_EQ(got.y, want.y) << x << "," << y;
        ASSERT_EQ(got.cb, want.cb) << x << "," << y;
        ASSERT_EQ(got.cr, want.cr) << x << "," << y;
      }
    }
  }
  EXPECT_FALSE(reader.readFrame(frame.data(), stride));
  EXPECT_FALSE(reader.fault().has_value());
}

TEST(Y4mClipReader, StopsAtTheFaultAndSaysWhere) {
  std::vector<std::vector<uint8_t>> payloads;
  const std::string whole = randomStream(4, payloads);
  const size_t frameSpan = 6 + payloads[0].size();
  const size_t header = whole.size() - 4 * frameSpan;
  File in = streamOf(whole.substr(0, header + 2 * frameSpan + 9));
  Y4mClipReader reader(in.get());
  std::vector<Pixel> frame(7 * 3);
  EXPECT_TRUE(reader.readFrame(frame.data(), 7));
  EXPECT_TRUE(reader.readFrame(frame.data(), 7));
  EXPECT_FALSE(reader.readFrame(frame.data(), 7));
  EXPECT_FALSE(reader.readFrame(frame.data(), 7));
  ASSERT_TRUE(reader.fault().has_value());
  EXPECT_NE(
      reader.fault()->find("frame 2, byte offset " + std::to_string(header + 2 * frameSpan + 9)),
      std::string::npos)
      << *reader.fault();
}

TEST(Y4mClipReader, UnusableHeaderThrows) {
  File in = streamOf("YUV4MPEG2 W7 H3 C410\n");
  EXPECT_THROW(Y4mClipReader reader(in.get()), Y4mError);
}

TEST(Y4mClipWriter, WritesWhatTheReaderGaveBack) {
  std::vector<std::vector<uint8_t>> payloads;
  const std::string stream = randomStream(3, payloads);
  File in = streamOf(stream);
  Y4mClipReader reader(in.get());
  File out(std::tmpfile());
  Y4mClipWriter writer(out.get(), reader.format());
  std::vector<Pixel> frame(8 * 3);
  for (int32_t n = 0; reader.readFrame(frame.data(), 8); ++n) {
    ASSERT_TRUE(writer.writeFrame(n, frame.data(), 8));
  }
  ASSERT_TRUE(writer.finish()) << writer.error();
  std::rewind(out.get());
  std::string written(stream.size() + 16, '\0');
  written.resize(std::fread(written.data(), 1, written.size(), out.get()));
  EXPECT_EQ(written, stream);  // the header already says Ip, so every byte comes back
}

}  // namespace
}  // namespace quillet::cli
