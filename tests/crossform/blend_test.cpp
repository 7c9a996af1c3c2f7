#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "compose/compose.h"
#include "motion/motion_state.h"
#include "tests/support/form_test.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

using test::KernelForm;
using test::PageEndBuffer;
using test::Prng;

// Where the frames and maps sit: slack pixels past the width in every frame row, bytes after
// the last pixel of the last row (they move the start off 16-byte alignment and are canaries),
// and extra values of map pitch beyond the smallest the motion buffers allow.
struct Layout {
  int strideSlack;
  size_t tailBytes;
  int extraPitch;
};
// clang-format off
const Layout kLayouts[] = {
    {0, 0, 0},   // last pixel of each frame at the page end, tightest map pitch
    {3, 2, 0},
    {1, 6, 8},
    {7, 10, 16},
};
// clang-format on

struct Geometry {
  int width;
  int height;
  int bandTop;
  int bandEnd;
};

// Samples and weights for one case. Frame samples and in-width weights come from the fill;
// map values past the width (inside the pitch) are full-range noise the forms must ignore.
struct Fill {
  const char* name;
  std::function<int16_t(Prng&, int x)> filtered;
  std::function<int16_t(Prng&, int x)> source;
  std::function<int16_t(Prng&, int x)> weight;
};

int16_t anySample(Prng& prng, int) { return static_cast<int16_t>(prng.range(-32768, 32767)); }
int16_t anyWeight(Prng& prng, int) { return static_cast<int16_t>(prng.range(0, 4096)); }
auto constant(int16_t v) {
  return [v](Prng&, int) { return v; };
}
auto alternating(int16_t even, int16_t odd) {
  return [even, odd](Prng&, int x) { return x % 2 == 0 ? even : odd; };
}

// The frames and maps of one case: frames at page ends (plus the tail bytes), maps of n rows
// at the pitch at page ends, so any access past the last row of either faults.
struct Scene {
  Geometry g;
  int stride;
  int pitch;
  size_t frameBytes;
  size_t tailBytes;
  std::unique_ptr<PageEndBuffer> source, filtered, prev, next;

  Scene(const Geometry& geometry, const Layout& layout)
      : g(geometry),
        stride(geometry.width + layout.strideSlack),
        pitch(mapPitchFor(stride) + layout.extraPitch),
        frameBytes(static_cast<size_t>(
                       geometry.height > 0 ? (geometry.height - 1) * stride + geometry.width : 0) *
                   sizeof(Pixel)),
        tailBytes(layout.tailBytes) {
    const size_t mapBytes = static_cast<size_t>(bandRows() * pitch) * sizeof(int16_t);
    source = std::make_unique<PageEndBuffer>(frameBytes + tailBytes);
    filtered = std::make_unique<PageEndBuffer>(frameBytes + tailBytes);
    prev = std::make_unique<PageEndBuffer>(mapBytes);
    next = std::make_unique<PageEndBuffer>(mapBytes);
  }

  int bandRows() const { return g.bandEnd > g.bandTop ? g.bandEnd - g.bandTop : 0; }
  size_t framePixels() const { return frameBytes / sizeof(Pixel); }
  size_t mapValues() const { return prev->size() / sizeof(int16_t); }

  void fill(const Fill& f, Prng& prng) {
    auto fillFrame = [&](PageEndBuffer& buf, const std::function<int16_t(Prng&, int)>& gen) {
      auto* samples = buf.as<int16_t>();
      for (size_t i = 0; i < framePixels() * kSamplesPerPixel; ++i) {
        const int x = static_cast<int>(i / kSamplesPerPixel % static_cast<size_t>(stride));
        samples[i] = gen(prng, x);
      }
      std::memset(buf.data() + frameBytes, test::kCanaryByte, tailBytes);
    };
    fillFrame(*source, f.source);
    fillFrame(*filtered, f.filtered);
    for (PageEndBuffer* map : {prev.get(), next.get()}) {
      auto* values = map->as<int16_t>();
      for (size_t i = 0; i < mapValues(); ++i) {
        const int x = static_cast<int>(i % static_cast<size_t>(pitch));
        values[i] = x < g.width ? f.weight(prng, x) : anySample(prng, x);
      }
    }
  }
};

