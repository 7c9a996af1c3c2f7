#include "cli/engine_run.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace quillet::cli {

namespace {

using Buffer = std::vector<uint8_t>;

// A queue of buffers between two threads; pop waits for one or for the close.
class Channel {
 public:
  void push(Buffer buffer) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(buffer));
    }
    ready_.notify_one();
  }
  // False once the channel is closed and empty.
  bool pop(Buffer& buffer) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return false;
    buffer = std::move(items_.front());
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
  std::deque<Buffer> items_;
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

}  // namespace

EngineRunResult runOnEngine(const QuilletConfig& config, size_t payloadBytes, PayloadSource& source,
                            PayloadSink& sink, const EngineRunHooks& hooks, FrameRange range) {
  // The engine numbers frames from 0 on the first one pushed: clip frame `pushedFrom`.
  const int64_t pushedFrom = range.first > 0 ? range.first - 1 : 0;
  EngineRunResult result;
  Channel freeIn, filledIn, freeOut, filledOut;
  // Buffers take their memory when a frame needs them, not before the stream shows one.
  for (int i = 0; i < kBuffersPerSide; ++i) {
    freeIn.push(Buffer());
    freeOut.push(Buffer());
  }

  const auto readFrames = [&] {
    Buffer buffer;
    int64_t next = 0;  // the clip's number of the next frame to read
    while (next < pushedFrom && !stopped(hooks) && source.read(buffer)) ++next;
    // Up to and including range.end: the last written frame's next neighbour.
    if (next == pushedFrom) {
      while (next <= range.end && !stopped(hooks) && freeIn.pop(buffer)) {
        if (!source.read(buffer)) break;
        // The frame's interlace mark rides in one byte after its payload.
        buffer.push_back(source.interlaced() ? 1 : 0);
        filledIn.push(std::move(buffer));
        ++next;
      }
    }
    filledIn.close();
  };

  std::atomic<bool> sinkFailed{false};
  std::atomic<int64_t> written{0};
  const auto writeFrames = [&] {
    Buffer buffer;
    while (filledOut.pop(buffer)) {
      // The engine's verdict rides in one byte after the payload.
      if (!sinkFailed.load() && sink.write(buffer.data(), buffer.back() != 0)) {
        const int64_t count = written.fetch_add(1) + 1;
        if (hooks.written) hooks.written(count);
      } else {
        sinkFailed.store(true);
      }
      freeOut.push(std::move(buffer));
    }
  };

  // The reader and the writer start before the engine's workers, which then take what threads
  // the system has left. Both end once their channels close: the reader after the read it is
  // in (an interrupt does not wait for it; it ends the process).
  std::thread reader;
  std::thread writer;
  const auto finish = [&] {
    filledOut.close();
    if (writer.joinable()) writer.join();
    freeIn.close();
    if (reader.joinable()) reader.join();
  };
  try {
    reader = std::thread(readFrames);
    writer = std::thread(writeFrames);
  } catch (const std::system_error& e) {
    finish();
    result.status = EngineRunResult::Status::kEngineFailed;
    result.error = std::string("cannot start the reader and writer threads: ") + e.what();
    return result;
  }

  QuilletEngine* made = nullptr;
  if (quillet_create(&config, &made) != QUILLET_OK) {
    finish();
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
      Buffer out;
      if (!freeOut.pop(out)) return true;
      out.reserve(payloadBytes + 1);
      out.resize(payloadBytes);
      QuilletFrame planes = planesOf(config, out.data());
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
      if (hooks.output) hooks.output(number, out.data());
      out.push_back(info.filtered != 0 ? 1 : 0);
      filledOut.push(std::move(out));
    }
  };

  bool ok = true;
  Buffer in;
  while (ok && !sinkFailed.load() && filledIn.pop(in)) {
    if (hooks.input) hooks.input(pushedFrom + result.framesRead, in.data());
    const QuilletFrame planes = planesOf(config, in.data());
    const QuilletStatus status = quillet_push_marked(engine.get(), &planes, in.back());
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
  finish();

  result.framesWritten = written.load();
  if (sinkFailed.load()) {
    result.status = EngineRunResult::Status::kSinkFailed;
  } else if (ok && stopped(hooks)) {
    result.status = EngineRunResult::Status::kStopped;
  }
  return result;
}

}  // namespace quillet::cli
