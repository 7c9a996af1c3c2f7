#include "standin/host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "platform/virtual_memory.h"
#include "standin/clip.h"
#include "tests/standin/test_clips.h"

namespace quillet::standin {
namespace {

using test::labelledClip;

// A filter of the test's own behind a registration record: the host must work through the
// record alone. `process` is what the current test wants the process callback to do.
struct FakeFilter {
  static inline std::function<int(FilterTable*, FrameProcInfo*)> process;
  static inline std::vector<int> updateCodes;
  static inline int inits = 0;
  static inline int exits = 0;

  static int HOST_CDECL onProcess(FilterTable* table, FrameProcInfo* info) {
    return process(table, info);
  }
  static int HOST_CDECL onInit(FilterTable*) { return ++inits, 1; }
  static int HOST_CDECL onExit(FilterTable*) { return ++exits, 1; }
  static int HOST_CDECL onUpdate(FilterTable*, int code) {
    updateCodes.push_back(code);
    return 1;
  }

  static const FilterTable* record() {
    static FilterTable table = [] {
      FilterTable t{};
      t.process = &onProcess;
      t.init = &onInit;
      t.exit = &onExit;
      t.update = &onUpdate;
      return t;
    }();
    updateCodes.clear();
    inits = exits = 0;
    return &table;
  }
};

Pixel* fetchOf(FilterTable* table, FrameProcInfo* info, int number, int* w = nullptr,
               int* h = nullptr) {
  return table->services->fetchFrame(table, info->editHandle, number, w, h);
}

// Copies the current frame into the scratch frame and exchanges the two, as a filter that
// changes nothing would.
int copyThrough(FilterTable* table, FrameProcInfo* info) {
  if (table->services->reserveFrameCache(table, info->maxWidth, info->maxHeight, 2, 0) == 0) {
    return 0;
  }
  const Pixel* current = fetchOf(table, info, info->frameNumber, &info->width, &info->height);
  if (current == nullptr) return 0;
  for (int r = 0; r < info->height; ++r) {
    std::memcpy(info->tempFrame + r * info->maxWidth, current + r * info->maxWidth,
                static_cast<size_t>(info->width) * sizeof(Pixel));
  }
  std::swap(info->editFrame, info->tempFrame);
  return 1;
}

HostConfig fakeConfig(const Clip& clip) {
  HostConfig config;
  config.width = clip.width;
  config.height = clip.height;
  config.filter = FakeFilter::record();
  return config;
}

TEST(StandinHost, FetchOutsideTheClipYieldsTheMirroredFrameAndWritesTheSize) {
  struct Case {
    int requested;
    int expected;
    bool besideAnEnd;  // frame -1 or N: asked for while streaming too
  };
  struct ClipCase {
    int32_t frames;
    std::vector<Case> cases;
  };
  const std::vector<ClipCase> clips = {
      {4,
       {{-100, 3, false},
        {-1, 1, true},
        {0, 0, true},
        {2, 2, false},
        {3, 3, true},
        {4, 2, true},
        {99, 0, false}}},
      {1, {{-1, 0, true}, {0, 0, true}, {1, 0, true}}},
  };
  // Load-all (reverse order) reaches every frame; forward streaming only the window, so only
  // the neighbours of the first and last frames are asked for there.
  for (const ClipCase& clipCase : clips) {
    for (const ProcessingOrder order :
         {ProcessingOrder{ProcessingOrder::Kind::kReverse, 0}, ProcessingOrder{}}) {
      const Clip clip = labelledClip(5, 3, clipCase.frames);
      SCOPED_TRACE(toString(order) + ", " + std::to_string(clipCase.frames) + " frames");
      const bool streaming = order.kind == ProcessingOrder::Kind::kForward;
      std::vector<std::string> failures;
      FakeFilter::process = [&](FilterTable* table, FrameProcInfo* info) {
        for (const Case& c : clipCase.cases) {
          const bool atEnd = info->frameNumber == 0 || info->frameNumber == clipCase.frames - 1;
          if (streaming &&
              !(c.besideAnEnd && atEnd && std::abs(c.requested - info->frameNumber) <= 1)) {
            continue;
          }
          int w = -1, h = -1;
          const Pixel* frame = fetchOf(table, info, c.requested, &w, &h);
          const Pixel* quiet = fetchOf(table, info, c.requested);
          if (frame == nullptr || quiet != frame || frame[0].y != c.expected || w != 5 || h != 3) {
            failures.push_back("frame " + std::to_string(c.requested) + " during " +
                               std::to_string(info->frameNumber));
          }
        }
        return copyThrough(table, info);
      };
      ClipSource source(clip);
      ClipSink sink(clip.width, clip.height);
      Host host(fakeConfig(clip));
      const RunResult result = host.run(source, sink, order);
      EXPECT_EQ(result.status, RunResult::Status::kDone);
      EXPECT_TRUE(failures.empty()) << failures.front();
    }
  }
}

TEST(StandinHost, DeliversResultsInFrameOrderWhateverTheProcessingOrder) {
  const Clip clip = labelledClip(4, 2, 9);
  for (const char* name : {"forward", "reverse", "shuffle:1", "shuffle:77"}) {
    SCOPED_TRACE(name);
    const ProcessingOrder order = *parseProcessingOrder(name);
    std::vector<int32_t> processed;
    FakeFilter::process = [&](FilterTable* table, FrameProcInfo* info) {
      processed.push_back(info->frameNumber);
      return copyThrough(table, info);
    };
    ClipSink sink(clip.width, clip.height);
    ClipSource source(clip);
    Host host(fakeConfig(clip));
    const RunResult result = host.run(source, sink, order);
    EXPECT_EQ(result.status, RunResult::Status::kDone);
    EXPECT_EQ(result.framesRead, 9);
    EXPECT_EQ(result.framesWritten, 9);
    EXPECT_EQ(processed, processingSequence(order, 9));
    std::vector<int32_t> frameOrder(9);
    std::iota(frameOrder.begin(), frameOrder.end(), 0);
    EXPECT_EQ(sink.numbers, frameOrder);
    EXPECT_EQ(test::firstDifferentFrame(sink.clip, clip), -1);
  }
}

TEST(StandinHost, ProcessingSequenceIsAPermutationFixedByTheSeed) {
  const std::vector<int32_t> a = processingSequence({ProcessingOrder::Kind::kShuffle, 5}, 50);
  const std::vector<int32_t> b = processingSequence({ProcessingOrder::Kind::kShuffle, 5}, 50);
  const std::vector<int32_t> c = processingSequence({ProcessingOrder::Kind::kShuffle, 6}, 50);
  std::vector<int32_t> sorted = a;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int32_t> identity(50);
  std::iota(identity.begin(), identity.end(), 0);
  EXPECT_EQ(sorted, identity);
  EXPECT_NE(a, identity);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_TRUE(processingSequence({ProcessingOrder::Kind::kShuffle, 5}, 0).empty());
}

TEST(StandinHost, ParsesProcessingOrders) {
  struct Case {
    const char* text;
    bool valid;
    ProcessingOrder order;
  };
  const Case cases[] = {
      {"forward", true, {}},
      {"reverse", true, {ProcessingOrder::Kind::kReverse, 0}},
      {"shuffle:0", true, {ProcessingOrder::Kind::kShuffle, 0}},
      {"shuffle:18446744073709551615", true, {ProcessingOrder::Kind::kShuffle, UINT64_MAX}},
      {"shuffle:18446744073709551616", false, {}},
      {"shuffle:", false, {}},
      {"shuffle:-1", false, {}},
      {"shuffle:+1", false, {}},
      {"shuffle:12x", false, {}},
      {"Forward", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<ProcessingOrder> parsed = parseProcessingOrder(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(*parsed, c.order);
      EXPECT_EQ(toString(*parsed), c.text);
    }
  }
}

// Counts the clip frames the host holds while it runs, through the process-wide count of
// frame buffers less the edit and scratch frames, which the host takes with the first frame.
TEST(StandinHost, ForwardStreamingHoldsAtMostThreeClipFramesAndSeesTheWholeWindow) {
  const Clip clip = labelledClip(6, 4, 40);
  struct Case {
    bool stream;
    int expectedPeak;
  };
  for (const Case c : {Case{true, 3}, Case{false, 40}}) {
    SCOPED_TRACE(c.stream);
    HostConfig config = fakeConfig(clip);
    config.streamForward = c.stream;
    Host host(config);
    const int before = FrameBuffer::liveCount();
    int peak = 0;
    int missing = 0;
    FakeFilter::process = [&](FilterTable* table, FrameProcInfo* info) {
      peak = std::max(peak, FrameBuffer::liveCount() - before - 2);
      for (int n = info->frameNumber - 1; n <= info->frameNumber + 1; ++n) {
        const Pixel* frame = fetchOf(table, info, n);
        const int expected = n < 0 ? 1 : n > 39 ? 38 : n;  // mirrored at the ends
        if (frame == nullptr || frame[0].y != expected) ++missing;
      }
      return copyThrough(table, info);
    };
    ClipSource source(clip);
    ClipSink sink(clip.width, clip.height);
    const RunResult result = host.run(source, sink);
    EXPECT_EQ(result.status, RunResult::Status::kDone);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(peak, c.expectedPeak);
    EXPECT_EQ(host.peakClipFrames(), c.expectedPeak);
    EXPECT_EQ(test::firstDifferentFrame(sink.clip, clip), -1);
  }
}

// Whether one byte can be read, without touching it from this process: a system call that
// reads it fails with EFAULT instead of faulting.
bool readable(const void* byte) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const ssize_t n = write(fds[1], byte, 1);
  close(fds[0]);
  close(fds[1]);
  return n == 1;
}

TEST(StandinHost, PlacesEveryFrameBufferAsTheTestControlsAsk) {
  const Clip clip = labelledClip(7, 5, 3);
  struct Case {
    int32_t maxWidth;
    BufferPlacement placement;
  };
  const Case cases[] = {{8, {0, false}}, {8, {2, false}}, {8, {8, false}}, {9, {14, false}},
                        {7, {0, true}},  {8, {0, true}},  {11, {0, true}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "maxWidth " << c.maxWidth << " offset " << c.placement.offset
                                    << " pageEnd " << c.placement.pageEnd);
    HostConfig config = fakeConfig(clip);
    config.maxWidth = c.maxWidth;
    config.maxHeight = 6;
    config.placement = c.placement;
    const size_t bytes = static_cast<size_t>(c.maxWidth) * 6 * sizeof(Pixel);
    std::vector<std::string> failures;
    const auto check = [&](const Pixel* frame, const char* which) {
      const auto address = reinterpret_cast<uintptr_t>(frame);
      if (c.placement.pageEnd) {
        const auto* last = reinterpret_cast<const char*>(frame) + bytes - 1;
        if (!readable(last) || readable(last + 1)) failures.push_back(which);
      } else if (address % 16 != static_cast<uintptr_t>(c.placement.offset)) {
        failures.push_back(which);
      }
    };
    FakeFilter::process = [&](FilterTable* table, FrameProcInfo* info) {
      EXPECT_EQ(info->maxWidth, c.maxWidth);
      EXPECT_EQ(info->maxHeight, 6);
      check(info->editFrame, "edit");
      check(info->tempFrame, "temp");
      for (int n = info->frameNumber - 1; n <= info->frameNumber + 1; ++n) {
        check(fetchOf(table, info, n), "fetched");
      }
      return copyThrough(table, info);
    };
    ClipSource source(clip);
    ClipSink sink(clip.width, clip.height);
    Host host(config);
    EXPECT_EQ(host.run(source, sink).status, RunResult::Status::kDone);
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(test::firstDifferentFrame(sink.clip, clip), -1);
  }
}

TEST(StandinHost, PassesSettingsAndReportsSliderChangesByTheirCodes) {
  const Clip clip = labelledClip(4, 2, 2);
  HostConfig config = fakeConfig(clip);
  config.settings = Settings{3, 1, 2, 10, 20, true, false, true};
  std::vector<std::vector<int32_t>> seen;
  FakeFilter::process = [&](FilterTable* table, FrameProcInfo* info) {
    seen.push_back({table->trackValues[0], table->trackValues[1], table->trackValues[2],
                    table->trackValues[3], table->trackValues[4], table->checkValues[0],
                    table->checkValues[1], table->checkValues[2]});
    return copyThrough(table, info);
  };
  {
    Host host(config);
    EXPECT_EQ(FakeFilter::inits, 1);
    ClipSource source(clip);
    ClipSink sink(clip.width, clip.height);
    host.run(source, sink);
    EXPECT_EQ(FakeFilter::updateCodes, (std::vector<int>{0}));
    host.changeSettings(Settings{3, 1, 5, 10, 21, false, true, true});
    EXPECT_EQ(FakeFilter::updateCodes, (std::vector<int>{0, 0x10002, 0x10004}));
    ClipSource again(clip);
    host.run(again, sink);
    EXPECT_EQ(FakeFilter::exits, 0);
  }
  EXPECT_EQ(FakeFilter::exits, 1);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], (std::vector<int32_t>{3, 1, 2, 10, 20, 1, 0, 1}));
  EXPECT_EQ(seen[3], (std::vector<int32_t>{3, 1, 5, 10, 21, 0, 1, 1}));
}