std::vector<uint8_t> bytesOf(const PageEndBuffer& buf, size_t n) {
  return std::vector<uint8_t>(buf.data(), buf.data() + n);
}

void copyBytes(void* to, const std::vector<uint8_t>& from, size_t n) {
  if (n > 0) std::memcpy(to, from.data(), n);
}

void runStage(RowStage stage, Pixel* dst, const Pixel* src, int16_t* prevMap, int16_t* nextMap,
              const Geometry& g, int stride, int pitch, int mode) {
  NeighbourSlot prevSlot{prevMap, 1, g.width, g.height, g.bandTop, g.bandEnd};
  NeighbourSlot nextSlot{nextMap, 2, g.width, g.height, g.bandTop, g.bandEnd};
  NeighbourSlot* slots[2] = {&prevSlot, &nextSlot};
  RowJob job{};
  job.source = const_cast<Pixel*>(src);
  job.other = dst;
  job.selector = mode;
  job.height = g.height;
  job.width = g.width;
  job.stride = stride;
  job.bandTop = g.bandTop;
  job.bandEnd = g.bandEnd;
  MotionState maps{};
  maps.pitch = pitch;
  RowCounters counters;
  job.counters = &counters;
  job.motion = &maps;
  stage(0, 1, &job, slots);
}

// Where a differing pixel lies relative to what the stage may write.
const char* regionOf(const Geometry& g, int row, int x) {
  if (row < g.bandTop) return "above band";
  if (row >= g.bandEnd) return "below band";
  if (x >= g.width) return "past width";
  return "value";
}

// Compares the form's frame with the reference: mismatches inside the band and width are
// value errors, any others overwrites, counted per region, with a grid around the first.
::testing::AssertionResult sameFrame(const Scene& s, const Pixel* want, const Pixel* got) {
  std::map<std::string, int> counts;
  int firstRow = -1, firstX = -1;
  std::ostringstream detail;
  for (size_t i = 0; i < s.framePixels(); ++i) {
    if (std::memcmp(&want[i], &got[i], sizeof(Pixel)) == 0) continue;
    const int row = static_cast<int>(i / static_cast<size_t>(s.stride));
    const int x = static_cast<int>(i % static_cast<size_t>(s.stride));
    const char* region = regionOf(s.g, row, x);
    if (counts[region]++ < 3) {
      detail << "  " << region << " row " << row << " x " << x << ": want (" << want[i].y << ","
             << want[i].cb << "," << want[i].cr << ") got (" << got[i].y << "," << got[i].cb << ","
             << got[i].cr << ")\n";
    }
    if (firstRow < 0) {
      firstRow = row;
      firstX = x;
    }
  }
  if (counts.empty()) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  for (const auto& [region, n] : counts) failure << region << ": " << n << " pixels; ";
  failure << "\n"
          << detail.str() << "  grid (X differs, | width) from row " << firstRow - 1 << " x "
          << std::max(firstX - 8, 0) << ":\n";
  for (int row = std::max(firstRow - 1, 0); row <= firstRow + 1 && row < s.g.height; ++row) {
    failure << "  ";
    for (int x = std::max(firstX - 8, 0); x < std::min(firstX + 8, s.stride); ++x) {
      const size_t i = static_cast<size_t>(row * s.stride + x);
      if (x == s.g.width) failure << '|';
      failure << (i >= s.framePixels()                                 ? ' '
                  : std::memcmp(&want[i], &got[i], sizeof(Pixel)) == 0 ? '.'
                                                                       : 'X');
    }
    failure << "\n";
  }
  return failure;
}

