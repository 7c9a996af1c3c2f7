#include "cli/av_io.h"

#include <string_view>

namespace quillet::cli {

std::optional<std::vector<std::pair<std::string, std::string>>> parseCodecOptions(
    const std::string& text) {
  std::vector<std::pair<std::string, std::string>> entries;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = std::string_view(text).substr(start, comma - start);
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0) return std::nullopt;
    entries.emplace_back(std::string(entry.substr(0, equals)),
                         std::string(entry.substr(equals + 1)));
    start = comma + 1;
  }
  return entries;
}

}  // namespace quillet::cli

#if !QUILLET_HAVE_LIBAV

namespace quillet::cli {

namespace {
[[noreturn]] void unavailable() {
  throw AvError(
      "this build reads and writes Y4M and raw frames only: it was built without FFmpeg's "
      "libraries (libavformat, libavcodec, libswscale); give a .y4m or - (or --format y4m)");
}
}  // namespace

bool videoFilesSupported() { return false; }
void quietenVideoLibraries(bool) {}

struct AvClipReader::Shared {};
AvClipReader::AvClipReader(const std::string&, const AvReaderOptions&) { unavailable(); }
AvClipReader::~AvClipReader() = default;
int32_t AvClipReader::width() const { return 0; }
int32_t AvClipReader::height() const { return 0; }
const std::optional<std::string>& AvClipReader::fault() const {
  static const std::optional<std::string> none;
  return none;
}
bool AvClipReader::readFrame(Pixel*, int32_t) { return false; }
bool AvClipReader::hasNextFrame() { return false; }
size_t AvClipReader::payloadBytes() const { return 0; }
bool AvClipReader::readPayload(std::vector<uint8_t>&) { return false; }
QuilletLayout AvClipReader::layout() const { return QUILLET_LAYOUT_420; }
int32_t AvClipReader::bitDepth() const { return 8; }
const Y4mFormat& AvClipReader::format() const {
  static const Y4mFormat none;
  return none;
}
bool AvClipReader::payloadInterlaced() const { return true; }
int64_t AvClipReader::estimatedFrames() const { return -1; }

struct AvClipWriter::State {};
AvClipWriter::AvClipWriter(const std::string&, const Y4mFormat&, QuilletLayout, AvClipReader*,
                           const AvWriterOptions&) {
  unavailable();
}
AvClipWriter::~AvClipWriter() = default;
bool AvClipWriter::writeFrame(int32_t, const Pixel*, int32_t) { return false; }
bool AvClipWriter::writePayload(const uint8_t*) { return false; }
bool AvClipWriter::finish() { return false; }
const std::string& AvClipWriter::error() const {
  static const std::string none;
  return none;
}

}  // namespace quillet::cli

#else

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "formats/sample_scale.h"

