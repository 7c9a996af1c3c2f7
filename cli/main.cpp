// quillet: the command-line host. Reads a clip, runs every frame through the filter in the
// stand-in host, writes the results in frame order.

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/av_io.h"
#include "cli/demo.h"
#include "cli/engine_run.h"
#include "cli/interrupt.h"
#include "cli/options.h"
#include "cli/preview.h"
#include "cli/progress.h"
#include "cli/y4m_io.h"
#include "cli/ycc16_io.h"
#include "dispatch/cpu_features.h"
#include "dispatch/kernel_sets.h"
#include "host/kernel_select.h"
#include "standin/host.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#endif

namespace quillet::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input data, a failed read or write, a failed frame
constexpr int kExitUsage = 2;    // bad option or value

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "quillet: %s\n", message.c_str());
  return code;
}

bool isStdStream(const std::string& path) { return path == "-"; }

bool stderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

void setBinaryMode(std::FILE* file) {
#if defined(_WIN32)
  _setmode(_fileno(file), _O_BINARY);
#else
  (void)file;
#endif
}

#if !defined(_WIN32)
// A standard stream the caller closed must not lend its number to a file the tool opens: the
// input would pass for standard output, or messages would land in the output. Each closed one
// is taken by /dev/null opened the other way round, so that using it fails with the system's
// reason (EBADF) like any closed stream.
void occupyClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one: the lower ones are open by now.
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (opened != fd && opened >= 0) close(opened);
  }
}
#endif

// True when writing `outputPath` would write into the file `input` reads.
bool outputIsInput(const std::string& inputPath, std::FILE* input, const std::string& outputPath) {
  if (!isStdStream(inputPath) && inputPath == outputPath) return true;
#if defined(_WIN32)
  (void)input;
  if (isStdStream(inputPath) || isStdStream(outputPath)) return false;
  std::error_code error;
  return std::filesystem::equivalent(inputPath, outputPath, error);
#else
  struct stat in {};
  struct stat out {};
  if (fstat(fileno(input), &in) != 0 || !S_ISREG(in.st_mode)) return false;
  const int found =
      isStdStream(outputPath) ? fstat(STDOUT_FILENO, &out) : stat(outputPath.c_str(), &out);
  return found == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
#endif
}

// True when writing the file at `path` would write into the stream `name` (a path or "-"),
// open as `fd` (-1: not open yet): the same path once resolved, or the same file through a
// link or /dev/std*. Character devices (a terminal, /dev/null) are shared by any writers.
bool pathReaches(const std::string& path, const std::string& name, int fd) {
  namespace fs = std::filesystem;
#if !defined(_WIN32)
  struct stat target {};
  const bool exists = stat(path.c_str(), &target) == 0;
  if (exists && S_ISCHR(target.st_mode)) return false;
#endif
  if (!isStdStream(name)) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    const fs::path other = fs::weakly_canonical(fs::absolute(name, error), error);
    if (path == name || (!error && resolved == other)) return true;
  }
#if defined(_WIN32)
  (void)fd;
  std::error_code error;
  return !isStdStream(name) && fs::equivalent(path, name, error);
#else
  struct stat stream {};
  if (!exists) return false;
  const int found = fd >= 0 ? fstat(fd, &stream) : stat(name.c_str(), &stream);
  return found == 0 && target.st_dev == stream.st_dev && target.st_ino == stream.st_ino;
#endif
}

// Why the preview cannot go to `path`: it would replace the input or the output.
std::optional<std::string> previewPathProblem(const Options& options, std::FILE* in) {
  const std::string& path = options.preview->path;
  const char* what = nullptr;
  if (pathReaches(path, options.input, fileno(in))) {
    what = "the input";
  } else if (pathReaches(path, options.output, isStdStream(options.output) ? 1 : -1)) {
    what = "the output";
  } else {
    return std::nullopt;
  }
  return "--preview: '" + path + "' is " + what + "; refusing to overwrite it";
}

// Closes a file the tool opened when the object goes away.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// A reader and writer for the chosen format, or the exit that says why there are none.
struct Streams {
  std::unique_ptr<ClipReader> reader;
  std::unique_ptr<ClipWriter> writer;
};
struct StreamFailure {
  int exitCode;
  std::string message;
};