TEST(StandinHost, StopsAtTheFirstFailedFrameOrSkipsItOnRequest) {
  const Clip clip = labelledClip(4, 2, 6);
  for (const bool carryOn : {false, true}) {
    for (const char* name : {"forward", "reverse"}) {
      SCOPED_TRACE(testing::Message() << name << " continue " << carryOn);
      const ProcessingOrder order = *parseProcessingOrder(name);
      HostConfig config = fakeConfig(clip);
      config.continueAfterFailure = carryOn;
      FakeFilter::process = [&](FilterTable* table, FrameProcInfo* info) {
        return info->frameNumber == 3 || info->frameNumber == 4 ? 0 : copyThrough(table, info);
      };
      ClipSource source(clip);
      ClipSink sink(clip.width, clip.height);
      Host host(config);
      const RunResult result = host.run(source, sink, order);
      const bool forward = order.kind == ProcessingOrder::Kind::kForward;
      EXPECT_EQ(result.status, RunResult::Status::kFilterFailed);
      EXPECT_EQ(result.frame, forward ? 3 : 4);
      const std::vector<int32_t> delivered =
          carryOn ? std::vector<int32_t>{0, 1, 2, 5}
                  : (forward ? std::vector<int32_t>{0, 1, 2} : std::vector<int32_t>{});
      EXPECT_EQ(sink.numbers, delivered);
      EXPECT_EQ(result.framesWritten, static_cast<int32_t>(delivered.size()));
    }
  }
}

