#include "cli/y4m.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace quillet {
namespace {

constexpr std::string_view kSignature = "YUV4MPEG2";
constexpr std::string_view kFrameMarker = "FRAME";
// Payload bytes read before the buffer is grown any further.
constexpr size_t kFirstReadBytes = size_t{1} << 20;

struct ColourspaceEntry {
  std::string_view name;
  ChromaLayout layout;
};

// clang-format off
// The C token's subsamplings, each 8 bits as it stands; a depth of 9..16 bits follows as pN
// ("420p10", "444p14"), or as N after mono ("mono10"). The 4:2:0 sitings differ only in where
// chroma sits, which the filter keeps as it is.
constexpr ColourspaceEntry kColourspaces[] = {
    {"420jpeg", ChromaLayout::k420}, {"420mpeg2", ChromaLayout::k420},
    {"420paldv", ChromaLayout::k420}, {"420", ChromaLayout::k420},
    {"422", ChromaLayout::k422},     {"444", ChromaLayout::k444},
    {"411", ChromaLayout::k411},     {"mono", ChromaLayout::kMono},
};
// clang-format on

constexpr int kMinDepth = 8;
constexpr int kMaxDepth = 16;

// The entry and depth a C token's value names; false when it names none.
bool parseColourspace(std::string_view name, ChromaLayout& layout, int& depth) {
  for (const ColourspaceEntry& e : kColourspaces) {
    if (name.substr(0, e.name.size()) != e.name) continue;
    std::string_view rest = name.substr(e.name.size());
    if (rest.empty()) {
      layout = e.layout;
      depth = kMinDepth;
      return true;
    }
    // Depth suffixes follow the plain names only: "420jpegp10" is nothing.
    if (e.name.size() > 4) continue;
    if (e.layout != ChromaLayout::kMono) {
      if (rest[0] != 'p') continue;
      rest.remove_prefix(1);
    }
    if (rest.size() > 2 || rest.empty() || rest[0] == '0') continue;
    bool digits = true;
    int value = 0;
    for (char c : rest) {
      digits = digits && c >= '0' && c <= '9';
      value = value * 10 + (c - '0');
    }
    if (!digits || value <= kMinDepth || value > kMaxDepth) continue;
    layout = e.layout;
    depth = value;
    return true;
  }
  return false;
}

std::string where(int64_t frame, uint64_t offset) {
  if (frame < 0) return " (stream header, byte offset " + std::to_string(offset) + ")";
  return " (frame " + std::to_string(frame) + ", byte offset " + std::to_string(offset) + ")";
}

std::string quoted(std::string_view token) {
  constexpr size_t kShown = 40;
  std::string out = "\"";
  for (char c : token.substr(0, kShown)) {
    const auto u = static_cast<unsigned char>(c);
    // Control and non-ASCII bytes escaped, so that none reads as a valid character.
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(u));
      out += c == '\r' ? "\\r" : c == '\t' ? "\\t" : c == '\\' ? "\\\\" : escaped;
    }
  }
  if (token.size() > kShown) out += "...";
  return out + "\"";
}

bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Decimal digits to a value, saturating at `limit` + 1 so long digit strings cannot overflow.
uint64_t parseDigits(std::string_view s, uint64_t limit) {
  uint64_t v = 0;
  for (char c : s) {
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > limit) return limit + 1;
  }
  return v;
}

int32_t parseDimension(std::string_view token, const char* what, uint64_t offset) {
  const std::string_view digits = token.substr(1);
  if (!allDigits(digits)) {
    throw Y4mError("bad " + std::string(1, token[0]) + " token " + quoted(token) +
                       ": expected the frame " + what + " in pixels",
                   -1, offset);
  }
  const uint64_t v = parseDigits(digits, kMaxY4mDimension);
  if (v == 0 || v > kMaxY4mDimension) {
    throw Y4mError(std::string("frame ") + what + " " + quoted(digits) + " is out of range 1.." +
                       std::to_string(kMaxY4mDimension),
                   -1, offset);
  }
  return static_cast<int32_t>(v);
}

