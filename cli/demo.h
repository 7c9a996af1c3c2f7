#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/y4m.h"
#include "standin/clip.h"

namespace quillet {

// A combed test clip: a scene rendered at twice the frame rate and woven into fields (even
// rows from the earlier instant, odd rows from the later one), as an interlaced camera makes
// it. Still parts are the same in both fields and carry no combing; moving parts do.
struct DemoClip {
  Y4mFormat format;    // 4:2:0, 8 bits, top field first
  standin::Clip clip;  // the clip as the filter sees it (from the 8-bit samples)
  std::vector<std::vector<uint8_t>> payloads;  // the Y4M frames
  std::vector<std::vector<uint8_t>> moving;    // per frame: 1 where the two fields differ
};

DemoClip makeDemoClip(int32_t width, int32_t height, int32_t frames);

// Combing of one frame where `mask` is set: the sum over masked pixels of rows 1..height-2 of
// the squared vertical alternating component of Y, a = (2 Y[r] - Y[r-1] - Y[r+1]) / 4 (host
// units), and the number of such pixels.
struct CombingSum {
  double energy = 0;
  int64_t pixels = 0;
};
CombingSum combingOf(const std::vector<Pixel>& frame, int32_t width, int32_t height,
                     const std::vector<uint8_t>& mask);

// The mean combing energy of a clip over the masks of each frame.
double meanCombing(const standin::Clip& clip, const std::vector<std::vector<uint8_t>>& masks);

struct DemoSize {
  int32_t width = 720;
  int32_t height = 480;
  int32_t frames = 48;  // at least 3
};

// `quillet demo [DIR]`: builds the clip, filters it with the default settings, writes
// input.y4m, output.y4m and preview.png into `dir` (created if missing) and prints a short
// report to `report`. Returns the exit code: 0, or 1 with a message on `errors`.
int runDemo(const std::string& dir, std::FILE* report, std::FILE* errors, DemoSize size = {});

}  // namespace quillet
