// What the processor offers the compression paths, for both architectures:
// one bit a feature, found once (platform/processor.cpp), and each bit's
// name where the kernel lists it in /proc/cpuinfo.
#pragma once

#include <cstdint>

// A path runs only when all of its features are present (for the vector
// extensions, also enabled by the operating system).
inline constexpr std::uint32_t CPU_SSSE3 = 1u << 0;
inline constexpr std::uint32_t CPU_SSE41 = 1u << 1;
inline constexpr std::uint32_t CPU_SHA = 1u << 2;
inline constexpr std::uint32_t CPU_BMI2 = 1u << 3;
inline constexpr std::uint32_t CPU_AVX2 = 1u << 4;
inline constexpr std::uint32_t CPU_AVX512VL = 1u << 5;    // with AVX-512F and the ZMM state
inline constexpr std::uint32_t CPU_ARM_SHA1 = 1u << 6;    // ARMv8 SHA1C/P/M, SHA1H, SHA1SU0/1
inline constexpr std::uint32_t CPU_ARM_SHA512 = 1u << 7;  // ARMv8.2 SHA512H/H2, SHA512SU0/1

// The CPU_* features of this machine.
std::uint32_t cpu_features();

// Each bit by the line of /proc/cpuinfo that lists it ("flags" on x86,
// "Features" on 64-bit ARM) and its name there; a bit named more than once
// needs every name (AVX-512VL comes with AVX-512F, the ARMv8 SHA
// instructions work on the SIMD registers).
struct CpuFeatureName {
  std::uint32_t bit;
  const char* line;
  const char* name;
};
inline constexpr CpuFeatureName CPU_FEATURE_NAMES[] = {
    {CPU_SSSE3, "flags", "ssse3"},
    {CPU_SSE41, "flags", "sse4_1"},
    {CPU_SHA, "flags", "sha_ni"},
    {CPU_BMI2, "flags", "bmi2"},
    {CPU_AVX2, "flags", "avx2"},
    {CPU_AVX512VL, "flags", "avx512f"},
    {CPU_AVX512VL, "flags", "avx512vl"},
    {CPU_ARM_SHA1, "Features", "asimd"},
    {CPU_ARM_SHA1, "Features", "sha1"},
    {CPU_ARM_SHA512, "Features", "asimd"},
    {CPU_ARM_SHA512, "Features", "sha512"},
};
