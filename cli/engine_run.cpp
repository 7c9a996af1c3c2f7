#include "cli/engine_run.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
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

// The frame slot the engine lends, passed between the filtering thread and the reader: the
// filtering thread asks for a frame in it, the reader reads one in and answers. The mutex orders
// the engine's last use of the slot before the reader's writes, and those before the push.
class Handoff {
 public:
  // Filtering thread: asks for the next frame in `payload`, or with null in the reader's own
  // buffer.
  void ask(uint8_t* payload) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      asked_ = true;
      into_ = payload;
    }
    changed_.notify_all();
  }
  // Reader: waits for the next request and stores where the frame goes; false once the run is
  // over.
  bool request(uint8_t*& into) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return asked_ || closed_; });
    if (closed_) return false;
    asked_ = false;
    into = into_;
    return true;
  }
  // Reader: the frame asked for is in, with its interlace mark.
  void answer(bool mark) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      answered_ = true;
      mark_ = mark;
    }
    changed_.notify_all();
  }
  // Reader, on its way out: no more frames.
  void finish() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }
  // Filtering thread: waits for the frame it asked for; false when the reader ended instead.
  bool await(bool& mark) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return answered_ || finished_; });
    if (!answered_) return false;
    answered_ = false;
    mark = mark_;
    return true;
  }
  // On every way out of the run: the reader takes no further request.
  void close() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool asked_ = false;
  uint8_t* into_ = nullptr;
  bool answered_ = false;
  bool mark_ = false;
  bool finished_ = false;
  bool closed_ = false;
};

// Output frames in flight: one being written, one waiting, one being pulled.
constexpr int kOutputBuffers = 3;

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

bool PayloadSource::readInto(uint8_t* payload, size_t bytes) {
  if (!read(copied_)) return false;
  copied_.resize(bytes);
  std::memcpy(payload, copied_.data(), bytes);
  return true;
}

EngineRunResult runOnEngine(const QuilletConfig& config, size_t payloadBytes, PayloadSource& source,
                            PayloadSink& sink, const EngineRunHooks& hooks, FrameRange range) {
  // The engine numbers frames from 0 on the first one pushed: clip frame `pushedFrom`.
  const int64_t pushedFrom = range.first > 0 ? range.first - 1 : 0;
  EngineRunResult result;
  Handoff handoff;
  Channel freeOut, filledOut;
  // Buffers take their memory when a frame needs them, not before the stream shows one.
  for (int i = 0; i < kOutputBuffers; ++i) freeOut.push(Item());
  Failure failure;
  // The first frame, read before any frame memory is lent: a header promising huge frames on a
  // short stream then takes no more memory than arrives, and the engine takes its own with the
  // first whole frame. The reader fills it, the filtering thread takes it after the hand-over.
  Buffer firstFrame;

  const auto readFrames = [&] {
    try {
      int64_t next = 0;  // the clip's number of the next frame to read
      // Frames before the range are read into memory of the reader's own and dropped.
      Buffer dropped;
      while (next < pushedFrom && !stopped(hooks) && source.read(dropped)) ++next;
      // Up to and including range.end: the last written frame's next neighbour.
      if (next == pushedFrom) {
        while (next <= range.end && !stopped(hooks)) {
          uint8_t* into = nullptr;
          if (!handoff.request(into) || stopped(hooks)) break;
          if (!(into != nullptr ? source.readInto(into, payloadBytes) : source.read(firstFrame))) {
            break;
          }
          handoff.answer(source.interlaced());
          ++next;
        }
      }
    } catch (const std::bad_alloc&) {
      // The frames read before it are still filtered and written.
      failure.note(outOfMemory(config, "reading"));
    } catch (const std::exception& e) {
      failure.note(std::string("cannot read the input: ") + e.what());
    }
    handoff.finish();
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
  // The reader may be filling the engine's memory, so the engine outlives it.
  std::unique_ptr<QuilletEngine, EngineCloser> engine;
  std::thread reader;
  std::thread writer;
  const OnExit joinThreads([&] {
    filledOut.close();
    if (writer.joinable()) writer.join();
    handoff.close();
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
  engine.reset(made);
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

  const auto engineFailed = [&](std::string message) {
    result.status = EngineRunResult::Status::kEngineFailed;
    result.error = std::move(message);
    return false;
  };
  // Lends the engine's next frame slot to the reader, pulling what is ready first when no slot is
  // free; false on an engine error or when the sink failed.
  uint8_t* lent = nullptr;
  const auto lend = [&]() -> bool {
    QuilletFrame slot;
    QuilletStatus status = quillet_frame_buffer(engine.get(), &slot);
    if (status == QUILLET_AGAIN) {
      if (!drain()) return false;
      status = quillet_frame_buffer(engine.get(), &slot);
    }
    if (status == QUILLET_AGAIN && sinkFailed.load()) return false;
    if (status == QUILLET_AGAIN) return engineFailed("the engine lends no frame memory");
    if (status != QUILLET_OK) return engineFailed(quillet_error_message(engine.get()));
    // The slot holds a payload as the file does: planes back to back, rows packed.
    lent = static_cast<uint8_t*>(slot.planes[0]);
    const QuilletFrame payload = planesOf(config, lent);
    for (size_t p = 0; p < std::size(slot.planes); ++p) {
      if (slot.planes[p] != payload.planes[p] || slot.strides[p] != payload.strides[p]) {
        return engineFailed("the engine's frame memory is not laid out as a payload");
      }
    }
    handoff.ask(lent);
    return true;
  };

  bool ok = true;
  try {
    handoff.ask(nullptr);
    bool mark = false;
    while (ok && !sinkFailed.load() && handoff.await(mark)) {
      QuilletStatus status = QUILLET_OK;
      if (result.framesRead == 0) {
        if (hooks.input) hooks.input(pushedFrom, firstFrame.data());
        const QuilletFrame planes = planesOf(config, firstFrame.data());
        status = quillet_push_marked(engine.get(), &planes, mark ? 1 : 0);
        Buffer().swap(firstFrame);
      } else {
        if (hooks.input) hooks.input(pushedFrom + result.framesRead, lent);
        status = quillet_push_buffer(engine.get(), mark ? 1 : 0);
      }
      if (status != QUILLET_OK) {
        ok = engineFailed(quillet_error_message(engine.get()));
        break;
      }
      ++result.framesRead;
      // The reader fills the next slot while the frames now ready are filtered.
      ok = lend() && drain();
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
