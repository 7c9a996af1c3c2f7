#pragma once

#include <cstdint>

namespace quillet {

// Bit 0 MMX, bit 1 SSE, bit 2 SSE2.
using CpuFeatures = int;
constexpr CpuFeatures kCpuMmx = 1;
constexpr CpuFeatures kCpuSse = 2;
constexpr CpuFeatures kCpuSse2 = 4;

// Pure decoder: CPUID leaf 1 EDX bits 23 (MMX), 25 (SSE), 26 (SSE2); when SSE or SSE2 is
// reported but the operating system faults on SSE instructions only the MMX bit survives.
CpuFeatures decodeCpuFeatures(uint32_t edx, bool osExecutesSse);

// CPUID leaf 1 plus the operating system's SSE check.
CpuFeatures probeCpuFeatures();

}  // namespace quillet