// "N:D" with both parts decimal and 32-bit; D may be 0 only in 0:0 (unknown).
void parseRatio(std::string_view token, const char* what, uint64_t offset, uint32_t& num,
                uint32_t& den) {
  const std::string_view body = token.substr(1);
  const size_t colon = body.find(':');
  const bool ok = colon != std::string_view::npos && allDigits(body.substr(0, colon)) &&
                  allDigits(body.substr(colon + 1));
  uint64_t n = 0;
  uint64_t d = 0;
  if (ok) {
    n = parseDigits(body.substr(0, colon), UINT32_MAX);
    d = parseDigits(body.substr(colon + 1), UINT32_MAX);
  }
  if (!ok || n > UINT32_MAX || d > UINT32_MAX || (d == 0 && n != 0)) {
    throw Y4mError("bad " + std::string(1, token[0]) + " token " + quoted(token) +
                       ": expected the " + what + " as N:D",
                   -1, offset);
  }
  num = static_cast<uint32_t>(n);
  den = static_cast<uint32_t>(d);
}

}  // namespace

Y4mError::Y4mError(const std::string& what, int64_t frameNumber, uint64_t byteOffset)
    : std::runtime_error(what + where(frameNumber, byteOffset)),
      frame(frameNumber),
      offset(byteOffset) {}

FrameGeometry frameGeometry(const Y4mFormat& format) {
  FrameGeometry g;
  const size_t bytes = static_cast<size_t>(bytesPerSample(format.bitDepth));
  g.planeCount = format.layout == ChromaLayout::kMono ? 1 : 3;
  g.shiftX = format.layout == ChromaLayout::k411                                            ? 2
             : (format.layout == ChromaLayout::k422 || format.layout == ChromaLayout::k420) ? 1
                                                                                            : 0;
  g.shiftY = format.layout == ChromaLayout::k420 ? 1 : 0;
  size_t offset = 0;
  for (int p = 0; p < g.planeCount; ++p) {
    PlaneGeometry& plane = g.planes[p];
    const int sx = p == 0 ? 0 : g.shiftX;
    const int sy = p == 0 ? 0 : g.shiftY;
    plane.width = (format.width + (1 << sx) - 1) >> sx;
    plane.height = (format.height + (1 << sy) - 1) >> sy;
    plane.offset = offset;
    plane.bytes = static_cast<size_t>(plane.width) * static_cast<size_t>(plane.height) * bytes;
    offset += plane.bytes;
  }
  g.frameBytes = offset;
  return g;
}

Y4mFormat parseY4mHeader(std::string_view line, uint64_t streamOffset) {
  if (line.substr(0, kSignature.size()) != kSignature ||
      (line.size() > kSignature.size() && line[kSignature.size()] != ' ')) {
    throw Y4mError("not a Y4M stream: it does not start with \"YUV4MPEG2 \"", -1, streamOffset);
  }
  if (line.back() == '\r') {
    throw Y4mError("the stream header line ends in CR LF; Y4M lines end in LF alone", -1,
                   streamOffset + line.size() - 1);
  }
  Y4mFormat f;
  bool hasWidth = false;
  bool hasHeight = false;
  size_t pos = kSignature.size();
  while (pos < line.size()) {
    if (line[pos] == ' ') {
      ++pos;
      continue;
    }
    const size_t end = std::min(line.find(' ', pos), line.size());
    const std::string_view token = line.substr(pos, end - pos);
    const uint64_t at = streamOffset + pos;
    switch (token[0]) {
      case 'W':
        f.width = parseDimension(token, "width", at);
        hasWidth = true;
        break;
      case 'H':
        f.height = parseDimension(token, "height", at);
        hasHeight = true;
        break;
      case 'F':
        parseRatio(token, "frame rate", at, f.rateNum, f.rateDen);
        f.hasRate = true;
        break;
      case 'A':
        parseRatio(token, "pixel aspect ratio", at, f.aspectNum, f.aspectDen);
        f.hasAspect = true;
        break;
      case 'I':
        if (token.size() != 2 ||
            std::string_view("ptbm?").find(token[1]) == std::string_view::npos) {
          throw Y4mError("bad I token " + quoted(token) + ": expected Ip, It, Ib, Im or I?", -1,
                         at);
        }
        f.interlace = token[1];
        break;
      case 'C': {
        const std::string_view name = token.substr(1);
        if (name.empty()) throw Y4mError("bad C token: no colour space after C", -1, at);
        if (!parseColourspace(name, f.layout, f.bitDepth)) {
          throw Y4mError("unsupported chroma layout " + quoted(token) +
                             ": expected C444, C422, C420 (jpeg, mpeg2, paldv), C411 or Cmono, "
                             "with p9 .. p16 for 9 to 16 bits (mono9 .. mono16)",
                         -1, at);
        }
        f.colourspace = std::string(name);
        break;
      }
      default:
        f.extraTokens.emplace_back(token);
        break;
    }
    pos = end;
  }
  if (!hasWidth) throw Y4mError("missing W token (frame width)", -1, streamOffset + line.size());
  if (!hasHeight) throw Y4mError("missing H token (frame height)", -1, streamOffset + line.size());
  return f;
}

