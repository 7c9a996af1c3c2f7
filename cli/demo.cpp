#include "cli/demo.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <thread>

#include "cli/preview.h"
#include "formats/sample_scale.h"

namespace quillet {
namespace {

// Video-range colour: Y 0..1 black..white, Cb and Cr -0.5..0.5.
struct Colour {
  double y;
  double cb;
  double cr;
};

Colour mix(const Colour& under, const Colour& over, double alpha) {
  return {under.y + (over.y - under.y) * alpha, under.cb + (over.cb - under.cb) * alpha,
          under.cr + (over.cr - under.cr) * alpha};
}

// The scene at one field instant t (in fields).
struct Scene {
  Scene(double t, int32_t width, int32_t height, int32_t frames)
      : w(width), h(height), time(t), radius(h * 0.16) {
    const double fields = 2.0 * frames;
    cx = w * 0.12 + (w * 0.76) * t / fields;
    cy = h * 0.55 + h * 0.08 * std::sin(t * 0.13);
  }

  // The colour at the centre of pixel (px, py).
  Colour at(int32_t px, int32_t py) const {
    const double x = px + 0.5;
    const double y = py + 0.5;
    // Still background: a soft vertical ramp.
    Colour c{0.22 + 0.22 * y / h, 0.05, -0.03};

    // Still detail: a chart of thin horizontal lines (1, 2 and 3 rows thick) and a
    // checkerboard. A plain vertical low-pass would wipe the finest lines out; here they stay.
    if (x >= w * 0.6 && x < w * 0.95 && y >= h * 0.06 && y < h * 0.36) {
      const double band = (y - h * 0.06) / (h * 0.10);
      const int thickness = std::min(static_cast<int>(band) + 1, 3);
      const bool light = (py / thickness) % 2 == 0;
      c = {light ? 0.85 : 0.15, 0.0, 0.0};
      if (x >= w * 0.85) {
        const bool square = ((px / 8) + (py / 8)) % 2 == 0;
        c = {square ? 0.9 : 0.1, 0.0, 0.0};
      }
    }

    // A ringed disc crossing the frame with a slow bob.
    if (std::abs(x - cx) < radius + 1 && std::abs(y - cy) < radius + 1) {
      const double r = std::hypot(x - cx, y - cy);
      const double alpha = std::clamp(radius - r + 0.5, 0.0, 1.0);
      if (alpha > 0) c = mix(c, {0.55 + 0.35 * std::cos(r * 0.45), -0.14, 0.2}, alpha);
    }

    // A ticker of soft bars scrolling left.
    if (y >= h * 0.82 && y < h * 0.94) {
      const double phase = 2 * std::numbers::pi * (x + time * 5.0) / 28.0;
      c = {0.5 + 0.38 * std::sin(phase), 0.12, -0.12};
    }
    return c;
  }

  double w;
  double h;
  double time;
  double radius;
  double cx = 0;
  double cy = 0;
};

uint8_t lumaCode(double y) {
  return static_cast<uint8_t>(std::clamp(std::lrint(16 + 219 * y), 1L, 254L));
}
uint8_t chromaCode(double c) {
  return static_cast<uint8_t>(std::clamp(std::lrint(128 + 224 * c), 1L, 254L));
}

// `mask` grown by `grow` pixels each way (a square neighbourhood).
std::vector<uint8_t> grown(const std::vector<uint8_t>& mask, int32_t width, int32_t height,
                           int32_t grow) {
  std::vector<uint8_t> across(mask.size(), 0);
  std::vector<uint8_t> out(mask.size(), 0);
  const auto at = [width](int32_t x, int32_t y) {
    return static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
  };
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if (!mask[at(x, y)]) continue;
      for (int32_t d = std::max(0, x - grow); d <= std::min(width - 1, x + grow); ++d) {
        across[at(d, y)] = 1;
      }
    }
  }
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      if (!across[at(x, y)]) continue;
      for (int32_t d = std::max(0, y - grow); d <= std::min(height - 1, y + grow); ++d) {
        out[at(x, d)] = 1;
      }
    }
  }
  return out;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Writes frames as a Y4M file; false with `error` set on failure.
