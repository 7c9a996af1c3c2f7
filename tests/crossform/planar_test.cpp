#include "formats/planar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/sample_scale.h"
#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

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

// A copy of `values` in a buffer that ends at an inaccessible page: a read past the row faults.
template <class T>
std::unique_ptr<PageEndBuffer> guarded(const std::vector<T>& values) {
  auto buffer = std::make_unique<PageEndBuffer>(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(buffer->data(), values.data(), values.size() * sizeof(T));
  return buffer;
}

template <class T>
std::vector<T> contents(const PageEndBuffer& b) {
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), b.size());
  return v;
}

std::vector<int16_t> randomValues(Prng& prng, size_t count, int32_t lo, int32_t hi) {
  std::vector<int16_t> v(count);
  for (int16_t& x : v) x = static_cast<int16_t>(prng.range(lo, hi));
  return v;
}

// Weights 0..4096 with runs of 0 and 4096, the values a still or a moving block has.
std::vector<int16_t> randomWeights(Prng& prng, size_t count) {
  std::vector<int16_t> v(count);
  for (int16_t& w : v) {
    const int32_t kind = prng.range(0, 3);
    w = static_cast<int16_t>(kind == 0 ? 0 : kind == 1 ? 4096 : prng.range(0, 4096));
  }
  return v;
}

// Widths 0..40, around the block sizes, and a frame's.
const std::vector<int> kWidths = [] {
  std::vector<int> w;
  for (int i = 0; i <= 40; ++i) w.push_back(i);
  for (int i : {63, 64, 65, 127, 129, 1921}) w.push_back(i);
  return w;
}();

class PlanarCrossForm : public test::FormTest {
 protected:
  const PlanarKernels& form() const { return *GetParam().planar; }
};

TEST_P(PlanarCrossForm, DecodesEveryCodeOfEveryDepth) {
  for (int depth = 8; depth <= 16; ++depth) {
    const bool wide = depth > 8;
    // Every value the container holds, codes above maxCode too, plus an odd one at the end.
    const size_t count = (wide ? 65536 : 256) + 1;
    std::vector<uint8_t> bytes(count * (wide ? 2 : 1));
    for (size_t i = 0; i < count; ++i) {
      const auto code = static_cast<uint16_t>((i * 7919) % (wide ? 65536 : 256));
      if (wide) {
        std::memcpy(&bytes[2 * i], &code, 2);
      } else {
        bytes[i] = static_cast<uint8_t>(code);
      }
    }
    const auto in = guarded(bytes);
    for (bool chroma : {false, true}) {
      const auto pick = [&](const PlanarKernels& k) {
        return chroma ? (wide ? k.decodeChroma16 : k.decodeChroma8)
                      : (wide ? k.decodeLuma16 : k.decodeLuma8);
      };
      PageEndBuffer want(count * 2), got(count * 2);
      pick(PlanarKernelsScalar)(in->data(), static_cast<int>(count), scaleFor(depth),
                                want.as<int16_t>());
      pick(form())(in->data(), static_cast<int>(count), scaleFor(depth), got.as<int16_t>());
      ASSERT_EQ(contents<int16_t>(want), contents<int16_t>(got))
          << "depth " << depth << " chroma " << chroma;
    }
  }
}

// The encode with every kind of row input: outside the band, motion off, blended.
TEST_P(PlanarCrossForm, EncodesBlendedRowsLikeTheReference) {
  Prng prng(test::testSeed());
  for (int depth : {8, 10, 12, 16}) {
    const bool wide = depth > 8;
    const size_t sample = wide ? 2 : 1;
    for (int width : kWidths) {
      for (int shiftX = 0; shiftX <= 1; ++shiftX) {
        for (int kind = 0; kind < 4; ++kind) {
          SCOPED_TRACE(::testing::Message()
                       << "depth " << depth << " width " << width << " shiftX " << shiftX
                       << " kind " << kind << " seed " << test::testSeed());
          const auto samples = static_cast<size_t>((width + (1 << shiftX) - 1) >> shiftX);
          const auto pixels = static_cast<size_t>(width);
          // Whole 16-bit range for the values, and the host scale's range.
          const int32_t reach = kind % 2 == 0 ? 32768 : 4500;
          const auto source = guarded(randomValues(prng, samples, -reach, reach - 1));
          std::unique_ptr<PageEndBuffer> filtered[2], weights[2];
          PlaneRowInput rows[2];
          for (int r = 0; r < 2; ++r) {
            filtered[r] = guarded(randomValues(prng, samples, -reach, reach - 1));
            weights[r] = guarded(randomWeights(prng, pixels));
            // kind 0: both blended; 1: one row outside the band; 2: motion off; 3: mixed.
            const bool outside = (kind == 1 && r == 1) || (kind == 3 && r == 0);
            const bool unweighted = kind == 2 || (kind == 3 && r == 1);
            rows[r] = {outside ? nullptr : filtered[r]->as<int16_t>(),
                       unweighted ? nullptr : weights[r]->as<int16_t>()};
          }
          for (int rowCount = 1; rowCount <= 2; ++rowCount) {
            const auto encode = [&](const PlanarKernels& k, PageEndBuffer& out) {
              (wide ? k.encodeChroma16 : k.encodeChroma8)(source->as<int16_t>(), rows, rowCount,
                                                          width, shiftX, scaleFor(depth),
                                                          out.data());
            };
            PageEndBuffer want(samples * sample), got(samples * sample);
            encode(PlanarKernelsScalar, want);
            encode(form(), got);
            ASSERT_EQ(contents<uint8_t>(want), contents<uint8_t>(got)) << "rows " << rowCount;
          }
          if (shiftX == 0) {
            const auto encode = [&](const PlanarKernels& k, PageEndBuffer& out) {
              (wide ? k.encodeLuma16 : k.encodeLuma8)(source->as<int16_t>(), rows[0], width,
                                                      scaleFor(depth), out.data());
            };
            PageEndBuffer want(pixels * sample), got(pixels * sample);
            encode(PlanarKernelsScalar, want);
            encode(form(), got);
            ASSERT_EQ(contents<uint8_t>(want), contents<uint8_t>(got)) << "luma";
          }
        }
      }
    }
  }
}