namespace quillet::cli {

namespace {

// The pixel formats the engine takes as they are, and its layout and depth for each: planar,
// samples of 9..16 bits in the low bits of little-endian 16-bit words. A layout the engine
// gains joins with one line here.
struct EngineFormat {
  AVPixelFormat av;
  QuilletLayout layout;
  int depth;
};
// clang-format off
constexpr EngineFormat kEngineFormats[] = {
    {AV_PIX_FMT_YUV420P, QUILLET_LAYOUT_420, 8},       {AV_PIX_FMT_YUVJ420P, QUILLET_LAYOUT_420, 8},
    {AV_PIX_FMT_YUV420P9LE, QUILLET_LAYOUT_420, 9},    {AV_PIX_FMT_YUV420P10LE, QUILLET_LAYOUT_420, 10},
    {AV_PIX_FMT_YUV420P12LE, QUILLET_LAYOUT_420, 12},  {AV_PIX_FMT_YUV420P14LE, QUILLET_LAYOUT_420, 14},
    {AV_PIX_FMT_YUV420P16LE, QUILLET_LAYOUT_420, 16},
    {AV_PIX_FMT_YUV422P, QUILLET_LAYOUT_422, 8},       {AV_PIX_FMT_YUVJ422P, QUILLET_LAYOUT_422, 8},
    {AV_PIX_FMT_YUV422P9LE, QUILLET_LAYOUT_422, 9},    {AV_PIX_FMT_YUV422P10LE, QUILLET_LAYOUT_422, 10},
    {AV_PIX_FMT_YUV422P12LE, QUILLET_LAYOUT_422, 12},  {AV_PIX_FMT_YUV422P14LE, QUILLET_LAYOUT_422, 14},
    {AV_PIX_FMT_YUV422P16LE, QUILLET_LAYOUT_422, 16},
    {AV_PIX_FMT_YUV444P, QUILLET_LAYOUT_444, 8},       {AV_PIX_FMT_YUVJ444P, QUILLET_LAYOUT_444, 8},
    {AV_PIX_FMT_YUV444P9LE, QUILLET_LAYOUT_444, 9},    {AV_PIX_FMT_YUV444P10LE, QUILLET_LAYOUT_444, 10},
    {AV_PIX_FMT_YUV444P12LE, QUILLET_LAYOUT_444, 12},  {AV_PIX_FMT_YUV444P14LE, QUILLET_LAYOUT_444, 14},
    {AV_PIX_FMT_YUV444P16LE, QUILLET_LAYOUT_444, 16},
    {AV_PIX_FMT_GRAY8, QUILLET_LAYOUT_MONO, 8},        {AV_PIX_FMT_GRAY9LE, QUILLET_LAYOUT_MONO, 9},
    {AV_PIX_FMT_GRAY10LE, QUILLET_LAYOUT_MONO, 10},    {AV_PIX_FMT_GRAY12LE, QUILLET_LAYOUT_MONO, 12},
    {AV_PIX_FMT_GRAY14LE, QUILLET_LAYOUT_MONO, 14},    {AV_PIX_FMT_GRAY16LE, QUILLET_LAYOUT_MONO, 16},
    {AV_PIX_FMT_YUV411P, QUILLET_LAYOUT_411, 8},
};
// clang-format on

const EngineFormat* engineFormatOf(AVPixelFormat format) {
  for (const EngineFormat& f : kEngineFormats) {
    if (f.av == format) return &f;
  }
  return nullptr;
}

// The engine's format nearest to one it does not take: the same chroma layout (4:1:1 above 8
// bits widened to 4:2:2, 4:1:0 to 4:2:0, 4:4:0 and RGB to 4:4:4, alpha dropped) at the same
// depth, or the next deeper one it has.
const EngineFormat& nearestEngineFormat(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  QuilletLayout layout = QUILLET_LAYOUT_420;
  int depth = 8;
  if (desc != nullptr) {
    depth = std::clamp<int>(desc->comp[0].depth, 8, 16);
    const bool rgb = (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
    const bool alpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    if (!rgb && desc->nb_components - (alpha ? 1 : 0) == 1) {
      layout = QUILLET_LAYOUT_MONO;
    } else if (rgb || desc->log2_chroma_w == 0) {
      layout = QUILLET_LAYOUT_444;
    } else if (desc->log2_chroma_w == 2 && desc->log2_chroma_h == 0 && depth == 8) {
      layout = QUILLET_LAYOUT_411;
    } else {
      layout = desc->log2_chroma_h == 0 ? QUILLET_LAYOUT_422 : QUILLET_LAYOUT_420;
    }
  }
  const EngineFormat* best = nullptr;
  for (const EngineFormat& f : kEngineFormats) {
    if (f.layout != layout || f.depth < depth) continue;
    if (best == nullptr || f.depth < best->depth) best = &f;
  }
  return *best;
}

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

std::string formatName(int format) {
  const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
  return name != nullptr ? name : "unknown";
}

std::string streamName(const AVStream* stream) {
  const char* type = av_get_media_type_string(stream->codecpar->codec_type);
  return "stream #0:" + std::to_string(stream->index) + " (" + (type ? type : "data") + ", " +
         avcodec_get_name(stream->codecpar->codec_id) + ")";
}

// The time of `ts` in `base` on a common scale, for comparing streams.
int64_t commonTime(int64_t ts, AVRational base) {
  return av_rescale_q(ts, base, AVRational{1, AV_TIME_BASE});
}

bool copiedType(AVMediaType type) {
  return type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
}

// What the reader learned of one decoded frame.
struct FrameMark {
  int64_t pts = 0;  // in the video stream's time base
  bool interlaced = true;
};

struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

struct RelayedPacket {
  PacketPtr packet;
  int64_t time;  // commonTime of its pts (or dts)
};

QuilletConfig engineConfig(QuilletLayout layout, int depth, int32_t width, int32_t height) {
  QuilletConfig config;
  quillet_default_config(&config);
  config.width = width;
  config.height = height;
  config.layout = layout;
  config.bit_depth = depth;
  return config;
}

// The planes of a payload in the engine's layout.
QuilletFrame payloadPlanes(const QuilletConfig& config, const uint8_t* payload) {
  QuilletFrame frame{};
  quillet_frame_layout(&config, const_cast<uint8_t*>(payload), &frame);
  return frame;
}

// The planes a frame of the engine's format has, as the engine counts them: an AVFrame of the
// matching pixel format holds the same planes in the same order.
int planeCount(const QuilletConfig& config) {
  int planes = 0;
  while (planes < 3 && quillet_plane_row_bytes(&config, planes) > 0) ++planes;
  return planes;
}

}  // namespace

bool videoFilesSupported() { return true; }

void quietenVideoLibraries(bool quiet) { av_log_set_level(quiet ? AV_LOG_QUIET : AV_LOG_ERROR); }

struct AvClipReader::Shared {
  std::string path;
  AVFormatContext* input = nullptr;
  AVCodecContext* decoder = nullptr;
  AVStream* video = nullptr;
  AVFrame* decoded = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* convert = nullptr;
  int convertFrom = AV_PIX_FMT_NONE;
  bool saidConverting = false;
  bool saidSkipping = false;
  bool verbose = true;
  bool keepOthers = true;
  EngineFormat engine{};
  QuilletConfig config{};
  size_t payloadBytes = 0;
  Y4mFormat format;
  SampleScale scale;
  std::vector<uint8_t> pixelsPayload;  // for readFrame
  bool pendingReady = false;           // `pending` holds a frame hasNextFrame decoded
  std::vector<uint8_t> pending;
  bool pendingInterlaced = true;
  bool eofSent = false;
  bool ended = false;
  bool lastInterlaced = true;
  int64_t decodedFrames = 0;
  int64_t lastPts = AV_NOPTS_VALUE;
  std::optional<std::string> fault;

  // Shared with the writer's thread.
  std::mutex mutex;
  bool writerAttached = false;
  FrameRange range;
  std::map<int64_t, FrameMark> marks;
  std::deque<RelayedPacket> relayed;
  bool streamEnded = false;
  int64_t firstTime = INT64_MIN;  // common time of the range's first frame once read

  ~Shared() {
    sws_freeContext(convert);
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&input);
  }

