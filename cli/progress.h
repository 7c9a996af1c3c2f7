#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quillet {

// Frames a regular Y4M file of `fileBytes` holds when every frame carries a bare FRAME marker
// (6 bytes) before its payload; -1 when that cannot be told (no payload size, header too big).
int64_t estimateY4mFrames(uint64_t fileBytes, uint64_t headerBytes, uint64_t frameBytes);

// The progress text for `done` frames of `total` (-1 unknown) after `elapsedSeconds`:
// "frame 120/300  45.2 fps  elapsed 0:02  ETA 0:04"; the total and the ETA only when known.
// With `passed` (of the done frames, those that passed unchanged; -1: not told) the split
// follows the count: "frame 120/300  100 filtered, 20 passed  45.2 fps ...".
std::string formatProgress(int64_t done, int64_t total, double elapsedSeconds, int64_t passed = -1);

// One line on a terminal, rewritten in place at most ten times a second.
class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Nothing is written when `enabled` is false.
  ProgressLine(std::FILE* out, int64_t total, bool enabled, Clock::time_point start = Clock::now());

  // Reports `done` frames at `now`; writes only if 100 ms have passed since the last write.
  void update(int64_t done, Clock::time_point now = Clock::now());
  // How many of the frames reported from now on passed unchanged; the line shows the split of
  // filtered and passed frames once this is called.
  void countPassed(int64_t passed) { passed_ = passed; }
  // Writes the final state and ends the line (once; later calls do nothing).
  void finish(int64_t done, Clock::time_point now = Clock::now());

  int64_t linesWritten() const { return writes_; }

 private:
  void write(int64_t done, Clock::time_point now);
  std::FILE* out_;
  int64_t total_;
  int64_t passed_ = -1;
  bool enabled_;
  bool finished_ = false;
  Clock::time_point start_;
  Clock::time_point lastWrite_;
  bool wroteOnce_ = false;
  size_t lastLength_ = 0;
  int64_t writes_ = 0;
};

}  // namespace quillet
