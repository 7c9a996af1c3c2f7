#pragma once

#include <cstdint>

namespace quillet {

// Bit 0 MMX, bit 1 SSE, bit 2 SSE2, bit 3 AVX2 (reported by x86-64 builds only).
using CpuFeatures = int;
constexpr CpuFeatures kCpuMmx = 1;
constexpr CpuFeatures kCpuSse = 2;
constexpr CpuFeatures kCpuSse2 = 4;
constexpr CpuFeatures kCpuAvx2 = 8;
constexpr CpuFeatures kCpuAvx512 = 16;  // AVX512F and AVX512BW

// Pure decoder: CPUID leaf 1 EDX bits 23 (MMX), 25 (SSE), 26 (SSE2); when SSE or SSE2 is
// reported but the operating system faults on SSE instructions only the MMX bit survives.
CpuFeatures decodeCpuFeatures(uint32_t edx, bool osExecutesSse);

// Pure decoder: kCpuAvx2 when CPUID leaf 7 EBX bit 5 (AVX2), leaf 1 ECX bits 27 (OSXSAVE) and
// 28 (AVX), and XCR0 bits 1 and 2 (the system saves the SSE and AVX register state) are all
// set; 0 otherwise. `xcr0` is read only when OSXSAVE is set (XGETBV faults without it).
CpuFeatures decodeAvx2Support(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0);

// Pure decoder: kCpuAvx512 when decodeAvx2Support holds and also CPUID leaf 7 EBX bits 16
// (AVX512F) and 30 (AVX512BW) and XCR0 bits 5, 6 and 7 (opmask and ZMM register state) are set.
CpuFeatures decodeAvx512Support(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0);

// CPUID leaves 1 and 7 and XGETBV: kCpuAvx2 (and kCpuAvx512) when the processor has AVX2 and the
// operating system saves its registers; always 0 in 32-bit builds. Runs no instruction that could
// fault.
CpuFeatures probeAvx2Support();

// CPUID leaf 1 plus the operating system's SSE check, and probeAvx2Support().
CpuFeatures probeCpuFeatures();

}  // namespace quillet
