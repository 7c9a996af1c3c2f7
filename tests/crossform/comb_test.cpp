#include "comb/comb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

using test::PageEndBuffer;
using test::Prng;

struct KindCase {
  LumaKind kind;
  const char* name;
  size_t pixelBytes;
  int32_t lo, hi;  // sample range
  int32_t step;
  CombRowFn CombKernels::*row;
};

const KindCase kKinds[] = {
    {LumaKind::k8, "8-bit", 1, 0, 255, 10, &CombKernels::row8},
    {LumaKind::k16, "16-bit", 2, 0, 65535, 40, &CombKernels::row16},
    {LumaKind::k16, "16-bit, 16-bit step", 2, 0, 65535, 2560, &CombKernels::row16},
    {LumaKind::kYcc16, "ycc16", 6, -32768, 32767, 160, &CombKernels::rowYcc16},
};

void putSample(const KindCase& k, uint8_t* row, int32_t x, int32_t v) {
  if (k.pixelBytes == 1) {
    row[x] = static_cast<uint8_t>(v);
  } else {
    const auto s = static_cast<uint16_t>(v);  // a ycc16 pixel's Cb and Cr stay as they are
    std::memcpy(row + k.pixelBytes * static_cast<size_t>(x), &s, 2);
  }
}

// Rows y - 1 .. y + 2 of three frames, each row ending at an inaccessible page and starting
// `offset` bytes into its buffer.
struct Frames {
  std::vector<std::unique_ptr<PageEndBuffer>> buffers;
  CombRows rows[3];  // current, previous, next
};

// Combs of every kind near the thresholds: the current frame alternates by about the step at
// most pixels, the neighbours the same way scaled by 0 .. 4 or the other way, a quarter of the
// pixels are anything the samples hold.
Frames makeFrames(const KindCase& k, int32_t width, size_t offset, Prng& prng) {
  Frames f;
  const size_t rowBytes = k.pixelBytes * static_cast<size_t>(width);
  for (int i = 0; i < 12; ++i) {
    f.buffers.push_back(std::make_unique<PageEndBuffer>(rowBytes + offset));
    uint8_t* row = f.buffers.back()->data() + offset;
    for (size_t b = 0; b < rowBytes; ++b) row[b] = static_cast<uint8_t>(prng.range(0, 255));
    f.rows[i / 4].row[i % 4] = row;
  }
  const auto clampTo = [&](int32_t v) { return std::max(k.lo, std::min(k.hi, v)); };
  const int32_t ratios[][2] = {{0, 1}, {1, 3}, {1, 2}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {-1, 1}};
  for (int32_t x = 0; x < width; ++x) {
    if (prng.range(0, 3) == 0) continue;  // random bytes
    if (prng.range(0, 7) == 0) {          // the extremes, for the widest sums
      for (int i = 0; i < 12; ++i) {
        putSample(k, const_cast<uint8_t*>(f.rows[i / 4].row[i % 4]), x,
                  prng.range(0, 1) != 0 ? k.hi : k.lo);
      }
      continue;
    }
    const int32_t base = prng.range(k.lo, k.hi);
    const int32_t amplitude = prng.range(0, 2 * k.step);
    for (int frame = 0; frame < 3; ++frame) {
      const int32_t* r = ratios[frame == 0 ? 3 : prng.range(0, 7)];
      for (int i = 0; i < 4; ++i) {
        const int32_t noise = prng.range(-k.step / 2, k.step / 2);
        const int32_t swing = (i % 2 == 0 ? -amplitude : amplitude) * r[0] / r[1];
        putSample(k, const_cast<uint8_t*>(f.rows[frame].row[i]), x, clampTo(base + swing + noise));
      }
    }
  }
  return f;
}

class CombCrossForm : public test::FormTest {};

// Random rows of every kind, odd widths, unaligned rows that end at an inaccessible page; two
// neighbours, one frame standing in for both (the ends of a clip), the frame itself on both
// sides (a one-frame clip): the same counts and misfits as the scalar reference.
TEST_P(CombCrossForm, SumsAsTheScalarReference) {
  Prng prng(test::testSeed());
  const int32_t widths[] = {1, 2, 7, 15, 16, 17, 31, 33, 64, 250, 1921};
  for (const KindCase& k : kKinds) {
    int64_t counted[3] = {};  // the reference's counts by neighbours, to show the data combs
    for (const int32_t width : widths) {
      for (const size_t offset : {size_t{0}, size_t{1}}) {
        const Frames f = makeFrames(k, width, offset, prng);
        for (int neighbours = 0; neighbours < 3; ++neighbours) {
          SCOPED_TRACE(std::string(k.name) + " width " + std::to_string(width) + " offset " +
                       std::to_string(offset) + " neighbours " + std::to_string(neighbours) +
                       " seed " + std::to_string(test::testSeed()));
          const CombRows& previous = f.rows[neighbours == 2 ? 0 : 1];
          const CombRows& next = f.rows[neighbours == 0 ? 2 : neighbours == 1 ? 1 : 0];
          const size_t blocks = (static_cast<size_t>(width) + 15) / 16;
          std::vector<int32_t> want(4 * blocks);
          for (int32_t& c : want) c = prng.range(0, 20);
          const std::vector<int32_t> before = want;
          std::vector<int32_t> got = want;
          (CombKernelsScalar.*k.row)(f.rows[0], previous, next, width, k.step, want.data(),
                                     want.data() + blocks, want.data() + 2 * blocks,
                                     want.data() + 3 * blocks);
          (GetParam().comb->*k.row)(f.rows[0], previous, next, width, k.step, got.data(),
                                    got.data() + blocks, got.data() + 2 * blocks,
                                    got.data() + 3 * blocks);
          EXPECT_EQ(got, want);
          for (size_t b = 0; b < blocks; ++b) counted[neighbours] += want[b] - before[b];
        }
      }
    }
    // Combs are found, and neighbours keep some of them still; the frame itself keeps all.
    EXPECT_GT(counted[0], 0) << k.name;
    EXPECT_LT(counted[0], counted[1]) << k.name;
    EXPECT_EQ(counted[2], 0) << k.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, CombCrossForm,
                         ::testing::ValuesIn(test::formsWith(&test::KernelForm::comb)),
                         test::FormName());

}  // namespace
}  // namespace quillet
