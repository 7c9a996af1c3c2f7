#pragma once

// The integer arithmetic the vector forms of convert.h use instead of the tables: constants
// only, shared by every form file (nothing here is compiled with one form's flags).
namespace quillet::convert {

// Decoding. With s = bitDepth - 8, round(n / d) = floor((2n + d) / 2d) turns the formulas of
// sample_scale.h into
//   Y      = floor((code * 2^(13-s) + 219 - 2 * 65536) / 438)
//   Cb, Cr = floor((code * 2^(12-s) + 112 - 8 * 65536) / 224)
// that is q = floor(n / divisor) with n = code * 2^(shift - s) + bias - k * 65536. The estimate
//   e = floor(code * 2^(8-s) * multiplier / 65536) - offset        (code * 2^(8-s) < 65536)
// is q or q - 1 for every code of every depth (the cross-form tests decode them all), so the
// remainder n - e * divisor lies in 0..2 * divisor - 1 and its low 16 bits, taken from
// code * 2^(shift - s) + bias and e * divisor modulo 65536, are exact: q = e + (remainder >=
// divisor). All of it fits 16-bit lanes.
struct Quotient {
  int shift;  // at 8 bits; one less per extra bit of depth
  int bias;
  int divisor;
  int multiplier;
  int offset;
};
inline constexpr Quotient kLumaQuotient{13, 219, 438, 4788, 299};     // 4788 just below 2^21 / 438
inline constexpr Quotient kChromaQuotient{12, 112, 224, 4682, 2341};  // 4682 just above 2^20 / 224

// Encoding. The formulas' divisions are by powers of two once 2^s is taken out:
//   luma   code = black  + ((219 * Y + 2^(t-1)) >> t),    t = 12 - s
//   chroma code = centre + ((112 * sum + 2^(t-1)) >> t),  t = 11 + log2(count) - s
// where sum adds the `count` (1, 2 or 4) host values a sample is the mean of; then the code is
// clamped to 0..maxCode. The products fit 32 bits (|112 * sum| < 2^24).
inline constexpr int kLumaFactor = 219;
inline constexpr int kLumaShift = 12;
inline constexpr int kChromaFactor = 112;
inline constexpr int kChromaShift = 11;

}  // namespace quillet::convert