// A sink that refuses its third frame.
class FailingSink : public ClipSink {
 public:
  using ClipSink::ClipSink;
  bool writeFrame(int32_t number, const Pixel* frame, int32_t stride) override {
    return number != 2 && ClipSink::writeFrame(number, frame, stride);
  }
};

TEST(StandinHost, ASinkFailureEndsTheRun) {
  const Clip clip = labelledClip(4, 2, 5);
  for (const char* name : {"forward", "shuffle:3"}) {
    SCOPED_TRACE(name);
    FakeFilter::process = copyThrough;
    ClipSource source(clip);
    FailingSink sink(clip.width, clip.height);
    Host host(fakeConfig(clip));
    const RunResult result = host.run(source, sink, *parseProcessingOrder(name));
    EXPECT_EQ(result.status, RunResult::Status::kSinkFailed);
    EXPECT_EQ(result.frame, 2);
    EXPECT_EQ(sink.numbers, (std::vector<int32_t>{0, 1}));
  }
}

// The filter numbers frames with an int: input beyond the frames the host can number is an
// error after those frames are delivered, in either order; it neither wraps nor passes for the
// end of the clip. The limit is lowered to 4 for the test.
TEST(StandinHost, InputBeyondTheFramesItCanNumberIsAnError) {
  for (const char* name : {"forward", "reverse"}) {
    for (const int32_t frames : {4, 5}) {
      SCOPED_TRACE(testing::Message() << name << " " << frames << " frames");
      FakeFilter::process = copyThrough;
      const Clip clip = labelledClip(3, 2, frames);
      HostConfig config = fakeConfig(clip);
      config.maxFrames = 4;
      ClipSource source(clip);
      ClipSink sink(clip.width, clip.height);
      Host host(config);
      const RunResult result = host.run(source, sink, *parseProcessingOrder(name));
      EXPECT_EQ(result.status,
                frames > 4 ? RunResult::Status::kTooManyFrames : RunResult::Status::kDone);
      EXPECT_EQ(sink.numbers, (std::vector<int32_t>{0, 1, 2, 3}));
    }
  }
}