std::string formatY4mHeader(const Y4mFormat& f, char interlace) {
  std::string s(kSignature);
  s += " W" + std::to_string(f.width) + " H" + std::to_string(f.height);
  if (f.hasRate) s += " F" + std::to_string(f.rateNum) + ":" + std::to_string(f.rateDen);
  s += " I";
  s += interlace;
  if (f.hasAspect) s += " A" + std::to_string(f.aspectNum) + ":" + std::to_string(f.aspectDen);
  if (!f.colourspace.empty()) s += " C" + f.colourspace;
  for (const std::string& t : f.extraTokens) s += " " + t;
  return s + "\n";
}

Y4mReader::Y4mReader(std::FILE* in) : in_(in) {
  std::string line;
  for (;;) {
    const int c = get();
    if (c == EOF) {
      if (offset_ == 0) throw Y4mError("empty input: not a Y4M stream", -1, 0);
      if (offset_ < kSignature.size()) {
        throw Y4mError("not a Y4M stream: it does not start with \"YUV4MPEG2 \"", -1, 0);
      }
      throw Y4mError("truncated stream header: the input ends before the header's newline", -1,
                     offset_);
    }
    if (c == '\n') break;
    // Refuse binary input at its first byte rather than searching it for a newline.
    if (line.size() < kSignature.size() && c != kSignature[line.size()]) {
      throw Y4mError("not a Y4M stream: it does not start with \"YUV4MPEG2 \"", -1, 0);
    }
    if (line.size() >= kMaxY4mHeaderBytes) {
      throw Y4mError("stream header longer than " + std::to_string(kMaxY4mHeaderBytes) + " bytes",
                     -1, offset_ - 1);
    }
    line.push_back(static_cast<char>(c));
  }
  headerBytes_ = offset_;
  format_ = parseY4mHeader(line, 0);
  geometry_ = frameGeometry(format_);
}

int Y4mReader::get() {
  errno = 0;
  const int c = std::getc(in_);
  if (c != EOF) {
    ++offset_;
  } else if (std::ferror(in_)) {
    // A failed read is not the end of the stream: say why it failed.
    throw Y4mError(std::string("cannot read the input: ") + std::strerror(errno != 0 ? errno : EIO),
                   headerBytes_ == 0 ? -1 : framesRead_, offset_);
  }
  return c;
}

bool Y4mReader::readFrameHeader() {
  const uint64_t start = offset_;
  for (size_t i = 0; i < kFrameMarker.size(); ++i) {
    const int c = get();
    if (c == EOF) {
      if (i == 0) return false;
      throw Y4mError("the stream ends inside a FRAME marker", framesRead_, offset_);
    }
    if (c != kFrameMarker[i]) {
      throw Y4mError("FRAME marker missing: found " + quoted(std::string(1, static_cast<char>(c))) +
                         " where a frame should start",
                     framesRead_, start);
    }
  }
  int c = get();
  frameSampling_ = 0;
  if (c == ' ') {
    // Frame parameters: only the interlace mark's temporal letter (the second of I's three:
    // presentation, temporal sampling, chroma sampling) is kept, the stream header holds
    // everything else the tool uses.
    size_t skipped = 0;
    int previous = ' ';
    int markAt = 0;  // position of the byte just read in an I parameter (1: the I), else 0
    while ((c = get()) != '\n') {
      if (c == ' ') {
        markAt = 0;
      } else if (markAt > 0) {
        ++markAt;
      } else if (previous == ' ' && c == 'I') {
        markAt = 1;
      }
      if (markAt == 3) frameSampling_ = static_cast<char>(c);
      previous = c;
      if (c == EOF) {
        throw Y4mError("the stream ends inside a frame header", framesRead_, offset_);
      }
      if (++skipped > kMaxY4mHeaderBytes) {
        throw Y4mError("frame header longer than " + std::to_string(kMaxY4mHeaderBytes) + " bytes",
                       framesRead_, start);
      }
    }
  } else if (c == EOF) {
    throw Y4mError("the stream ends inside a FRAME marker", framesRead_, offset_);
  } else if (c != '\n') {
    throw Y4mError("FRAME marker missing: \"FRAME\" is not followed by a space or newline",
                   framesRead_, start);
  }
  return true;
}

