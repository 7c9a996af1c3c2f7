#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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
  // How the samples lie: planar (one plane per component), semi-planar (Y, then Cb Cr pairs) or
  // packed 4:2:2 (one plane); each holds the samples of its planar equivalent.
  enum class Packing { kPlanar, kSemiPlanar, kPacked } packing = Packing::kPlanar;
  bool crFirst = false;  // semi-planar: Cr Cb pairs
  int packedOrder = 0;   // packed: a PackedOrder
  int highBits = 0;      // bits below the code in a 16-bit sample (P010: 6)
};

// A C caller may store any int in an enum field; reading it as the enum would be undefined
// when it names no enumerator, so the bytes are read as the int they are.
template <class Enum>
int rawValue(const Enum& value) {
  static_assert(sizeof(Enum) == sizeof(int));
  int raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return raw;
}

// Checks `config`'s format; on failure says why in `error`.
bool describeFormat(const QuilletConfig& config, Format& format, std::string& error);

}  // namespace quillet::engine
