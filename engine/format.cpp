#include "engine/format.h"

#include <new>

#include "common/pixel.h"
#include "engine/aligned_buffer.h"
#include "formats/convert.h"

namespace quillet::engine {

namespace {
constexpr size_t kLine = 64;
constexpr int32_t kLargestSide = 32767;
}  // namespace

void AlignedBuffer::Free::operator()(void* p) const {
  ::operator delete (p, std::align_val_t{kLine});
}

bool AlignedBuffer::allocate(size_t bytes) {
  data_.reset();
  size_ = 0;
  if (bytes == 0) return true;
  void* p = ::operator new (bytes, std::align_val_t{kLine}, std::nothrow);
  if (p == nullptr) return false;
  data_.reset(p);
  size_ = bytes;
  return true;
}

bool describeFormat(const QuilletConfig& config, Format& f, std::string& error) {
  const int layout = rawValue(config.layout);
  if (layout < QUILLET_LAYOUT_444 || layout > QUILLET_LAYOUT_YVYU) {
    error = "unknown layout " + std::to_string(layout);
    return false;
  }
  if (config.width < 1 || config.width > kLargestSide || config.height < 1 ||
      config.height > kLargestSide) {
    error = "frame size " + std::to_string(config.width) + "x" + std::to_string(config.height) +
            " is outside 1x1..32767x32767";
    return false;
  }
  f = Format{};
  f.width = config.width;
  f.height = config.height;
  f.layout = config.layout;
  switch (config.layout) {
    case QUILLET_LAYOUT_444:
      break;
    case QUILLET_LAYOUT_422:
      f.shiftX = 1;
      break;
    case QUILLET_LAYOUT_420:
      f.shiftX = 1;
      f.shiftY = 1;
      break;
    case QUILLET_LAYOUT_411:
      f.shiftX = 2;
      break;
    case QUILLET_LAYOUT_NV12:
    case QUILLET_LAYOUT_NV21:
    case QUILLET_LAYOUT_P010:
    case QUILLET_LAYOUT_P016:
      f.packing = Format::Packing::kSemiPlanar;
      f.planes = 2;
      f.shiftX = 1;
      f.shiftY = 1;
      f.crFirst = config.layout == QUILLET_LAYOUT_NV21;
      break;
    case QUILLET_LAYOUT_YUY2:
    case QUILLET_LAYOUT_UYVY:
    case QUILLET_LAYOUT_YVYU:
      f.packing = Format::Packing::kPacked;
      f.planes = 1;
      f.shiftX = 1;
      f.packedOrder = config.layout == QUILLET_LAYOUT_YUY2   ? kPackedYuyv
                      : config.layout == QUILLET_LAYOUT_UYVY ? kPackedUyvy
                                                             : kPackedYvyu;
      break;
    case QUILLET_LAYOUT_MONO:
    case QUILLET_LAYOUT_YCC16:
      f.planes = 1;
      break;
  }
  if (config.layout == QUILLET_LAYOUT_YCC16) {
    f.bitDepth = 16;
    f.bytesPerSample = static_cast<int>(sizeof(Pixel));
  } else if (f.packing != Format::Packing::kPlanar) {
    // Fixed depths: the layout says it.
    f.bitDepth = config.layout == QUILLET_LAYOUT_P010   ? 10
                 : config.layout == QUILLET_LAYOUT_P016 ? 16
                                                        : 8;
    f.bytesPerSample = f.bitDepth > 8 ? 2 : 1;
    f.highBits = f.bitDepth > 8 ? 16 - f.bitDepth : 0;
  } else {
    if (config.bit_depth < 8 || config.bit_depth > 16) {
      error = "bit depth " + std::to_string(config.bit_depth) + " is outside 8..16";
      return false;
    }
    f.bitDepth = config.bit_depth;
    f.bytesPerSample = config.bit_depth > 8 ? 2 : 1;
  }
  const auto w = static_cast<size_t>(f.width);
  f.rowBytes[0] = w * static_cast<size_t>(f.bytesPerSample);
  f.rows[0] = f.height;
  const size_t pairs = (w + 1) / 2;
  if (f.packing == Format::Packing::kSemiPlanar) {
    f.rowBytes[1] = 2 * pairs * static_cast<size_t>(f.bytesPerSample);
    f.rows[1] = (f.height + 1) / 2;
  } else if (f.packing == Format::Packing::kPacked) {
    f.rowBytes[0] = 4 * pairs;
  } else if (f.planes == 3) {
    const size_t chromaWidth = (w + (size_t{1} << f.shiftX) - 1) >> f.shiftX;
    for (int p = 1; p < 3; ++p) {
      f.rowBytes[p] = chromaWidth * static_cast<size_t>(f.bytesPerSample);
      f.rows[p] = (f.height + (1 << f.shiftY) - 1) >> f.shiftY;
    }
  }
  return true;
}

}  // namespace quillet::engine
