#include "formats/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "formats/sample_scale.h"
#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

using test::KernelForm;
using test::PageEndBuffer;
using test::Prng;

const SampleScale& scaleFor(int depth) {
  static const std::vector<SampleScale> scales = [] {
    std::vector<SampleScale> all;
    for (int d = 8; d <= 16; ++d) all.push_back(makeSampleScale(d));
    return all;
  }();
  return scales[static_cast<size_t>(depth - 8)];
}

size_t sampleBytes(int depth) { return depth > 8 ? 2 : 1; }
size_t chromaCount(int width, int shiftX) {
  return static_cast<size_t>((width + (1 << shiftX) - 1) >> shiftX);
}

DecodeRow decodeFor(const ConvertKernels& k, int depth) {
  return depth > 8 ? k.decode16 : k.decode8;
}
EncodeLumaRow encodeLumaFor(const ConvertKernels& k, int depth) {
  return depth > 8 ? k.encodeLuma16 : k.encodeLuma8;
}
EncodeChromaRow encodeChromaFor(const ConvertKernels& k, int depth) {
  return depth > 8 ? k.encodeChroma16 : k.encodeChroma8;
}

// Samples as stored in a row of `depth` bits.
std::vector<uint8_t> sampleRow(const std::vector<int32_t>& codes, int depth) {
  std::vector<uint8_t> row(codes.size() * sampleBytes(depth));
  for (size_t i = 0; i < codes.size(); ++i) {
    if (depth > 8) {
      const auto v = static_cast<uint16_t>(codes[i]);
      std::memcpy(row.data() + 2 * i, &v, 2);
    } else {
      row[i] = static_cast<uint8_t>(codes[i]);
    }
  }
  return row;
}

std::vector<uint8_t> pixelBytes(const std::vector<Pixel>& pixels) {
  std::vector<uint8_t> bytes(pixels.size() * sizeof(Pixel));
  if (!bytes.empty()) std::memcpy(bytes.data(), pixels.data(), bytes.size());
  return bytes;
}

// First differing element of two rows of `element`-byte elements.
::testing::AssertionResult sameRows(const uint8_t* want, const uint8_t* got, size_t bytes,
                                    size_t element) {
  for (size_t i = 0; i < bytes; i += element) {
    if (std::memcmp(want + i, got + i, element) == 0) continue;
    auto failure = ::testing::AssertionFailure() << "element " << i / element << ": want";
    for (size_t b = 0; b < element; ++b) failure << " " << int{want[i + b]};
    failure << " got";
    for (size_t b = 0; b < element; ++b) failure << " " << int{got[i + b]};
    return failure << " (bytes, seed " << test::testSeed() << ")";
  }
  return ::testing::AssertionSuccess();
}

class ConvertCrossForm : public test::FormTest {
 protected:
  const ConvertKernels& form() const { return *GetParam().convert; }
};

// ---------------------------------------------------------------------------------------------
// Every code and every host value, at every depth.

TEST_P(ConvertCrossForm, DecodesEveryCodeOfEveryDepth) {
  for (int depth = 8; depth <= 16; ++depth) {
    // Every value the container holds, so codes above maxCode too; Cr runs the other way.
    const int32_t values = depth > 8 ? 65536 : 256;
    std::vector<int32_t> codes(static_cast<size_t>(values)), reversed(codes.size());
    for (int32_t c = 0; c < values; ++c) {
      codes[static_cast<size_t>(c)] = c;
      reversed[static_cast<size_t>(c)] = values - 1 - c;
    }
    const auto chromaB = sampleRow(codes, depth);
    const auto chromaR = sampleRow(reversed, depth);
    for (int shiftX = 0; shiftX <= 2; ++shiftX) {
      std::vector<int32_t> lumaCodes;
      for (int i = 0; i < (1 << shiftX); ++i) {
        lumaCodes.insert(lumaCodes.end(), reversed.begin(), reversed.end());
      }
      const auto luma = sampleRow(lumaCodes, depth);
      const int width = static_cast<int>(lumaCodes.size());
      std::vector<Pixel> want(lumaCodes.size()), got(lumaCodes.size());
      const SampleScale& scale = scaleFor(depth);
      decodeFor(ConvertKernelsScalar, depth)(luma.data(), chromaB.data(), chromaR.data(), width,
                                             shiftX, scale, want.data());
      decodeFor(form(), depth)(luma.data(), chromaB.data(), chromaR.data(), width, shiftX, scale,
                               got.data());
      ASSERT_TRUE(sameRows(pixelBytes(want).data(), pixelBytes(got).data(),
                           want.size() * sizeof(Pixel), sizeof(Pixel)))
          << "depth " << depth << " shiftX " << shiftX;
    }
  }
}

