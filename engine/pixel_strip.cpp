#include "engine/pixel_strip.h"

#include <algorithm>
#include <cstring>

#include "dispatch/mmx_state.h"
#include "engine/strip_maps.h"
#include "lowpass/lowpass.h"

namespace quillet::engine {

namespace {

// What one worker does to the rows [y0, y1) of a frame.
class StripRunner {
 public:
  StripRunner(const Format& format, const RowKernels& kernels, const ConvertKernels& convert,
              const SampleScale& scale, const FrameJob& job, StripBuffers& buffers,
              int32_t pixelStride, int32_t mapPitch)
      : f_(format),
        k_(kernels),
        decode_(format.bytesPerSample == 1 ? convert.decode8 : convert.decode16),
        encodeLuma_(format.bytesPerSample == 1 ? convert.encodeLuma8
                    : format.highBits > 0      ? convert.encodeLumaHigh16
                                               : convert.encodeLuma16),
        encodeChroma_(format.bytesPerSample == 1 ? convert.encodeChroma8 : convert.encodeChroma16),
        decodeSemi_(format.bytesPerSample == 1 ? convert.decodeSemi8 : convert.decodeSemi16),
        encodeSemiChroma_(format.bytesPerSample == 1 ? convert.encodeSemiChroma8
                                                     : convert.encodeSemiChroma16),
        decodePacked_(convert.decodePacked),
        encodePacked_(convert.encodePacked),
        scale_(scale),
        job_(job),
        b_(buffers),
        stride_(pixelStride),
        pitch_(mapPitch),
        reach_(lowpassReach(job.settings.tap)) {}

  void run(int32_t y0, int32_t y1) {
    y0_ = y0;
    y1_ = y1;
    first_ = std::max(0, y0 - reach_);
    const int32_t last = std::min(f_.height, y1 + reach_);
    for (int32_t y = first_; y < last; ++y)
      decode(job_.current, job_.currentStride, y, sourceRow(y));

    const int32_t bt = job_.bandTop;
    const int32_t be = job_.bandEnd;
    const int32_t from = std::max(y0, bt);
    const int32_t to = std::min(y1, be);
    if (from < to) {
      lowpass(from, to);
      if (job_.motion) motion(from, to);
    }
    encode();
  }

 private:
  Pixel* sourceRow(int32_t y) const { return rowAt(b_.source, y - first_, stride_); }
  Pixel* filteredRow(int32_t y) const { return rowAt(b_.filtered, y - y0_, stride_); }
  const Pixel* outputRow(int32_t y) const {
    return y >= job_.bandTop && y < job_.bandEnd ? filteredRow(y) : sourceRow(y);
  }

  static bool aligned(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15u) == 0; }

  void decode(const uint8_t* const* planes, const size_t* strides, int32_t y, Pixel* dst) const {
    const uint8_t* luma = planes[0] + static_cast<size_t>(y) * strides[0];
    if (f_.layout == QUILLET_LAYOUT_YCC16) {
      std::memcpy(dst, luma, f_.rowBytes[0]);
      return;
    }
    if (f_.packing == Format::Packing::kPacked) {
      decodePacked_(luma, f_.width, f_.packedOrder, scale_, dst);
      return;
    }
    if (f_.packing == Format::Packing::kSemiPlanar) {
      const uint8_t* chroma = planes[1] + static_cast<size_t>(y >> 1) * strides[1];
      decodeSemi_(luma, chroma, f_.width, f_.crFirst, scale_, dst);
      return;
    }
    const uint8_t* cb = nullptr;
    const uint8_t* cr = nullptr;
    if (f_.planes == 3) {
      const auto row = static_cast<size_t>(y >> f_.shiftY);
      cb = planes[1] + row * strides[1];
      cr = planes[2] + row * strides[2];
    }
    decode_(luma, cb, cr, f_.width, f_.shiftX, scale_, dst);
  }

  void lowpass(int32_t from, int32_t to) {
    const int32_t bt = job_.bandTop;
    Pixel* dst = rowAt(b_.filtered, bt - y0_, stride_);
    const Pixel* src = rowAt(b_.source, bt - first_, stride_);
    const bool alignedRows = aligned(b_.filtered) && aligned(b_.source) && stride_ % 8 == 0;
    const LowpassKernelTable& table = alignedRows ? *k_.lowpassAligned : *k_.lowpass;
    table[static_cast<size_t>(job_.settings.tap)](
        reinterpret_cast<int16_t*>(dst), reinterpret_cast<const int16_t*>(src), job_.bandEnd - bt,
        f_.width, stride_, from - bt, to - from);
    if (k_.usesMmx) clearMmxState();
  }

