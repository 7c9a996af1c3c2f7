#include "cli/engine_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cli/ycc16_io.h"

namespace quillet::cli {
namespace {

constexpr int32_t kSide = 16;
constexpr size_t kFrameBytes = kSide * kSide * 3 / 2;
constexpr int kFailingFrame = 2;

QuilletConfig smallConfig() {
  QuilletConfig c;
  quillet_default_config(&c);
  c.width = kSide;
  c.height = kSide;
  c.threads = 1;
  return c;
}

// Five grey frames in and out; reading or writing frame kFailingFrame runs out of memory when
// asked to.
class Frames : public PayloadSource, public PayloadSink {
 public:
  Frames(bool failRead, bool failWrite) : failRead_(failRead), failWrite_(failWrite) {}
  bool read(std::vector<uint8_t>& payload) override {
    if (failRead_ && read_ == kFailingFrame) throw std::bad_alloc();
    payload.assign(kFrameBytes, 128);
    return read_++ < 5;
  }
  std::optional<std::string> fault() const override { return std::nullopt; }
  bool write(const uint8_t*, bool) override {
    if (failWrite_ && written_++ == kFailingFrame) throw std::bad_alloc();
    return true;
  }

 private:
  bool failRead_, failWrite_;
  int read_ = 0, written_ = 0;
};

// Memory refused on the reader, the writer or the filtering thread ends the run with a message,
// its threads joined, and the frames before the failing one written.
TEST(RunOnEngine, OutOfMemoryOnAnyThreadEndsTheRunWithAMessage) {
  const char* const threads[] = {"reading", "writing", "filtering"};
  for (int t = 0; t < 3; ++t) {
    SCOPED_TRACE(threads[t]);
    Frames frames(t == 0, t == 1);
    EngineRunHooks hooks;
    if (t == 2) {
      hooks.output = [](int64_t n, const uint8_t*) {
        if (n == kFailingFrame) throw std::bad_alloc();
      };
    }
    const EngineRunResult r = runOnEngine(smallConfig(), kFrameBytes, frames, frames, hooks);
    EXPECT_EQ(r.status, EngineRunResult::Status::kFailed);
    EXPECT_EQ(r.error, std::string("out of memory ") + threads[t] + " frames of 16x16 pixels");
    EXPECT_EQ(r.framesWritten, kFailingFrame);
  }
}

// Frames of a moving pattern, the last one cut off midway; read straight into the memory it is
// given, or (copying) only through read().
class CutStream : public PayloadSource, public PayloadSink {
 public:
  static constexpr int kWhole = 6;
  explicit CutStream(bool inPlace) : inPlace_(inPlace) {}
  bool read(std::vector<uint8_t>& payload) override {
    payload.resize(kFrameBytes);
    return fill(payload.data());
  }
  bool readInto(uint8_t* payload, size_t bytes) override {
    if (!inPlace_) return PayloadSource::readInto(payload, bytes);
    EXPECT_EQ(bytes, kFrameBytes);
    return fill(payload);
  }
  std::optional<std::string> fault() const override { return std::nullopt; }
  bool write(const uint8_t* payload, bool) override {
    out.insert(out.end(), payload, payload + kFrameBytes);
    return true;
  }
  std::vector<uint8_t> out;

 private:
  bool fill(uint8_t* payload) {
    const size_t bytes = read_ < kWhole ? kFrameBytes : kFrameBytes / 2;
    for (size_t i = 0; i < bytes; ++i) payload[i] = static_cast<uint8_t>(i * 7 + read_ * 29);
    return read_++ < kWhole;
  }
  bool inPlace_;
  int read_ = 0;
};

// Frames read into the engine's lent memory come out as copied ones do, whole runs and slices;
// a source that ends inside a frame ends the run after every whole frame is written.
TEST(RunOnEngine, FramesReadInPlaceMatchCopiedOnesUpToTheCut) {
  CutStream copied(false);
  const EngineRunResult whole = runOnEngine(smallConfig(), kFrameBytes, copied, copied, {});
  EXPECT_EQ(whole.status, EngineRunResult::Status::kDone);
  ASSERT_EQ(whole.framesWritten, CutStream::kWhole);
  for (const FrameRange range : {FrameRange{}, FrameRange{2, 4}, FrameRange{3, 100}}) {
    SCOPED_TRACE(range.first);
    CutStream inPlace(true);
    const EngineRunResult r = runOnEngine(smallConfig(), kFrameBytes, inPlace, inPlace, {}, range);
    EXPECT_EQ(r.status, EngineRunResult::Status::kDone);
    const auto end = std::min<int64_t>(range.end, CutStream::kWhole);
    EXPECT_EQ(r.framesWritten, end - range.first);
    const std::vector<uint8_t> expected(copied.out.begin() + range.first * kFrameBytes,
                                        copied.out.begin() + end * kFrameBytes);
    EXPECT_EQ(inPlace.out, expected);
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A frame size promising 96 MB on a stream of a few bytes takes no more memory than arrives.
TEST(Ycc16Reader, PayloadGrowsWithTheData) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_TRUE(file);
  std::fputs("0123456789", file.get());
  std::rewind(file.get());
  ByteInput input(file.get());
  Ycc16Reader reader(input, 4096, 4096);
  std::vector<uint8_t> payload;
  EXPECT_FALSE(reader.readPayload(payload));
  EXPECT_LE(payload.capacity(), size_t{1} << 20);
  ASSERT_TRUE(reader.fault());
  EXPECT_NE(reader.fault()->find("input ends inside frame 0 at byte offset 10"), std::string::npos)
      << *reader.fault();
}

}  // namespace
}  // namespace quillet::cli
