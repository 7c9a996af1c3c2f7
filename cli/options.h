#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cli/engine_run.h"
#include "cli/preview.h"
#include "dispatch/cpu_features.h"
#include "dispatch/cpu_levels.h"
#include "include/quillet/quillet.h"
#include "standin/host.h"
#include "standin/processing_order.h"

namespace quillet::cli {

// Largest frame width and height the tool accepts, checked before anything is allocated.
constexpr int32_t kMaxDimension = 16384;

// kAuto: by name, for the input and the output each (.y4m, - and streams that are not regular
// files: Y4M; otherwise a video file).
enum class ClipFormat { kAuto, kY4m, kYcc16, kFile };
// A --cpu choice: a kernel-set level, null for auto.
using CpuChoice = const CpuLevel*;
enum class ProgressMode { kAuto, kOn, kOff };

struct FrameSize {
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

struct Options {
  standin::Settings settings;
  int threads = 1;
  CpuChoice cpu = nullptr;
  ClipFormat format = ClipFormat::kAuto;
  std::optional<FrameSize> size;     // --size
  std::optional<FrameSize> maxSize;  // --max-size
  standin::ProcessingOrder order;
  ProgressMode progress = ProgressMode::kAuto;
  std::optional<PreviewRequest> preview;  // --preview N:FILE.png, N inside `frames`
  FrameRange frames;                      // --frames A:B
  // --order, --max-size or --threads 0 describe the editor's side: the clip then runs through
  // the plug-in's record and the stand-in host instead of the engine.
  bool editorPath = false;
  QuilletDeint deint = QUILLET_DEINT_ALL;  // --deint
  int combSensitivity = 40;                // --comb-sensitivity
  std::string vcodec;                      // --vcodec: a file output's encoder; empty by container
  std::vector<std::pair<std::string, std::string>> vopt;  // --vopt K=V,...
  bool noAudio = false;                                   // --no-audio
  std::string input;                                      // a path or "-"
  std::string output;                                     // a path or "-"
};

// The command line could not be used, or asked for help: print `text` (to stdout when
// `toStdout`, else to stderr as one error line) and exit with `exitCode`.
struct ParseExit {
  int exitCode = 2;
  std::string text;
  bool toStdout = false;
};

// Parses the command line, argv[0] being the program. A bad option or value gives exit code 2 and
// one line that names the option and what it accepts.
std::variant<Options, ParseExit> parseOptions(int argc, const char* const* argv);

// Parses "A:B" with 0 <= A < B, both 64-bit.
std::optional<FrameRange> parseFrameRange(const std::string& text);

// Parses "WxH" with both sides in 1..kMaxDimension.
std::optional<FrameSize> parseFrameSize(const std::string& text);

// The host's maximum frame size for `frame`: --max-size, or the width rounded up to a multiple
// of 8 by the height. Null with `error` set when --max-size is smaller than the frame.
std::optional<FrameSize> maxFrameSize(const Options& options, FrameSize frame, std::string& error);

// The kernel-set mask for a choice, and whether the processor with `present` features can run
// it (auto and scalar always can).
CpuFeatures cpuMaskFor(CpuChoice choice);
bool cpuChoiceAvailable(CpuChoice choice, CpuFeatures present);
const char* cpuChoiceName(CpuChoice choice);
// The engine's name for a choice.
QuilletCpu engineCpuFor(CpuChoice choice);

}  // namespace quillet::cli
