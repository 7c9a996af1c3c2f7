#include "cli/ycc16_io.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace quillet::cli {

// The file layout is the host's pixel layout on a little-endian machine: rows are copied as
// bytes.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(Pixel) == 6);

// Payload bytes read before the buffer is grown any further.
constexpr size_t kFirstReadBytes = size_t{1} << 20;

bool ClipReader::readPayloadInto(uint8_t* payload) {
  if (!readPayload(copied_)) return false;
  std::memcpy(payload, copied_.data(), payloadBytes());
  return true;
}

size_t ByteInput::read(void* to, size_t bytes) {
  size_t got = 0;
  auto* at = static_cast<unsigned char*>(to);
  while (got < bytes) {
    errno = 0;
    const size_t n = std::fread(at + got, 1, bytes - got, file_);
    got += n;
    if (n != 0) continue;
    if (std::ferror(file_) && error_.empty()) {
      error_ = std::strerror(errno != 0 ? errno : EIO);
    }
    break;
  }
  offset_ += got;
  return got;
}

bool ByteInput::atEnd() {
  errno = 0;
  const int c = std::getc(file_);
  if (c != EOF) {
    std::ungetc(c, file_);
    return false;
  }
  if (std::ferror(file_) && error_.empty()) error_ = std::strerror(errno != 0 ? errno : EIO);
  return true;
}

bool ByteOutput::fail() {
  if (error_.empty()) error_ = std::strerror(errno != 0 ? errno : EIO);
  return false;
}

bool ByteOutput::write(const void* from, size_t bytes) {
  if (!error_.empty()) return false;
  errno = 0;
  if (std::fwrite(from, 1, bytes, file_) != bytes) return fail();
  return true;
}

bool ByteOutput::flush() {
  if (!error_.empty()) return false;
  errno = 0;
  if (std::fflush(file_) != 0) return fail();
  return true;
}

Ycc16Reader::Ycc16Reader(ByteInput& input, int32_t width, int32_t height)
    : input_(input), width_(width), height_(height) {}

bool Ycc16Reader::readFrame(Pixel* frame, int32_t stride) {
  if (fault_) return false;
  const uint64_t frameStart = input_.offset();
  const size_t rowBytes = static_cast<size_t>(width_) * sizeof(Pixel);
  // Rows that lie back to back go in one read: the stream then reads straight into the frame,
  // a few system calls per frame instead of two per row.
  const int32_t rowsPerRead = stride == width_ ? height_ : 1;
  const size_t readBytes = rowBytes * static_cast<size_t>(rowsPerRead);
  for (int32_t r = 0; r < height_; r += rowsPerRead) {
    Pixel* row = frame + static_cast<ptrdiff_t>(r) * stride;
    if (input_.read(row, readBytes) == readBytes) continue;
    noteShortFrame(frameStart);
    return false;
  }
  ++frames_;
  return true;
}

void Ycc16Reader::noteShortFrame(uint64_t frameStart) {
  const uint64_t end = input_.offset();
  if (!input_.error().empty()) {
    noteReadError();
  } else if (end != frameStart) {
    fault_ = "input ends inside frame " + std::to_string(frames_) + " at byte offset " +
             std::to_string(end) + " (the frame starts at byte offset " +
             std::to_string(frameStart) + " and needs " + std::to_string(payloadBytes()) +
             " bytes)";
  }
}

bool Ycc16Reader::hasNextFrame() {
  if (fault_) return false;
  if (!input_.atEnd()) return true;
  if (!input_.error().empty()) noteReadError();
  return false;
}

void Ycc16Reader::noteReadError() {
  fault_ = "cannot read input: " + input_.error() + " (frame " + std::to_string(frames_) +
           ", byte offset " + std::to_string(input_.offset()) + ")";
}

Ycc16Writer::Ycc16Writer(ByteOutput& output, int32_t width, int32_t height)
    : output_(output), width_(width), height_(height) {}

bool Ycc16Writer::writeFrame(int32_t, const Pixel* frame, int32_t stride) {
  const size_t rowBytes = static_cast<size_t>(width_) * sizeof(Pixel);
  // Back-to-back rows go in one write, which the stream passes on without copying.
  const int32_t rowsPerWrite = stride == width_ ? height_ : 1;
  const size_t writeBytes = rowBytes * static_cast<size_t>(rowsPerWrite);
  for (int32_t r = 0; r < height_; r += rowsPerWrite) {
    if (!output_.write(frame + static_cast<ptrdiff_t>(r) * stride, writeBytes)) return false;
  }
  return true;
}

bool Ycc16Writer::finish() { return output_.flush(); }

bool Ycc16Writer::writePayload(const uint8_t* payload) {
  return writeFrame(0, reinterpret_cast<const Pixel*>(payload), width_);
}

size_t Ycc16Reader::payloadBytes() const {
  return static_cast<size_t>(width_) * static_cast<size_t>(height_) * sizeof(Pixel);
}

bool Ycc16Reader::readPayload(std::vector<uint8_t>& payload) {
  if (fault_) return false;
  // The buffer grows with the data that actually arrives, so a frame size promising a huge frame
  // on a short stream costs no more memory than the stream holds.
  const uint64_t frameStart = input_.offset();
  const size_t frameBytes = payloadBytes();
  size_t got = 0;
  while (got < frameBytes) {
    const size_t want = std::min(frameBytes - got, std::max(got, kFirstReadBytes));
    if (payload.size() < got + want) payload.resize(got + want);
    const size_t n = input_.read(payload.data() + got, want);
    got += n;
    if (n == want) continue;
    noteShortFrame(frameStart);
    return false;
  }
  payload.resize(frameBytes);
  ++frames_;
  return true;
}

bool Ycc16Reader::readPayloadInto(uint8_t* payload) {
  if (fault_) return false;
  const uint64_t frameStart = input_.offset();
  if (input_.read(payload, payloadBytes()) != payloadBytes()) {
    noteShortFrame(frameStart);
    return false;
  }
  ++frames_;
  return true;
}

}  // namespace quillet::cli