  std::string where() const { return "'" + path + "' " + streamName(video); }

  void relay(AVPacket* p) {
    const AVStream* stream = input->streams[p->stream_index];
    const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    const int64_t time = ts == AV_NOPTS_VALUE ? INT64_MIN : commonTime(ts, stream->time_base);
    const std::lock_guard<std::mutex> hold(mutex);
    if (!writerAttached) return;
    if (range.first > 0 && firstTime != INT64_MIN && time < firstTime) return;
    PacketPtr copy(av_packet_clone(p));
    if (copy) relayed.push_back(RelayedPacket{std::move(copy), time});
  }

  void noteFrame(int64_t number, int64_t pts, bool interlaced) {
    const std::lock_guard<std::mutex> hold(mutex);
    if (!writerAttached) return;
    marks[number] = FrameMark{pts, interlaced};
    // Frames before the range are only its first frame's neighbour; their packets and marks
    // go as soon as a later frame shows they come before it.
    if (number <= range.first) {
      const int64_t time = commonTime(pts, video->time_base);
      if (number == range.first) firstTime = time;
      while (range.first > 0 && !relayed.empty() && relayed.front().time < time) {
        relayed.pop_front();
      }
      marks.erase(marks.begin(), marks.lower_bound(std::min(number, range.first)));
    }
  }

  // Decodes the next frame into `payload`; false at the end or on a fault.
  bool decode(std::vector<uint8_t>& payload, bool& interlaced) {
    if (ended) return false;
    for (;;) {
      int status = avcodec_receive_frame(decoder, decoded);
      if (status == 0) {
        const bool ok = take(payload, interlaced);
        av_frame_unref(decoded);
        if (!ok) ended = true;
        return ok;
      }
      if (status == AVERROR_EOF) break;
      if (status != AVERROR(EAGAIN)) {
        fault = where() + ": cannot decode frame " + std::to_string(decodedFrames) + ": " +
                avErrorText(status) + "; the frames before it are written";
        break;
      }
      status = av_read_frame(input, packet);
      if (status == AVERROR_EOF) {
        avcodec_send_packet(decoder, nullptr);
        eofSent = true;
        continue;
      }
      if (status < 0) {
        fault = "'" + path + "': cannot read after frame " + std::to_string(decodedFrames) + ": " +
                avErrorText(status) + "; the frames before it are written";
        break;
      }
      if (packet->stream_index == video->index) {
        status = avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        if (status == AVERROR_INVALIDDATA) {
          // A damaged packet, or one that refers to pictures before the stream's first (a
          // recording that starts mid-GOP): the decoder gives no frame for it, as in ffmpeg.
          if (verbose && !saidSkipping) {
            std::fprintf(stderr, "quillet: %s: skipping packets that do not decode (%s)\n",
                         where().c_str(), avErrorText(status).c_str());
          }
          saidSkipping = true;
        } else if (status < 0 && status != AVERROR(EAGAIN)) {
          fault = where() + ": cannot decode frame " + std::to_string(decodedFrames) + ": " +
                  avErrorText(status) + "; the frames before it are written";
          break;
        }
      } else {
        if (keepOthers && copiedType(input->streams[packet->stream_index]->codecpar->codec_type)) {
          relay(packet);
        }
        av_packet_unref(packet);
      }
    }
    ended = true;
    const std::lock_guard<std::mutex> hold(mutex);
    streamEnded = !fault;
    return false;
  }

  // Hands the decoded frame on in the engine's layout.
  bool take(std::vector<uint8_t>& payload, bool& interlaced) {
    if (decoded->width != format.width || decoded->height != format.height) {
      fault = where() + ": frame " + std::to_string(decodedFrames) + " is " +
              std::to_string(decoded->width) + "x" + std::to_string(decoded->height) +
              " where the stream began at " + std::to_string(format.width) + "x" +
              std::to_string(format.height) +
              "; one run filters one frame size, the frames before it are written";
      return false;
    }
    payload.resize(payloadBytes);
    QuilletFrame planes = payloadPlanes(config, payload.data());
    if (decoded->format == engine.av) {
      for (int p = 0; p < planeCount(config); ++p) {
        av_image_copy_plane(
            static_cast<uint8_t*>(planes.planes[p]), static_cast<int>(planes.strides[p]),
            decoded->data[p], decoded->linesize[p],
            static_cast<int>(quillet_plane_row_bytes(&config, p)), quillet_plane_rows(&config, p));
      }
    } else {
      if (decoded->format != convertFrom || convert == nullptr) {
        convert = sws_getCachedContext(
            convert, format.width, format.height, static_cast<AVPixelFormat>(decoded->format),
            format.width, format.height, engine.av,
            SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
        convertFrom = decoded->format;
        if (convert == nullptr) {
          fault = where() + ": cannot convert frame " + std::to_string(decodedFrames) + " from " +
                  formatName(decoded->format) + " to " + formatName(engine.av);
          return false;
        }
      }
      if (verbose && !saidConverting) {
        std::fprintf(stderr, "quillet: %s: the filter takes %s as %s (converted)\n",
                     where().c_str(), formatName(decoded->format).c_str(),
                     formatName(engine.av).c_str());
        saidConverting = true;
      }
      uint8_t* dst[4] = {static_cast<uint8_t*>(planes.planes[0]),
                         static_cast<uint8_t*>(planes.planes[1]),
                         static_cast<uint8_t*>(planes.planes[2]), nullptr};
      int dstStride[4] = {static_cast<int>(planes.strides[0]), static_cast<int>(planes.strides[1]),
                          static_cast<int>(planes.strides[2]), 0};
      sws_scale(convert, decoded->data, decoded->linesize, 0, format.height, dst, dstStride);
    }
    interlaced = decoded->interlaced_frame != 0;
    int64_t pts = decoded->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) {
      pts = lastPts == AV_NOPTS_VALUE ? 0 : lastPts + 1;
    } else if (lastPts != AV_NOPTS_VALUE && pts <= lastPts) {
      pts = lastPts + 1;  // the encoder takes rising times only
    }
    lastPts = pts;
    noteFrame(decodedFrames, pts, interlaced);
    ++decodedFrames;
    return true;
  }