// The test controls against the real filter: each makes the filter fail exactly where it
// should, and frames the failure cannot reach come out as without it.
TEST(StandinHost, FailureControlsMakeTheFilterFailOnTheirFrame) {
  const Clip clip = test::movingClip(24, 10, 7, 11);
  HostConfig base;
  base.settings.tap = 3;
  base.settings.nextFrame = true;
  base.continueAfterFailure = true;
  const Clip reference = filterClip(base, clip);
  ASSERT_EQ(reference.frames.size(), 7u);

  struct Case {
    const char* name;
    std::function<void(HostConfig&)> apply;
    const char* order;
    std::vector<int32_t> failed;
    std::vector<int32_t> unaffected;  // frames equal to the reference
  };
  const std::vector<Case> cases = {
      {"fetch of frame 3", [](HostConfig& c) { c.failFetchOf = 3; }, "forward", {3}, {0, 1, 5, 6}},
      {"fetch of frame 3", [](HostConfig& c) { c.failFetchOf = 3; }, "reverse", {3}, {0, 1, 5, 6}},
      {"refused cache",
       [](HostConfig& c) { c.refuseCache = true; },
       "forward",
       {0, 1, 2, 3, 4, 5, 6},
       {}},
      {"refused allocation",
       [](HostConfig& c) { c.failAllocations = 1; },
       "forward",
       {0},
       {1, 2, 3, 4, 5, 6}},
      {"refused allocation",
       [](HostConfig& c) { c.failAllocations = 1; },
       "reverse",
       {6},
       {0, 1, 2, 3, 4, 5}},
      {"refused allocation, motion off",
       [](HostConfig& c) {
         c.failAllocations = 1;
         c.settings.motion = 0;
       },
       "forward",
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.order);
    HostConfig config = base;
    c.apply(config);
    RunResult result;
    const Clip out = filterClip(config, clip, *parseProcessingOrder(c.order), &result);
    EXPECT_EQ(result.failedFrames, c.failed);
    EXPECT_EQ(out.frames.size(), 7 - c.failed.size());
    std::vector<bool> delivered(7, true);
    for (const int32_t f : c.failed) delivered[static_cast<size_t>(f)] = false;
    for (const int32_t f : c.unaffected) {
      // The position of frame f among the delivered ones.
      const auto at = std::count(delivered.begin(), delivered.begin() + f, true);
      EXPECT_TRUE(test::sameFrame(out.frames[static_cast<size_t>(at)],
                                  reference.frames[static_cast<size_t>(f)]))
          << "frame " << f;
    }
  }
  EXPECT_EQ(platform::liveAllocationCount(), 0);
}

// The neighbour maps of one clip must not serve the frames of the next: they have the same
// frame numbers.
TEST(StandinHost, SecondClipOnOneHostComesOutAsOnAFreshHost) {
  const Clip first = test::movingClip(16, 6, 4, 5);
  const Clip second = test::movingClip(16, 6, 4, 6);
  HostConfig config;
  config.width = first.width;
  config.height = first.height;
  config.settings.nextFrame = true;
  const Clip fresh = filterClip(config, second);
  Host host(config);
  for (const Clip* clip : {&first, &second}) {
    ClipSource source(*clip);
    ClipSink sink(clip->width, clip->height);
    ASSERT_EQ(host.run(source, sink).status, RunResult::Status::kDone);
    if (clip == &second) {
      EXPECT_EQ(test::firstDifferentFrame(sink.clip, fresh), -1);
    }
  }
}

}  // namespace
}  // namespace quillet::standin
