#pragma once

#include "common/pixel.h"
#include "formats/sample_scale.h"

namespace quillet {

// Row kernels of the sample-scale conversion (formulas in sample_scale.h), one table per form.
//
// Every kernel is a pure function of its arguments: it allocates nothing, keeps no state and
// reads `scale` (made by makeSampleScale) without changing it, so the rows of a frame may be
// converted on any number of threads at once. Planar samples are uint8_t in the 8-bit slots and
// uint16_t in native byte order, 2-byte aligned, in the 16-bit slots (9 to 16 bits, the value in
// the low bits). No kernel reads or writes a byte outside the samples and pixels named below,
// and none needs more alignment than its element type. `shiftX` is 0 (4:4:4, mono), 1 (4:2:2,
// 4:2:0) or 2 (4:1:1); a chroma row holds ceil(width / 2^shiftX) samples, so where the width is
// no multiple of 2^shiftX the last one covers fewer pixels.

// Decodes `width` luma samples and, unless `cb` is null (mono: Cb = Cr = 0), the chroma samples
// of `cb` and `cr`, each repeated over the 2^shiftX pixels it covers, into dst[0..width-1].
// Codes above scale.maxCode read as maxCode.
using DecodeRow = void (*)(const void* luma, const void* cb, const void* cr, int width, int shiftX,
                           const SampleScale& scale, Pixel* dst);

// Encodes the luma of src[0..width-1] into `width` samples at `luma`, clamped to 0..maxCode.
using EncodeLumaRow = void (*)(const Pixel* src, int width, const SampleScale& scale, void* luma);

// Encodes one chroma row into ceil(width / 2^shiftX) samples at `cb` and `cr`: each is the
// rounded mean of the Cb (Cr) values of the pixels it covers in `rowA` and, when not null,
// `rowB` (the second frame row of a vertically subsampled pair), clamped to 0..maxCode.
using EncodeChromaRow = void (*)(const Pixel* rowA, const Pixel* rowB, int width, int shiftX,
                                 const SampleScale& scale, void* cb, void* cr);

// Semi-planar 4:2:0 rows (NV12, NV21, P010, P016): `luma` holds `width` samples and `chroma`
// ceil(width / 2) pairs Cb Cr, or Cr Cb with crFirst. 16-bit samples hold their code in the high
// bits, shifted up by 16 - scale.bitDepth; the bits below it are read as zero and written as zero.
// Decodes one frame row, each chroma pair repeated over the 2 pixels it covers.
using DecodeSemiRow = void (*)(const void* luma, const void* chroma, int width, bool crFirst,
                               const SampleScale& scale, Pixel* dst);
// Encodes one chroma row as EncodeChromaRow does at shiftX 1, into the pairs at `chroma`.
using EncodeSemiChromaRow = void (*)(const Pixel* rowA, const Pixel* rowB, int width, bool crFirst,
                                     const SampleScale& scale, void* chroma);

// Packed 4:2:2 rows of 8-bit samples: ceil(width / 2) groups of 4 bytes, each two pixels' Y and
// their Cb and Cr in the order below.
enum PackedOrder : int { kPackedYuyv = 0, kPackedUyvy = 1, kPackedYvyu = 2 };
// Decodes `width` pixels; at an odd width the last group's second Y is not read.
using DecodePackedRow = void (*)(const void* row, int width, int order, const SampleScale& scale,
                                 Pixel* dst);
// Encodes `width` pixels, each chroma pair the rounded mean of the two pixels it covers (one at an
// odd width's end, whose group's second Y then repeats the first).
using EncodePackedRow = void (*)(const Pixel* src, int width, int order, const SampleScale& scale,
                                 void* row);

struct ConvertKernels {
  DecodeRow decode8;
  DecodeRow decode16;
  EncodeLumaRow encodeLuma8;
  EncodeLumaRow encodeLuma16;
  EncodeChromaRow encodeChroma8;
  EncodeChromaRow encodeChroma16;
  // The semi-planar and packed layouts.
  DecodeSemiRow decodeSemi8;
  DecodeSemiRow decodeSemi16;
  EncodeLumaRow encodeLumaHigh16;  // encodeLuma16 with the code in the high bits
  EncodeSemiChromaRow encodeSemiChroma8;
  EncodeSemiChromaRow encodeSemiChroma16;
  DecodePackedRow decodePacked;
  EncodePackedRow encodePacked;
};

// The reference: the formulas through the tables of SampleScale.
extern const ConvertKernels ConvertKernelsScalar;
#if QUILLET_ENABLE_SIMD
// Bit-exact to the scalar form for every code and every host value, table-free (they read the
// scale's constants, not its tables). SSE2 works in blocks of 16 pixels, AVX2 in blocks of 32; a
// row's last partial block goes through a stack copy.
extern const ConvertKernels ConvertKernelsSse2;
#if QUILLET_HAVE_AVX2
extern const ConvertKernels ConvertKernelsAvx2;
#endif
#endif

}  // namespace quillet