  bool next(std::vector<uint8_t>& payload) {
    if (pendingReady) {
      pendingReady = false;
      payload.swap(pending);
      lastInterlaced = pendingInterlaced;
      return true;
    }
    bool interlaced = true;
    if (!decode(payload, interlaced)) return false;
    lastInterlaced = interlaced;
    return true;
  }
};

AvClipReader::AvClipReader(const std::string& path, const AvReaderOptions& options)
    : shared_(std::make_shared<Shared>()) {
  Shared& s = *shared_;
  s.path = path;
  s.verbose = options.verbose;
  s.keepOthers = options.keepOtherStreams;
  // "-" is standard input (--format file -): a stream the demuxer reads without seeking.
  int status =
      avformat_open_input(&s.input, path == "-" ? "pipe:0" : path.c_str(), nullptr, nullptr);
  if (status < 0) {
    throw AvError("cannot open input '" + path + "': " + avErrorText(status));
  }
  status = avformat_find_stream_info(s.input, nullptr);
  if (status < 0) {
    throw AvError("'" + path + "': cannot read its streams: " + avErrorText(status));
  }
  for (unsigned i = 0; i < s.input->nb_streams; ++i) {
    // The first video stream that is not a cover picture.
    const AVStream* st = s.input->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (st->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      s.video = s.input->streams[i];
      break;
    }
  }
  if (s.video == nullptr) {
    std::string streams;
    for (unsigned i = 0; i < s.input->nb_streams; ++i) {
      streams += (streams.empty() ? "" : ", ") + streamName(s.input->streams[i]);
    }
    throw AvError("'" + path + "' has no video stream to filter" +
                  (streams.empty() ? std::string() : " (it holds " + streams + ")"));
  }
  for (unsigned i = 0; i < s.input->nb_streams; ++i) {
    AVStream* st = s.input->streams[i];
    const bool kept = st == s.video || (s.keepOthers && copiedType(st->codecpar->codec_type));
    st->discard = kept ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
  const AVCodec* codec = avcodec_find_decoder(s.video->codecpar->codec_id);
  if (codec == nullptr) {
    throw AvError(s.where() + ": this build of FFmpeg has no decoder for it");
  }
  s.decoder = avcodec_alloc_context3(codec);
  if (s.decoder == nullptr) throw std::bad_alloc();
  avcodec_parameters_to_context(s.decoder, s.video->codecpar);
  s.decoder->pkt_timebase = s.video->time_base;
  s.decoder->thread_count = 0;
  status = avcodec_open2(s.decoder, codec, nullptr);
  if (status < 0) {
    throw AvError(s.where() + ": cannot open its decoder: " + avErrorText(status));
  }
  const auto announced = static_cast<AVPixelFormat>(s.video->codecpar->format);
  if (announced == AV_PIX_FMT_NONE || s.video->codecpar->width <= 0 ||
      s.video->codecpar->height <= 0) {
    throw AvError(s.where() + ": its frame size or pixel format cannot be told");
  }
  if (s.video->codecpar->width > kMaxY4mDimension || s.video->codecpar->height > kMaxY4mDimension) {
    throw AvError(s.where() + ": frames of " + std::to_string(s.video->codecpar->width) + "x" +
                  std::to_string(s.video->codecpar->height) + " are larger than " +
                  std::to_string(kMaxY4mDimension) + "x" + std::to_string(kMaxY4mDimension));
  }
  const EngineFormat* exact = engineFormatOf(announced);
  s.engine = exact != nullptr ? *exact : nearestEngineFormat(announced);
  s.decoded = av_frame_alloc();
  s.packet = av_packet_alloc();
  if (s.decoded == nullptr || s.packet == nullptr) throw std::bad_alloc();

  Y4mFormat& f = s.format;
  f.width = s.video->codecpar->width;
  f.height = s.video->codecpar->height;
  const AVRational rate =
      s.video->avg_frame_rate.num > 0 ? s.video->avg_frame_rate : s.video->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) {
    f.hasRate = true;
    f.rateNum = static_cast<uint32_t>(rate.num);
    f.rateDen = static_cast<uint32_t>(rate.den);
  }
  const AVRational aspect = s.video->codecpar->sample_aspect_ratio;
  if (aspect.num > 0 && aspect.den > 0) {
    f.hasAspect = true;
    f.aspectNum = static_cast<uint32_t>(aspect.num);
    f.aspectDen = static_cast<uint32_t>(aspect.den);
  }
  f.interlace = 'p';
  f.bitDepth = s.engine.depth;
  const std::string depth = s.engine.depth == 8 ? "" : std::to_string(s.engine.depth);
  // The Y4M description serves the four layouts Y4M has; the engine's own layout and depth are
  // what the file path runs on.
  switch (s.engine.layout) {
    case QUILLET_LAYOUT_444:
      f.layout = ChromaLayout::k444;
      f.colourspace = "444" + (depth.empty() ? "" : "p" + depth);
      break;
    case QUILLET_LAYOUT_422:
      f.layout = ChromaLayout::k422;
      f.colourspace = "422" + (depth.empty() ? "" : "p" + depth);
      break;
    case QUILLET_LAYOUT_MONO:
      f.layout = ChromaLayout::kMono;
      f.colourspace = "mono" + depth;
      break;
    case QUILLET_LAYOUT_411:
      f.layout = ChromaLayout::k411;
      f.colourspace = "411";
      break;
    default:
      f.layout = ChromaLayout::k420;
      // Siting as ffmpeg's Y4M writer names it.
      f.colourspace = !depth.empty()                                               ? "420p" + depth
                      : s.video->codecpar->chroma_location == AVCHROMA_LOC_LEFT    ? "420mpeg2"
                      : s.video->codecpar->chroma_location == AVCHROMA_LOC_TOPLEFT ? "420paldv"
                                                                                   : "420jpeg";
      break;
  }
  const bool full = s.video->codecpar->color_range == AVCOL_RANGE_JPEG ||
                    s.engine.av == AV_PIX_FMT_YUVJ420P || s.engine.av == AV_PIX_FMT_YUVJ422P ||
                    s.engine.av == AV_PIX_FMT_YUVJ444P;
  if (full) f.extraTokens.push_back("XCOLORRANGE=FULL");
  s.scale = makeSampleScale(f.bitDepth);
  s.config = engineConfig(s.engine.layout, s.engine.depth, f.width, f.height);
  s.payloadBytes = quillet_frame_layout(&s.config, nullptr, nullptr);
}

AvClipReader::~AvClipReader() = default;

int32_t AvClipReader::width() const { return shared_->format.width; }
int32_t AvClipReader::height() const { return shared_->format.height; }
const std::optional<std::string>& AvClipReader::fault() const { return shared_->fault; }
size_t AvClipReader::payloadBytes() const { return shared_->payloadBytes; }
QuilletLayout AvClipReader::layout() const { return shared_->engine.layout; }
int32_t AvClipReader::bitDepth() const { return shared_->engine.depth; }
const Y4mFormat& AvClipReader::format() const { return shared_->format; }
bool AvClipReader::payloadInterlaced() const { return shared_->lastInterlaced; }

bool AvClipReader::readPayload(std::vector<uint8_t>& payload) { return shared_->next(payload); }

bool AvClipReader::readFrame(Pixel* frame, int32_t stride) {
  Shared& s = *shared_;
  if (!s.next(s.pixelsPayload)) return false;
  y4mFrameToPixels(s.format, s.scale, s.pixelsPayload.data(), frame, stride);
  return true;
}

bool AvClipReader::hasNextFrame() {
  Shared& s = *shared_;
  if (!s.pendingReady) s.pendingReady = s.decode(s.pending, s.pendingInterlaced);
  return s.pendingReady;
}

int64_t AvClipReader::estimatedFrames() const {
  const AVStream* video = shared_->video;
  if (video->nb_frames > 0) return video->nb_frames;
  const AVRational rate = video->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return -1;
  if (video->duration != AV_NOPTS_VALUE && video->duration > 0) {
    return av_rescale_q(video->duration, video->time_base, av_inv_q(rate));
  }
  int64_t duration = shared_->input->duration;
  if (duration == AV_NOPTS_VALUE || duration <= 0) return -1;
  if (shared_->input->start_time != AV_NOPTS_VALUE && shared_->input->start_time < duration) {
    duration -= shared_->input->start_time;
  }
  return av_rescale_q(duration, AVRational{1, AV_TIME_BASE}, av_inv_q(rate));
}

namespace {

const EngineFormat& engineFormatFor(QuilletLayout layout, int depth) {
  for (const EngineFormat& f : kEngineFormats) {
    if (f.layout == layout && f.depth == depth) return f;
  }
  return kEngineFormats[0];
}

// The encoder a container gets by default: x264 where it holds H.264, else its own default.
const AVCodec* defaultEncoder(const AVOutputFormat* container) {
  const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
  if (x264 != nullptr &&
      avformat_query_codec(container, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) == 1) {
    return x264;
  }
  return avcodec_find_encoder(container->video_codec);
}

}  // namespace

struct AvClipWriter::State {
  std::string path;
  std::shared_ptr<AvClipReader::Shared> source;
  AVFormatContext* output = nullptr;
  AVCodecContext* encoder = nullptr;
  AVStream* video = nullptr;
  std::map<int, AVStream*> copied;  // input stream index -> output stream
  AVPacket* packet = nullptr;
  SwsContext* convert = nullptr;
  EngineFormat engine{};
  QuilletConfig config{};
  Y4mFormat format;
  SampleScale scale;
  std::vector<uint8_t> pixelsPayload;
  FrameRange range;
  int64_t nextNumber = 0;
  int64_t lastPts = AV_NOPTS_VALUE;
  int64_t written = 0;
  bool matroska = false;
  bool opened = false;  // the header is written
  bool finished = false;
  bool ok = true;
  std::string error;