// The size of the input when it is a regular file, else -1.
int64_t regularFileBytes(const std::string& path, std::FILE* in) {
#if defined(_WIN32)
  (void)in;
  std::error_code error;
  if (isStdStream(path) || !std::filesystem::is_regular_file(path, error)) return -1;
  const uintmax_t bytes = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<int64_t>(bytes);
#else
  (void)path;
  struct stat st {};
  if (fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
#endif
}

// What the chosen format needs of the options, checked before any file is opened.
std::optional<std::string> formatUsageProblem(const Options& options) {
  if (options.format == ClipFormat::kYcc16) {
    if (options.size) return std::nullopt;
    return "--format ycc16 needs --size WxH (W and H in 1.." + std::to_string(kMaxDimension) + ")";
  }
  if (options.size) {
    return "--size applies to --format ycc16 only; a Y4M stream or a video file gives its own "
           "frame size";
  }
  return std::nullopt;
}

bool endsWithY4m(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".y4m";
}

// The input's format: --format, else Y4M for -, a .y4m, a stream that is not a regular file or a
// file that starts as Y4M does; other files are video files.
ClipFormat inputFormatOf(const Options& options, std::FILE* in) {
  if (options.format != ClipFormat::kAuto) return options.format;
  if (isStdStream(options.input) || endsWithY4m(options.input)) return ClipFormat::kY4m;
  if (regularFileBytes(options.input, in) < 0) return ClipFormat::kY4m;
  char start[9] = {};
  const size_t got = std::fread(start, 1, sizeof start, in);
  std::rewind(in);
  const bool y4m = got == sizeof start && std::memcmp(start, "YUV4MPEG2", sizeof start) == 0;
  return y4m ? ClipFormat::kY4m : ClipFormat::kFile;
}

// The output's format: --format, else Y4M for -, a .y4m or an existing stream that is not a
// regular file (a pipe, /dev/null); other names are video files.
ClipFormat outputFormatOf(const Options& options) {
  if (options.format != ClipFormat::kAuto) return options.format;
  if (isStdStream(options.output) || endsWithY4m(options.output)) return ClipFormat::kY4m;
  std::error_code error;
  const auto status = std::filesystem::status(options.output, error);
  if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return ClipFormat::kY4m;
  }
  return ClipFormat::kFile;
}

// The frames' format as a Y4M stream describes it, for the readers that have one.
const Y4mFormat* payloadFormatOf(const ClipReader& reader) {
  if (const auto* y4m = dynamic_cast<const Y4mClipReader*>(&reader)) return &y4m->format();
  if (const auto* file = dynamic_cast<const AvClipReader*>(&reader)) return &file->format();
  return nullptr;
}

// Opens the reader on the input. The frame size comes from --size or from the stream itself;
// a stream whose start is unusable gives the exit that says why.
std::variant<std::unique_ptr<ClipReader>, StreamFailure> openReader(const Options& options,
                                                                    ClipFormat format,
                                                                    ByteInput& input, std::FILE* in,
                                                                    bool keepOtherStreams) {
  switch (format) {
    case ClipFormat::kYcc16:
      break;
    case ClipFormat::kFile:
      try {
        AvReaderOptions av;
        av.keepOtherStreams = keepOtherStreams;
        av.verbose = options.progress != ProgressMode::kOff;
        return std::make_unique<AvClipReader>(options.input, av);
      } catch (const AvError& e) {
        return StreamFailure{kExitFailure, e.what()};
      }
    case ClipFormat::kAuto:
    case ClipFormat::kY4m:
      try {
        return std::make_unique<Y4mClipReader>(in);
      } catch (const Y4mError& e) {
        return StreamFailure{kExitFailure, e.what()};
      }
  }
  return std::make_unique<Ycc16Reader>(input, options.size->width, options.size->height);
}

// Opens the writer matching the reader.
std::unique_ptr<ClipWriter> openWriter(const ClipReader& reader, ByteOutput& output,
                                       std::FILE* out) {
  if (const Y4mFormat* format = payloadFormatOf(reader)) {
    return std::make_unique<Y4mClipWriter>(out, *format);
  }
  return std::make_unique<Ycc16Writer>(output, reader.width(), reader.height());
}