bool writeY4mFile(const std::filesystem::path& path, const Y4mFormat& format, char interlace,
                  const std::vector<std::vector<uint8_t>>& payloads, std::string& error) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "wb"));
  if (!file) {
    error = "cannot open '" + path.string() + "': " + std::strerror(errno);
    return false;
  }
  try {
    Y4mWriter writer(file.get(), format, interlace);
    for (const auto& payload : payloads) writer.writeFrame(payload.data());
    writer.flush();
  } catch (const OutputError& e) {
    error = "cannot write '" + path.string() + "': " + e.what();
    return false;
  }
  if (std::fclose(file.release()) != 0) {
    error = "cannot write '" + path.string() + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

DemoClip makeDemoClip(int32_t width, int32_t height, int32_t frames) {
  DemoClip demo;
  demo.format.width = width;
  demo.format.height = height;
  demo.format.hasRate = true;
  demo.format.rateNum = 30000;
  demo.format.rateDen = 1001;
  demo.format.hasAspect = true;
  demo.format.aspectNum = 1;
  demo.format.aspectDen = 1;
  demo.format.interlace = 't';
  demo.format.layout = ChromaLayout::k420;
  demo.format.bitDepth = 8;
  demo.format.colourspace = "420jpeg";
  demo.format.extraTokens = {"XCOLORRANGE=LIMITED"};
  demo.clip.width = width;
  demo.clip.height = height;

  const SampleScale scale = makeSampleScale(8);
  const FrameGeometry geometry = frameGeometry(demo.format);
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::vector<Pixel> woven(pixels);
  for (int32_t n = 0; n < frames; ++n) {
    std::vector<uint8_t> moving(pixels, 0);
    const Scene earlier(2.0 * n, width, height, frames);
    const Scene later(2.0 * n + 1, width, height, frames);
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        // Top field first: even rows from the earlier instant.
        const Colour early = earlier.at(x, y);
        const Colour late = later.at(x, y);
        const Colour& c = (y % 2 == 0) ? early : late;
        const size_t i =
            static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
        woven[i] = {scale.lumaToHost[lumaCode(c.y)], scale.chromaToHost[chromaCode(c.cb)],
                    scale.chromaToHost[chromaCode(c.cr)]};
        moving[i] = lumaCode(early.y) != lumaCode(late.y) ? 1 : 0;
      }
    }
    std::vector<uint8_t> payload(geometry.frameBytes);
    pixelsToY4mFrame(demo.format, scale, woven.data(), width, payload.data());
    std::vector<Pixel> frame(pixels);
    y4mFrameToPixels(demo.format, scale, payload.data(), frame.data(), width);
    demo.payloads.push_back(std::move(payload));
    demo.clip.frames.push_back(std::move(frame));
    demo.moving.push_back(std::move(moving));
  }
  return demo;
}

CombingSum combingOf(const std::vector<Pixel>& frame, int32_t width, int32_t height,
                     const std::vector<uint8_t>& mask) {
  CombingSum sum;
  const auto w = static_cast<size_t>(width);
  for (int32_t y = 1; y + 1 < height; ++y) {
    const size_t row = static_cast<size_t>(y) * w;
    for (size_t x = 0; x < w; ++x) {
      if (!mask[row + x]) continue;
      const double a = (2.0 * frame[row + x].y - frame[row - w + x].y - frame[row + w + x].y) / 4.0;
      sum.energy += a * a;
      ++sum.pixels;
    }
  }
  return sum;
}

double meanCombing(const standin::Clip& clip, const std::vector<std::vector<uint8_t>>& masks) {
  CombingSum total;
  for (size_t n = 0; n < clip.frames.size() && n < masks.size(); ++n) {
    const CombingSum s = combingOf(clip.frames[n], clip.width, clip.height, masks[n]);
    total.energy += s.energy;
    total.pixels += s.pixels;
  }
  return total.pixels > 0 ? total.energy / static_cast<double>(total.pixels) : 0.0;
}

