#include "standin/processing_order.h"

#include <algorithm>
#include <charconv>
#include <numeric>
#include <utility>

namespace quillet::standin {

namespace {
// splitmix64: a fixed generator, so a seed names the same permutation everywhere.
uint64_t nextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}
}  // namespace

std::vector<int32_t> processingSequence(const ProcessingOrder& order, int32_t frames) {
  std::vector<int32_t> sequence(static_cast<size_t>(frames > 0 ? frames : 0));
  std::iota(sequence.begin(), sequence.end(), 0);
  switch (order.kind) {
    case ProcessingOrder::Kind::kForward:
      break;
    case ProcessingOrder::Kind::kReverse:
      std::reverse(sequence.begin(), sequence.end());
      break;
    case ProcessingOrder::Kind::kShuffle: {
      uint64_t state = order.seed;
      for (size_t i = sequence.size(); i > 1; --i) {
        const size_t j = static_cast<size_t>(nextRandom(state) % i);
        std::swap(sequence[i - 1], sequence[j]);
      }
      break;
    }
  }
  return sequence;
}

std::optional<ProcessingOrder> parseProcessingOrder(std::string_view text) {
  if (text == "forward") return ProcessingOrder{ProcessingOrder::Kind::kForward, 0};
  if (text == "reverse") return ProcessingOrder{ProcessingOrder::Kind::kReverse, 0};
  constexpr std::string_view kShuffle = "shuffle:";
  if (text.substr(0, kShuffle.size()) != kShuffle) return std::nullopt;
  const std::string_view digits = text.substr(kShuffle.size());
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
  uint64_t seed = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seed);
  if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return ProcessingOrder{ProcessingOrder::Kind::kShuffle, seed};
}

std::string toString(const ProcessingOrder& order) {
  switch (order.kind) {
    case ProcessingOrder::Kind::kForward:
      return "forward";
    case ProcessingOrder::Kind::kReverse:
      return "reverse";
    case ProcessingOrder::Kind::kShuffle:
      break;
  }
  return "shuffle:" + std::to_string(order.seed);
}

}  // namespace quillet::standin
