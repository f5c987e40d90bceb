// What the processor offers, found once: CPUID (and XGETBV for the vector
// state the system saves) on x86-64, the kernel's hardware capabilities on
// 64-bit ARM Linux.
#include "platform/processor.h"

#include <atomic>

#include "platform/target.h"

#if ZMRGEN_X86_PATHS
#if ZMRGEN_MSVC
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif
#if ZMRGEN_ARM_LINUX
#include <sys/auxv.h>
#endif

namespace {

#if ZMRGEN_X86_PATHS

struct CpuidRegs {
  std::uint32_t eax, ebx, ecx, edx;
};

CpuidRegs cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
  CpuidRegs r{};
#if ZMRGEN_MSVC
  int regs[4];
  __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
  r = {static_cast<std::uint32_t>(regs[0]), static_cast<std::uint32_t>(regs[1]),
       static_cast<std::uint32_t>(regs[2]), static_cast<std::uint32_t>(regs[3])};
#else
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
  return r;
}

// The register state the operating system saves on a context switch (XCR0).
std::uint64_t os_saved_state() {
#if ZMRGEN_MSVC
  return _xgetbv(0);
#else
  std::uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
#endif
}

bool bit(std::uint32_t reg, unsigned n) { return ((reg >> n) & 1u) != 0; }

std::uint32_t detect_features() {
  const std::uint32_t max_leaf = cpuid(0, 0).eax;
  if (max_leaf < 1) return 0;
  const CpuidRegs l1 = cpuid(1, 0);
  const CpuidRegs l7 = max_leaf >= 7 ? cpuid(7, 0) : CpuidRegs{};

  std::uint32_t f = 0;
  if (bit(l1.ecx, 9)) f |= CPU_SSSE3;
  if (bit(l1.ecx, 19)) f |= CPU_SSE41;
  if (bit(l7.ebx, 29)) f |= CPU_SHA;
  if (bit(l7.ebx, 8)) f |= CPU_BMI2;

  // The vector extensions are usable only when the system saves their
  // registers: XMM and YMM state for AVX2, and the opmask and ZMM state as
  // well for AVX-512.
  if (bit(l1.ecx, 27) && bit(l1.ecx, 28)) {  // OSXSAVE, AVX
    const std::uint64_t xcr0 = os_saved_state();
    const bool ymm = (xcr0 & 0x6u) == 0x6u;
    const bool zmm = (xcr0 & 0xE6u) == 0xE6u;
    if (ymm && bit(l7.ebx, 5)) f |= CPU_AVX2;
    if (zmm && bit(l7.ebx, 16) && bit(l7.ebx, 31)) f |= CPU_AVX512VL;  // AVX512F, AVX512VL
  }
  return f;
}

#elif ZMRGEN_ARM_PATHS

// The system reports the instructions it lets user code run.
std::uint32_t detect_features() {
  const unsigned long hwcap = getauxval(AT_HWCAP);
  std::uint32_t f = 0;
  if ((hwcap & HWCAP_SHA1) != 0) f |= CPU_ARM_SHA1;
  if ((hwcap & HWCAP_SHA512) != 0) f |= CPU_ARM_SHA512;
  return f;
}

#else

std::uint32_t detect_features() { return 0; }

#endif

// Found on first use and kept in a constant-initialised atomic rather than a
// function-local static: no initialisation guard, so the program needs
// nothing from the C++ runtime library for it. Two threads racing on first
// use compute the same value.
constexpr std::uint32_t FEATURES_KNOWN = 1u << 31;
std::atomic<std::uint32_t> known_features{0};

}  // namespace

std::uint32_t cpu_features() {
  std::uint32_t f = known_features.load(std::memory_order_relaxed);
  if (f == 0) {
    f = detect_features() | FEATURES_KNOWN;
    known_features.store(f, std::memory_order_relaxed);
  }
  return f & ~FEATURES_KNOWN;
}
