// libFuzzer entry for the Y4M reader: any byte string is a stream. Besides "no crash, no leak,
// no undefined behaviour" it checks two properties of what the reader accepts: the header the
// writer makes from it reads back the same, and frames of 8 to 12 bits survive the trip to host
// pixels and back unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/y4m.h"
#include "formats/sample_scale.h"

namespace {

// Frames larger than this are read but not converted, to keep each run fast.
constexpr int64_t kMaxConvertedPixels = 1 << 16;
constexpr int kMaxFrames = 8;

void check(bool ok) {
  if (!ok) std::abort();
}

bool codesInRange(const std::vector<uint8_t>& payload, int bitDepth) {
  if (bitDepth == 8) return true;
  for (size_t i = 0; i + 1 < payload.size(); i += 2) {
    if ((payload[i] | (payload[i + 1] << 8)) >> bitDepth) return false;
  }
  return true;
}

void exercise(std::FILE* in) {
  quillet::Y4mReader reader(in);
  const quillet::Y4mFormat& format = reader.format();

  const std::string header = quillet::formatY4mHeader(format);
  const quillet::Y4mFormat again =
      quillet::parseY4mHeader(std::string_view(header).substr(0, header.size() - 1));
  check(quillet::formatY4mHeader(again) == header);
  check(quillet::frameGeometry(again).frameBytes == reader.geometry().frameBytes);

  const int64_t pixels = int64_t{format.width} * format.height;
  const bool convert = pixels <= kMaxConvertedPixels;
  static quillet::SampleScale scales[17];
  quillet::SampleScale& scale = scales[format.bitDepth];
  std::vector<quillet::Pixel> frame;
  std::vector<uint8_t> back;
  if (convert) {
    if (scale.lumaToHost.empty()) scale = quillet::makeSampleScale(format.bitDepth);
    frame.resize(static_cast<size_t>(pixels));
    back.resize(reader.geometry().frameBytes);
  }
  std::vector<uint8_t> payload;
  for (int i = 0; i < kMaxFrames && reader.readFrame(payload); ++i) {
    if (!convert) continue;
    quillet::y4mFrameToPixels(format, scale, payload.data(), frame.data(), format.width);
    quillet::pixelsToY4mFrame(format, scale, frame.data(), format.width, back.data());
    if (format.bitDepth <= 12 && codesInRange(payload, format.bitDepth)) check(back == payload);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* in = std::tmpfile();
  if (in == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, in);
  std::rewind(in);
  try {
    exercise(in);
  } catch (const quillet::Y4mError&) {
    // Refusing bad input is the expected outcome for most inputs.
  }
  std::fclose(in);
  return 0;
}
