#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test {

// What a frame of a woven clip truly is.
enum class Truth {
  kProgressive,
  kWoven,       // fields from two different moments that differ
  kWovenStill,  // fields from two moments with nothing moving between them: no comb to find
};

// One 8-bit 4:2:0 frame: luma rows then the two chroma planes, rows packed.
struct WovenFrame {
  std::vector<uint8_t> payload;
  Truth truth = Truth::kProgressive;
  std::string kind;  // the content it shows
};

// Ground-truth progressive frames of several kinds of content (moving sprites over fine still
// detail, a zoom, a still pattern of one-row stripes, noise, scene cuts, fades), each kind with
// sections of woven frames: a woven frame takes its even rows from one progressive frame and its
// odd rows from the next. `framesPerKind` frames of each kind, width and height even.
std::vector<WovenFrame> makeWovenClip(int32_t width, int32_t height, int framesPerKind);

}  // namespace quillet::test