// The engine's layout for a Y4M stream's chroma layout.
QuilletLayout engineLayoutOf(ChromaLayout layout) {
  switch (layout) {
    case ChromaLayout::k444:
      return QUILLET_LAYOUT_444;
    case ChromaLayout::k422:
      return QUILLET_LAYOUT_422;
    case ChromaLayout::kMono:
      return QUILLET_LAYOUT_MONO;
    case ChromaLayout::k411:
      return QUILLET_LAYOUT_411;
    case ChromaLayout::k420:
      break;
  }
  return QUILLET_LAYOUT_420;
}

// Opens the video file writer for the frames `reader` gives.
std::variant<std::unique_ptr<ClipWriter>, StreamFailure> openFileWriter(const Options& options,
                                                                        ClipReader& reader) {
  const Y4mFormat* format = payloadFormatOf(reader);
  if (format == nullptr) {
    return StreamFailure{kExitUsage,
                         "a video file output takes Y4M or video file input, not ycc16"};
  }
  auto* file = dynamic_cast<AvClipReader*>(&reader);
  AvWriterOptions av;
  av.codec = options.vcodec;
  av.options = options.vopt;
  av.frames = options.frames;
  av.verbose = options.progress != ProgressMode::kOff;
  try {
    return std::make_unique<AvClipWriter>(
        options.output, *format, file ? file->layout() : engineLayoutOf(format->layout), file, av);
  } catch (const AvError& e) {
    return StreamFailure{kExitFailure, e.what()};
  }
}

// Frames in the input when it is a regular file whose size tells, else -1.
int64_t framesInInput(const std::string& path, std::FILE* in, const ClipReader& reader) {
  if (const auto* file = dynamic_cast<const AvClipReader*>(&reader)) {
    return file->estimatedFrames();
  }
  const int64_t bytes = regularFileBytes(path, in);
  if (bytes < 0) return -1;
  if (const auto* y4m = dynamic_cast<const Y4mClipReader*>(&reader)) {
    return estimateY4mFrames(static_cast<uint64_t>(bytes), y4m->headerBytes(), y4m->frameBytes());
  }
  const int64_t frameBytes =
      int64_t{reader.width()} * reader.height() * static_cast<int64_t>(sizeof(Pixel));
  return bytes / frameBytes;
}

// The colours a preview is drawn in: the stream's hints, else by frame size.
PreviewColour previewColourOf(const ClipReader& reader) {
  if (const Y4mFormat* format = payloadFormatOf(reader)) return previewColourFor(*format);
  Y4mFormat size;
  size.width = reader.width();
  size.height = reader.height();
  return previewColourFor(size);
}

// Passes frames on to the writer and keeps the progress line on stderr; with `split` the line
// says how many frames were filtered and how many passed unchanged.
class ProgressSink : public standin::FrameSink {
 public:
  ProgressSink(ClipWriter& writer, bool enabled, int64_t total, bool split)
      : writer_(writer), line_(stderr, total, enabled) {
    if (split) line_.countPassed(0);
  }

  // Under the interrupt lock: an interrupt finds the output holding whole frames.
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override {
    const std::lock_guard<std::mutex> hold(interruptLock());
    if (!writer_.writeFrame(number, frame, stride)) return false;
    line_.update(++written_);
    return true;
  }

  // A frame as the file holds it, from the engine.
  bool writePayload(const uint8_t* payload, bool filtered) {
    const std::lock_guard<std::mutex> hold(interruptLock());
    if (!writer_.writePayload(payload)) return false;
    if (!filtered) line_.countPassed(++passed_);
    line_.update(++written_);
    return true;
  }

  void finish() { line_.finish(written_); }

 private:
  ClipWriter& writer_;
  ProgressLine line_;
  int64_t written_ = 0;
  int64_t passed_ = 0;
};

// Ends the clip after the frame following a range: the host need not read further, and the
// range's last frame still has its next neighbour.
class RangeSource : public standin::FrameSource {
 public:
  RangeSource(standin::FrameSource& inner, FrameRange range) : inner_(inner), range_(range) {}
  bool readFrame(Pixel* frame, int32_t stride) override {
    if (next_ > range_.end || !inner_.readFrame(frame, stride)) return false;
    ++next_;
    return true;
  }
  bool hasNextFrame() override { return next_ <= range_.end && inner_.hasNextFrame(); }

