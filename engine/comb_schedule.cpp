// Comb scheduling: the detector's strips of one frame, scored on the calling thread first and
// then shared out to the pool's workers.
#include <algorithm>
#include <atomic>

#include "engine/comb.h"
#include "engine/engine.h"

namespace quillet::engine {

namespace {

// Comb strips the calling thread scores before it shares the rest of a frame's out.
constexpr int32_t kCombStripsAlone = 4;

struct CombCall {
  Engine* engine;
  CombJob* job;
};

}  // namespace

// The comb detector's view of one frame: the strips score independently, each into its slot.
struct CombJob {
  LumaKind kind;
  int shift;
  LumaPlane current;
  LumaPlane previous;
  LumaPlane next;
  int32_t stripRows;
  int32_t strips;
  int32_t enough;  // the block count that makes the frame combed
  int32_t* scores;
  std::atomic<int32_t> claimed{0};
  std::atomic<bool> combed{false};  // a strip reached `enough`: the rest need not be scored
};

int32_t Engine::combScore(int64_t k, int64_t previous, int64_t next, int32_t enough) {
  CombJob job{};
  if (format_.layout == QUILLET_LAYOUT_YCC16) {
    job.kind = LumaKind::kYcc16;
    job.shift = 4;  // Y 0..4096
  } else {
    job.kind = format_.bytesPerSample == 1 ? LumaKind::k8 : LumaKind::k16;
    job.shift = format_.bitDepth - 8;
  }
  const auto lumaOf = [&](int64_t n) {
    return n == k ? LumaPlane{} : LumaPlane{slot(n).plane[0], slot(n).stride[0]};
  };
  job.current = LumaPlane{slot(k).plane[0], slot(k).stride[0]};
  job.previous = lumaOf(previous);
  job.next = lumaOf(next);
  job.stripRows = stripRows_;
  job.strips = (format_.height + stripRows_ - 1) / stripRows_;
  job.enough = enough;
  combScores_.assign(static_cast<size_t>(job.strips), 0);
  job.scores = combScores_.data();
  if (sharesFrames()) {
    // The first strips on this thread alone: on an interlaced frame one of them mostly settles
    // it, and a job that short would cost more in handing it out than it saves (and teach the
    // pool that its helpers come too late). The workers share what is left.
    const int32_t strips = job.strips;
    job.strips = std::min(strips, kCombStripsAlone);
    runCombWorker(job);
    if (!job.combed.load(std::memory_order_relaxed) && job.strips < strips) {
      job.claimed.store(job.strips);  // every strip so far is scored
      job.strips = strips;
      CombCall call{this, &job};
      pool_->run(
          +[](int, CombCall& c) { c.engine->runCombWorker(*c.job); }, call);
    }
  } else {
    runCombWorker(job);
  }
  // In strip order, whichever worker scored which strip. Strips skipped once one reached
  // `enough` leave 0, and no strip counts past `enough`: the score is the same either way.
  int32_t score = 0;
  for (int32_t s : combScores_) score = std::max(score, s);
  return score;
}

void Engine::runCombWorker(CombJob& job) {
  for (int32_t s = job.claimed.fetch_add(1); s < job.strips; s = job.claimed.fetch_add(1)) {
    if (job.combed.load(std::memory_order_relaxed)) return;
    const int32_t y0 = s * job.stripRows;
    job.scores[s] = combStripScore(*comb_, job.kind, job.shift, format_.width, format_.height,
                                   job.current, job.previous, job.next, y0,
                                   std::min(format_.height, y0 + job.stripRows), job.enough);
    if (job.scores[s] >= job.enough) job.combed.store(true, std::memory_order_relaxed);
  }
}

}  // namespace quillet::engine
