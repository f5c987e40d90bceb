// Facts about the build target that the platform code and the compression
// paths both decide by, written once for both.
#pragma once

// 64-bit ARM Linux, built with GCC or clang: the kernel reports in its
// auxiliary vector (AT_HWCAP) which ARMv8 SHA instructions user code may
// run, which platform/posix.cpp reads, and the ARMv8 compression paths are
// built (digest/compress_paths.h).
#if defined(__aarch64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#define ZMRGEN_ARM_LINUX 1
#else
#define ZMRGEN_ARM_LINUX 0
#endif
