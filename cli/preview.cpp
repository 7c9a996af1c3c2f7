#include "cli/preview.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#if QUILLET_HAVE_PNG
#include <png.h>

#include <csetjmp>
#endif

namespace quillet {
namespace {

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

uint8_t toByte(double v) { return static_cast<uint8_t>(std::lrint(std::clamp(v, 0.0, 1.0) * 255)); }

}  // namespace

PreviewColour previewColourFor(const Y4mFormat& format) {
  PreviewColour c;
  // Frame size decides the matrix when nothing says otherwise, as players guess it.
  c.matrix =
      (format.width >= 1280 || format.height >= 720) ? ColourMatrix::kBt709 : ColourMatrix::kBt601;
  for (const std::string& token : format.extraTokens) {
    const size_t eq = token.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = upper(std::string_view(token).substr(0, eq));
    const std::string value = upper(std::string_view(token).substr(eq + 1));
    if (key == "XCOLORRANGE") {
      if (value == "FULL") c.range = ColourRange::kFull;
      if (value == "LIMITED") c.range = ColourRange::kLimited;
    } else if (key == "XCOLORMATRIX" || key == "XCOLORSPACE") {
      if (value.find("709") != std::string::npos) {
        c.matrix = ColourMatrix::kBt709;
      } else if (value.find("601") != std::string::npos ||
                 value.find("170M") != std::string::npos ||
                 value.find("470BG") != std::string::npos) {
        c.matrix = ColourMatrix::kBt601;
      }
    }
  }
  return c;
}

void hostPixelToRgb(const Pixel& p, PreviewColour colour, uint8_t rgb[3]) {
  const double kr = colour.matrix == ColourMatrix::kBt709 ? 0.2126 : 0.299;
  const double kb = colour.matrix == ColourMatrix::kBt709 ? 0.0722 : 0.114;
  const double kg = 1.0 - kr - kb;
  double y;
  double pb;
  double pr;
  if (colour.range == ColourRange::kLimited) {
    // Host Y 0..4096 is black..white; Cb, Cr +-2048 are the chroma extremes (+-0.5).
    y = p.y / 4096.0;
    pb = p.cb / 4096.0;
    pr = p.cr / 4096.0;
  } else {
    // Full-range samples went through the video-range scale: undo it to 8-bit-equivalent codes.
    y = (16.0 + p.y * 219.0 / 4096.0) / 255.0;
    pb = (p.cb * 112.0 / 2048.0) / 255.0;
    pr = (p.cr * 112.0 / 2048.0) / 255.0;
  }
  const double r = y + 2.0 * (1.0 - kr) * pr;
  const double b = y + 2.0 * (1.0 - kb) * pb;
  const double g = (y - kr * r - kb * b) / kg;
  rgb[0] = toByte(r);
  rgb[1] = toByte(g);
  rgb[2] = toByte(b);
}

int32_t weightFromDisplay(const Pixel& painted) {
  const int32_t cb = std::clamp<int32_t>(painted.cb, 0, 1717);
  // The smallest m with (m * 3435) >> 13 == cb, then the first from there that fits Cr too.
  const int32_t first = (cb * 8192 + 3434) / 3435;
  for (int32_t m = first; m <= std::min(first + 3, 4096); ++m) {
    if (((m * 3435) >> 13) == cb && ((m * 2231) >> 13) == painted.cr) return m;
  }
  return std::min(first, 4096);
}

Band bandFor(const standin::Settings& settings, int32_t height) {
  Band band;
  band.top = std::min(settings.top, height);
  band.end = std::max(height - settings.bottom, band.top);
  return band;
}

std::vector<uint16_t> motionWeightsOf(const standin::HostConfig& config,
                                      const standin::Clip& frames, int32_t centre) {
  const auto pixels = static_cast<size_t>(frames.width) * static_cast<size_t>(frames.height);
  std::vector<uint16_t> weights(pixels, 0);
  const Band band = bandFor(config.settings, frames.height);
  const auto rowStart = [&](int32_t row) {
    return static_cast<size_t>(row) * static_cast<size_t>(frames.width);
  };
  if (config.settings.motion == 0) {
    std::fill(weights.begin() + static_cast<ptrdiff_t>(rowStart(band.top)),
              weights.begin() + static_cast<ptrdiff_t>(rowStart(band.end)), uint16_t{4096});
    return weights;
  }
  standin::HostConfig display = config;
  display.settings.showMotion = true;
  display.maxWidth = 0;
  display.maxHeight = 0;
  const standin::Clip painted = standin::filterClip(display, frames);
  if (static_cast<size_t>(centre) >= painted.frames.size()) return weights;
  const std::vector<Pixel>& frame = painted.frames[static_cast<size_t>(centre)];
  for (size_t i = rowStart(band.top); i < rowStart(band.end); ++i) {
    weights[i] = static_cast<uint16_t>(weightFromDisplay(frame[i]));
  }
  return weights;
}

int32_t previewWidth(const PreviewImage& image) { return 3 * image.width + 2 * kPreviewGap; }

namespace {

// The letters of PASSED, 5 x 7 pixels, one row a byte (bit 4 the leftmost pixel).
constexpr uint8_t kGlyphP[7] = {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10};
constexpr uint8_t kGlyphA[7] = {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11};
constexpr uint8_t kGlyphS[7] = {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E};
constexpr uint8_t kGlyphE[7] = {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F};
constexpr uint8_t kGlyphD[7] = {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E};
constexpr const uint8_t* kPassedText[] = {kGlyphP, kGlyphA, kGlyphS, kGlyphS, kGlyphE, kGlyphD};
constexpr int32_t kTextColumns = 6 * 5 + 5;  // six letters, a column between each two
constexpr int32_t kTextRows = 7;

// Frames the panel at column `left` of `image` in amber and writes PASSED across its middle,
// as large as fits inside the frame (no text on panels too small for it).
void drawPassedMark(PreviewImage& image, int32_t left) {
  const int32_t w = image.width;
  const int32_t h = image.height;
  const auto rowBytes = static_cast<size_t>(previewWidth(image)) * 3;
  const auto paint = [&](int32_t x, int32_t y) {
    std::copy_n(kPassedMark, 3,
                image.rgb.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(y) * rowBytes +
                                                           static_cast<size_t>(left + x) * 3));
  };
  const int32_t border = std::clamp(std::min(w, h) / 32, 1, 8);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      if (x < border || y < border || x >= w - border || y >= h - border) paint(x, y);
    }
  }
  const int32_t scale = std::min((w - 4 * border) / kTextColumns, (h - 4 * border) / kTextRows);
  if (scale < 1) return;
  const int32_t x0 = (w - kTextColumns * scale) / 2;
  const int32_t y0 = (h - kTextRows * scale) / 2;
  for (int32_t y = 0; y < kTextRows * scale; ++y) {
    for (int32_t x = 0; x < kTextColumns * scale; ++x) {
      const int32_t column = x / scale;
      const uint8_t bits = kPassedText[column / 6][y / scale];
      if (column % 6 < 5 && ((bits >> (4 - column % 6)) & 1) != 0) paint(x0 + x, y0 + y);
    }
  }
}

}  // namespace

