#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::standin {

// The order in which the host hands frames to the filter. Output is always delivered in frame
// order, whatever this says.
struct ProcessingOrder {
  enum class Kind { kForward, kReverse, kShuffle };
  Kind kind = Kind::kForward;
  uint64_t seed = 0;  // kShuffle only

  friend bool operator==(const ProcessingOrder&, const ProcessingOrder&) = default;
};

// Frame numbers 0..frames-1 in the order's sequence. A shuffle is a permutation that depends
// only on the seed and the count, the same on every platform.
std::vector<int32_t> processingSequence(const ProcessingOrder& order, int32_t frames);

// "forward", "reverse" or "shuffle:SEED" (SEED a decimal unsigned 64-bit number).
std::optional<ProcessingOrder> parseProcessingOrder(std::string_view text);
std::string toString(const ProcessingOrder& order);

}  // namespace quillet::standin
