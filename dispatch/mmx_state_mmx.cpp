#include "dispatch/mmx_state.h"

#if QUILLET_ENABLE_SIMD
#include <mmintrin.h>
#endif

namespace quillet {

void clearMmxState() {
#if QUILLET_ENABLE_SIMD
  _mm_empty();
#endif
}

}  // namespace quillet
