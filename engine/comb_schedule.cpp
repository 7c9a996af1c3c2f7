// Comb scheduling: the detector's strips of one frame, scored on the calling thread first and
// then shared out to the pool's workers.
#include <algorithm>
#include <atomic>

#include "comb/comb.h"
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

// The comb detector's view of one frame: the block rows score independently, each into its slot.
struct CombJob {
  CombFrame frame;
  CombThresholds thresholds;
  int32_t strips;
  CombStripResult* results;
  std::atomic<int32_t> claimed{0};
  std::atomic<bool> combed{false};  // a block row settled it: the rest need not be scored
};

int32_t Engine::combScore(int64_t k, int64_t previous, int64_t next,
                          const CombThresholds& thresholds) {
  CombJob job{};
  CombFrame& f = job.frame;
  f.kernels = comb_;
  if (format_.layout == QUILLET_LAYOUT_YCC16) {
    f.kind = LumaKind::kYcc16;
    f.shift = 4;  // Y 0..4096
  } else {
    f.kind = format_.bytesPerSample == 1 ? LumaKind::k8 : LumaKind::k16;
    // A high-bit code is a 16-bit one with its low bits zero.
    f.shift = format_.highBits > 0 ? 8 : format_.bitDepth - 8;
  }
  f.width = format_.width;
  f.height = format_.height;
  f.current = combLuma(k);
  f.previous = combLuma(previous);
  f.next = combLuma(next);
  f.previousIsLater = previous > k;
  f.nextIsEarlier = next < k;
  job.thresholds = thresholds;
  job.strips = (format_.height + kCombBlock - 1) / kCombBlock;
  combStrips_.assign(static_cast<size_t>(job.strips), CombStripResult{});
  job.results = combStrips_.data();
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
  // A block row that reached the count settles the frame, whichever worker scored it; the
  // others are then skipped. Otherwise every block row was scored, and the summed field
  // pairings of the whole frame decide: the same either way.
  int32_t score = 0;
  CombStripResult sums;
  for (const CombStripResult& r : combStrips_) {
    score = std::max(score, r.score);
    sums.fit[0] += r.fit[0];
    sums.fit[1] += r.fit[1];
    sums.own += r.own;
    for (int side = 0; side < 2; ++side) {
      sums.side[side][0] += r.side[side][0];
      sums.side[side][1] += r.side[side][1];
    }
  }
  if (score < thresholds.count && combFramePairs(f, thresholds, sums)) {
    score = thresholds.count;
  }
  return score;
}

LumaPlane Engine::combLuma(int64_t n) {
  const StoredFrame& frame = slot(n);
  if (format_.packing != Format::Packing::kPacked) {
    return LumaPlane{frame.plane[0], frame.stride[0]};
  }
  std::vector<uint8_t>& luma = packedLuma_[n % kSlots];
  const auto width = static_cast<size_t>(format_.width);
  if (!packedLumaReady_[n % kSlots]) {
    luma.resize(width * static_cast<size_t>(format_.height));
    const size_t first = format_.packedOrder == kPackedUyvy ? 1 : 0;
    for (int32_t y = 0; y < format_.height; ++y) {
      const uint8_t* row = frame.plane[0] + static_cast<size_t>(y) * frame.stride[0];
      uint8_t* to = luma.data() + static_cast<size_t>(y) * width;
      for (size_t x = 0; x < width; ++x) to[x] = row[2 * x + first];
    }
    packedLumaReady_[n % kSlots] = true;
  }
  return LumaPlane{luma.data(), width};
}

void Engine::runCombWorker(CombJob& job) {
  for (int32_t s = job.claimed.fetch_add(1); s < job.strips; s = job.claimed.fetch_add(1)) {
    if (job.combed.load(std::memory_order_relaxed)) return;
    const int32_t y0 = s * kCombBlock;
    job.results[s] =
        combStripScore(job.frame, job.thresholds, y0, std::min(format_.height, y0 + kCombBlock));
    if (job.results[s].score >= job.thresholds.count) {
      job.combed.store(true, std::memory_order_relaxed);
    }
  }
}

}  // namespace quillet::engine