class BlendCrossForm : public test::FormTest {
 protected:
  // Runs the scalar stage on copies and the form on the guarded buffers, then checks the
  // frames agree bit for bit, nothing outside the frames was written, the inputs are
  // unchanged and the MMX state is empty.
  void check(const Geometry& g, const Layout& layout, const Fill& fill, int mode, Prng& prng) {
    SCOPED_TRACE(::testing::Message()
                 << "fill " << fill.name << " mode " << mode << " width " << g.width << " height "
                 << g.height << " band " << g.bandTop << ".." << g.bandEnd << " stride slack "
                 << layout.strideSlack << " tail " << layout.tailBytes << " extra pitch "
                 << layout.extraPitch << " seed " << test::testSeed());
    Scene s(g, layout);
    s.fill(fill, prng);

    const auto sourceBefore = bytesOf(*s.source, s.frameBytes + s.tailBytes);
    const auto filteredBefore = bytesOf(*s.filtered, s.frameBytes + s.tailBytes);
    const auto prevBefore = bytesOf(*s.prev, s.prev->size());
    const auto nextBefore = bytesOf(*s.next, s.next->size());

    std::vector<Pixel> want(s.framePixels() + 1);
    std::vector<Pixel> wantSource(s.framePixels() + 1);
    std::vector<int16_t> wantPrev(s.mapValues() + 1), wantNext(s.mapValues() + 1);
    copyBytes(want.data(), filteredBefore, s.frameBytes);
    copyBytes(wantSource.data(), sourceBefore, s.frameBytes);
    copyBytes(wantPrev.data(), prevBefore, prevBefore.size());
    copyBytes(wantNext.data(), nextBefore, nextBefore.size());
    runStage(BlendStageScalar, want.data(), wantSource.data(), wantPrev.data(), wantNext.data(), g,
             s.stride, s.pitch, mode);

    test::dirtyMmxState();
    runStage(form().blendStage, s.filtered->as<Pixel>(), s.source->as<Pixel>(),
             s.prev->as<int16_t>(), s.next->as<int16_t>(), g, s.stride, s.pitch, mode);
    EXPECT_TRUE(test::mmxStateEmpty()) << "MMX state left in use";

    EXPECT_TRUE(sameFrame(s, want.data(), s.filtered->as<Pixel>()));
    for (size_t i = s.frameBytes; i < s.frameBytes + s.tailBytes; ++i) {
      ASSERT_EQ(s.filtered->data()[i], test::kCanaryByte) << "write past the frame, byte " << i;
    }
    EXPECT_TRUE(s.filtered->leadIntact()) << "write before the frame";
    EXPECT_TRUE(bytesOf(*s.source, s.frameBytes + s.tailBytes) == sourceBefore) << "source changed";
    EXPECT_TRUE(s.source->leadIntact()) << "write before the source";
    EXPECT_TRUE(bytesOf(*s.prev, s.prev->size()) == prevBefore) << "previous map changed";
    EXPECT_TRUE(bytesOf(*s.next, s.next->size()) == nextBefore) << "next map changed";
    EXPECT_TRUE(s.prev->leadIntact() && s.next->leadIntact()) << "write before a map";
  }
};

std::vector<int> testWidths() {
  std::vector<int> widths;
  for (int w = 0; w <= 17; ++w) widths.push_back(w);
  // 8k, 16k and 32k pixels, each one either side.
  for (int k : {3, 4, 6, 8}) {
    widths.push_back(8 * k - 1);
    widths.push_back(8 * k);
    widths.push_back(8 * k + 1);
  }
  widths.push_back(1923);
  return widths;
}

TEST_P(BlendCrossForm, MatchesScalarOnRandomFramesAndWeights) {
  const Fill fill{"random", anySample, anySample, anyWeight};
  Prng prng(test::testSeed());
  for (int mode = 0; mode < 3; ++mode) {
    for (int width : testWidths()) {
      for (const Layout& layout : kLayouts) check({width, 4, 1, 4}, layout, fill, mode, prng);
    }
  }
}

