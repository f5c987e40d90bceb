// Facts about the build target that the platform code and the compression
// paths decide by, written once: the compiler, and the processor family the
// instruction paths are built for.
#pragma once

// The Microsoft compiler itself (clang-cl defines _MSC_VER too, but takes
// the GNU attributes and builtins).
#if defined(_MSC_VER) && !defined(__clang__)
#define ZMRGEN_MSVC 1
#else
#define ZMRGEN_MSVC 0
#endif

// The x86 paths are built for 64-bit x86 with GCC, clang or MSVC; elsewhere
// only the portable paths exist.
#if defined(__x86_64__) || defined(_M_X64)
#define ZMRGEN_X86_PATHS 1
#else
#define ZMRGEN_X86_PATHS 0
#endif

// 64-bit ARM Linux, built with GCC or clang: the kernel reports in its
// auxiliary vector (AT_HWCAP) which ARMv8 SHA instructions user code may
// run (platform/processor.cpp), and the ARMv8 compression paths are built.
#if defined(__aarch64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#define ZMRGEN_ARM_LINUX 1
#else
#define ZMRGEN_ARM_LINUX 0
#endif
#define ZMRGEN_ARM_PATHS ZMRGEN_ARM_LINUX