  ~State() {
    sws_freeContext(convert);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    if (output != nullptr) {
      if ((output->oformat->flags & AVFMT_NOFILE) == 0) avio_closep(&output->pb);
      avformat_free_context(output);
    }
  }

  bool fail(const std::string& what, int code) {
    if (ok) error = what + ": " + avErrorText(code);
    ok = false;
    return false;
  }

  bool mux(AVPacket* p) {
    const int status = av_interleaved_write_frame(output, p);
    if (status < 0)
      return fail("the muxer refused a packet of " + streamName(output->streams[p->stream_index]),
                  status);
    return true;
  }

  // Sends `frame` (null: the end) and writes what the encoder gives back.
  bool encode(AVFrame* frame) {
    int status = avcodec_send_frame(encoder, frame);
    if (status < 0)
      return fail("the encoder " + std::string(encoder->codec->name) + " failed", status);
    for (;;) {
      status = avcodec_receive_packet(encoder, packet);
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
      if (status < 0)
        return fail("the encoder " + std::string(encoder->codec->name) + " failed", status);
      packet->stream_index = video->index;
      av_packet_rescale_ts(packet, encoder->time_base, video->time_base);
      if (!mux(packet)) return false;
    }
  }

  // Writes the packets of the copied streams that come before `limit` (a common time).
  bool writeRelayed(int64_t limit) {
    if (!source) return true;
    std::deque<RelayedPacket> ready;
    {
      const std::lock_guard<std::mutex> hold(source->mutex);
      auto& queue = source->relayed;
      while (!queue.empty() && queue.front().time < limit) {
        ready.push_back(std::move(queue.front()));
        queue.pop_front();
      }
    }
    for (RelayedPacket& r : ready) {
      AVPacket* p = r.packet.get();
      const auto out = copied.find(p->stream_index);
      if (out == copied.end()) continue;
      const AVStream* in = source->input->streams[p->stream_index];
      av_packet_rescale_ts(p, in->time_base, out->second->time_base);
      // Matroska stores an Opus block at its time plus the codec delay, which its reader takes
      // off again; its writer leaves the adding to the caller.
      if (matroska && out->second->codecpar->codec_id == AV_CODEC_ID_OPUS) {
        const int64_t delay = av_rescale_q(out->second->codecpar->initial_padding,
                                           AVRational{1, 48000}, out->second->time_base);
        if (p->pts != AV_NOPTS_VALUE) p->pts += delay;
        if (p->dts != AV_NOPTS_VALUE) p->dts += delay;
      }
      p->stream_index = out->second->index;
      p->pos = -1;
      if (ok && !mux(p)) return false;
    }
    return ok;
  }

