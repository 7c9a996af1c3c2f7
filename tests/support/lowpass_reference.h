#pragma once

#include <array>
#include <cstdint>

namespace quillet::test {

// The published Q15 weights of the seven low-pass filters, for building expectations: [0] the
// centre row, [k] each of the two rows at distance k. Tap 0 is (1, 2, 1) / 4 and is listed in
// quarters.
// clang-format off
constexpr std::array<std::array<int32_t, 8>, 7> kLowpassWeights = {{
    {    2,    1,     0,     0,     0,    0,    0,   0},
    {21596, 8192, -2606,     0,     0,    0,    0,   0},
    {24386, 6876, -4000,  1315,     0,    0,    0,   0},
    {26390, 5907, -4237,  2285,  -766,    0,    0,   0},
    {27256, 4980, -3993,  2693, -1442,  518,    0,   0},
    {28266, 4389, -3737,  2822, -1841,  981, -363,   0},
    {28650, 3862, -3417,  2766, -2021, 1299, -695, 265},
}};
// clang-format on

constexpr int lowpassTestReach(int tap) { return tap == 0 ? 1 : tap + 1; }

}  // namespace quillet::test
