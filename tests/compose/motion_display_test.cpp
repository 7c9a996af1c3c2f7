#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "compose/compose.h"
#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

// A frame and two maps at their own pitch; `band` rows of the map start at frame row bandTop.
struct DisplayScene {
  int width;
  int height;
  int stride;
  int pitch;
  int bandTop;
  int bandRows;
  std::vector<Pixel> frame;
  std::vector<int16_t> prev;
  std::vector<int16_t> next;

  DisplayScene(int w, int h, int frameStride, int mapPitch, int top, int rows)
      : width(w),
        height(h),
        stride(frameStride),
        pitch(mapPitch),
        bandTop(top),
        bandRows(rows),
        frame(static_cast<size_t>(h * frameStride)),
        prev(static_cast<size_t>((rows > 0 ? rows : 0) * mapPitch + mapPitch)),
        next(prev.size()) {
    test::Prng prng(test::testSeed());
    for (auto& p : frame) p = Pixel{prng.sample(32767), prng.sample(32767), prng.sample(32767)};
  }

  Pixel& at(int row, int x) { return frame[static_cast<size_t>(row * stride + x)]; }
  int16_t& prevAt(int mapRow, int x) { return prev[static_cast<size_t>(mapRow * pitch + x)]; }
  int16_t& nextAt(int mapRow, int x) { return next[static_cast<size_t>(mapRow * pitch + x)]; }

  void run(int mode, const int16_t* nextMap = nullptr) {
    MotionDisplay(stride, bandRows, frame.data() + bandTop * stride, prev.data(),
                  nextMap != nullptr ? nextMap : next.data(), mode, width, pitch);
  }
};

bool samePixel(const Pixel& a, const Pixel& b) {
  return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

TEST(MotionDisplayTest, PaintsWeightIntoColourAndKeepsY) {
  struct Case {
    int16_t weight, cb, cr;
  };
  // Hand-computed: Cb = (m * 3435) >> 13, Cr = (m * 2231) >> 13.
  const Case cases[] = {{0, 0, 0},        {4096, 1717, 1115}, {1, 0, 0},         {3, 1, 0},
                        {1000, 419, 272}, {2048, 858, 557},   {4095, 1717, 1115}};
  const int n = static_cast<int>(std::size(cases));
  DisplayScene s(n, 3, n + 2, 16, 1, 1);
  for (int x = 0; x < n; ++x) s.prevAt(0, x) = cases[x].weight;
  const std::vector<Pixel> before = s.frame;
  s.run(0);
  for (int x = 0; x < n; ++x) {
    SCOPED_TRACE(::testing::Message() << "weight " << cases[x].weight);
    EXPECT_EQ(s.at(1, x).cb, cases[x].cb);
    EXPECT_EQ(s.at(1, x).cr, cases[x].cr);
    EXPECT_EQ(s.at(1, x).y, before[static_cast<size_t>(s.stride + x)].y);
  }
}

TEST(MotionDisplayTest, SelectsWeightByMode) {
  struct Case {
    int mode;
    int16_t prev, next, cb;
  };
  const Case cases[] = {{0, 4096, 0, 1717}, {0, 0, 4096, 0},       {1, 0, 4096, 0},
                        {1, 4096, 0, 0},    {1, 4096, 4096, 1717}, {2, 0, 4096, 1717},
                        {2, 4096, 0, 1717}, {2, 0, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "mode " << c.mode << " prev " << c.prev << " next " << c.next);
    DisplayScene s(4, 1, 4, 16, 0, 1);
    for (int x = 0; x < 4; ++x) {
      s.prevAt(0, x) = c.prev;
      s.nextAt(0, x) = c.next;
    }
    s.run(c.mode);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(s.at(0, x).cb, c.cb) << "x " << x;
  }
}

TEST(MotionDisplayTest, ModeZeroDoesNotReadNextMap) {
  test::PageEndBuffer unreadable(0);
  DisplayScene s(5, 2, 5, 16, 0, 2);
  for (int r = 0; r < 2; ++r) {
    for (int x = 0; x < 5; ++x) s.prevAt(r, x) = 4096;
  }
  s.run(0, unreadable.as<int16_t>());
  for (int r = 0; r < 2; ++r) {
    for (int x = 0; x < 5; ++x) EXPECT_EQ(s.at(r, x).cr, 1115) << r << "," << x;
  }
}

// Map row r lies r * pitch values into the map, not r * stride; the values between the width
// and the pitch are never used.
TEST(MotionDisplayTest, ReadsMapRowsAtMapPitch) {
  DisplayScene s(5, 4, 5, 16, 1, 3);
  for (int r = 0; r < 3; ++r) {
    for (int x = 0; x < 16; ++x) {
      s.prevAt(r, x) = x < 5 ? static_cast<int16_t>(r % 2 * 4096) : int16_t{2048};
    }
  }
  s.run(0);
  for (int r = 0; r < 3; ++r) {
    for (int x = 0; x < 5; ++x) EXPECT_EQ(s.at(1 + r, x).cb, r % 2 * 1717) << r << "," << x;
  }
}

TEST(MotionDisplayTest, ChangesNothingOutsideBandWidthOrModes) {
  struct Case {
    int width, bandTop, bandRows, mode;
  };
  const Case cases[] = {{6, 1, 2, 0},  {6, 0, 4, 2}, {6, 2, 0, 1}, {0, 1, 2, 0},
                        {-2, 1, 2, 1}, {6, 1, 2, 3}, {6, 1, 2, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "width " << c.width << " band " << c.bandTop << "+"
                                      << c.bandRows << " mode " << c.mode);
    DisplayScene s(c.width, 4, 9, 16, c.bandTop, c.bandRows);
    std::fill(s.prev.begin(), s.prev.end(), int16_t{4096});
    std::fill(s.next.begin(), s.next.end(), int16_t{4096});
    const std::vector<Pixel> before = s.frame;
    s.run(c.mode);
    const bool modeValid = c.mode >= 0 && c.mode <= 2;
    for (int r = 0; r < s.height; ++r) {
      for (int x = 0; x < s.stride; ++x) {
        const Pixel& old = before[static_cast<size_t>(r * s.stride + x)];
        const bool painted =
            modeValid && r >= c.bandTop && r < c.bandTop + c.bandRows && x < c.width;
        const Pixel want = painted ? Pixel{old.y, 1717, 1115} : old;
        EXPECT_TRUE(samePixel(s.at(r, x), want)) << "row " << r << " x " << x;
      }
    }
  }
}

}  // namespace
}  // namespace quillet
