#include "rows/row_claim.h"

#include <algorithm>
#include <cstdint>

namespace quillet {

RowRun claimRows(std::atomic<int32_t>& counter, int32_t rows) {
  // In 64 bits, so a run past the last row cannot wrap into the valid range.
  const int64_t first = int64_t{counter.fetch_add(1)} * kRowsPerClaim;
  const int64_t limit = std::max<int32_t>(rows, 0);
  const auto begin = static_cast<int32_t>(std::clamp<int64_t>(first, 0, limit));
  const auto end = static_cast<int32_t>(std::clamp<int64_t>(first + kRowsPerClaim, begin, limit));
  return RowRun{begin, end};
}

}  // namespace quillet