 private:
  standin::FrameSource& inner_;
  FrameRange range_;
  int64_t next_ = 0;
};

// Passes on only the frames of a range.
class RangeSink : public standin::FrameSink {
 public:
  RangeSink(standin::FrameSink& inner, FrameRange range) : inner_(inner), range_(range) {}
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override {
    if (number < range_.first || number >= range_.end) return true;
    return inner_.writeFrame(number, frame, stride);
  }

 private:
  standin::FrameSink& inner_;
  FrameRange range_;
};

// How many frames of a clip of `frames` frames (-1: unknown) the range writes.
int64_t framesInRange(int64_t frames, FrameRange range) {
  if (frames < 0) return -1;
  return std::max<int64_t>(0, std::min(frames, range.end) - range.first);
}

// `quillet demo [DIR]`.
int runDemoCommand(int argc, char** argv) {
  constexpr const char* kUsage =
      "usage: quillet demo [DIR]\n"
      "Filters a built-in combed test clip with the default settings and writes input.y4m,\n"
      "output.y4m and preview.png into DIR (default: quillet-demo).\n";
  if (argc > 3) return fail(kExitUsage, "demo takes at most one argument, DIR");
  if (argc == 3) {
    const std::string_view arg = argv[2];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (!arg.empty() && arg[0] == '-') {
      return fail(kExitUsage, "demo: unknown option '" + std::string(arg) + "'; it takes DIR");
    }
  }
  return runDemo(argc == 3 ? argv[2] : "quillet-demo", stdout, stderr);
}

// The engine's frame format for the input.
QuilletConfig engineConfigFor(const Options& options, const ClipReader& reader) {
  QuilletConfig config;
  quillet_default_config(&config);
  config.width = reader.width();
  config.height = reader.height();
  config.layout = QUILLET_LAYOUT_YCC16;
  if (const auto* file = dynamic_cast<const AvClipReader*>(&reader)) {
    config.layout = file->layout();
    config.bit_depth = file->bitDepth();
  } else if (const Y4mFormat* format = payloadFormatOf(reader)) {
    config.layout = engineLayoutOf(format->layout);
    config.bit_depth = format->bitDepth;
  }
  const standin::Settings& s = options.settings;
  config.settings = QuilletSettings{s.tap,
                                    s.top,
                                    s.bottom,
                                    s.motion,
                                    s.motion2,
                                    s.showMotion ? 1 : 0,
                                    s.nextFrame ? 1 : 0,
                                    s.useMax ? 1 : 0,
                                    options.deint,
                                    options.combSensitivity};
  config.threads = options.threads;
  config.cpu = engineCpuFor(options.cpu);
  return config;
}

// The file's frames for the engine, straight from the reader.
class ReaderPayloads : public PayloadSource {
 public:
  explicit ReaderPayloads(ClipReader& reader) : reader_(reader) {}
  bool read(std::vector<uint8_t>& payload) override { return reader_.readPayload(payload); }
  bool readInto(uint8_t* payload, size_t) override { return reader_.readPayloadInto(payload); }
  bool interlaced() const override {
    if (const auto* file = dynamic_cast<const AvClipReader*>(&reader_)) {
      return file->payloadInterlaced();
    }
    const auto* y4m = dynamic_cast<const Y4mClipReader*>(&reader_);
    return y4m == nullptr || y4m->payloadInterlaced();
  }
  std::optional<std::string> fault() const override { return reader_.fault(); }

 private:
  ClipReader& reader_;
};

class WriterPayloads : public PayloadSink {
 public:
  explicit WriterPayloads(ProgressSink& sink) : sink_(sink) {}
  bool write(const uint8_t* payload, bool filtered) override {
    return sink_.writePayload(payload, filtered);
  }

 private:
  ProgressSink& sink_;
};

