#pragma once

#include <cstdint>

#include "formats/sample_scale.h"

namespace quillet {

// The engine's planar rows: each plane's samples as host values (int16_t, the scale of
// sample_scale.h), chroma at its stored resolution. They are the engine's own family beside the
// interleaved rows of the plug-in (Pixel rows, convert.h, DiffRow*, BlendRow*) and give the same
// codes those give on the same frames: a chroma sample's value is the value of every pixel it
// covers.
//
// Every kernel is a pure function of its arguments. Codes are uint8_t in the 8-bit slots and
// native uint16_t (2-byte aligned, the value in the low bits) in the 16-bit slots. No kernel
// reads or writes outside the values named; none needs more alignment than its element type.
// `shiftX` is 0 (4:4:4) or 1 (4:2:2, 4:2:0): a chroma row holds ceil(width / 2^shiftX) samples.

// Decodes `count` codes into host values; codes above scale.maxCode read as maxCode.
using DecodePlaneRow = void (*)(const void* codes, int count, const SampleScale& scale,
                                int16_t* dst);

// The value of a pixel of one frame row: `filtered` null: the source value (a row outside the
// band); `weight` null: the filtered value (motion off); else the blend
// (w * filtered + (4096 - w) * source + 2047) >> 12 with the pixel's weight w in 0..4096.
struct PlaneRowInput {
  const int16_t* filtered;
  const int16_t* weight;  // one per pixel of the frame row
};

// Encodes `width` luma values, each the value above of source[x], filtered[x], weight[x],
// clamped to 0..maxCode.
using EncodeLumaPlaneRow = void (*)(const int16_t* source, PlaneRowInput row, int width,
                                    const SampleScale& scale, void* codes);

// Encodes one stored chroma row of ceil(width / 2^shiftX) samples: sample c is the rounded mean
// (chromaHostSumToCode) of the values of the pixels it covers in rows[0] and, when `rowCount` is
// 2, rows[1] (the two frame rows of a vertically subsampled sample). `source` and every
// `filtered` row hold one value per sample; the weights one per pixel.
using EncodeChromaPlaneRow = void (*)(const int16_t* source, const PlaneRowInput* rows,
                                      int rowCount, int width, int shiftX, const SampleScale& scale,
                                      void* codes);

// The differences of two frames straight from their stored codes (each decoded as
// DecodePlaneRow decodes it, in registers): diff[i] = max(|Cb(cbA[i]) - Cb(cbB[i])|,
// |Cr(crA[i]) - Cr(crB[i])|) for `count` chroma samples.
using ChromaDiffRow = void (*)(const void* cbA, const void* cbB, const void* crA, const void* crB,
                               int count, const SampleScale& scale, int16_t* diff);

// diff[x] = max(|Y(a[x]) - Y(b[x])|, chroma[x >> shiftX]) for `width` pixels of stored luma
// codes; `chroma` (a ChromaDiffRow's output) may be null (mono). The plug-in's difference of the
// pixels. Every difference is clamped to 32767.
using LumaDiffRow = void (*)(const void* a, const void* b, const int16_t* chroma, int shiftX,
                             int width, const SampleScale& scale, int16_t* diff);

struct PlanarKernels {
  DecodePlaneRow decodeLuma8;
  DecodePlaneRow decodeLuma16;
  DecodePlaneRow decodeChroma8;
  DecodePlaneRow decodeChroma16;
  EncodeLumaPlaneRow encodeLuma8;
  EncodeLumaPlaneRow encodeLuma16;
  EncodeChromaPlaneRow encodeChroma8;
  EncodeChromaPlaneRow encodeChroma16;
  ChromaDiffRow chromaDiff8;
  ChromaDiffRow chromaDiff16;
  LumaDiffRow lumaDiff8;
  LumaDiffRow lumaDiff16;
};

// The reference: the formulas through the tables of SampleScale.
extern const PlanarKernels PlanarKernelsScalar;
#if QUILLET_HAVE_AVX2
// Bit-exact to the scalar form for every code, host value and weight 0..4096; blocks of 16
// values (32 pixels for a subsampled chroma row), a row's last partial block through a stack
// copy.
extern const PlanarKernels PlanarKernelsAvx2;
#endif
#if QUILLET_HAVE_AVX512
// AVX512F + AVX512BW: the same values in blocks of 32.
extern const PlanarKernels PlanarKernelsAvx512;
#endif

}  // namespace quillet
