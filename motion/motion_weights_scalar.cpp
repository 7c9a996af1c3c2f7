#include <cstdint>

#include "motion/motion.h"

namespace quillet {

MotionWeights* BuildWeightsScalar(MotionWeights* weights, int level) {
  float w = 4096.0f;
  if (level != 0) {
    // The square is formed in 32 bits (exact for every level the driver passes, at most 2048);
    // a wider product keeps larger levels free of signed overflow and wraps the same way.
    const int32_t square = static_cast<int32_t>(static_cast<int64_t>(level) * level);
    const double quotient = 4096.0 / static_cast<double>(square);
    // Round the double quotient to single precision through a float store, so x87 builds
    // keep no excess precision.
    const float rounded = static_cast<float>(quotient);
    w = rounded;
  }
  for (float& lane : weights->lane) lane = w;
  return weights;
}

}  // namespace quillet