// Hands the frames around the preview's frame to the capture as host pixels.
class PayloadPreview {
 public:
  PayloadPreview(PreviewCapture& capture, const ClipReader& reader)
      : capture_(capture), width_(reader.width()), height_(reader.height()) {
    if (const Y4mFormat* format = payloadFormatOf(reader)) {
      format_ = *format;
      scale_ = makeSampleScale(format_->bitDepth);
    }
  }
  void input(int64_t number, const uint8_t* payload) {
    if (!capture_.wantsInput(number)) {
      capture_.noteInput(number);
      return;
    }
    capture_.offerInput(number, toPixels(payload), width_);
  }
  void output(int64_t number, const uint8_t* payload) {
    if (number == capture_.frame())
      capture_.offerOutput(capture_.frame(), toPixels(payload), width_);
  }

 private:
  const Pixel* toPixels(const uint8_t* payload) {
    pixels_.resize(static_cast<size_t>(width_) * static_cast<size_t>(height_));
    if (format_) {
      y4mFrameToPixels(*format_, scale_, payload, pixels_.data(), width_);
    } else {
      std::memcpy(pixels_.data(), payload, pixels_.size() * sizeof(Pixel));
    }
    return pixels_.data();
  }

  PreviewCapture& capture_;
  int32_t width_;
  int32_t height_;
  std::optional<Y4mFormat> format_;
  SampleScale scale_;
  std::vector<Pixel> pixels_;
};

// The system may refuse some of the worker threads asked for; the run goes on with those it
// gave, and says so.
void noteWorkers(int started, const Options& options) {
  if (started >= options.threads || options.progress == ProgressMode::kOff) return;
  std::fprintf(stderr, "quillet: only %d of %d worker threads could be started; going on with %d\n",
               started, options.threads, started);
}

std::string describeOutput(const std::string& path) {
  return isStdStream(path) ? std::string("standard output") : "'" + path + "'";
}