// Stored codes of the container's whole range (above maxCode too). With `like`, the codes of
// `like` with one in 40 redrawn: a frame where most blocks stand still and some change.
std::vector<uint8_t> randomCodes(Prng& prng, size_t count, bool wide,
                                 const std::vector<uint8_t>* like = nullptr) {
  std::vector<uint8_t> bytes =
      like != nullptr ? *like : std::vector<uint8_t>(count * (wide ? 2 : 1));
  for (size_t i = 0; i < count; ++i) {
    if (like != nullptr && prng.range(0, 39) != 0) continue;
    const auto code = static_cast<uint16_t>(prng.range(0, wide ? 65535 : 255));
    std::memcpy(&bytes[i * (wide ? 2 : 1)], &code, wide ? 2 : 1);
  }
  return bytes;
}

TEST_P(PlanarCrossForm, DifferencesFromCodesLikeTheReference) {
  Prng prng(test::testSeed());
  for (int depth : {8, 10, 12, 16}) {
    const bool wide = depth > 8;
    for (int width : kWidths) {
      for (int shift = 0; shift < 4; ++shift) {
        // Second frame random, or mostly the first one (whole blocks of equal codes).
        const int shiftX = shift % 2;
        const bool still = shift >= 2;
        SCOPED_TRACE(::testing::Message()
                     << "depth " << depth << " width " << width << " shiftX " << shiftX << " still "
                     << still << " seed " << test::testSeed());
        const auto samples = static_cast<size_t>((width + (1 << shiftX) - 1) >> shiftX);
        const auto pixels = static_cast<size_t>(width);
        std::vector<uint8_t> codes[6];
        for (int i = 0; i < 6; ++i) {
          const size_t count = i < 4 ? samples : pixels;
          codes[i] = randomCodes(prng, count, wide, still && i % 2 == 1 ? &codes[i - 1] : nullptr);
        }
        std::unique_ptr<PageEndBuffer> chroma[4];
        for (int i = 0; i < 4; ++i) chroma[i] = guarded(codes[i]);
        PageEndBuffer wantC(samples * 2), gotC(samples * 2);
        const auto chromaDiff = [&](const PlanarKernels& k, PageEndBuffer& out) {
          (wide ? k.chromaDiff16 : k.chromaDiff8)(
              chroma[0]->data(), chroma[1]->data(), chroma[2]->data(), chroma[3]->data(),
              static_cast<int>(samples), scaleFor(depth), out.as<int16_t>());
        };
        chromaDiff(PlanarKernelsScalar, wantC);
        chromaDiff(form(), gotC);
        ASSERT_EQ(contents<int16_t>(wantC), contents<int16_t>(gotC)) << "chroma";
        const auto a = guarded(codes[4]);
        const auto b = guarded(codes[5]);
        for (bool mono : {false, true}) {
          PageEndBuffer want(pixels * 2), got(pixels * 2);
          const auto lumaDiff = [&](const PlanarKernels& k, PageEndBuffer& out) {
            (wide ? k.lumaDiff16 : k.lumaDiff8)(a->data(), b->data(),
                                                mono ? nullptr : wantC.as<int16_t>(), shiftX, width,
                                                scaleFor(depth), out.as<int16_t>());
          };
          lumaDiff(PlanarKernelsScalar, want);
          lumaDiff(form(), got);
          ASSERT_EQ(contents<int16_t>(want), contents<int16_t>(got)) << "mono " << mono;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, PlanarCrossForm,
                         ::testing::ValuesIn(test::formsWith(&test::KernelForm::planar)),
                         test::FormName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PlanarCrossForm);

}  // namespace
}  // namespace quillet
