#include "cli/y4m_io.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace quillet::cli {

Y4mClipReader::Y4mClipReader(std::FILE* in)
    : reader_(in), scale_(makeSampleScale(reader_.format().bitDepth)) {}

Y4mClipReader::~Y4mClipReader() { waitForRead(); }

const std::optional<std::string>& Y4mClipReader::fault() const {
  waitForRead();
  return fault_;
}

void Y4mClipReader::waitForRead() const {
  // A deferred read has not started, and nobody wants its frame any more.
  if (pending_.valid() &&
      pending_.wait_for(std::chrono::seconds(0)) != std::future_status::deferred) {
    pending_.wait();
  }
}

bool Y4mClipReader::decodeInto(int slot) {
  try {
    if (!reader_.readFrame(payload_)) return false;
  } catch (const Y4mError& e) {
    fault_ = e.what();
    return false;
  }
  std::vector<Pixel>& pixels = buffers_[slot];
  pixels.resize(static_cast<size_t>(reader_.format().width) *
                static_cast<size_t>(reader_.format().height));
  y4mFrameToPixels(reader_.format(), scale_, payload_.data(), pixels.data(),
                   reader_.format().width);
  return true;
}

void Y4mClipReader::startNext() {
  const int slot = filling_;
  const auto decode = [this, slot] { return decodeInto(slot); };
  try {
    pending_ = std::async(std::launch::async, decode);
  } catch (const std::system_error&) {
    // No thread to be had: the frame is read when it is asked for.
    pending_ = std::async(std::launch::deferred, decode);
  }
}

bool Y4mClipReader::hasNextFrame() {
  if (!started_) {
    started_ = true;
    startNext();
  }
  if (!nextFound_) nextFound_ = pending_.valid() && pending_.get();
  return *nextFound_;
}

bool Y4mClipReader::readFrame(Pixel* frame, int32_t stride) {
  if (!hasNextFrame()) return false;
  nextFound_.reset();
  const int ready = filling_;
  filling_ ^= 1;
  startNext();
  const auto width = static_cast<size_t>(reader_.format().width);
  for (int32_t y = 0; y < reader_.format().height; ++y) {
    std::copy_n(buffers_[ready].data() + static_cast<size_t>(y) * width, width,
                frame + static_cast<ptrdiff_t>(y) * stride);
  }
  return true;
}

bool Y4mClipReader::payloadInterlaced() const {
  switch (reader_.format().interlace) {
    case 'p':
    case '?':
      return false;
    case 'm':
      return reader_.frameSampling() != 'p';
    default:
      return true;
  }
}

bool Y4mClipReader::readPayload(std::vector<uint8_t>& payload) {
  if (fault_) return false;
  try {
    return reader_.readFrame(payload);
  } catch (const Y4mError& e) {
    fault_ = e.what();
    return false;
  }
}

bool Y4mClipReader::readPayloadInto(uint8_t* payload) {
  if (fault_) return false;
  try {
    return reader_.readFrame(payload);
  } catch (const Y4mError& e) {
    fault_ = e.what();
    return false;
  }
}

Y4mClipWriter::Y4mClipWriter(std::FILE* out, const Y4mFormat& format)
    : format_(format), scale_(makeSampleScale(format.bitDepth)) {
  try {
    writer_.emplace(out, format_);
  } catch (const OutputError& e) {
    error_ = e.what();
  }
}

bool Y4mClipWriter::writeFrame(int32_t, const Pixel* frame, int32_t stride) {
  if (!writer_ || !error_.empty()) return false;
  payload_.resize(frameGeometry(format_).frameBytes);
  pixelsToY4mFrame(format_, scale_, frame, stride, payload_.data());
  try {
    writer_->writeFrame(payload_.data());
  } catch (const OutputError& e) {
    error_ = e.what();
    return false;
  }
  return true;
}

bool Y4mClipWriter::writePayload(const uint8_t* payload) {
  if (!writer_ || !error_.empty()) return false;
  try {
    writer_->writeFrame(payload);
  } catch (const OutputError& e) {
    error_ = e.what();
    return false;
  }
  return true;
}

bool Y4mClipWriter::finish() {
  if (!writer_ || !error_.empty()) return false;
  try {
    writer_->flush();
  } catch (const OutputError& e) {
    error_ = e.what();
    return false;
  }
  return true;
}

}  // namespace quillet::cli
