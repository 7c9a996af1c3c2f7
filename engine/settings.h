#pragma once

#include "include/quillet/quillet.h"

namespace quillet::engine {

// The plug-in's slider and check-box ranges: every value clamped, checks 0 or 1.
QuilletSettings clampSettings(const QuilletSettings& settings);

}  // namespace quillet::engine
