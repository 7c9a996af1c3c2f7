#include "engine/settings.h"

#include <algorithm>

#include "comb/comb.h"
#include "lowpass/lowpass.h"

namespace quillet::engine {

namespace {
int32_t clampTo(int32_t v, int32_t lo, int32_t hi) { return std::clamp(v, lo, hi); }
}  // namespace

QuilletSettings clampSettings(const QuilletSettings& s) {
  const auto checked = [](int32_t v) { return v != 0 ? 1 : 0; };
  return QuilletSettings{
      .tap = clampTo(s.tap, 0, kTapCount - 1),
      .top = clampTo(s.top, 0, 256),
      .bottom = clampTo(s.bottom, 0, 256),
      .motion = clampTo(s.motion, 0, 256),
      .motion2 = clampTo(s.motion2, 0, 256),
      .show_motion = checked(s.show_motion),
      .next_frame = checked(s.next_frame),
      .use_max = checked(s.use_max),
      .deint = clampTo(s.deint, QUILLET_DEINT_ALL, QUILLET_DEINT_COMBED),
      .comb_sensitivity =
          s.comb_sensitivity == 0 ? kDefaultCombSensitivity : clampTo(s.comb_sensitivity, 1, 100),
  };
}

}  // namespace quillet::engine
