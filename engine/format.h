#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "include/quillet/quillet.h"

namespace quillet::engine {

// A frame format as the engine stores and converts it.
struct Format {
  int32_t width = 0;
  int32_t height = 0;
  QuilletLayout layout = QUILLET_LAYOUT_420;
  int32_t bitDepth = 8;
  int planes = 3;  // 1 (mono, ycc16) or 3
  int shiftX = 0;  // chroma subsampling, as a shift of the pixel position
  int shiftY = 0;
  int bytesPerSample = 1;
  size_t rowBytes[3] = {};
  int32_t rows[3] = {};
};

// Checks `config`'s format; on failure says why in `error`.
bool describeFormat(const QuilletConfig& config, Format& format, std::string& error);

}  // namespace quillet::engine
