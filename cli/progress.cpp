#include "cli/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

namespace quillet {
namespace {

constexpr auto kMinInterval = std::chrono::milliseconds(100);

std::string clockText(double seconds) {
  const auto s = static_cast<int64_t>(std::llround(std::max(seconds, 0.0)));
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%" PRId64 ":%02d:%02d", s / 3600, static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
  } else {
    std::snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
  }
  return buf;
}

}  // namespace

int64_t estimateY4mFrames(uint64_t fileBytes, uint64_t headerBytes, uint64_t frameBytes) {
  if (frameBytes == 0 || fileBytes < headerBytes) return -1;
  return static_cast<int64_t>((fileBytes - headerBytes) / (frameBytes + 6));
}

std::string formatProgress(int64_t done, int64_t total, double elapsedSeconds, int64_t passed) {
  // Appended piece by piece: GCC 12 misreads `"literal" + std::string` under -O3 (-Wrestrict).
  std::string s = "frame ";
  s += std::to_string(done);
  if (total >= 0) {
    s += '/';
    s += std::to_string(total);
  }
  if (passed >= 0) {
    s += "  ";
    s += std::to_string(done - passed);
    s += " filtered, ";
    s += std::to_string(passed);
    s += " passed";
  }
  const double fps = elapsedSeconds > 0 ? static_cast<double>(done) / elapsedSeconds : 0.0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "  %.1f fps", fps);
  s += buf;
  s += "  elapsed ";
  s += clockText(elapsedSeconds);
  if (total >= 0 && fps > 0 && done <= total) {
    s += "  ETA ";
    s += clockText(static_cast<double>(total - done) / fps);
  }
  return s;
}

ProgressLine::ProgressLine(std::FILE* out, int64_t total, bool enabled, Clock::time_point start)
    : out_(out), total_(total), enabled_(enabled), start_(start), lastWrite_(start) {}

void ProgressLine::update(int64_t done, Clock::time_point now) {
  if (!enabled_ || finished_) return;
  if (wroteOnce_ && now - lastWrite_ < kMinInterval) return;
  write(done, now);
}

void ProgressLine::finish(int64_t done, Clock::time_point now) {
  if (!enabled_ || finished_) return;
  write(done, now);
  std::fputc('\n', out_);
  std::fflush(out_);
  finished_ = true;
}

void ProgressLine::write(int64_t done, Clock::time_point now) {
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::string text = formatProgress(done, total_, elapsed, passed_);
  const size_t length = text.size();
  // Blank out what is left of a longer previous line; no terminal control sequences needed.
  if (length < lastLength_) text.append(lastLength_ - length, ' ');
  std::fprintf(out_, "\r%s", text.c_str());
  std::fflush(out_);
  lastLength_ = length;
  lastWrite_ = now;
  wroteOnce_ = true;
  ++writes_;
}

}  // namespace quillet
