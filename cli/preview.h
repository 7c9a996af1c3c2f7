#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/y4m.h"
#include "common/pixel.h"
#include "standin/clip.h"
#include "standin/host.h"

namespace quillet {

enum class ColourMatrix : uint8_t { kBt601, kBt709 };
enum class ColourRange : uint8_t { kLimited, kFull };

struct PreviewColour {
  ColourMatrix matrix = ColourMatrix::kBt601;
  ColourRange range = ColourRange::kLimited;
};

// How a stream's samples turn into RGB: XCOLORRANGE=FULL|LIMITED and a matrix hint
// (XCOLORMATRIX= or XCOLORSPACE= naming BT709 or BT601 / 170M / 470BG) when the header has
// them; otherwise video range, and BT.709 for frames at least 1280 wide or 720 high, BT.601
// below.
PreviewColour previewColourFor(const Y4mFormat& format);

// One pixel on the host's scale as 8-bit RGB.
void hostPixelToRgb(const Pixel& p, PreviewColour colour, uint8_t rgb[3]);

// The motion weight (0..4096) of a pixel the motion display painted: the smallest weight m
// whose Cb = (m * 3435) >> 13 and Cr = (m * 2231) >> 13 match, so at most 2 below the true one.
int32_t weightFromDisplay(const Pixel& painted);

// The band of rows the filter works on for `settings` in a frame `height` rows high.
struct Band {
  int32_t top = 0;
  int32_t end = 0;
};
Band bandFor(const standin::Settings& settings, int32_t height);

// Frame `centre` of `frames` (frames centre - 1 .. centre + 1 of a clip, as many as it has:
// the filter sees the same neighbours as in the whole clip) filtered again with the motion
// display on, turned into one weight per pixel (width x height, packed): the weight that
// mixed the low-passed and the untouched picture. Rows outside the band weigh 0; with motion
// adaptation off every band pixel takes the low-pass, 4096.
std::vector<uint16_t> motionWeightsOf(const standin::HostConfig& config,
                                      const standin::Clip& frames, int32_t centre);

// The preview picture: input, output and weights (grey, white = 4096) side by side, 8-bit RGB
// rows of rgbWidth() pixels. A frame that passed unchanged (`passed`: quillet --deint chose not
// to filter it) has its weights panel framed in amber with PASSED written across it.
struct PreviewImage {
  int32_t width = 0;  // of one panel
  int32_t height = 0;
  std::vector<uint8_t> rgb;
};
constexpr int32_t kPreviewGap = 4;                 // dark columns between the panels
constexpr uint8_t kPassedMark[3] = {255, 176, 0};  // amber
PreviewImage composePreview(const Pixel* input, const Pixel* output, int32_t stride,
                            const std::vector<uint16_t>& weights, int32_t width, int32_t height,
                            PreviewColour colour, bool passed = false);
int32_t previewWidth(const PreviewImage& image);

// Whether this build can write PNG files.
bool pngSupported();

// Writes `image` as an 8-bit RGB PNG. False with `error` set when the file cannot be written
// or this build has no PNG support.
bool writePng(const std::string& path, const PreviewImage& image, std::string& error);

// What a preview of frame `frame` needs, kept while a clip streams past: input frames
// frame - 1 .. frame + 1 (those the clip has) and the output of `frame`.
class PreviewCapture {
 public:
  PreviewCapture(int32_t frame, int32_t width, int32_t height);

  // Offer every input frame in order and every output frame; the capture keeps what it needs.
  void offerInput(int64_t number, const Pixel* frame, int32_t stride);
  // Whether offerInput would keep frame `number`; noteInput counts a frame it would not.
  bool wantsInput(int64_t number) const {
    return number >= int64_t{frame_} - 1 && number <= int64_t{frame_} + 1;
  }
  void noteInput(int64_t number) { inputsSeen_ = std::max(inputsSeen_, number + 1); }
  void offerOutput(int32_t number, const Pixel* frame, int32_t stride);
  // Tells that frame `number` passed unchanged: if it is the preview's frame, the preview shows
  // no weights for it (nothing was mixed) and the mark of a passed frame.
  void notePassed(int64_t number) { passed_ = passed_ || number == frame_; }

  int32_t frame() const { return frame_; }
  bool complete() const { return !output_.empty(); }
  int64_t inputFramesSeen() const { return inputsSeen_; }

  // Runs the filter again around the frame for its motion weights (see motionWeightsOf; no
  // other stand-in host may exist then; not for a passed frame) and writes the PNG. False with
  // `error` set.
  bool write(const standin::HostConfig& config, PreviewColour colour, const std::string& path,
             std::string& error) const;

 private:
  int32_t frame_;
  int32_t width_;
  int32_t height_;
  int64_t inputsSeen_ = 0;
  int64_t firstAround_ = -1;
  bool passed_ = false;
  standin::Clip around_;
  std::vector<Pixel> output_;
};

// A frame source that shows every frame it gives to a capture.
class CapturingSource : public standin::FrameSource {
 public:
  CapturingSource(standin::FrameSource& inner, PreviewCapture& capture)
      : inner_(inner), capture_(capture) {}
  bool readFrame(Pixel* frame, int32_t stride) override;
  bool hasNextFrame() override { return inner_.hasNextFrame(); }

 private:
  standin::FrameSource& inner_;
  PreviewCapture& capture_;
  int64_t next_ = 0;
};

// A frame sink that shows every frame it takes to a capture.
class CapturingSink : public standin::FrameSink {
 public:
  CapturingSink(standin::FrameSink& inner, PreviewCapture& capture)
      : inner_(inner), capture_(capture) {}
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override;

 private:
  standin::FrameSink& inner_;
  PreviewCapture& capture_;
};

// "N:FILE.png" with N a frame number from 0.
struct PreviewRequest {
  int32_t frame = 0;
  std::string path;
};
std::optional<PreviewRequest> parsePreviewRequest(const std::string& text);

}  // namespace quillet