PreviewImage composePreview(const Pixel* input, const Pixel* output, int32_t stride,
                            const std::vector<uint16_t>& weights, int32_t width, int32_t height,
                            PreviewColour colour, bool passed) {
  PreviewImage image;
  image.width = width;
  image.height = height;
  const auto rowBytes = static_cast<size_t>(previewWidth(image)) * 3;
  image.rgb.assign(rowBytes * static_cast<size_t>(height), 32);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = image.rgb.data() + static_cast<size_t>(y) * rowBytes;
    const Pixel* in = input + static_cast<ptrdiff_t>(y) * stride;
    const Pixel* out = output + static_cast<ptrdiff_t>(y) * stride;
    uint8_t* inRgb = row;
    uint8_t* outRgb = row + static_cast<size_t>(width + kPreviewGap) * 3;
    uint8_t* weightRgb = row + static_cast<size_t>(2 * (width + kPreviewGap)) * 3;
    for (int32_t x = 0; x < width; ++x) {
      const size_t at = static_cast<size_t>(x) * 3;
      hostPixelToRgb(in[x], colour, inRgb + at);
      hostPixelToRgb(out[x], colour, outRgb + at);
      const uint16_t w =
          weights[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
      const auto grey = static_cast<uint8_t>((std::min<int32_t>(w, 4096) * 255 + 2048) / 4096);
      weightRgb[at] = weightRgb[at + 1] = weightRgb[at + 2] = grey;
    }
  }
  if (passed) drawPassedMark(image, 2 * (width + kPreviewGap));
  return image;
}

