#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/pixel.h"
#include "formats/sample_scale.h"

namespace quillet {

// Largest frame width and height accepted; larger headers are refused before any allocation.
constexpr int32_t kMaxY4mDimension = 16384;

// Longest stream or frame header line read before the input is refused.
constexpr size_t kMaxY4mHeaderBytes = 65536;

// Chroma subsampling of a Y4M stream.
enum class ChromaLayout : uint8_t { k444, k422, k420, kMono, k411 };

// Everything a stream header says. Tokens the tool does not interpret (X tokens and any other
// letter) are kept verbatim and written back in order.
struct Y4mFormat {
  int32_t width = 0;
  int32_t height = 0;
  bool hasRate = false;  // F token
  uint32_t rateNum = 0;
  uint32_t rateDen = 0;
  bool hasAspect = false;  // A token
  uint32_t aspectNum = 0;
  uint32_t aspectDen = 0;
  char interlace = 0;  // I token letter (p, t, b, m, ?), 0 when absent
  ChromaLayout layout = ChromaLayout::k420;
  int bitDepth = 8;
  std::string colourspace;  // C token without the C ("420p10"); empty: none given (420jpeg)
  std::vector<std::string> extraTokens;
};

// One plane of a frame payload, in samples; `offset` and `bytes` in bytes.
struct PlaneGeometry {
  int32_t width = 0;
  int32_t height = 0;
  size_t offset = 0;
  size_t bytes = 0;
};

// The layout of one frame's payload: Y, then Cb and Cr (absent for mono), each plane rows of
// samples without padding; subsampled planes have ceil(size / 2^shift) samples per side.
struct FrameGeometry {
  int planeCount = 0;
  PlaneGeometry planes[3];
  int shiftX = 0;
  int shiftY = 0;
  size_t frameBytes = 0;
};

FrameGeometry frameGeometry(const Y4mFormat& format);

// Bad input: `what` said with where it was found. `frame` is the 0-based frame number or -1
// for the stream header; `offset` the byte offset in the stream.
struct Y4mError : std::runtime_error {
  Y4mError(const std::string& what, int64_t frame, uint64_t offset);
  int64_t frame;
  uint64_t offset;
};

// Writing failed (closed pipe, full disk): the message is the system's reason.
struct OutputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Parses a stream header line (without its trailing newline) that starts at byte
// `streamOffset` of the stream; positions in errors are stream offsets. Throws Y4mError.
Y4mFormat parseY4mHeader(std::string_view line, uint64_t streamOffset = 0);

// The output's header line, newline included: same tokens, marked progressive (Ip) unless
// `interlace` names another I token letter.
std::string formatY4mHeader(const Y4mFormat& format, char interlace = 'p');

// Reads a Y4M stream front to back with no seeking (pipes work). The constructor reads and
// parses the stream header (Y4mError also when the input cannot be read); frames are read one
// at a time.
class Y4mReader {
 public:
  explicit Y4mReader(std::FILE* in);

  const Y4mFormat& format() const { return format_; }
  const FrameGeometry& geometry() const { return geometry_; }
  // Bytes the stream header took, newline included.
  uint64_t headerBytes() const { return headerBytes_; }
  // Frames read so far = the number of the next frame.
  int64_t framesRead() const { return framesRead_; }
  // Bytes consumed so far.
  uint64_t offset() const { return offset_; }

  // Reads the next frame's payload into `payload` (resized to geometry().frameBytes). Returns
  // false when the stream ends cleanly before the next frame; throws Y4mError for a stream
  // that ends inside a frame or its header, a missing FRAME marker, or a failed read.
  bool readFrame(std::vector<uint8_t>& payload);
  // readFrame into geometry().frameBytes bytes of memory the caller has (a frame slot the engine
  // lends); on a throw the bytes that arrived are in it.
  bool readFrame(uint8_t* payload);
  // How the last frame was sampled in time: the second letter of its I parameter (i
  // interlaced, p progressive), 0 when it had none or a shorter one.
  char frameSampling() const { return frameSampling_; }

 private:
  int get();
  // Reads a frame's marker and parameters; false when the stream ends cleanly before it.
  bool readFrameHeader();
  // Reads `want` payload bytes to `at`, `got` of the frame's bytes having arrived before them;
  // throws Y4mError when fewer come.
  void readPayloadBytes(uint8_t* at, size_t got, size_t want);
  std::FILE* in_;
  Y4mFormat format_;
  FrameGeometry geometry_;
  uint64_t headerBytes_ = 0;
  uint64_t offset_ = 0;
  int64_t framesRead_ = 0;
  char frameSampling_ = 0;
};

// Writes a Y4M stream: the header at construction, then frames. Throws OutputError.
class Y4mWriter {
 public:
  Y4mWriter(std::FILE* out, const Y4mFormat& format, char interlace = 'p');

  // Writes one frame: FRAME marker and geometry().frameBytes bytes of `payload`.
  void writeFrame(const uint8_t* payload);
  void flush();
  int64_t framesWritten() const { return framesWritten_; }

 private:
  void put(const void* data, size_t bytes);
  std::FILE* out_;
  size_t frameBytes_;
  int64_t framesWritten_ = 0;
};

// Converts a frame payload to host pixels: rows `stride` pixels apart, chroma repeated over
// the pixels each sample covers (mono: Cb = Cr = 0). Writes width pixels of height rows.
// `scale` is makeSampleScale(format.bitDepth).
void y4mFrameToPixels(const Y4mFormat& format, const SampleScale& scale, const uint8_t* payload,
                      Pixel* frame, int32_t stride);

// Converts host pixels back to a frame payload; subsampled chroma is the rounded mean of the
// pixels each sample covers, so repeated samples come back as they were. Mono drops Cb, Cr.
void pixelsToY4mFrame(const Y4mFormat& format, const SampleScale& scale, const Pixel* frame,
                      int32_t stride, uint8_t* payload);

}  // namespace quillet
