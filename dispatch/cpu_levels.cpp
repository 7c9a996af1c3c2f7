#include "dispatch/cpu_levels.h"

#include <array>

namespace quillet {

namespace {
constexpr std::array<CpuLevel, 6> kLevels = {{
    {"avx512", QUILLET_CPU_AVX512, kCpuAvx512},
    {"avx2", QUILLET_CPU_AVX2, kCpuAvx2},
    {"sse2", QUILLET_CPU_SSE2, kCpuSse2},
    {"sse", QUILLET_CPU_SSE, kCpuSse},
    {"mmx", QUILLET_CPU_MMX, kCpuMmx},
    {"scalar", QUILLET_CPU_SCALAR, 0},
}};
}  // namespace

std::span<const CpuLevel> cpuLevels() { return kLevels; }

const CpuLevel* cpuLevelNamed(std::string_view name) {
  for (const CpuLevel& l : kLevels) {
    if (name == l.name) return &l;
  }
  return nullptr;
}

const CpuLevel* cpuLevelOf(QuilletCpu cpu) {
  for (const CpuLevel& l : kLevels) {
    if (cpu == l.cpu) return &l;
  }
  return nullptr;
}

const CpuLevel* cpuLevelWithBit(CpuFeatures level) {
  for (const CpuLevel& l : kLevels) {
    if (level == l.level) return &l;
  }
  return nullptr;
}

}  // namespace quillet