int runTool(int argc, char** argv) {
#if !defined(_WIN32)
  occupyClosedStandardStreams();
  // A closed pipe shows up as a write error (EPIPE), reported like any other.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  if (argc >= 2 && std::string_view(argv[1]) == "demo") return runDemoCommand(argc, argv);
  auto parsed = parseOptions(argc, argv);
  if (auto* exit = std::get_if<ParseExit>(&parsed)) {
    if (exit->toStdout) {
      std::fputs(exit->text.c_str(), stdout);
      return exit->exitCode;
    }
    return fail(exit->exitCode, exit->text);
  }
  const Options& options = std::get<Options>(parsed);

  const CpuFeatures present = probeCpuFeatures();
  if (!cpuChoiceAvailable(options.cpu, present)) {
    return fail(kExitUsage, std::string("--cpu ") + cpuChoiceName(options.cpu) +
                                ": this processor lacks it; choose auto, scalar" +
                                ((present & kCpuAvx2) && QUILLET_HAVE_AVX2 ? ", avx2" : "") +
                                ((present & kCpuMmx) ? ", mmx" : "") +
                                ((present & kCpuSse) ? ", sse" : "") +
                                ((present & kCpuSse2) ? ", sse2" : ""));
  }
  if (options.preview && !pngSupported()) {
    return fail(kExitUsage, "--preview: this build has no PNG support");
  }
  if (const std::optional<std::string> problem = formatUsageProblem(options)) {
    return fail(kExitUsage, *problem);
  }
  quietenVideoLibraries(options.progress == ProgressMode::kOff);
  if (options.editorPath && options.deint != QUILLET_DEINT_ALL) {
    return fail(kExitUsage,
                "--deint: the plug-in path (--order, --max-size, --threads 0) filters every frame; "
                "only --deint all goes with it");
  }
  if (options.format == ClipFormat::kYcc16) {
    std::string error;
    if (!maxFrameSize(options, *options.size, error)) return fail(kExitUsage, error);
  }

  // From here on an interrupt ends the run at once; no thread has started yet.
  watchInterrupts();

  FileHandle inputFile;
  std::FILE* in = stdin;
  if (isStdStream(options.input)) {
    setBinaryMode(stdin);
  } else {
    inputFile.reset(std::fopen(options.input.c_str(), "rb"));
    if (!inputFile) {
      return fail(kExitFailure,
                  "cannot open input '" + options.input + "': " + std::strerror(errno));
    }
    in = inputFile.get();
  }
  ByteInput input(in);
  const ClipFormat inputFormat = inputFormatOf(options, in);
  const ClipFormat outputFormat = outputFormatOf(options);
  auto opened = openReader(options, inputFormat, input, in,
                           outputFormat == ClipFormat::kFile && !options.noAudio);
  if (auto* failure = std::get_if<StreamFailure>(&opened)) {
    return fail(failure->exitCode, failure->message);
  }
  std::unique_ptr<ClipReader> reader = std::move(std::get<std::unique_ptr<ClipReader>>(opened));
  const FrameSize frame{reader->width(), reader->height()};
  std::string sizeError;
  const std::optional<FrameSize> max = maxFrameSize(options, frame, sizeError);
  if (!max) return fail(kExitUsage, sizeError);

  if (outputIsInput(options.input, in, options.output)) {
    return fail(kExitUsage, "OUTPUT " + describeOutput(options.output) +
                                " is the input file; refusing to overwrite its own input");
  }
  if (options.preview) {
    if (const std::optional<std::string> problem = previewPathProblem(options, in)) {
      return fail(kExitUsage, *problem);
    }
  }
  FileHandle outputFile;
  std::FILE* out = stdout;
  std::unique_ptr<ClipWriter> writer;
  if (outputFormat == ClipFormat::kFile) {
    auto made = openFileWriter(options, *reader);
    if (auto* failure = std::get_if<StreamFailure>(&made)) {
      return fail(failure->exitCode, failure->message);
    }
    writer = std::move(std::get<std::unique_ptr<ClipWriter>>(made));
  } else if (isStdStream(options.output)) {
    setBinaryMode(stdout);
  } else {
    outputFile.reset(std::fopen(options.output.c_str(), "wb"));
    if (!outputFile) {
      return fail(kExitFailure,
                  "cannot open output '" + options.output + "': " + std::strerror(errno));
    }
    out = outputFile.get();
  }
  static char outputBuffer[1 << 20];
  if (!writer) std::setvbuf(out, outputBuffer, _IOFBF, sizeof outputBuffer);
  ByteOutput output(out);
  if (!writer) writer = openWriter(*reader, output, out);

  standin::HostConfig config;
  config.width = frame.width;
  config.height = frame.height;
  config.maxWidth = max->width;
  config.maxHeight = max->height;
  config.threads = options.threads;
  config.cpuMask = cpuMaskFor(options.cpu);
  config.settings = options.settings;

  const bool showProgress = options.progress == ProgressMode::kOn ||
                            (options.progress == ProgressMode::kAuto && stderrIsTerminal());
  ProgressSink progressSink(
      *writer, showProgress,
      showProgress ? framesInRange(framesInInput(options.input, in, *reader), options.frames) : -1,
      options.deint != QUILLET_DEINT_ALL);
  std::optional<PreviewCapture> capture;
  std::optional<CapturingSource> capturingSource;
  std::optional<CapturingSink> capturingSink;
  RangeSource rangeSource(*reader, options.frames);
  standin::FrameSource* source = &rangeSource;
  RangeSink rangeSink(progressSink, options.frames);
  standin::FrameSink* sink = &rangeSink;
  if (options.preview) {
    capture.emplace(options.preview->frame, frame.width, frame.height);
    source = &capturingSource.emplace(rangeSource, *capture);
    sink = &capturingSink.emplace(rangeSink, *capture);
  }
  // Flushes and closes the output once, at the end or on an interrupt, under the interrupt
  // lock either way.
  bool outputClosed = false;
  bool flushed = false;
  bool closed = true;
  int closeError = 0;
  const auto closeOutput = [&] {
    if (outputClosed) return;
    outputClosed = true;
    flushed = writer->finish();
    if (outputFile) {
      errno = 0;
      closed = std::fclose(outputFile.release()) == 0;
      closeError = errno;
    }
    progressSink.finish();
  };
  // A video file's encoder still holds frames and the container its index: give them time.
  InterruptAction closeOnInterrupt(closeOutput, outputFormat == ClipFormat::kFile ? 30000 : 1000);
  standin::RunResult result;
  if (!options.editorPath) {
    ReaderPayloads payloads(*reader);
    WriterPayloads sinkPayloads(progressSink);
    std::optional<PayloadPreview> preview;
    EngineRunHooks hooks;
    if (capture) {
      preview.emplace(*capture, *reader);
      hooks.input = [&](int64_t n, const uint8_t* p) { preview->input(n, p); };
      hooks.output = [&](int64_t n, const uint8_t* p) { preview->output(n, p); };
      hooks.passed = [&](int64_t n) { capture->notePassed(n); };
    }
    const EngineRunResult run =
        runOnEngine(engineConfigFor(options, *reader), reader->payloadBytes(), payloads,
                    sinkPayloads, hooks, options.frames);
    {
      const std::lock_guard<std::mutex> hold(interruptLock());
      closeOutput();
    }
    if (run.threads > 0) noteWorkers(run.threads, options);
    if (run.status == EngineRunResult::Status::kFailed) return fail(kExitFailure, run.error);
    if (run.status == EngineRunResult::Status::kSinkFailed || !flushed || !closed) {
      const std::string reason =
          !writer->error().empty() ? writer->error() : std::strerror(closeError);
      return fail(kExitFailure, "cannot write " + describeOutput(options.output) + ": " + reason);
    }
    if (run.status == EngineRunResult::Status::kEngineFailed) {
      return fail(kExitFailure, "the filter failed: " + run.error);
    }
    if (reader->fault()) return fail(kExitFailure, *reader->fault());
    if (options.deint != QUILLET_DEINT_ALL && options.progress != ProgressMode::kOff) {
      std::fprintf(stderr, "quillet: %lld frames filtered, %lld passed unchanged\n",
                   static_cast<long long>(run.framesFiltered),
                   static_cast<long long>(run.framesPassed));
    }
    if (capture) {
      std::string error;
      if (!capture->write(config, previewColourOf(*reader), options.preview->path, error)) {
        return fail(kExitFailure, "--preview: " + error);
      }
    }
    return kExitOk;
  }
  try {
    standin::Host host(config);
    if (config.threads > 0) noteWorkers(host.workers(), options);
    // The installed set reports the one feature it is built for: the mask's highest bit.
    const CpuFeatures wanted = kernelSetLevel(config.cpuMask);
    if (options.cpu != nullptr && selectedCpuFeatures() != wanted) {
      return fail(kExitUsage, std::string("--cpu ") + cpuChoiceName(options.cpu) +
                                  ": this build has no such kernel set");
    }
    result = host.run(*source, *sink, options.order);
  } catch (const std::bad_alloc&) {
    {
      const std::lock_guard<std::mutex> hold(interruptLock());
      closeOutput();
    }
    return fail(kExitFailure, "out of memory for frames of " + std::to_string(max->width) + "x" +
                                  std::to_string(max->height) + " pixels");
  }

  {
    const std::lock_guard<std::mutex> hold(interruptLock());
    closeOutput();
  }
  if (result.status == standin::RunResult::Status::kSinkFailed || !flushed || !closed) {
    const std::string reason =
        !writer->error().empty() ? writer->error() : std::strerror(closeError);
    return fail(kExitFailure, "cannot write " + describeOutput(options.output) + ": " + reason);
  }
  if (result.status == standin::RunResult::Status::kFilterFailed) {
    return fail(kExitFailure, "the filter failed on frame " + std::to_string(result.frame) +
                                  " (frame cache, frame fetch or motion buffers refused)");
  }
  if (result.status == standin::RunResult::Status::kTooManyFrames) {
    const std::string most = std::to_string(config.maxFrames);
    return fail(kExitFailure, "the input has more frames than the filter can number (" + most +
                                  "); the first " + most + " were written, the rest not read");
  }
  if (reader->fault()) return fail(kExitFailure, *reader->fault());
  if (capture) {
    // The host is gone: the preview runs one of its own around the frame.
    std::string error;
    if (!capture->write(config, previewColourOf(*reader), options.preview->path, error)) {
      return fail(kExitFailure, "--preview: " + error);
    }
  }
  return kExitOk;
}

}  // namespace
}  // namespace quillet::cli

int main(int argc, char** argv) {
  // The run reports memory its frames cannot have itself; this is for everything around it.
  try {
    return quillet::cli::runTool(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("quillet: out of memory\n", stderr);
    return 1;
  }
}
