#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <map>
#include <string_view>
#include <thread>

#include "cli/av_io.h"

namespace quillet::cli {

namespace {
constexpr int32_t kMaxThreads = 256;

std::optional<int32_t> parseInteger(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [last, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || last != end) return std::nullopt;
  return value;
}

// An integer in lo..hi; the message names the accepted range.
CLI::Validator integerIn(int32_t lo, int32_t hi) {
  const std::string range = std::to_string(lo) + ".." + std::to_string(hi);
  return CLI::Validator(
      [lo, hi, range](std::string& text) -> std::string {
        const std::optional<int32_t> value = parseInteger(text);
        if (!value || *value < lo || *value > hi) {
          return "'" + text + "' is not an integer in " + range;
        }
        return {};
      },
      "");
}

// One of a fixed list of words.
CLI::Validator oneOf(std::vector<std::string> words) {
  std::string list;
  for (const std::string& w : words) list += (list.empty() ? "" : "|") + w;
  return CLI::Validator(
      [words, list](std::string& text) -> std::string {
        if (std::find(words.begin(), words.end(), text) != words.end()) return {};
        return "'" + text + "' is not one of " + list;
      },
      "");
}

CLI::Validator frameSizeValidator() {
  const std::string range = "WxH with W and H in 1.." + std::to_string(kMaxDimension);
  return CLI::Validator(
      [range](std::string& text) -> std::string {
        return parseFrameSize(text) ? std::string() : "'" + text + "' is not " + range;
      },
      "");
}

CLI::Validator previewValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parsePreviewRequest(text)) return {};
        return "'" + text + "' is not N:FILE.png with N a frame number from 0";
      },
      "");
}

CLI::Validator frameRangeValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parseFrameRange(text)) return {};
        return "'" + text + "' is not A:B with 0 <= A < B <= " + std::to_string(INT64_MAX);
      },
      "");
}

CLI::Validator orderValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (standin::parseProcessingOrder(text)) return {};
        return "'" + text + "' is not one of forward|reverse|shuffle:SEED (SEED 0.." +
               std::to_string(UINT64_MAX) + ")";
      },
      "");
}

// CLI11's messages can span lines; the tool prints exactly one.
std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

int defaultThreads() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }
}  // namespace

std::optional<FrameRange> parseFrameRange(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto number = [](std::string_view digits) -> std::optional<int64_t> {
    int64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [last, error] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || error != std::errc{} || last != end || value < 0) return std::nullopt;
    return value;
  };
  const std::optional<int64_t> first = number(std::string_view(text).substr(0, colon));
  const std::optional<int64_t> end = number(std::string_view(text).substr(colon + 1));
  if (!first || !end || *first >= *end) return std::nullopt;
  return FrameRange{*first, *end};
}

std::optional<FrameSize> parseFrameSize(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const std::optional<int32_t> w = parseInteger(std::string_view(text).substr(0, x));
  const std::optional<int32_t> h = parseInteger(std::string_view(text).substr(x + 1));
  if (!w || !h || *w < 1 || *h < 1 || *w > kMaxDimension || *h > kMaxDimension) {
    return std::nullopt;
  }
  return FrameSize{*w, *h};
}

std::optional<FrameSize> maxFrameSize(const Options& options, FrameSize frame, std::string& error) {
  if (!options.maxSize) return FrameSize{(frame.width + 7) & ~7, frame.height};
  const FrameSize max = *options.maxSize;
  if (max.width < frame.width || max.height < frame.height) {
    error = "--max-size: " + std::to_string(max.width) + "x" + std::to_string(max.height) +
            " is smaller than the frame size " + std::to_string(frame.width) + "x" +
            std::to_string(frame.height) + "; it must be at least the frame size and at most " +
            std::to_string(kMaxDimension) + "x" + std::to_string(kMaxDimension);
    return std::nullopt;
  }
  return max;
}

CpuFeatures cpuMaskFor(CpuChoice choice) {
  // Auto offers every feature; the selector takes the best the processor has.
  return choice == nullptr ? cpuLevels().front().features() : choice->features();
}

bool cpuChoiceAvailable(CpuChoice choice, CpuFeatures present) {
  return choice == nullptr || (present & choice->level) == choice->level;
}

const char* cpuChoiceName(CpuChoice choice) { return choice == nullptr ? "auto" : choice->name; }