  // Weights of band rows [r0, r1) for the pair (current, neighbour) into `map` (row r0 first),
  // the neighbour's rows decoded into the strip's neighbour buffer.
  void pairMap(const uint8_t* const* planes, const size_t* strides, int32_t r0, int32_t r1,
               int16_t* map) {
    const int32_t bt = job_.bandTop;
    const int32_t n = job_.bandEnd - bt;
    const int32_t lo = std::max(r0 - 1, 0);
    const int32_t hi = std::min(r1 + 1, n);
    // Local row i holds band row r0 - 1 + i; one spare row before it takes diff[-1] of the first.
    int16_t* diff0 = b_.diff + pitch_;
    const auto diffRow = [&](int32_t r) {
      return diff0 + static_cast<ptrdiff_t>(r - r0 + 1) * pitch_;
    };
    const auto neighbourRow = [&](int32_t r) {
      return b_.neighbour + static_cast<ptrdiff_t>(r - r0 + 1) * stride_;
    };
    for (int32_t r = lo; r < hi; ++r) {
      Pixel* other = neighbourRow(r);
      decode(planes, strides, bt + r, other);
      const Pixel* current = sourceRow(bt + r);
      int16_t* d = diffRow(r);
      const bool alignedRows = aligned(current) && aligned(other) && aligned(d);
      (alignedRows ? k_.diffAligned : k_.diff)(current, other, d, f_.width);
    }
    motionRows(k_, job_, diff0, r0, r1, f_.width, pitch_, map);
  }

  void motion(int32_t from, int32_t to) {
    const int32_t bt = job_.bandTop;
    const int32_t r0 = from - bt;
    const int32_t r1 = to - bt;
    const auto [previous, next] =
        stripMaps(job_, r0, r1, pitch_, b_.map,
                  [&](const uint8_t* const* planes, const size_t* strides, int32_t a, int32_t b,
                      int16_t* map) { pairMap(planes, strides, a, b, map); });
    const BlendRow blend = (*k_.blend)[static_cast<size_t>(job_.mode)];
    for (int32_t y = from; y < to; ++y) {
      const ptrdiff_t at = static_cast<ptrdiff_t>(y - from) * pitch_;
      blend(filteredRow(y), sourceRow(y), previous + at, next == nullptr ? nullptr : next + at,
            f_.width);
    }
    if (k_.usesMmx) clearMmxState();
    if (job_.settings.show_motion != 0) {
      MotionDisplay(stride_, to - from, filteredRow(from), previous, next, job_.mode, f_.width,
                    pitch_);
    }
  }

  void encode() const {
    const QuilletFrame& out = job_.out;
    auto* luma = static_cast<uint8_t*>(out.planes[0]);
    for (int32_t y = y0_; y < y1_; ++y) {
      uint8_t* dst = luma + static_cast<ptrdiff_t>(y) * out.strides[0];
      if (f_.layout == QUILLET_LAYOUT_YCC16) {
        std::memcpy(dst, outputRow(y), f_.rowBytes[0]);
      } else if (f_.packing == Format::Packing::kPacked) {
        encodePacked_(outputRow(y), f_.width, f_.packedOrder, scale_, dst);
      } else {
        encodeLuma_(outputRow(y), f_.width, scale_, dst);
      }
    }
    if (f_.packing == Format::Packing::kSemiPlanar) {
      auto* chroma = static_cast<uint8_t*>(out.planes[1]);
      for (int32_t c = y0_ >> 1; c < (y1_ + 1) >> 1; ++c) {
        const int32_t y = 2 * c;
        const Pixel* rowB = y + 1 < f_.height ? outputRow(y + 1) : nullptr;
        encodeSemiChroma_(outputRow(y), rowB, f_.width, f_.crFirst, scale_,
                          chroma + static_cast<ptrdiff_t>(c) * out.strides[1]);
      }
      return;
    }
    if (f_.planes == 1) return;
    auto* cb = static_cast<uint8_t*>(out.planes[1]);
    auto* cr = static_cast<uint8_t*>(out.planes[2]);
    const int32_t c0 = y0_ >> f_.shiftY;
    const int32_t c1 = (y1_ + (1 << f_.shiftY) - 1) >> f_.shiftY;
    for (int32_t c = c0; c < c1; ++c) {
      const int32_t y = c << f_.shiftY;
      const Pixel* rowB = f_.shiftY == 1 && y + 1 < f_.height ? outputRow(y + 1) : nullptr;
      encodeChroma_(outputRow(y), rowB, f_.width, f_.shiftX, scale_,
                    cb + static_cast<ptrdiff_t>(c) * out.strides[1],
                    cr + static_cast<ptrdiff_t>(c) * out.strides[2]);
    }
  }

  const Format& f_;
  const RowKernels& k_;
  const DecodeRow decode_;
  const EncodeLumaRow encodeLuma_;
  const EncodeChromaRow encodeChroma_;
  const DecodeSemiRow decodeSemi_;
  const EncodeSemiChromaRow encodeSemiChroma_;
  const DecodePackedRow decodePacked_;
  const EncodePackedRow encodePacked_;
  const SampleScale& scale_;
  const FrameJob& job_;
  StripBuffers& b_;
  const int32_t stride_;
  const int32_t pitch_;
  const int32_t reach_;
  int32_t y0_ = 0;
  int32_t y1_ = 0;
  int32_t first_ = 0;  // first frame row in the source buffer
};

}  // namespace

void runPixelStrip(const Format& format, const RowKernels& kernels, const ConvertKernels& convert,
                   const SampleScale& scale, const FrameJob& job, StripBuffers& buffers,
                   int32_t pixelStride, int32_t mapPitch, int32_t y0, int32_t y1) {
  StripRunner(format, kernels, convert, scale, job, buffers, pixelStride, mapPitch).run(y0, y1);
}

}  // namespace quillet::engine
