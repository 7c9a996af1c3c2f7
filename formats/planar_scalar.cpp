#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/planar.h"
#include "formats/sample_scale.h"

namespace quillet {
namespace {

constexpr int32_t kWeightOne = 4096;

template <class Sample, bool kChroma>
void decodeRow(const void* codes, int count, const SampleScale& scale, int16_t* dst) {
  assert(count >= 0);
  const auto* in = static_cast<const Sample*>(codes);
  const auto maxCode = static_cast<size_t>(scale.maxCode);
  const std::vector<int16_t>& table = kChroma ? scale.chromaToHost : scale.lumaToHost;
  for (int i = 0; i < count; ++i) dst[i] = table[std::min(static_cast<size_t>(in[i]), maxCode)];
}

// The caller's planes may lie at any address: a sample is stored as its bytes (compilers make
// the copy one plain store).
template <class Sample>
void storeSample(void* codes, int i, int32_t value) {
  const auto sample = static_cast<Sample>(value);
  std::memcpy(static_cast<uint8_t*>(codes) + static_cast<size_t>(i) * sizeof(Sample), &sample,
              sizeof sample);
}

// 2047: an exact half rounds toward minus infinity, as the plug-in's blend does.
int32_t valueAt(const int16_t* source, const PlaneRowInput& row, int sample, int pixel) {
  if (row.filtered == nullptr) return source[sample];
  if (row.weight == nullptr) return row.filtered[sample];
  const int32_t w = row.weight[pixel];
  assert(w >= 0 && w <= kWeightOne);
  return (w * row.filtered[sample] + (kWeightOne - w) * source[sample] + 2047) >> 12;
}

template <class Sample>
void encodeLuma(const int16_t* source, PlaneRowInput row, int width, const SampleScale& scale,
                void* codes) {
  for (int x = 0; x < width; ++x) {
    const auto v = static_cast<int16_t>(valueAt(source, row, x, x));
    storeSample<Sample>(codes, x, scale.lumaFromHost[static_cast<uint16_t>(v)]);
  }
}

template <class Sample>
void encodeChroma(const int16_t* source, const PlaneRowInput* rows, int rowCount, int width,
                  int shiftX, const SampleScale& scale, void* codes) {
  assert(rowCount == 1 || rowCount == 2);
  assert(shiftX == 0 || shiftX == 1);
  const int step = 1 << shiftX;
  for (int x0 = 0, c = 0; x0 < width; x0 += step, ++c) {
    int64_t sum = 0;
    int32_t count = 0;
    for (int x = x0; x < std::min(x0 + step, width); ++x) {
      for (int r = 0; r < rowCount; ++r) {
        sum += valueAt(source, rows[r], c, x);
        ++count;
      }
    }
    storeSample<Sample>(codes, c, chromaHostSumToCode(sum, count, scale));
  }
}

int16_t difference(int16_t a, int16_t b) {
  return static_cast<int16_t>(std::min(std::abs(int32_t{a} - int32_t{b}), 32767));
}

template <class Sample, bool kChroma>
int16_t hostValue(const void* codes, int i, const SampleScale& scale) {
  const auto code = static_cast<size_t>(static_cast<const Sample*>(codes)[i]);
  const std::vector<int16_t>& table = kChroma ? scale.chromaToHost : scale.lumaToHost;
  return table[std::min(code, static_cast<size_t>(scale.maxCode))];
}

template <class Sample>
void chromaDiff(const void* cbA, const void* cbB, const void* crA, const void* crB, int count,
                const SampleScale& scale, int16_t* diff) {
  const auto value = [&](const void* codes, int i) {
    return hostValue<Sample, true>(codes, i, scale);
  };
  for (int i = 0; i < count; ++i) {
    diff[i] = std::max(difference(value(cbA, i), value(cbB, i)),
                       difference(value(crA, i), value(crB, i)));
  }
}

template <class Sample>
void lumaDiff(const void* a, const void* b, const int16_t* chroma, int shiftX, int width,
              const SampleScale& scale, int16_t* diff) {
  for (int x = 0; x < width; ++x) {
    const int16_t d =
        difference(hostValue<Sample, false>(a, x, scale), hostValue<Sample, false>(b, x, scale));
    diff[x] = chroma == nullptr ? d : std::max(d, chroma[x >> shiftX]);
  }
}

}  // namespace

const PlanarKernels PlanarKernelsScalar = {
    .decodeLuma8 = decodeRow<uint8_t, false>,
    .decodeLuma16 = decodeRow<uint16_t, false>,
    .decodeChroma8 = decodeRow<uint8_t, true>,
    .decodeChroma16 = decodeRow<uint16_t, true>,
    .encodeLuma8 = encodeLuma<uint8_t>,
    .encodeLuma16 = encodeLuma<uint16_t>,
    .encodeChroma8 = encodeChroma<uint8_t>,
    .encodeChroma16 = encodeChroma<uint16_t>,
    .chromaDiff8 = chromaDiff<uint8_t>,
    .chromaDiff16 = chromaDiff<uint16_t>,
    .lumaDiff8 = lumaDiff<uint8_t>,
    .lumaDiff16 = lumaDiff<uint16_t>,
};

}  // namespace quillet