TEST_P(BlendCrossForm, MatchesScalarOnExtremeFills) {
  // clang-format off
  const Fill fills[] = {
      {"max over min, weight 0",      constant(32767), constant(-32768), constant(0)},
      {"max over min, weight 4096",   constant(32767), constant(-32768), constant(4096)},
      {"min over max, weight 2048",   constant(-32768), constant(32767), constant(2048)},
      {"min over max, weights 0/4096", constant(-32768), constant(32767), alternating(0, 4096)},
      {"alternating, random weights", alternating(32767, -32768), alternating(-32768, 32767),
       anyWeight},
      {"random samples, weights 1/4095", anySample, anySample, alternating(1, 4095)},
  };
  // clang-format on
  const int widths[] = {1, 3, 4, 5, 8, 15, 16, 17, 33};
  Prng prng(test::testSeed() + 1);
  for (const Fill& fill : fills) {
    for (int mode = 0; mode < 3; ++mode) {
      for (int width : widths) {
        check({width, 3, 0, 3}, kLayouts[0], fill, mode, prng);
        check({width, 3, 0, 3}, kLayouts[3], fill, mode, prng);
      }
    }
  }
}

TEST_P(BlendCrossForm, MatchesScalarForAnyBand) {
  // clang-format off
  const Geometry bands[] = {
      {13, 5, 2, 2}, {13, 5, 0, 1}, {13, 5, 4, 5}, {16, 5, 1, 3}, {19, 6, 2, 5},
      {19, 9, 0, 9}, {16, 9, 3, 9}, {13, 12, 2, 10}, {5, 0, 0, 0},
  };
  // clang-format on
  const Fill fill{"random", anySample, anySample, anyWeight};
  Prng prng(test::testSeed() + 2);
  for (const Geometry& g : bands) {
    for (int mode = 0; mode < 3; ++mode) {
      for (const Layout& layout : kLayouts) check(g, layout, fill, mode, prng);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, BlendCrossForm,
                         ::testing::ValuesIn(test::formsWith(&KernelForm::blendStage)),
                         test::FormName());

// Every stage above SSE2 against the SSE2 stage with weights anywhere in the 16-bit range,
// outside 0..4096 too, where neither agrees with the scalar stage: the same bytes, frame and tail.
class BlendAboveSse2 : public test::FormTest {};

TEST_P(BlendAboveSse2, MatchesSse2ForAnyWeight) {
  const Fill fill{"any weight", anySample, anySample, anySample};
  Prng prng(test::testSeed() + 3);
  for (int mode = 0; mode < 3; ++mode) {
    for (int width : testWidths()) {
      for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(::testing::Message()
                     << "mode " << mode << " width " << width << " stride slack "
                     << layout.strideSlack << " seed " << test::testSeed());
        const Geometry g{width, 3, 0, 3};
        Scene s(g, layout);
        s.fill(fill, prng);
        const size_t bytes = s.frameBytes + s.tailBytes;
        const auto before = bytesOf(*s.filtered, bytes);
        runStage(BlendStageSse2, s.filtered->as<Pixel>(), s.source->as<Pixel>(),
                 s.prev->as<int16_t>(), s.next->as<int16_t>(), g, s.stride, s.pitch, mode);
        const auto sse2 = bytesOf(*s.filtered, bytes);
        copyBytes(s.filtered->data(), before, bytes);
        runStage(form().blendStage, s.filtered->as<Pixel>(), s.source->as<Pixel>(),
                 s.prev->as<int16_t>(), s.next->as<int16_t>(), g, s.stride, s.pitch, mode);
        EXPECT_TRUE(
            sameFrame(s, reinterpret_cast<const Pixel*>(sse2.data()), s.filtered->as<Pixel>()));
        EXPECT_TRUE(bytesOf(*s.filtered, bytes) == sse2) << "bytes past the frame differ";
      }
    }
  }
}

std::vector<KernelForm> formsAboveSse2() {
  std::vector<KernelForm> forms;
  for (const KernelForm& form : test::formsWith(&KernelForm::blendStage)) {
    if (form.level > kCpuSse2) forms.push_back(form);
  }
  return forms;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(BlendAboveSse2);
INSTANTIATE_TEST_SUITE_P(Forms, BlendAboveSse2, ::testing::ValuesIn(formsAboveSse2()),
                         test::FormName());

}  // namespace
}  // namespace quillet
