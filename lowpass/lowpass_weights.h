#pragma once

#include <cstdint>

#include "lowpass/lowpass.h"

// The vector forms' weight pairs. Data only, in plain arrays: files built for different
// instruction sets share it without sharing any compiled function.
namespace quillet::lowpass_weights {

// Operand slots of a block: the centre, the saturated neighbour pair sums S_1..S_7, and a
// vector of ones that carries the rounding constant through a multiply-add.
constexpr int kCentre = 0;
constexpr int kOnes = 8;
constexpr int kOperandCount = 9;

// One multiply-add: interleaved (first, second) words times the weight pair (x, y).
struct WeightPair {
  int first, second;
  int16_t x, y;
};

struct TapWeights {
  int pairCount;
  bool roundingInPair;  // rounding rides on a pair with the ones vector, else added as lanes
  WeightPair pairs[4];
};

// Q15 weight pairs of taps 1..6 and the operands they multiply (S_k in slot k).
// clang-format off
constexpr TapWeights kTapWeights[kTapCount] = {
    {0, false, {}},
    {2, false, {{1, 2, 8192, -2606}, {kCentre, kCentre, 21596, 0}}},
    {2, false, {{2, 3, -4000, 1315}, {1, kCentre, 6876, 24386}}},
    {3, true,  {{3, 4, 2285, -766}, {1, 2, 5907, -4237}, {kOnes, kCentre, 16383, 26390}}},
    {3, false, {{4, 5, -1442, 518}, {2, 3, -3993, 2693}, {1, kCentre, 4980, 27256}}},
    {4, true,  {{5, 6, 981, -363}, {3, 4, 2822, -1841}, {1, 2, 4389, -3737},
                {kOnes, kCentre, 16383, 28266}}},
    {4, false, {{6, 7, -695, 265}, {4, 5, -2021, 1299}, {2, 3, -3417, 2766},
                {kCentre, 1, 28650, 3862}}},
};
// clang-format on

}  // namespace quillet::lowpass_weights