QuilletCpu engineCpuFor(CpuChoice choice) {
  return choice == nullptr ? QUILLET_CPU_AUTO : choice->cpu;
}

std::variant<Options, ParseExit> parseOptions(int argc, const char* const* argv) {
  CLI::App app("Removes interlace combing from video files, Y4M or raw frames.", "quillet");
  app.set_version_flag("--version", "quillet 1.4.1");
  app.get_formatter()->column_width(30);
  app.footer(
      "Also: quillet demo [DIR] filters a built-in combed test clip and writes input.y4m, "
      "output.y4m and preview.png into DIR (default quillet-demo).");

  std::string tap = "0", top = "0", bottom = "0", motion = "24", motion2 = "64";
  std::string threads = std::to_string(defaultThreads());
  std::string cpu = "auto", format, size, maxSize, order = "forward", preview, frames;
  bool showMotion = false, nextFrame = false, useMax = false, progress = false, quiet = false;
  Options options;

  // What each option accepts, for the help and for errors that do not say it themselves.
  std::map<std::string, std::string> accepts;
  const auto integer = [&](const char* name, std::string& value, int32_t lo, int32_t hi,
                           const std::string& help) {
    const std::string range = std::to_string(lo) + ".." + std::to_string(hi);
    accepts[name] = "an integer in " + range;
    return app.add_option(name, value, help + " (" + range + ")")
        ->check(integerIn(lo, hi))
        ->type_name("N");
  };
  const auto word = [&](const char* name, std::string& value, const char* typeName,
                        const std::string& help, CLI::Validator validator) {
    accepts[name] = typeName;
    return app.add_option(name, value, help)->check(std::move(validator))->type_name(typeName);
  };

  integer("--tap", tap, 0, 6, "low-pass strength")->capture_default_str();
  integer("--top", top, 0, 256, "rows left unfiltered at the top")->capture_default_str();
  integer("--bottom", bottom, 0, 256, "rows left unfiltered at the bottom")->capture_default_str();
  integer("--motion", motion, 0, 256, "motion threshold; 0 turns motion adaptation off")
      ->capture_default_str();
  integer("--motion2", motion2, 0, 256, "second threshold: hard limit = 2 x N; 0 off")
      ->capture_default_str();
  app.add_flag("--show-motion", showMotion, "paint the motion weights into the colour");
  app.add_flag("--next-frame", nextFrame, "also use motion against the next frame");
  app.add_flag("--max", useMax, "combine the two motion maps by maximum instead of minimum");
  integer("--threads", threads, 0, kMaxThreads, "worker threads; 0 = no executor")
      ->capture_default_str();
  word("--cpu", cpu, "auto|avx512|avx2|sse2|sse|mmx|scalar",
       "force a kernel set; refuses one the processor lacks (avx2, avx512: the native 64-bit "
       "build)",
       oneOf({"auto", "avx512", "avx2", "sse2", "sse", "mmx", "scalar"}))
      ->capture_default_str();
  word("--format", format, "file|y4m|ycc16",
       "input/output format; ycc16 needs --size WxH (default: .y4m and - are Y4M, other names "
       "video files)",
       oneOf({"file", "y4m", "ycc16"}));
  std::string vcodec, vopt;
  bool noAudio = false;
  app.add_option("--vcodec", vcodec,
                 "the encoder of a video file output, e.g. libx264, ffv1 (lossless) (default: "
                 "libx264 crf 16 where the container holds H.264)")
      ->type_name("NAME");
  word("--vopt", vopt, "K=V,...", "options for the encoder, e.g. crf=18,preset=slow",
       CLI::Validator(
           [](std::string& text) -> std::string {
             if (parseCodecOptions(text)) return {};
             return "'" + text + "' is not KEY=VALUE,KEY=VALUE,...";
           },
           ""));
  app.add_flag("--no-audio", noAudio,
               "drop the audio and subtitle streams of a video file (copied by default)");
  const std::string sizeRange = " (W and H in 1.." + std::to_string(kMaxDimension) + ")";
  word("--size", size, "WxH", "frame size of ycc16 input" + sizeRange, frameSizeValidator());
  word("--max-size", maxSize, "WxH",
       "the host's maximum frame size, at least the frame size (default: width rounded up to a "
       "multiple of 8 x height)",
       frameSizeValidator());
  word("--order", order, "forward|reverse|shuffle:SEED",
       "processing order; output is always in frame order", orderValidator())
      ->capture_default_str();
  word("--preview", preview, "N:FILE.png",
       "write frame N (from 0) as input, output and motion weights side by side; a frame "
       "--deint passed unchanged shows PASSED in an amber frame instead of weights",
       previewValidator());
  word("--frames", frames, "A:B",
       "write only output frames A..B-1 (from 0), exactly as in a whole run; B past the end "
       "writes to the end",
       frameRangeValidator());
  std::string deint = "all", combSensitivity = "40";
  word("--deint", deint, "all|interlaced|combed",
       "frames to filter: all, those marked interlaced (Y4M It/Ib, or Im and each FRAME's I "
       "mark), or those the comb detector finds combed; the others pass unchanged",
       oneOf({"all", "interlaced", "combed"}))
      ->capture_default_str();
  integer("--comb-sensitivity", combSensitivity, 1, 100,
          "comb detector sensitivity for --deint combed; higher filters more frames")
      ->capture_default_str();
  CLI::Option* progressFlag =
      app.add_flag("--progress", progress, "show the progress line on stderr");
  app.add_flag("--quiet", quiet, "print nothing but errors")->excludes(progressFlag);
  app.add_option("INPUT", options.input, "input path, or - for stdin")->required();
  app.add_option("OUTPUT", options.output, "output path, or - for stdout")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return ParseExit{0, app.help(), true};
  } catch (const CLI::CallForVersion& e) {
    return ParseExit{0, std::string(e.what()) + "\n", true};
  } catch (const CLI::ParseError& e) {
    std::string message = oneLine(e.what());
    // A missing value names the option but not what it takes.
    const std::string name = message.substr(0, message.find(':'));
    const auto known = accepts.find(name);
    if (known != accepts.end() && message.find(known->second) == std::string::npos) {
      message += " (" + name + " takes " + known->second + ")";
    }
    return ParseExit{2, message, false};
  }

  // Every value has passed its validator, so the conversions below cannot fail.
  options.settings.tap = *parseInteger(tap);
  options.settings.top = *parseInteger(top);
  options.settings.bottom = *parseInteger(bottom);
  options.settings.motion = *parseInteger(motion);
  options.settings.motion2 = *parseInteger(motion2);
  options.settings.showMotion = showMotion;
  options.settings.nextFrame = nextFrame;
  options.settings.useMax = useMax;
  options.threads = *parseInteger(threads);
  options.cpu = cpuLevelNamed(cpu);
  options.format = format == "ycc16"  ? ClipFormat::kYcc16
                   : format == "y4m"  ? ClipFormat::kY4m
                   : format == "file" ? ClipFormat::kFile
                                      : ClipFormat::kAuto;
  options.vcodec = vcodec;
  if (!vopt.empty()) options.vopt = *parseCodecOptions(vopt);
  options.noAudio = noAudio;
  if (!size.empty()) options.size = parseFrameSize(size);
  if (!maxSize.empty()) options.maxSize = parseFrameSize(maxSize);
  options.order = *standin::parseProcessingOrder(order);
  if (!preview.empty()) options.preview = parsePreviewRequest(preview);
  if (!frames.empty()) options.frames = *parseFrameRange(frames);
  if (options.preview && (options.preview->frame < options.frames.first ||
                          options.preview->frame >= options.frames.end)) {
    return ParseExit{2,
                     "--preview: frame " + std::to_string(options.preview->frame) +
                         " is not written with --frames " + frames + "; choose N in " +
                         std::to_string(options.frames.first) + ".." +
                         std::to_string(options.frames.end - 1),
                     false};
  }
  options.deint = deint == "interlaced" ? QUILLET_DEINT_INTERLACED
                  : deint == "combed"   ? QUILLET_DEINT_COMBED
                                        : QUILLET_DEINT_ALL;
  options.combSensitivity = *parseInteger(combSensitivity);
  options.editorPath = app.count("--order") > 0 || options.maxSize || options.threads == 0;
  options.progress = quiet      ? ProgressMode::kOff
                     : progress ? ProgressMode::kOn
                                : ProgressMode::kAuto;
  return options;
}

}  // namespace quillet::cli
