#include "tests/support/woven_clip.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>

namespace quillet::test {

namespace {

using Luma = std::vector<uint8_t>;
// A progressive picture of the content at time t (in field steps).
using Scene = std::function<void(double t, Luma& luma)>;

uint8_t clamp8(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// A deterministic hash of a position, 0..255.
uint32_t hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ seed * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h & 255u;
}

struct Canvas {
  int32_t w;
  int32_t h;
  // A smooth background with a still patch of fine detail (a one-row stripe and pixel checker).
  double background(int32_t x, int32_t y) const {
    const bool patch = x > w / 16 && x < w / 4 && y > h / 12 && y < h / 3;
    if (patch) return ((x + y) & 1) != 0 ? 70.0 : 180.0;
    return 60.0 + 100.0 * x / w + 40.0 * std::sin(y * 0.05);
  }
  // A textured box of side `size` at (cx, cy); value or -1 outside.
  static double sprite(double px, double py, double cx, double cy, double size, uint32_t seed) {
    const double dx = px - cx;
    const double dy = py - cy;
    if (std::abs(dx) > size / 2 || std::abs(dy) > size / 2) return -1;
    const auto tx = static_cast<uint32_t>(std::floor(dx / 4 + 64));
    const auto ty = static_cast<uint32_t>(std::floor(dy / 4 + 64));
    return 30.0 + 0.7 * hash(tx, ty, seed);
  }
};

Scene spritesScene(const Canvas& c, double speed) {
  return [c, speed](double t, Luma& luma) {
    for (int32_t y = 0; y < c.h; ++y) {
      for (int32_t x = 0; x < c.w; ++x) {
        double v = c.background(x, y);
        const double s1 =
            Canvas::sprite(x, y, std::fmod(20 + 3.0 * speed * t, c.w), c.h * 0.6, c.h / 4.0, 1);
        const double s2 =
            Canvas::sprite(x, y, c.w * 0.7, std::fmod(10 + 2.0 * speed * t, c.h), c.h / 6.0, 2);
        const double s3 =
            Canvas::sprite(x, y, c.w * 0.4 + 1.0 * speed * t, c.h * 0.3, c.h / 8.0, 3);
        for (double s : {s1, s2, s3})
          if (s >= 0) v = s;
        luma[static_cast<size_t>(y * c.w + x)] = clamp8(v);
      }
    }
  };
}

Scene zoomScene(const Canvas& c, double speed) {
  return [c, speed](double t, Luma& luma) {
    const double scale = 1.0 + 0.04 * speed * std::fmod(t, 24.0);
    for (int32_t y = 0; y < c.h; ++y) {
      for (int32_t x = 0; x < c.w; ++x) {
        const double dx = (x - c.w / 2.0) / scale;
        const double dy = (y - c.h / 2.0) / scale;
        const double r = std::sqrt(dx * dx + dy * dy);
        const double v = 128 + 80 * std::sin(r / 3.0) * std::cos(std::atan2(dy, dx) * 6);
        luma[static_cast<size_t>(y * c.w + x)] = clamp8(v);
      }
    }
  };
}

// One-row stripes everywhere; a sprite moves over them when speed is not 0.
Scene stripesScene(const Canvas& c, double speed) {
  return [c, speed](double t, Luma& luma) {
    for (int32_t y = 0; y < c.h; ++y) {
      for (int32_t x = 0; x < c.w; ++x) {
        double v = (y & 1) != 0 ? 40.0 : 200.0;
        if (speed != 0) {
          const double s =
              Canvas::sprite(x, y, c.w * 0.3 + 3.0 * speed * t, c.h * 0.5, c.h / 3.0, 4);
          if (s >= 0) v = s;
        }
        luma[static_cast<size_t>(y * c.w + x)] = clamp8(v);
      }
    }
  };
}

Scene noiseScene(const Canvas& c, double speed) {
  const Scene base = spritesScene(c, speed);
  return [c, base](double t, Luma& luma) {
    base(t, luma);
    const auto seed = static_cast<uint32_t>(std::lround(t * 7 + 11));
    for (int32_t y = 0; y < c.h; ++y) {
      for (int32_t x = 0; x < c.w; ++x) {
        uint8_t& v = luma[static_cast<size_t>(y * c.w + x)];
        // Roughly Gaussian, sigma near 5.
        const double n =
            (static_cast<double>(hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y), seed)) +
             hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y), seed + 1) - 255) /
            14.0;
        v = clamp8(v + n);
      }
    }
  };
}

// Cuts between three scenes every 5 steps of the source time.
Scene cutsScene(const Canvas& c, double speed) {
  const Scene scenes[] = {spritesScene(c, speed), stripesScene(c, 0), zoomScene(c, speed)};
  return [scenes](double t, Luma& luma) {
    const auto shot = static_cast<size_t>(std::floor(t / 5.0)) % 3;
    scenes[shot](t, luma);
  };
}

// The sprites fading out to black and in again over 24 steps.
Scene fadesScene(const Canvas& c, double speed) {
  const Scene base = spritesScene(c, speed);
  return [base](double t, Luma& luma) {
    base(t, luma);
    const double gain = std::abs(std::cos(t * 3.14159265358979 / 24.0));
    for (uint8_t& v : luma) v = clamp8(v * gain);
  };
}

}  // namespace

std::vector<WovenFrame> makeWovenClip(int32_t width, int32_t height, int framesPerKind) {
  const Canvas canvas{width, height};
  struct Kind {
    const char* name;
    Scene (*make)(const Canvas&, double);
  };
  const Kind kinds[] = {{"sprites", spritesScene}, {"zoom", zoomScene}, {"stripes", stripesScene},
                        {"noise", noiseScene},     {"cuts", cutsScene}, {"fades", fadesScene}};
  const auto pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  const size_t chroma = pixels / 2;
  std::vector<WovenFrame> clip;
  Luma a(pixels), b(pixels);
  for (const Kind& kind : kinds) {
    // Sections of a quarter each: progressive, woven, progressive still, woven; the third
    // quarter's content stands still, in the woven quarter that follows it moves.
    const int quarter = std::max(1, framesPerKind / 4);
    double t = 0;
    for (int f = 0; f < framesPerKind; ++f) {
      const int section = std::min(3, f / quarter);
      const bool woven = section == 1 || section == 3;
      const bool still = section == 2 || (kind.make == stripesScene && !woven);
      const double speed = still ? 0.0 : 1.0;
      const Scene scene = kind.make(canvas, speed);
      WovenFrame frame;
      frame.kind = kind.name;
      frame.payload.assign(pixels + chroma, 128);
      scene(t, a);
      if (woven) {
        scene(t + 1, b);
        for (int32_t y = 1; y < height; y += 2) {
          std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(y) * width, width,
                      a.begin() + static_cast<std::ptrdiff_t>(y) * width);
        }
        // Whether the fields differ anywhere, judged from the two pictures.
        Luma whole(pixels);
        scene(t, whole);
        frame.truth = whole == b ? Truth::kWovenStill : Truth::kWoven;
        t += 2;
      } else {
        t += 1;
      }
      std::copy(a.begin(), a.end(), frame.payload.begin());
      clip.push_back(std::move(frame));
    }
  }
  return clip;
}

}  // namespace quillet::test
