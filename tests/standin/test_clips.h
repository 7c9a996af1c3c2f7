#pragma once

#include <cstdint>
#include <string>

#include "standin/clip.h"
#include "tests/support/guarded_buffer.h"

namespace quillet::test {

// A clip whose every sample says which frame, row and column it is: y = frame, cb = row,
// cr = column. Lets a test tell from a pixel where it came from.
inline standin::Clip labelledClip(int32_t width, int32_t height, int32_t frames) {
  standin::Clip clip{width, height, {}};
  for (int32_t f = 0; f < frames; ++f) {
    std::vector<Pixel> pixels;
    for (int32_t r = 0; r < height; ++r) {
      for (int32_t c = 0; c < width; ++c) {
        pixels.push_back(
            Pixel{static_cast<int16_t>(f), static_cast<int16_t>(r), static_cast<int16_t>(c)});
      }
    }
    clip.frames.push_back(std::move(pixels));
  }
  return clip;
}

// A clip with still and moving parts: a random background shared by every frame plus, per
// frame, random rectangles that change. `fullRange` draws samples from the whole 16-bit range
// instead of black..white and the colour range.
inline standin::Clip movingClip(int32_t width, int32_t height, int32_t frames, uint64_t seed,
                                bool fullRange = false) {
  Prng prng(seed);
  const auto luma = [&] {
    return static_cast<int16_t>(fullRange ? prng.range(-32768, 32767) : prng.range(0, 4096));
  };
  const auto chroma = [&] {
    return static_cast<int16_t>(fullRange ? prng.range(-32768, 32767) : prng.range(-2048, 2048));
  };
  std::vector<Pixel> background;
  for (int32_t i = 0; i < width * height; ++i)
    background.push_back(Pixel{luma(), chroma(), chroma()});
  standin::Clip clip{width, height, {}};
  for (int32_t f = 0; f < frames; ++f) {
    std::vector<Pixel> pixels = background;
    for (int rect = 0; rect < 3; ++rect) {
      const int32_t x0 = prng.range(0, width - 1), y0 = prng.range(0, height - 1);
      const int32_t x1 = prng.range(x0, width - 1), y1 = prng.range(y0, height - 1);
      for (int32_t r = y0; r <= y1; ++r) {
        for (int32_t c = x0; c <= x1; ++c) {
          pixels[static_cast<size_t>(r * width + c)] = Pixel{luma(), chroma(), chroma()};
        }
      }
    }
    clip.frames.push_back(std::move(pixels));
  }
  return clip;
}

// Index of the first frame that differs, or -1; -2 when the frame counts differ.
inline int firstDifferentFrame(const standin::Clip& a, const standin::Clip& b) {
  if (a.frames.size() != b.frames.size()) return -2;
  for (size_t f = 0; f < a.frames.size(); ++f) {
    const auto& x = a.frames[f];
    const auto& y = b.frames[f];
    if (x.size() != y.size()) return static_cast<int>(f);
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i].y != y[i].y || x[i].cb != y[i].cb || x[i].cr != y[i].cr) return static_cast<int>(f);
    }
  }
  return -1;
}

inline bool sameFrame(const std::vector<Pixel>& a, const std::vector<Pixel>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].y != b[i].y || a[i].cb != b[i].cb || a[i].cr != b[i].cr) return false;
  }
  return true;
}

}  // namespace quillet::test
