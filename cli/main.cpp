// quillet: the command-line host. Reads a clip, runs every frame through the filter in the
// stand-in host, writes the results in frame order.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "cli/options.h"
#include "cli/ycc16_io.h"
#include "host/cpu_features.h"
#include "host/kernel_select.h"
#include "standin/host.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
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

// True when writing `outputPath` would write into the file `input` reads.
bool outputIsInput(const std::string& inputPath, std::FILE* input, const std::string& outputPath) {
  if (!isStdStream(inputPath) && inputPath == outputPath) return true;
#if defined(_WIN32)
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

// What the chosen format needs of the options, checked before any file is opened.
std::optional<std::string> formatUsageProblem(const Options& options) {
  switch (options.format) {
    case ClipFormat::kYcc16:
      if (options.size) return std::nullopt;
      return "--format ycc16 needs --size WxH (W and H in 1.." + std::to_string(kMaxDimension) +
             ")";
    case ClipFormat::kY4m:
      break;
  }
  return "--format y4m: not available in this build; use --format ycc16 --size WxH";
}

// Opens the reader on the input. The frame size comes from --size or from the stream itself;
// a stream whose start is unusable gives the exit that says why.
std::variant<std::unique_ptr<ClipReader>, StreamFailure> openReader(const Options& options,
                                                                    ByteInput& input) {
  switch (options.format) {
    case ClipFormat::kYcc16:
      break;
    case ClipFormat::kY4m:
      return StreamFailure{kExitUsage, *formatUsageProblem(options)};
  }
  return std::make_unique<Ycc16Reader>(input, options.size->width, options.size->height);
}

// Opens the writer matching the reader.
std::unique_ptr<ClipWriter> openWriter(const Options& options, const ClipReader& reader,
                                       ByteOutput& output) {
  switch (options.format) {
    case ClipFormat::kYcc16:
    case ClipFormat::kY4m:
      break;
  }
  return std::make_unique<Ycc16Writer>(output, reader.width(), reader.height());
}

// Passes frames on to the writer and keeps the progress line on stderr.
class ProgressSink : public standin::FrameSink {
 public:
  ProgressSink(ClipWriter& writer, bool enabled) : writer_(writer), enabled_(enabled) {}

  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override {
    if (!writer_.writeFrame(number, frame, stride)) return false;
    ++written_;
    const auto now = std::chrono::steady_clock::now();
    if (enabled_ && now - lastShown_ >= std::chrono::milliseconds(100)) {
      std::fprintf(stderr, "\rquillet: frame %lld", static_cast<long long>(written_));
      lastShown_ = now;
      shown_ = true;
    }
    return true;
  }

  void finish() {
    if (!enabled_) return;
    std::fprintf(stderr, "%squillet: %lld frames\n", shown_ ? "\r" : "",
                 static_cast<long long>(written_));
  }

 private:
  ClipWriter& writer_;
  bool enabled_;
  bool shown_ = false;
  int64_t written_ = 0;
  std::chrono::steady_clock::time_point lastShown_{};
};

std::string describeOutput(const std::string& path) {
  return isStdStream(path) ? std::string("standard output") : "'" + path + "'";
}

int runTool(int argc, char** argv) {
#if !defined(_WIN32)
  // A closed pipe shows up as a write error (EPIPE), reported like any other.
  std::signal(SIGPIPE, SIG_IGN);
#endif
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
                                ((present & kCpuMmx) ? ", mmx" : "") +
                                ((present & kCpuSse) ? ", sse" : "") +
                                ((present & kCpuSse2) ? ", sse2" : ""));
  }
  if (const std::optional<std::string> problem = formatUsageProblem(options)) {
    return fail(kExitUsage, *problem);
  }
  if (options.format == ClipFormat::kYcc16) {
    std::string error;
    if (!maxFrameSize(options, *options.size, error)) return fail(kExitUsage, error);
  }

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
  auto opened = openReader(options, input);
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
  FileHandle outputFile;
  std::FILE* out = stdout;
  if (isStdStream(options.output)) {
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
  std::setvbuf(out, outputBuffer, _IOFBF, sizeof outputBuffer);
  ByteOutput output(out);
  std::unique_ptr<ClipWriter> writer = openWriter(options, *reader, output);

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
  ProgressSink sink(*writer, showProgress);
  standin::RunResult result;
  try {
    standin::Host host(config);
    // The installed set reports the one feature it is built for: the mask's highest bit.
    const CpuFeatures wanted = config.cpuMask & kCpuSse2  ? kCpuSse2
                               : config.cpuMask & kCpuSse ? kCpuSse
                                                          : config.cpuMask & kCpuMmx;
    if (options.cpu != CpuChoice::kAuto && selectedCpuFeatures() != wanted) {
      return fail(kExitUsage, std::string("--cpu ") + cpuChoiceName(options.cpu) +
                                  ": this build has no such kernel set");
    }
    result = host.run(*reader, sink, options.order);
  } catch (const std::bad_alloc&) {
    writer->finish();
    return fail(kExitFailure, "out of memory for frames of " + std::to_string(max->width) + "x" +
                                  std::to_string(max->height) + " pixels");
  }

  const bool flushed = writer->finish();
  bool closed = true;
  if (outputFile) {
    errno = 0;
    closed = std::fclose(outputFile.release()) == 0;
  }
  sink.finish();
  if (result.status == standin::RunResult::Status::kSinkFailed || !flushed || !closed) {
    const std::string reason = !writer->error().empty() ? writer->error() : std::strerror(errno);
    return fail(kExitFailure, "cannot write " + describeOutput(options.output) + ": " + reason);
  }
  if (result.status == standin::RunResult::Status::kFilterFailed) {
    return fail(kExitFailure, "the filter failed on frame " + std::to_string(result.frame) +
                                  " (frame cache, frame fetch or motion buffers refused)");
  }
  if (reader->fault()) return fail(kExitFailure, *reader->fault());
  return kExitOk;
}

}  // namespace
}  // namespace quillet::cli

int main(int argc, char** argv) { return quillet::cli::runTool(argc, argv); }