  bool writeFrame(int64_t number, const uint8_t* payload) {
    if (!ok || finished) return false;
    int64_t pts = number;
    int64_t limit = INT64_MIN;
    if (source) {
      const std::lock_guard<std::mutex> hold(source->mutex);
      auto& marks = source->marks;
      const auto mark = marks.find(number);
      pts = mark != marks.end() ? mark->second.pts : (lastPts == AV_NOPTS_VALUE ? 0 : lastPts + 1);
      // The copied streams follow the video up to the next frame's time, once it is known.
      const auto after = marks.find(number + 1);
      const int64_t until = after != marks.end() ? after->second.pts : pts;
      limit = commonTime(until, encoder->time_base);
      marks.erase(marks.begin(), marks.lower_bound(number));
    }
    if (lastPts != AV_NOPTS_VALUE && pts <= lastPts) pts = lastPts + 1;
    lastPts = pts;

    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return fail("out of memory for a frame", AVERROR(ENOMEM));
    frame->format = encoder->pix_fmt;
    frame->width = format.width;
    frame->height = format.height;
    int status = av_frame_get_buffer(frame, 0);
    if (status < 0) {
      av_frame_free(&frame);
      return fail("out of memory for a frame", status);
    }
    QuilletFrame planes = payloadPlanes(config, payload);
    if (encoder->pix_fmt == engine.av) {
      for (int p = 0; p < planeCount(config); ++p) {
        av_image_copy_plane(
            frame->data[p], frame->linesize[p], static_cast<const uint8_t*>(planes.planes[p]),
            static_cast<int>(planes.strides[p]),
            static_cast<int>(quillet_plane_row_bytes(&config, p)), quillet_plane_rows(&config, p));
      }
    } else {
      const uint8_t* src[4] = {static_cast<const uint8_t*>(planes.planes[0]),
                               static_cast<const uint8_t*>(planes.planes[1]),
                               static_cast<const uint8_t*>(planes.planes[2]), nullptr};
      const int srcStride[4] = {static_cast<int>(planes.strides[0]),
                                static_cast<int>(planes.strides[1]),
                                static_cast<int>(planes.strides[2]), 0};
      sws_scale(convert, src, srcStride, 0, format.height, frame->data, frame->linesize);
    }
    frame->pts = pts;
    frame->sample_aspect_ratio = encoder->sample_aspect_ratio;
    frame->color_range = encoder->color_range;
    frame->colorspace = encoder->colorspace;
    frame->color_primaries = encoder->color_primaries;
    frame->color_trc = encoder->color_trc;
    frame->chroma_location = encoder->chroma_sample_location;
    const bool encoded = encode(frame);
    av_frame_free(&frame);
    if (!encoded) return false;
    ++written;
    return writeRelayed(limit);
  }