bool pngSupported() { return QUILLET_HAVE_PNG != 0; }

#if QUILLET_HAVE_PNG
namespace {

// libpng reports errors by longjmp: nothing with a destructor lives in this frame.
bool writePngRows(std::FILE* file, const uint8_t* rgb, uint32_t width, uint32_t height,
                  size_t rowBytes, char* message, size_t messageSize) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) {
    std::snprintf(message, messageSize, "cannot start the PNG encoder");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    std::snprintf(message, messageSize, "the PNG encoder failed");
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) {
    png_write_row(png, rgb + static_cast<size_t>(y) * rowBytes);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool writePng(const std::string& path, const PreviewImage& image, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  const auto width = static_cast<uint32_t>(previewWidth(image));
  char message[128] = {};
  bool ok = writePngRows(file, image.rgb.data(), width, static_cast<uint32_t>(image.height),
                         static_cast<size_t>(width) * 3, message, sizeof message);
  if (!ok) error = "cannot write '" + path + "': " + message;
  if (std::fclose(file) != 0 && ok) {
    error = "cannot write '" + path + "': " + std::strerror(errno);
    ok = false;
  }
  return ok;
}
#else
bool writePng(const std::string& path, const PreviewImage&, std::string& error) {
  error = "cannot write '" + path + "': this build has no PNG support";
  return false;
}
#endif

namespace {

std::vector<Pixel> packed(const Pixel* frame, int32_t stride, int32_t width, int32_t height) {
  std::vector<Pixel> out(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) {
    std::copy_n(frame + static_cast<ptrdiff_t>(y) * stride, width,
                out.begin() + static_cast<ptrdiff_t>(y) * width);
  }
  return out;
}

}  // namespace

PreviewCapture::PreviewCapture(int32_t frame, int32_t width, int32_t height)
    : frame_(frame), width_(width), height_(height) {
  around_.width = width;
  around_.height = height;
}

void PreviewCapture::offerInput(int64_t number, const Pixel* frame, int32_t stride) {
  inputsSeen_ = std::max(inputsSeen_, number + 1);
  if (number < int64_t{frame_} - 1 || number > int64_t{frame_} + 1) return;
  if (firstAround_ < 0) firstAround_ = number;
  around_.frames.push_back(packed(frame, stride, width_, height_));
}

void PreviewCapture::offerOutput(int32_t number, const Pixel* frame, int32_t stride) {
  if (number == frame_) output_ = packed(frame, stride, width_, height_);
}

bool PreviewCapture::write(const standin::HostConfig& config, PreviewColour colour,
                           const std::string& path, std::string& error) const {
  const int64_t centre = firstAround_ < 0 ? -1 : frame_ - firstAround_;
  if (!complete() || centre < 0 || centre >= static_cast<int64_t>(around_.frames.size())) {
    error = "no frame " + std::to_string(frame_) + " to preview: the clip has " +
            std::to_string(inputsSeen_) + " frames";
    return false;
  }
  // A passed frame mixed nothing in: no weights.
  const std::vector<uint16_t> weights =
      passed_ ? std::vector<uint16_t>(static_cast<size_t>(width_) * static_cast<size_t>(height_))
              : motionWeightsOf(config, around_, static_cast<int32_t>(centre));
  const PreviewImage image =
      composePreview(around_.frames[static_cast<size_t>(centre)].data(), output_.data(), width_,
                     weights, width_, height_, colour, passed_);
  return writePng(path, image, error);
}

bool CapturingSource::readFrame(Pixel* frame, int32_t stride) {
  if (!inner_.readFrame(frame, stride)) return false;
  capture_.offerInput(next_++, frame, stride);
  return true;
}

bool CapturingSink::writeFrame(int32_t number, const Pixel* frame, int32_t stride) {
  capture_.offerOutput(number, frame, stride);
  return inner_.writeFrame(number, frame, stride);
}

std::optional<PreviewRequest> parsePreviewRequest(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
  int32_t frame = 0;
  const char* begin = text.data();
  const char* end = text.data() + colon;
  const auto [last, ec] = std::from_chars(begin, end, frame);
  if (ec != std::errc{} || last != end || frame < 0) return std::nullopt;
  return PreviewRequest{frame, text.substr(colon + 1)};
}

}  // namespace quillet
