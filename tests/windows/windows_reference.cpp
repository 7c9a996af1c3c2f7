// Writes the inputs and native reference values for the Windows test program:
//   cases.txt      one clip run per line (see kCases), read by run_windows_tests.sh, which makes
//                  the native reference output of each with quillet, and by plugin_test.exe
//   clip_*.ycc16   the input clips
//   weights.bin    the native scalar motion weights (see writeWeights)
// Usage: windows_reference DIR
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "motion/motion.h"
#include "tests/windows/reference_format.h"

namespace quillet::windows_test {
namespace {

struct ClipSpec {
  const char* name;
  int32_t width;
  int32_t height;
  int32_t frames;
  uint64_t seed;
};

// Aligned rows (72 = 8 x 9), an odd size, a tiny one and a wide one for the worker pool.
constexpr ClipSpec kClips[] = {
    {"a", 72, 40, 6, 0x51u},
    {"b", 37, 23, 5, 0x52u},
    {"c", 5, 3, 4, 0x53u},
    {"d", 256, 48, 3, 0x54u},
};

struct CaseSpec {
  const char* name;
  const char* clip;
  int32_t maxWidth;  // 0: the width rounded up to a multiple of 8, as quillet's default
  int32_t maxHeight;
  int32_t tap, top, bottom, motion, motion2, show, next, max;
};

// clang-format off
constexpr CaseSpec kCases[] = {
    // name             clip mw  mh  tap top bot motion m2  show next max
    {"lowpass_only",    "a", 0,  0,  3,  0,  0,  0,     64, 0,   0,   0},
    {"band_next",       "a", 0,  0,  6,  3,  5,  24,    64, 0,   1,   0},
    {"show_max",        "a", 0,  0,  2,  0,  0,  1,     0,  1,   1,   1},
    {"odd_stride",      "b", 38, 23, 4,  0,  2,  24,    64, 0,   1,   1},
    {"odd_show",        "b", 0,  0,  1,  0,  0,  256,   256, 1,  0,   0},
    {"empty_band",      "b", 0,  0,  5,  30, 0,  24,    64, 0,   1,   0},
    {"slack_rows",      "b", 41, 30, 2,  1,  1,  12,    5,  0,   0,   0},
    {"tiny",            "c", 0,  0,  5,  0,  0,  8,     1,  0,   1,   0},
    {"wide_threads",    "d", 0,  0,  6,  2,  2,  24,    64, 0,   1,   1},
    {"motion_1",        "a", 0,  0,  2,  0,  0,  1,     0,  0,   1,   0},
    {"motion_2",        "a", 0,  0,  2,  0,  0,  2,     10, 0,   1,   0},
    {"motion_3",        "a", 0,  0,  2,  0,  0,  3,     256, 0,  1,   1},
    {"motion_5",        "a", 0,  0,  2,  0,  0,  5,     0,  0,   0,   0},
    {"motion_7",        "a", 0,  0,  2,  0,  0,  7,     10, 1,   1,   0},
    {"motion_16",       "a", 0,  0,  2,  0,  0,  16,    64, 0,   1,   1},
    {"motion_31",       "a", 0,  0,  2,  0,  0,  31,    0,  0,   1,   0},
    {"motion_64",       "a", 0,  0,  2,  0,  0,  64,    10, 0,   0,   0},
    {"motion_100",      "a", 0,  0,  2,  0,  0,  100,   256, 0,  1,   0},
    {"motion_177",      "a", 0,  0,  2,  0,  0,  177,   0,  1,   1,   1},
    {"motion_255",      "a", 0,  0,  2,  0,  0,  255,   10, 0,   1,   0},
    {"motion_256",      "a", 0,  0,  2,  0,  0,  256,   64, 0,   1,   1},
};
// clang-format on

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int16_t clampSample(int32_t v) {
  return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

// A combed picture: a gradient, a bright block moving three pixels a frame whose odd rows lag
// (the other field), noise, a still corner, and now and then a sample at the ends of the range
// so that saturating and wrapping arithmetic are both reached.
std::vector<int16_t> makeClip(const ClipSpec& clipSpec) {
  uint64_t state = clipSpec.seed;
  std::vector<int16_t> samples;
  samples.reserve(static_cast<size_t>(clipSpec.width) * clipSpec.height * clipSpec.frames * 3);
  for (int32_t f = 0; f < clipSpec.frames; ++f) {
    for (int32_t y = 0; y < clipSpec.height; ++y) {
      const int32_t lag = (y & 1) != 0 ? 2 : 0;
      const int32_t blockLeft = 3 * (f - (y & 1 ? 1 : 0)) + lag;
      for (int32_t x = 0; x < clipSpec.width; ++x) {
        const uint64_t r = splitmix(state);
        const int32_t noise = static_cast<int32_t>(r % 81) - 40;
        const bool still = x < clipSpec.width / 4 && y < clipSpec.height / 3;
        const bool inBlock = x >= blockLeft && x < blockLeft + clipSpec.width / 3 && y > 1;
        int32_t luma = 400 + 11 * x + 17 * y + (inBlock ? 2600 : 0) + (still ? 0 : noise);
        int32_t cb = -300 + 7 * x - 5 * y + (inBlock ? -900 : 0) + (still ? 0 : noise / 2);
        int32_t cr = 250 - 3 * x + 9 * y + (inBlock ? 1200 : 0) - (still ? 0 : noise / 3);
        switch ((r >> 32) % 193) {
          case 0:
            luma = 32767;
            break;
          case 1:
            luma = -32768;
            cb = 32767;
            break;
          case 2:
            cr = -32768;
            break;
          default:
            break;
        }
        samples.push_back(clampSample(luma));
        samples.push_back(clampSample(cb));
        samples.push_back(clampSample(cr));
      }
    }
  }
  return samples;
}

bool writeClip(const std::string& dir, const ClipSpec& clipSpec) {
  const std::vector<int16_t> samples = makeClip(clipSpec);
  std::vector<unsigned char> bytes;
  bytes.reserve(samples.size() * 2);
  for (int16_t s : samples) {
    const auto u = static_cast<uint16_t>(s);
    bytes.push_back(static_cast<unsigned char>(u & 0xFF));
    bytes.push_back(static_cast<unsigned char>(u >> 8));
  }
  std::ofstream out(dir + "/clip_" + clipSpec.name + ".ycc16", std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

const ClipSpec* clipNamed(const char* name) {
  for (const ClipSpec& c : kClips) {
    if (std::string(c.name) == name) return &c;
  }
  return nullptr;
}

bool writeCases(const std::string& dir) {
  std::ofstream out(dir + "/cases.txt");
  out << "# name clip width height maxWidth maxHeight frames tap top bottom motion motion2 show "
         "next max\n";
  for (const CaseSpec& c : kCases) {
    const ClipSpec* clip = clipNamed(c.clip);
    if (clip == nullptr) return false;
    const int32_t maxWidth = c.maxWidth != 0 ? c.maxWidth : (clip->width + 7) / 8 * 8;
    const int32_t maxHeight = c.maxHeight != 0 ? c.maxHeight : clip->height;
    out << c.name << ' ' << c.clip << ' ' << clip->width << ' ' << clip->height << ' ' << maxWidth
        << ' ' << maxHeight << ' ' << clip->frames << ' ' << c.tap << ' ' << c.top << ' '
        << c.bottom << ' ' << c.motion << ' ' << c.motion2 << ' ' << c.show << ' ' << c.next << ' '
        << c.max << '\n';
  }
  return static_cast<bool>(out);
}

void putLittleEndian(std::vector<unsigned char>& bytes, uint32_t v, int count) {
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// For every threshold m = 1..256: the bits of W = BuildWeightsScalar(8m), then the scalar
// motion-map weight of every measure in kWeightMeasures(m).
bool writeWeights(const std::string& dir) {
  std::vector<unsigned char> bytes;
  std::vector<int16_t> diff(3 * kWeightPitch, 0);
  int16_t map[kWeightPitch] = {};
  MotionWeights motionWeights{};
  for (int32_t m = 1; m <= kMaxMotion; ++m) {
    BuildWeightsScalar(&motionWeights, 8 * m);
    uint32_t bits = 0;
    static_assert(sizeof(bits) == sizeof(float));
    std::memcpy(&bits, &motionWeights.lane[0], sizeof(bits));
    putLittleEndian(bytes, bits, 4);
    for (int32_t measure : weightMeasures(m)) {
      // Every neighbour equal: the measure is the value itself.
      for (int row = 0; row < 3; ++row)
        diff[static_cast<size_t>(row * kWeightPitch + 1)] = static_cast<int16_t>(measure);
      MotionRowScalar(diff.data() + kWeightPitch + 1, map, 1, kWeightPitch, motionWeights);
      putLittleEndian(bytes, static_cast<uint16_t>(map[0]), 2);
    }
  }
  std::ofstream out(dir + "/weights.bin", std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace
}  // namespace quillet::windows_test

int main(int argc, char** argv) {
  using namespace quillet::windows_test;
  if (argc != 2) {
    std::fprintf(stderr, "usage: windows_reference DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = writeCases(dir) && writeWeights(dir);
  for (const ClipSpec& clip : kClips) ok = ok && writeClip(dir, clip);
  if (!ok) {
    std::fprintf(stderr, "windows_reference: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