  // Opens the encoder for the engine's frames: in their own pixel format where the encoder takes
  // it, else the nearest it does (converted with libswscale); timed in the time base of `in`, the
  // video stream they come from, or by the rate.
  void openEncoder(const AVCodec* codec, const AVStream* in, const AvWriterOptions& options,
                   const std::string& where) {
    encoder = avcodec_alloc_context3(codec);
    packet = av_packet_alloc();
    if (encoder == nullptr || packet == nullptr) throw std::bad_alloc();

    AVCodecContext* e = encoder;
    e->width = format.width;
    e->height = format.height;
    // The engine's format where the encoder takes it, else the encoder's nearest.
    e->pix_fmt = engine.av;
    if (codec->pix_fmts != nullptr) {
      bool takes = false;
      for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        takes |= *f == engine.av;
      if (!takes) {
        e->pix_fmt = avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, engine.av, 0, nullptr);
        if (options.verbose) {
          std::fprintf(
              stderr,
              "quillet: the encoder %s does not take %s; %s is written as %s (--vcodec ffv1 "
              "keeps it)\n",
              codec->name, formatName(engine.av).c_str(), where.c_str(),
              formatName(e->pix_fmt).c_str());
        }
        convert = sws_getContext(
            format.width, format.height, engine.av, format.width, format.height, e->pix_fmt,
            SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
        if (convert == nullptr) {
          throw AvError(where + ": cannot convert " + formatName(engine.av) + " to " +
                        formatName(e->pix_fmt));
        }
      }
    }
    AVRational rate{format.hasRate ? static_cast<int>(format.rateNum) : 25,
                    format.hasRate ? static_cast<int>(format.rateDen) : 1};
    e->framerate = rate;
    e->time_base = in != nullptr ? in->time_base : av_inv_q(rate);
    if (format.hasAspect) {
      e->sample_aspect_ratio =
          AVRational{static_cast<int>(format.aspectNum), static_cast<int>(format.aspectDen)};
    }
    e->field_order = AV_FIELD_PROGRESSIVE;
    if (in != nullptr) {
      e->color_range = in->codecpar->color_range;
      e->color_primaries = in->codecpar->color_primaries;
      e->color_trc = in->codecpar->color_trc;
      e->colorspace = in->codecpar->color_space;
      e->chroma_sample_location = in->codecpar->chroma_location;
    } else if (std::find(format.extraTokens.begin(), format.extraTokens.end(),
                         "XCOLORRANGE=FULL") != format.extraTokens.end()) {
      e->color_range = AVCOL_RANGE_JPEG;
    }
    e->thread_count = 0;
    if ((output->oformat->flags & AVFMT_GLOBALHEADER) != 0) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    AVDictionary* settings = nullptr;
    if (std::string_view(codec->name) == "libx264") {
      av_dict_set(&settings, "crf", "16", 0);
      av_dict_set(&settings, "preset", "medium", 0);
    }
    for (const auto& [key, value] : options.options)
      av_dict_set(&settings, key.c_str(), value.c_str(), 0);
    const int status = avcodec_open2(e, codec, &settings);
    if (status < 0) {
      av_dict_free(&settings);
      throw AvError(where + ": the encoder " + codec->name + " refuses video stream #0:0 (" +
                    std::to_string(format.width) + "x" + std::to_string(format.height) + " " +
                    formatName(e->pix_fmt) + "): " + avErrorText(status) +
                    (std::string_view(codec->name) == "ffv1"
                         ? ""
                         : "; --vcodec ffv1 takes every size and depth"));
    }
    if (const AVDictionaryEntry* unknown =
            av_dict_get(settings, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
      const std::string key = unknown->key;
      av_dict_free(&settings);
      throw AvError("--vopt: the encoder " + std::string(codec->name) + " has no option '" + key +
                    "'");
    }
    av_dict_free(&settings);
  }

  // Takes the container's metadata and chapters, the video stream's metadata and the streams
  // copied as they are from the file the frames come from.
  void takeFromSource(AvClipReader::Shared& src, const FrameRange& frames,
                      const std::string& where) {
    const AVStream* in = src.video;
    const AVOutputFormat* container = output->oformat;
    av_dict_copy(&output->metadata, src.input->metadata, 0);
    for (unsigned i = 0; i < src.input->nb_chapters; ++i) {
      const AVChapter* from = src.input->chapters[i];
      auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
      if (chapter == nullptr) throw std::bad_alloc();
      chapter->id = from->id;
      chapter->time_base = from->time_base;
      chapter->start = from->start;
      chapter->end = from->end;
      av_dict_copy(&chapter->metadata, from->metadata, 0);
      // The output context owns the chapter from here on, and frees it with itself.
      auto* grown = static_cast<AVChapter**>(
          av_realloc_array(output->chapters, output->nb_chapters + 1, sizeof(AVChapter*)));
      if (grown == nullptr) {
        av_dict_free(&chapter->metadata);
        av_free(chapter);
        throw std::bad_alloc();
      }
      output->chapters = grown;
      output->chapters[output->nb_chapters++] = chapter;
    }
    av_dict_copy(&video->metadata, in->metadata, 0);
    av_dict_set(&video->metadata, "encoder", nullptr, 0);
    video->disposition = in->disposition;
    for (unsigned i = 0; i < src.input->nb_streams && src.keepOthers; ++i) {
      const AVStream* other = src.input->streams[i];
      if (!copiedType(other->codecpar->codec_type)) continue;
      if (avformat_query_codec(container, other->codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 0) {
        throw AvError(where + ": the " + std::string(container->name) + " container cannot hold " +
                      "input " + streamName(other) + "; choose another container or --no-audio");
      }
      AVStream* copy = avformat_new_stream(output, nullptr);
      if (copy == nullptr) throw std::bad_alloc();
      avcodec_parameters_copy(copy->codecpar, other->codecpar);
      copy->codecpar->codec_tag = 0;
      copy->time_base = other->time_base;
      copy->disposition = other->disposition;
      av_dict_copy(&copy->metadata, other->metadata, 0);
      copied[other->index] = copy;
    }
    const std::lock_guard<std::mutex> hold(src.mutex);
    src.writerAttached = true;
    src.range = frames;
  }

  bool finishStream() {
    if (finished) return ok;
    finished = true;
    if (!opened) return ok;
    if (ok) encode(nullptr);
    if (source) {
      int64_t limit = INT64_MAX;
      {
        const std::lock_guard<std::mutex> hold(source->mutex);
        const bool allWritten =
            source->streamEnded && source->marks.upper_bound(nextNumber - 1) == source->marks.end();
        if (!allWritten) {
          // Stopped before the end: the copied streams end with the last written frame.
          const auto after = source->marks.find(nextNumber);
          limit = after != source->marks.end() ? commonTime(after->second.pts, encoder->time_base)
                  : lastPts != AV_NOPTS_VALUE  ? commonTime(lastPts + 1, encoder->time_base)
                                               : INT64_MIN;
        }
      }
      if (ok) writeRelayed(limit);
    }
    const int status = av_write_trailer(output);
    if (status < 0 && ok) fail("cannot finish '" + path + "'", status);
    if ((output->oformat->flags & AVFMT_NOFILE) == 0) {
      const int closed = avio_closep(&output->pb);
      if (closed < 0 && ok) fail("cannot close '" + path + "'", closed);
    }
    return ok;
  }
};

AvClipWriter::AvClipWriter(const std::string& path, const Y4mFormat& format, QuilletLayout layout,
                           AvClipReader* source, const AvWriterOptions& options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  s.format = format;
  s.scale = makeSampleScale(format.bitDepth);
  s.range = options.frames;
  s.nextNumber = options.frames.first;
  s.engine = source != nullptr ? source->shared_->engine : engineFormatFor(layout, format.bitDepth);
  s.config = engineConfig(s.engine.layout, s.engine.depth, format.width, format.height);
  const std::string where = "output '" + path + "'";

  int status = avformat_alloc_output_context2(&s.output, nullptr, nullptr, path.c_str());
  if (status < 0 || s.output == nullptr) {
    throw AvError("cannot tell the container of " + where +
                  " from its name; name it .mkv, .mp4, .mov, ... or .y4m (or use --format y4m)");
  }
  const AVOutputFormat* container = s.output->oformat;
  const AVCodec* codec = options.codec.empty()
                             ? defaultEncoder(container)
                             : avcodec_find_encoder_by_name(options.codec.c_str());
  if (codec == nullptr || codec->type != AVMEDIA_TYPE_VIDEO) {
    throw AvError(options.codec.empty()
                      ? where + ": the " + container->name +
                            " container has no video encoder here; choose one with --vcodec"
                      : "--vcodec: this build of FFmpeg has no video encoder named '" +
                            options.codec + "' (ffmpeg -encoders lists them)");
  }
  if (avformat_query_codec(container, codec->id, FF_COMPLIANCE_NORMAL) == 0) {
    throw AvError(where + ": the " + std::string(container->name) + " container cannot hold " +
                  avcodec_get_name(codec->id) + " video (--vcodec " + codec->name + ")");
  }
  const AVStream* in = source != nullptr ? source->shared_->video : nullptr;
  s.openEncoder(codec, in, options, where);
  s.video = avformat_new_stream(s.output, nullptr);
  if (s.video == nullptr) throw std::bad_alloc();
  avcodec_parameters_from_context(s.video->codecpar, s.encoder);
  s.video->time_base = s.encoder->time_base;
  s.video->avg_frame_rate = s.encoder->framerate;
  s.video->sample_aspect_ratio = s.encoder->sample_aspect_ratio;
  if (source != nullptr) {
    s.source = source->shared_;
    s.takeFromSource(*source->shared_, options.frames, where);
  }
  // Matroska takes a copied stream's own start (an Opus stream's pre-skip before 0) as it is;
  // shifting every stream to start at 0 would move the video's timestamps.
  s.matroska = std::string_view(container->name).find("matroska") != std::string_view::npos ||
               std::string_view(container->name) == "webm";
  if (s.matroska) {
    s.output->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  }
  if ((container->flags & AVFMT_NOFILE) == 0) {
    status = avio_open(&s.output->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) throw AvError("cannot open " + where + ": " + avErrorText(status));
  }
  status = avformat_write_header(s.output, nullptr);
  if (status < 0) {
    avio_closep(&s.output->pb);
    std::remove(path.c_str());
    throw AvError(where + ": the " + std::string(container->name) + " muxer refuses its streams (" +
                  streamName(s.video) + (s.copied.empty() ? "" : " and the copied ones") +
                  "): " + avErrorText(status));
  }
  s.opened = true;
}

AvClipWriter::~AvClipWriter() {
  if (state_) state_->finishStream();
}

bool AvClipWriter::writePayload(const uint8_t* payload) {
  return state_->writeFrame(state_->nextNumber++, payload);
}

bool AvClipWriter::writeFrame(int32_t number, const Pixel* frame, int32_t stride) {
  State& s = *state_;
  s.pixelsPayload.resize(quillet_frame_layout(&s.config, nullptr, nullptr));
  pixelsToY4mFrame(s.format, s.scale, frame, stride, s.pixelsPayload.data());
  s.nextNumber = number + 1;
  return s.writeFrame(number, s.pixelsPayload.data());
}

bool AvClipWriter::finish() { return state_->finishStream(); }

const std::string& AvClipWriter::error() const { return state_->error; }

}  // namespace quillet::cli

#endif
