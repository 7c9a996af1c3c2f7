#include "cli/y4m_io.h"

#include <algorithm>

namespace quillet::cli {

Y4mClipReader::Y4mClipReader(std::FILE* in)
    : reader_(in), scale_(makeSampleScale(reader_.format().bitDepth)) {
  const size_t pixels =
      static_cast<size_t>(reader_.format().width) * static_cast<size_t>(reader_.format().height);
  buffers_[0].resize(pixels);
  buffers_[1].resize(pixels);
}

Y4mClipReader::~Y4mClipReader() {
  if (pending_.valid()) pending_.wait();
}

const std::optional<std::string>& Y4mClipReader::fault() const {
  if (pending_.valid()) pending_.wait();
  return fault_;
}

bool Y4mClipReader::decodeInto(int slot) {
  try {
    if (!reader_.readFrame(payload_)) return false;
  } catch (const Y4mError& e) {
    fault_ = e.what();
    return false;
  }
  y4mFrameToPixels(reader_.format(), scale_, payload_.data(), buffers_[slot].data(),
                   reader_.format().width);
  return true;
}

void Y4mClipReader::startNext() {
  const int slot = filling_;
  pending_ = std::async(std::launch::async, [this, slot] { return decodeInto(slot); });
}

bool Y4mClipReader::readFrame(Pixel* frame, int32_t stride) {
  if (!started_) {
    started_ = true;
    startNext();
  }
  if (!pending_.valid() || !pending_.get()) return false;
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

Y4mClipWriter::Y4mClipWriter(std::FILE* out, const Y4mFormat& format)
    : format_(format),
      scale_(makeSampleScale(format.bitDepth)),
      payload_(frameGeometry(format).frameBytes) {
  try {
    writer_.emplace(out, format_);
  } catch (const OutputError& e) {
    error_ = e.what();
  }
}

bool Y4mClipWriter::writeFrame(int32_t, const Pixel* frame, int32_t stride) {
  if (!writer_ || !error_.empty()) return false;
  pixelsToY4mFrame(format_, scale_, frame, stride, payload_.data());
  try {
    writer_->writeFrame(payload_.data());
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
