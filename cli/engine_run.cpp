#include "cli/engine_run.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace quillet::cli {

namespace {

using Buffer = std::vector<uint8_t>;

// A frame between two threads, with its mark: the interlace mark going in, the engine's verdict
// (filtered or passed) coming out. Kept beside the payload, so a buffer the source sized for
// the frame is never grown past it.
struct Item {
  Buffer bytes;
  bool mark = false;
};

// A queue of frames between two threads; pop waits for one or for the close.
class Channel {
 public:
  void push(Item item) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
  }
  // False once the channel is closed and empty.
  bool pop(Item& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    return true;
  }
  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Item> items_;
  bool closed_ = false;
};

// Frames in flight on each side: one being read or written, one waiting, one with the engine.
constexpr int kBuffersPerSide = 3;

QuilletFrame planesOf(const QuilletConfig& config, uint8_t* data) {
  QuilletFrame frame;
  quillet_frame_layout(&config, data, &frame);
  return frame;
}

bool stopped(const EngineRunHooks& hooks) {
  return hooks.stop != nullptr && hooks.stop->load(std::memory_order_relaxed);
}

struct EngineCloser {
  void operator()(QuilletEngine* engine) const { quillet_destroy(engine); }
};

// Runs `action` when it goes out of scope, whichever way the scope is left.
class OnExit {
 public:
  explicit OnExit(std::function<void()> action) : action_(std::move(action)) {}
  ~OnExit() { action_(); }
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;

 private:
  std::function<void()> action_;
};

// The first failure that ends the run with a message of its own (memory refused on any thread),
// kept once.
class Failure {
 public:
  void note(std::string message) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (message_.empty()) message_ = std::move(message);
    failed_.store(true);
  }
  bool failed() const { return failed_.load(); }
  std::string message() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return message_;
  }

 private:
  mutable std::mutex mutex_;
  std::string message_;
  std::atomic<bool> failed_{false};
};

std::string outOfMemory(const QuilletConfig& config, const char* doing) {
  return "out of memory " + std::string(doing) + " frames of " + std::to_string(config.width) +
         "x" + std::to_string(config.height) + " pixels";
}

}  // namespace