void Y4mReader::readPayloadBytes(uint8_t* at, size_t got, size_t want) {
  errno = 0;
  const size_t n = std::fread(at, 1, want, in_);
  offset_ += n;
  if (n == want) return;
  if (std::ferror(in_)) {
    throw Y4mError(std::string("cannot read the input: ") + std::strerror(errno != 0 ? errno : EIO),
                   framesRead_, offset_);
  }
  throw Y4mError("the stream ends inside a frame: " + std::to_string(got + n) + " of " +
                     std::to_string(geometry_.frameBytes) + " bytes",
                 framesRead_, offset_);
}

bool Y4mReader::readFrame(std::vector<uint8_t>& payload) {
  if (!readFrameHeader()) return false;
  // The buffer grows with the data that actually arrives, so a header promising a huge frame
  // on a short stream costs no more memory than the stream holds.
  const size_t frameBytes = geometry_.frameBytes;
  size_t got = 0;
  while (got < frameBytes) {
    const size_t want = std::min(frameBytes - got, std::max(got, kFirstReadBytes));
    if (payload.size() < got + want) payload.resize(got + want);
    readPayloadBytes(payload.data() + got, got, want);
    got += want;
  }
  payload.resize(frameBytes);
  ++framesRead_;
  return true;
}

bool Y4mReader::readFrame(uint8_t* payload) {
  if (!readFrameHeader()) return false;
  readPayloadBytes(payload, 0, geometry_.frameBytes);
  ++framesRead_;
  return true;
}

Y4mWriter::Y4mWriter(std::FILE* out, const Y4mFormat& format, char interlace)
    : out_(out), frameBytes_(frameGeometry(format).frameBytes) {
  const std::string header = formatY4mHeader(format, interlace);
  put(header.data(), header.size());
}

void Y4mWriter::put(const void* data, size_t bytes) {
  errno = 0;
  if (std::fwrite(data, 1, bytes, out_) != bytes) {
    throw OutputError(std::strerror(errno != 0 ? errno : EIO));
  }
}

void Y4mWriter::writeFrame(const uint8_t* payload) {
  put("FRAME\n", 6);
  put(payload, frameBytes_);
  ++framesWritten_;
}

void Y4mWriter::flush() {
  errno = 0;
  if (std::fflush(out_) != 0) {
    throw OutputError(std::strerror(errno != 0 ? errno : EIO));
  }
}

void y4mFrameToPixels(const Y4mFormat& format, const SampleScale& scale, const uint8_t* payload,
                      Pixel* frame, int32_t stride) {
  const FrameGeometry g = frameGeometry(format);
  const auto bytes = static_cast<size_t>(bytesPerSample(format.bitDepth));
  for (int32_t y = 0; y < format.height; ++y) {
    const uint8_t* luma =
        payload + g.planes[0].offset + static_cast<size_t>(y) * g.planes[0].width * bytes;
    const uint8_t* cb = nullptr;
    const uint8_t* cr = nullptr;
    if (g.planeCount == 3) {
      const size_t row = static_cast<size_t>(y >> g.shiftY) * g.planes[1].width * bytes;
      cb = payload + g.planes[1].offset + row;
      cr = payload + g.planes[2].offset + row;
    }
    decodePixelRow(luma, cb, cr, format.width, g.shiftX, scale,
                   frame + static_cast<ptrdiff_t>(y) * stride);
  }
}

void pixelsToY4mFrame(const Y4mFormat& format, const SampleScale& scale, const Pixel* frame,
                      int32_t stride, uint8_t* payload) {
  const FrameGeometry g = frameGeometry(format);
  const auto bytes = static_cast<size_t>(bytesPerSample(format.bitDepth));
  for (int32_t y = 0; y < format.height; ++y) {
    encodeLumaRow(
        frame + static_cast<ptrdiff_t>(y) * stride, format.width, scale,
        payload + g.planes[0].offset + static_cast<size_t>(y) * g.planes[0].width * bytes);
  }
  if (g.planeCount == 1) return;
  for (int32_t cy = 0; cy < g.planes[1].height; ++cy) {
    const int32_t y = cy << g.shiftY;
    const Pixel* rowA = frame + static_cast<ptrdiff_t>(y) * stride;
    const Pixel* rowB = (g.shiftY == 1 && y + 1 < format.height) ? rowA + stride : nullptr;
    const size_t row = static_cast<size_t>(cy) * g.planes[1].width * bytes;
    encodeChromaRow(rowA, rowB, format.width, g.shiftX, scale, payload + g.planes[1].offset + row,
                    payload + g.planes[2].offset + row);
  }
}

}  // namespace quillet
