#pragma once

#include <cstdint>
#include <cstdio>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "cli/y4m.h"
#include "cli/ycc16_io.h"
#include "formats/sample_scale.h"

namespace quillet::cli {

// Y4M frames for the host. Reads ahead: while the host filters frame k, a second thread reads
// and converts frame k + 2 (the host has asked for k + 1 already), so reading overlaps
// filtering; at most two converted frames wait besides the host's own. Their memory is taken
// as frames arrive.
class Y4mClipReader : public ClipReader {
 public:
  // Reads the stream header; throws Y4mError when it is unusable. Takes no frame memory.
  explicit Y4mClipReader(std::FILE* in);
  ~Y4mClipReader() override;

  int32_t width() const override { return reader_.format().width; }
  int32_t height() const override { return reader_.format().height; }
  // Waits for a read still under way, so what it found is included.
  const std::optional<std::string>& fault() const override;
  bool readFrame(Pixel* frame, int32_t stride) override;
  // Waits for the next frame's read; false when it found no frame.
  bool hasNextFrame() override;
  size_t payloadBytes() const override { return reader_.geometry().frameBytes; }
  bool readPayload(std::vector<uint8_t>& payload) override;
  bool readPayloadInto(uint8_t* payload) override;

  const Y4mFormat& format() const { return reader_.format(); }
  // Whether the frame readPayload read last is interlaced: It/Ib, or with Im its own mark's
  // temporal letter (Ixiz interlaced, Ixpz progressive; a frame without one counts as
  // interlaced, as a stream without marks does); Ip and I? streams are progressive. A stream
  // without an I token counts as interlaced.
  bool payloadInterlaced() const;
  uint64_t headerBytes() const { return reader_.headerBytes(); }
  size_t frameBytes() const { return reader_.geometry().frameBytes; }

 private:
  // Reads and converts the next frame into buffers_[slot]; false at the end or on a fault.
  bool decodeInto(int slot);
  void startNext();
  // Waits for a read under way on the second thread.
  void waitForRead() const;

  Y4mReader reader_;
  SampleScale scale_;
  std::vector<uint8_t> payload_;
  std::vector<Pixel> buffers_[2];
  int filling_ = 0;
  bool started_ = false;
  std::future<bool> pending_;
  std::optional<bool> nextFound_;  // what the finished read of the next frame found
  std::optional<std::string> fault_;
};

// Y4M frames from the host, in the input's format (marked progressive).
class Y4mClipWriter : public ClipWriter {
 public:
  Y4mClipWriter(std::FILE* out, const Y4mFormat& format);
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override;
  bool writePayload(const uint8_t* payload) override;
  bool finish() override;
  const std::string& error() const override { return error_; }

 private:
  Y4mFormat format_;
  SampleScale scale_;
  std::vector<uint8_t> payload_;  // taken with the first frame
  std::optional<Y4mWriter> writer_;
  std::string error_;
};

}  // namespace quillet::cli