int runDemo(const std::string& dir, std::FILE* report, std::FILE* errors, DemoSize size) {
  const auto fail = [errors](const std::string& message) {
    std::fprintf(errors, "quillet demo: %s\n", message.c_str());
    return 1;
  };
  const std::filesystem::path out(dir);
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (ec) return fail("cannot create '" + dir + "': " + ec.message());

  const DemoClip demo = makeDemoClip(size.width, size.height, size.frames);
  standin::HostConfig config;
  config.width = size.width;
  config.height = size.height;
  config.threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));

  const auto start = std::chrono::steady_clock::now();
  standin::RunResult result;
  const standin::Clip filtered = standin::filterClip(config, demo.clip, {}, &result);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result.status != standin::RunResult::Status::kDone ||
      filtered.frames.size() != demo.clip.frames.size()) {
    return fail("the filter failed on frame " + std::to_string(result.frame));
  }

  const SampleScale scale = makeSampleScale(8);
  std::vector<std::vector<uint8_t>> outPayloads;
  for (const auto& frame : filtered.frames) {
    std::vector<uint8_t> payload(frameGeometry(demo.format).frameBytes);
    pixelsToY4mFrame(demo.format, scale, frame.data(), size.width, payload.data());
    outPayloads.push_back(std::move(payload));
  }
  std::string error;
  if (!writeY4mFile(out / "input.y4m", demo.format, 't', demo.payloads, error) ||
      !writeY4mFile(out / "output.y4m", demo.format, 'p', outPayloads, error)) {
    return fail(error);
  }

  // Preview of a frame in the middle, with the weights the filter used there.
  const int32_t shown = size.frames / 2;
  const bool preview = pngSupported();
  if (preview) {
    PreviewCapture capture(shown, size.width, size.height);
    for (size_t n = 0; n < demo.clip.frames.size(); ++n) {
      capture.offerInput(static_cast<int32_t>(n), demo.clip.frames[n].data(), size.width);
      capture.offerOutput(static_cast<int32_t>(n), filtered.frames[n].data(), size.width);
    }
    if (!capture.write(config, previewColourFor(demo.format), (out / "preview.png").string(),
                       error)) {
      return fail(error);
    }
  }

  // Combing where things move; and how much of what stands still came through untouched.
  const double inputCombing = meanCombing(demo.clip, demo.moving);
  const double outputCombing = meanCombing(filtered, demo.moving);
  const size_t pixels = static_cast<size_t>(size.width) * size.height;
  int64_t still = 0;
  int64_t stillKept = 0;
  for (size_t n = 0; n < demo.clip.frames.size(); ++n) {
    std::vector<uint8_t> changing(pixels, 0);
    for (size_t m = n == 0 ? 0 : n - 1; m <= std::min(n + 1, demo.clip.frames.size() - 1); ++m) {
      for (size_t i = 0; i < pixels; ++i) {
        const Pixel& a = demo.clip.frames[n][i];
        const Pixel& b = demo.clip.frames[m][i];
        if (demo.moving[m][i] || a.y != b.y || a.cb != b.cb || a.cr != b.cr) changing[i] = 1;
      }
    }
    const std::vector<uint8_t> near = grown(changing, size.width, size.height, 2);
    for (size_t i = 0; i < pixels; ++i) {
      if (near[i]) continue;
      ++still;
      const Pixel& a = demo.clip.frames[n][i];
      const Pixel& b = filtered.frames[n][i];
      if (a.y == b.y && a.cb == b.cb && a.cr == b.cr) ++stillKept;
    }
  }

  // Host units to 8-bit steps: 219 steps span 4096.
  const double toSteps = (219.0 / 4096.0) * (219.0 / 4096.0);
  const double fps = static_cast<double>(demo.format.rateNum) / demo.format.rateDen;
  std::fprintf(report, "quillet demo: %d frames of %dx%d at %.2f fps, top field first\n",
               size.frames, size.width, size.height, fps);
  std::fprintf(report, "filtered with the default settings in %.2f s (%.1f fps)\n", seconds,
               seconds > 0 ? size.frames / seconds : 0.0);
  std::fprintf(report,
               "combing where things move (mean energy of the vertical alternating component "
               "of Y, in 8-bit steps squared):\n");
  std::fprintf(report, "  input   %8.2f\n", inputCombing * toSteps);
  std::fprintf(report, "  output  %8.2f  (%.1f%% less)\n", outputCombing * toSteps,
               inputCombing > 0 ? 100.0 * (1.0 - outputCombing / inputCombing) : 0.0);
  std::fprintf(
      report, "pixels that stand still, passed through unchanged: %.2f%%\n",
      still > 0 ? 100.0 * static_cast<double>(stillKept) / static_cast<double>(still) : 100.0);
  if (preview) {
    std::fprintf(report, "wrote %s, %s and %s (frame %d: input | output | motion weights)\n",
                 (out / "input.y4m").string().c_str(), (out / "output.y4m").string().c_str(),
                 (out / "preview.png").string().c_str(), shown);
  } else {
    std::fprintf(report, "wrote %s and %s (no preview.png: this build has no PNG support)\n",
                 (out / "input.y4m").string().c_str(), (out / "output.y4m").string().c_str());
  }
  return 0;
}

}  // namespace quillet