TEST_P(ConvertCrossForm, EncodesEveryHostValueOfEveryDepth) {
  // Row A holds every int16 value in each component; row B a permutation of them, so that the
  // sums of two and four values reach the extremes and everything between.
  std::vector<Pixel> rowA(65536), rowB(65536);
  for (int32_t i = 0; i < 65536; ++i) {
    const auto v = static_cast<int16_t>(i - 32768);
    const auto p = static_cast<int16_t>(static_cast<uint16_t>(i * 7919));
    rowA[static_cast<size_t>(i)] = {v, v, static_cast<int16_t>(-1 - v)};
    rowB[static_cast<size_t>(i)] = {p, static_cast<int16_t>(-1 - p), p};
  }
  const int width = 65536;
  for (int depth = 8; depth <= 16; ++depth) {
    const SampleScale& scale = scaleFor(depth);
    const size_t bytes = 65536 * sampleBytes(depth);
    std::vector<uint8_t> want(bytes), got(bytes);
    encodeLumaFor(ConvertKernelsScalar, depth)(rowA.data(), width, scale, want.data());
    encodeLumaFor(form(), depth)(rowA.data(), width, scale, got.data());
    ASSERT_TRUE(sameRows(want.data(), got.data(), bytes, sampleBytes(depth))) << "depth " << depth;
    std::vector<uint8_t> wantR(bytes), gotR(bytes);
    for (int shiftX = 0; shiftX <= 2; ++shiftX) {
      for (const Pixel* second : std::vector<const Pixel*>{nullptr, rowB.data()}) {
        encodeChromaFor(ConvertKernelsScalar, depth)(rowA.data(), second, width, shiftX, scale,
                                                     want.data(), wantR.data());
        encodeChromaFor(form(), depth)(rowA.data(), second, width, shiftX, scale, got.data(),
                                       gotR.data());
        const size_t used = chromaCount(width, shiftX) * sampleBytes(depth);
        ASSERT_TRUE(sameRows(want.data(), got.data(), used, sampleBytes(depth)) &&
                    sameRows(wantR.data(), gotR.data(), used, sampleBytes(depth)))
            << "depth " << depth << " shiftX " << shiftX << (second ? " two rows" : " one row");
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Random rows of every shape, in buffers that end at an inaccessible page.

// A row followed by `tail` canary bytes at the end of a page: with no tail any read or write
// past the row faults, with one a write past it shows; a write before it shows in the lead.
class GuardedRow {
 public:
  GuardedRow(const std::vector<uint8_t>& content, size_t tail)
      : buf_(content.size() + tail), bytes_(content.size()), content_(content) {
    std::memset(buf_.data(), test::kCanaryByte, bytes_ + tail);
    if (bytes_ > 0) std::memcpy(buf_.data(), content.data(), bytes_);
  }
  uint8_t* data() { return buf_.data(); }
  bool unchanged() const {
    return bytes_ == 0 || std::memcmp(buf_.data(), content_.data(), bytes_) == 0;
  }
  // Empty when nothing outside the row was written, else where.
  std::string overwrites() const {
    std::string where;
    if (!buf_.leadIntact()) where += " before the row";
    for (size_t i = bytes_; i < buf_.size(); ++i) {
      if (buf_.data()[i] != test::kCanaryByte) return where + " past the row";
    }
    return where;
  }

 private:
  PageEndBuffer buf_;
  size_t bytes_;
  std::vector<uint8_t> content_;
};

const int kWidths[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,   11,
                       12, 13, 14, 15, 16, 17, 31, 32, 33, 63, 1920, 1921};
const int kDepths[] = {8, 10, 16};
const size_t kTailElements[] = {0, 3};

// Codes mostly within the depth, one in eight anything the container holds.
std::vector<uint8_t> randomCodes(Prng& prng, size_t count, int depth) {
  std::vector<int32_t> codes(count);
  const int32_t container = depth > 8 ? 65535 : 255;
  for (int32_t& c : codes) {
    c = prng.range(0, 7) == 0 ? prng.range(0, container) : prng.range(0, scaleFor(depth).maxCode);
  }
  return sampleRow(codes, depth);
}

// Host values mostly near the video range, the rest anywhere in 16 bits or at its ends.
std::vector<uint8_t> randomPixels(Prng& prng, size_t count) {
  std::vector<int16_t> samples(count * kSamplesPerPixel);
  for (int16_t& s : samples) {
    switch (prng.range(0, 7)) {
      case 0:
        s = static_cast<int16_t>(prng.range(0, 1) == 0 ? -32768 : 32767);
        break;
      case 1:
        s = prng.sample(32767);
        break;
      default:
        s = static_cast<int16_t>(prng.range(-2400, 4600));
    }
  }
  std::vector<uint8_t> bytes(samples.size() * sizeof(int16_t));
  if (!bytes.empty()) std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// Runs `run` over every depth, width, shiftX (4:4:4, 4:2:x, 4:1:1), one or two chroma sources and
// tail.
template <class Run>
void forEveryShape(Run run) {
  for (int depth : kDepths) {
    for (int width : kWidths) {
      for (int shiftX = 0; shiftX <= 2; ++shiftX) {
        for (bool second : {false, true}) {
          for (size_t tail : kTailElements) run(depth, width, shiftX, second, tail);
        }
      }
    }
  }
}

std::string shape(int depth, int width, int shiftX, bool second, size_t tail) {
  std::ostringstream s;
  s << "depth " << depth << " width " << width << " shiftX " << shiftX << (second ? " second" : "")
    << " tail " << tail << " seed " << test::testSeed();
  return s.str();
}

TEST_P(ConvertCrossForm, DecodesRandomRows) {
  Prng prng(test::testSeed());
  forEveryShape([&](int depth, int width, int shiftX, bool chroma, size_t tail) {
    const size_t sample = sampleBytes(depth);
    const auto w = static_cast<size_t>(width);
    GuardedRow luma(randomCodes(prng, w, depth), tail * sample);
    GuardedRow cb(randomCodes(prng, chroma ? chromaCount(width, shiftX) : 0, depth), tail * sample);
    GuardedRow cr(randomCodes(prng, chroma ? chromaCount(width, shiftX) : 0, depth), tail * sample);
    GuardedRow dst(std::vector<uint8_t>(w * sizeof(Pixel), test::kCanaryByte),
                   tail * sizeof(Pixel));
    std::vector<Pixel> want(w + 1);
    const SampleScale& scale = scaleFor(depth);
    decodeFor(ConvertKernelsScalar, depth)(luma.data(), chroma ? cb.data() : nullptr, cr.data(),
                                           width, shiftX, scale, want.data());
    decodeFor(form(), depth)(luma.data(), chroma ? cb.data() : nullptr, cr.data(), width, shiftX,
                             scale, reinterpret_cast<Pixel*>(dst.data()));
    const std::string what = shape(depth, width, shiftX, chroma, tail);
    ASSERT_TRUE(sameRows(pixelBytes(want).data(), dst.data(), w * sizeof(Pixel), sizeof(Pixel)))
        << what;
    ASSERT_EQ(dst.overwrites(), "") << what;
    ASSERT_TRUE(luma.unchanged() && cb.unchanged() && cr.unchanged()) << what;
  });
}

TEST_P(ConvertCrossForm, EncodesRandomRows) {
  Prng prng(test::testSeed() + 1);
  forEveryShape([&](int depth, int width, int shiftX, bool twoRows, size_t tail) {
    const size_t sample = sampleBytes(depth);
    const auto w = static_cast<size_t>(width);
    const size_t chroma = chromaCount(width, shiftX);
    GuardedRow rowA(randomPixels(prng, w), tail * sizeof(Pixel));
    GuardedRow rowB(randomPixels(prng, twoRows ? w : 0), tail * sizeof(Pixel));
    const auto* a = reinterpret_cast<const Pixel*>(rowA.data());
    const auto* b = twoRows ? reinterpret_cast<const Pixel*>(rowB.data()) : nullptr;
    const std::vector<uint8_t> blank(w * sample, test::kCanaryByte);
    GuardedRow luma(blank, tail * sample);
    GuardedRow cb(std::vector<uint8_t>(chroma * sample, test::kCanaryByte), tail * sample);
    GuardedRow cr(std::vector<uint8_t>(chroma * sample, test::kCanaryByte), tail * sample);
    std::vector<uint8_t> wantY(w * sample + 1), wantB(chroma * sample + 1), wantR(wantB.size());
    const SampleScale& scale = scaleFor(depth);
    encodeLumaFor(ConvertKernelsScalar, depth)(a, width, scale, wantY.data());
    encodeLumaFor(form(), depth)(a, width, scale, luma.data());
    encodeChromaFor(ConvertKernelsScalar, depth)(a, b, width, shiftX, scale, wantB.data(),
                                                 wantR.data());
    encodeChromaFor(form(), depth)(a, b, width, shiftX, scale, cb.data(), cr.data());
    const std::string what = shape(depth, width, shiftX, twoRows, tail);
    ASSERT_TRUE(sameRows(wantY.data(), luma.data(), w * sample, sample)) << "luma " << what;
    ASSERT_TRUE(sameRows(wantB.data(), cb.data(), chroma * sample, sample)) << "Cb " << what;
    ASSERT_TRUE(sameRows(wantR.data(), cr.data(), chroma * sample, sample)) << "Cr " << what;
    ASSERT_EQ(luma.overwrites() + cb.overwrites() + cr.overwrites(), "") << what;
    ASSERT_TRUE(rowA.unchanged() && rowB.unchanged()) << what;
  });
}

// The semi-planar and packed rows: random rows, every width, both chroma orders (all three packed
// orders), one or two chroma rows, at 8, 10 (P010) and 16 bits.
TEST_P(ConvertCrossForm, SemiPlanarAndPackedRowsOnRandomRows) {
  Prng prng(test::testSeed() + 2);
  const auto check = [](bool same, GuardedRow& out, const std::string& what) {
    ASSERT_TRUE(same) << what;
    ASSERT_EQ(out.overwrites(), "") << what;
  };
  for (int width : kWidths) {
    for (size_t tail : kTailElements) {
      const auto w = static_cast<size_t>(width);
      const size_t pairs = 2 * ((w + 1) / 2);  // chroma samples of a semi-planar row
      for (int depth : {8, 10, 16}) {
        const SampleScale& scale = scaleFor(depth);
        const size_t sample = sampleBytes(depth);
        // Every bit of a 16-bit sample set at random: those below a P010 code are noise.
        GuardedRow luma(randomCodes(prng, w, depth > 8 ? 16 : 8), tail * sample);
        GuardedRow chroma(randomCodes(prng, pairs, depth > 8 ? 16 : 8), tail * sample);
        GuardedRow rowA(randomPixels(prng, w), tail * sizeof(Pixel));
        GuardedRow rowB(randomPixels(prng, w), tail * sizeof(Pixel));
        const auto* a = reinterpret_cast<const Pixel*>(rowA.data());
        const auto* b = reinterpret_cast<const Pixel*>(rowB.data());
        for (bool crFirst : {false, true}) {
          const std::string what = shape(depth, width, 1, crFirst, tail);
          const auto decode =
              depth > 8 ? &ConvertKernels::decodeSemi16 : &ConvertKernels::decodeSemi8;
          std::vector<Pixel> want(w + 1);
          GuardedRow dst(std::vector<uint8_t>(w * sizeof(Pixel), test::kCanaryByte),
                         tail * sizeof(Pixel));
          (ConvertKernelsScalar.*decode)(luma.data(), chroma.data(), width, crFirst, scale,
                                         want.data());
          (form().*decode)(luma.data(), chroma.data(), width, crFirst, scale,
                           reinterpret_cast<Pixel*>(dst.data()));
          check(sameRows(pixelBytes(want).data(), dst.data(), w * sizeof(Pixel), sizeof(Pixel)),
                dst, "decode " + what);
          const auto encode =
              depth > 8 ? &ConvertKernels::encodeSemiChroma16 : &ConvertKernels::encodeSemiChroma8;
          for (const Pixel* second : {static_cast<const Pixel*>(nullptr), b}) {
            std::vector<uint8_t> wantC(pairs * sample + 1);
            GuardedRow got(std::vector<uint8_t>(pairs * sample, test::kCanaryByte), tail * sample);
            (ConvertKernelsScalar.*encode)(a, second, width, crFirst, scale, wantC.data());
            (form().*encode)(a, second, width, crFirst, scale, got.data());
            check(sameRows(wantC.data(), got.data(), pairs * sample, sample), got,
                  "encode chroma " + what + (second ? " two rows" : " one row"));
          }
        }
        if (depth > 8) {
          std::vector<uint8_t> wantY(w * 2 + 1);
          GuardedRow got(std::vector<uint8_t>(w * 2, test::kCanaryByte), tail * 2);
          ConvertKernelsScalar.encodeLumaHigh16(a, width, scale, wantY.data());
          form().encodeLumaHigh16(a, width, scale, got.data());
          check(sameRows(wantY.data(), got.data(), w * 2, 2), got,
                "encode high luma " + shape(depth, width, 0, false, tail));
        }
        ASSERT_TRUE(luma.unchanged() && chroma.unchanged() && rowA.unchanged() && rowB.unchanged());
      }
      const SampleScale& scale = scaleFor(8);
      const size_t rowBytes = 2 * ((w + 1) / 2) * 2;
      GuardedRow packed(randomCodes(prng, rowBytes, 8), tail);
      GuardedRow pixels(randomPixels(prng, w), tail * sizeof(Pixel));
      for (int order : {kPackedYuyv, kPackedUyvy, kPackedYvyu}) {
        const std::string what =
            shape(8, width, 1, false, tail) + " order " + std::to_string(order);
        std::vector<Pixel> want(w + 1);
        GuardedRow dst(std::vector<uint8_t>(w * sizeof(Pixel), test::kCanaryByte),
                       tail * sizeof(Pixel));
        ConvertKernelsScalar.decodePacked(packed.data(), width, order, scale, want.data());
        form().decodePacked(packed.data(), width, order, scale,
                            reinterpret_cast<Pixel*>(dst.data()));
        check(sameRows(pixelBytes(want).data(), dst.data(), w * sizeof(Pixel), sizeof(Pixel)), dst,
              "decode packed " + what);
        std::vector<uint8_t> wantRow(rowBytes + 1);
        GuardedRow got(std::vector<uint8_t>(rowBytes, test::kCanaryByte), tail);
        const auto* p = reinterpret_cast<const Pixel*>(pixels.data());
        ConvertKernelsScalar.encodePacked(p, width, order, scale, wantRow.data());
        form().encodePacked(p, width, order, scale, got.data());
        check(sameRows(wantRow.data(), got.data(), rowBytes, 1), got, "encode packed " + what);
      }
      ASSERT_TRUE(packed.unchanged() && pixels.unchanged());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, ConvertCrossForm,
                         ::testing::ValuesIn(test::formsWith(&KernelForm::convert)),
                         test::FormName());

}  // namespace
}  // namespace quillet
