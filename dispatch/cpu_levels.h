#pragma once

#include <span>
#include <string_view>

#include "dispatch/cpu_features.h"
#include "include/quillet/quillet.h"

namespace quillet {

// One kernel set's level: its --cpu name, the C API's name for it and the one feature bit it
// is built for (0 for scalar). The one table of levels every driver and tool reads.
struct CpuLevel {
  const char* name;
  QuilletCpu cpu;
  CpuFeatures level;

  // The features that install this level's set: its bit and every bit below it.
  CpuFeatures features() const { return level == 0 ? 0 : (level | (level - 1)); }
};

// Every level, best first, scalar last.
std::span<const CpuLevel> cpuLevels();

// The level of a name, a QuilletCpu or a feature bit; null when there is none (AUTO, unknown).
const CpuLevel* cpuLevelNamed(std::string_view name);
const CpuLevel* cpuLevelOf(QuilletCpu cpu);
const CpuLevel* cpuLevelWithBit(CpuFeatures level);

}  // namespace quillet