EngineRunResult runOnEngine(const QuilletConfig& config, size_t payloadBytes, PayloadSource& source,
                            PayloadSink& sink, const EngineRunHooks& hooks, FrameRange range) {
  // The engine numbers frames from 0 on the first one pushed: clip frame `pushedFrom`.
  const int64_t pushedFrom = range.first > 0 ? range.first - 1 : 0;
  EngineRunResult result;
  Channel freeIn, filledIn, freeOut, filledOut;
  // Buffers take their memory when a frame needs them, not before the stream shows one.
  for (int i = 0; i < kBuffersPerSide; ++i) {
    freeIn.push(Item());
    freeOut.push(Item());
  }
  Failure failure;

  const auto readFrames = [&] {
    try {
      Item item;
      int64_t next = 0;  // the clip's number of the next frame to read
      while (next < pushedFrom && !stopped(hooks) && source.read(item.bytes)) ++next;
      // Up to and including range.end: the last written frame's next neighbour.
      if (next == pushedFrom) {
        while (next <= range.end && !stopped(hooks) && freeIn.pop(item)) {
          if (!source.read(item.bytes)) break;
          item.mark = source.interlaced();
          filledIn.push(std::move(item));
          ++next;
        }
      }
    } catch (const std::bad_alloc&) {
      // The frames read before it are still filtered and written.
      failure.note(outOfMemory(config, "reading"));
    } catch (const std::exception& e) {
      failure.note(std::string("cannot read the input: ") + e.what());
    }
    filledIn.close();
  };

  std::atomic<bool> sinkFailed{false};
  std::atomic<int64_t> written{0};
  const auto writeFrames = [&] {
    Item item;
    while (filledOut.pop(item)) {
      try {
        if (!sinkFailed.load() && sink.write(item.bytes.data(), item.mark)) {
          const int64_t count = written.fetch_add(1) + 1;
          if (hooks.written) hooks.written(count);
        } else {
          sinkFailed.store(true);
        }
      } catch (const std::bad_alloc&) {
        failure.note(outOfMemory(config, "writing"));
        sinkFailed.store(true);
      } catch (const std::exception& e) {
        failure.note(std::string("cannot write the output: ") + e.what());
        sinkFailed.store(true);
      }
      freeOut.push(std::move(item));
    }
  };

  // The reader and the writer start before the engine's workers, which then take what threads
  // the system has left. Both end once their channels close, on every way out of the run: the
  // reader after the read it is in (an interrupt does not wait for it; it ends the process).
  std::thread reader;
  std::thread writer;
  const OnExit joinThreads([&] {
    filledOut.close();
    if (writer.joinable()) writer.join();
    freeIn.close();
    if (reader.joinable()) reader.join();
  });
  try {
    reader = std::thread(readFrames);
    writer = std::thread(writeFrames);
  } catch (const std::system_error& e) {
    result.status = EngineRunResult::Status::kEngineFailed;
    result.error = std::string("cannot start the reader and writer threads: ") + e.what();
    return result;
  }

  QuilletEngine* made = nullptr;
  if (quillet_create(&config, &made) != QUILLET_OK) {
    result.status = EngineRunResult::Status::kEngineFailed;
    result.error = quillet_error_message(nullptr);
    return result;
  }
  std::unique_ptr<QuilletEngine, EngineCloser> engine(made);
  result.threads = quillet_engine_threads(engine.get());

  // Pulls every frame that is ready and hands it to the writer; false on an engine error.
  const auto drain = [&]() -> bool {
    // No frame went in, so none can come out: take no output memory for it.
    if (result.framesRead == 0) return true;
    for (;;) {
      if (sinkFailed.load()) return true;
      Item out;
      if (!freeOut.pop(out)) return true;
      out.bytes.resize(payloadBytes);
      QuilletFrame planes = planesOf(config, out.bytes.data());
      QuilletFrameInfo info{};
      const QuilletStatus status = quillet_pull_info(engine.get(), &planes, &info);
      if (status != QUILLET_OK) {
        freeOut.push(std::move(out));
        if (status < 0) {
          result.status = EngineRunResult::Status::kEngineFailed;
          result.error = quillet_error_message(engine.get());
          return false;
        }
        return true;
      }
      const int64_t number = info.frame_number + pushedFrom;
      // The neighbours around the range come out too; they are not the range's to write.
      if (number < range.first || number >= range.end) {
        freeOut.push(std::move(out));
        continue;
      }
      ++(info.filtered != 0 ? result.framesFiltered : result.framesPassed);
      if (info.filtered == 0 && hooks.passed) hooks.passed(number);
      if (hooks.output) hooks.output(number, out.bytes.data());
      out.mark = info.filtered != 0;
      filledOut.push(std::move(out));
    }
  };

  bool ok = true;
  try {
    Item in;
    while (ok && !sinkFailed.load() && filledIn.pop(in)) {
      if (hooks.input) hooks.input(pushedFrom + result.framesRead, in.bytes.data());
      const QuilletFrame planes = planesOf(config, in.bytes.data());
      const QuilletStatus status = quillet_push_marked(engine.get(), &planes, in.mark ? 1 : 0);
      freeIn.push(std::move(in));
      if (status != QUILLET_OK) {
        result.status = EngineRunResult::Status::kEngineFailed;
        result.error = quillet_error_message(engine.get());
        ok = false;
        break;
      }
      ++result.framesRead;
      ok = drain();
      if (stopped(hooks)) break;
    }
    if (ok) {
      quillet_flush(engine.get());
      ok = drain();
    }
  } catch (const std::bad_alloc&) {
    // The frames handed to the writer before it are still written.
    failure.note(outOfMemory(config, "filtering"));
  }
  filledOut.close();
  if (writer.joinable()) writer.join();

  result.framesWritten = written.load();
  if (failure.failed()) {
    result.status = EngineRunResult::Status::kFailed;
    result.error = failure.message();
  } else if (sinkFailed.load()) {
    result.status = EngineRunResult::Status::kSinkFailed;
  } else if (ok && stopped(hooks)) {
    result.status = EngineRunResult::Status::kStopped;
  }
  return result;
}

}  // namespace quillet::cli
