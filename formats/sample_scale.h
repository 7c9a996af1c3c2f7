#pragma once

#include <cstdint>
#include <vector>

#include "common/pixel.h"

namespace quillet {

// Conversion between video-range samples of 8 to 16 bits and the host's scale (Y 0..4096 from
// black to white, Cb and Cr -2048..2048 around neutral).
//
// With s = bitDepth - 8, black B = 16 * 2^s, luma span D = 219 * 2^s (white = B + D), chroma
// centre C = 128 * 2^s and chroma half span H = 112 * 2^s (16..240 at 8 bits), and
// round(n / d) = floor((2n + d) / 2d) (halves up, exact integer arithmetic):
//
//   to the host:    Y = round((code - B) * 4096 / D)      Cb, Cr = round((code - C) * 2048 / H)
//   from the host:  code = B + round(Y * D / 4096)        code = C + round(Cb * H / 2048)
//
// and back codes are clamped to 0..2^bitDepth - 1. The forward step puts codes 4096 / D host
// units apart, more than 1 while D < 4096, so the rounding error of the forward step (at most
// half a host unit) shrinks to less than half a code on the way back: for 8 to 12 bits every
// code comes back exactly, sub-black and super-white included (the whole code range of any
// depth maps into -299..4489 for Y and -2341..2341 for chroma, well inside 16 bits). At 16 bits
// several codes share a host value: the input is quantised to the host's scale.
//
// Chroma brought back from n host values (the pixels that repeated one subsampled sample) is
// C + round(sum * H / (2048 * n)): one rounding of the exact mean, so n equal values give the
// code they came from.
struct SampleScale {
  int bitDepth = 8;
  int32_t maxCode = 255;
  int32_t black = 16;
  int32_t lumaSpan = 219;
  int32_t centre = 128;
  int32_t chromaHalfSpan = 112;
  // code -> host value, one entry per code 0..maxCode.
  std::vector<int16_t> lumaToHost;
  std::vector<int16_t> chromaToHost;
  // host value -> code, indexed by the host value's 16 bits as unsigned (value & 0xFFFF).
  std::vector<uint16_t> lumaFromHost;
  std::vector<uint16_t> chromaFromHost;
};

// The scale for `bitDepth` in 8..16; builds the tables (at most 4 x 128 KiB).
SampleScale makeSampleScale(int bitDepth);

// The formulas above, one value at a time (the tables are built from these). Codes above
// maxCode are clamped to maxCode before conversion.
int16_t lumaCodeToHost(int32_t code, const SampleScale& scale);
int16_t chromaCodeToHost(int32_t code, const SampleScale& scale);
int32_t lumaHostToCode(int32_t y, const SampleScale& scale);
// The code for the mean of `count` (>= 1) host chroma values summing to `sum`.
int32_t chromaHostSumToCode(int64_t sum, int32_t count, const SampleScale& scale);

// Samples as stored in a Y4M plane: one byte each at 8 bits, else 16-bit little-endian.
int32_t bytesPerSample(int bitDepth);

// The rows below are the scalar kernels of convert.h on the byte rows of a Y4M plane (16-bit
// samples as little-endian byte pairs, at any address).

// Decodes one frame row: `width` luma samples from `luma` and, unless `cb` is null (mono,
// then Cb = Cr = 0), the chroma rows `cb` and `cr` holding ceil(width / 2^shiftX) samples each,
// every chroma sample repeated over the 2^shiftX pixels it covers. Writes dst[0..width-1].
void decodePixelRow(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int32_t width,
                    int shiftX, const SampleScale& scale, Pixel* dst);

// Encodes the luma of src[0..width-1] into `width` samples at `luma`.
void encodeLumaRow(const Pixel* src, int32_t width, const SampleScale& scale, uint8_t* luma);

// Encodes one subsampled chroma row from the frame rows it covers: `rowA` and, for vertical
// subsampling when a second row exists, `rowB` (else null); each output sample is the rounded
// mean of the 2^shiftX (fewer at the right edge) pixels of each given row. Writes
// ceil(width / 2^shiftX) samples to `cb` and `cr`.
void encodeChromaRow(const Pixel* rowA, const Pixel* rowB, int32_t width, int shiftX,
                     const SampleScale& scale, uint8_t* cb, uint8_t* cr);

}  // namespace quillet
