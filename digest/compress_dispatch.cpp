// Choosing the compression path: which paths this binary holds, which of
// them this CPU can run, and which one the file digests use. The arithmetic
// lives in the per-path files; nothing here computes a digest.
#include "digest/compress_dispatch.h"

#include <atomic>

#include "digest/block_core.h"
#include "digest/compress_paths.h"

#if ZMRGEN_X86_PATHS
#if ZMRGEN_MSVC
#include <intrin.h>
#else
#include <cpuid.h>
#endif
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
std::uint32_t detect_features() { return os_arm_crypto_features() << CPU_ARM_SHIFT; }

#else

std::uint32_t detect_features() { return 0; }

#endif

// Every path this binary holds: the portable one first, then the others in
// rising order of speed. The active path is the last one that runs here.
constexpr Sha1Path SHA1_PATHS[] = {
    {"portable", 0, sha1_blocks_portable},
#if ZMRGEN_X86_PATHS
    {"shani", CPU_SHA | CPU_SSSE3 | CPU_SSE41, sha1_blocks_shani},
#endif
#if ZMRGEN_ARM_PATHS
    {"armv8", CPU_ARM_SHA1, sha1_blocks_arm},
#endif
};

constexpr Sha512Path SHA512_PATHS[] = {
    {"portable", 0, sha512_blocks_portable},
#if ZMRGEN_X86_PATHS
    {"avx2", CPU_AVX2 | CPU_BMI2, sha512_blocks_avx2},
    {"avx512", CPU_AVX512VL | CPU_AVX2 | CPU_BMI2, sha512_blocks_avx512},
#endif
#if ZMRGEN_ARM_PATHS
    {"armv8", CPU_ARM_SHA512, sha512_blocks_arm},
#endif
};

void both_blocks_portable(std::uint32_t* h1, std::uint64_t* h5, const std::uint8_t* data,
                          std::size_t count) {
  sha1_blocks_portable(h1, data, 2 * count);
  sha512_blocks_portable(h5, data, count);
}

const Sha1Path& sha1_choice();
const Sha512Path& sha512_choice();

// The two chosen paths one after the other over the same run (it is still
// in the processor's cache for the second).
void both_blocks_in_turn(std::uint32_t* h1, std::uint64_t* h5, const std::uint8_t* data,
                         std::size_t count) {
  sha1_choice().blocks(h1, data, 2 * count);
  sha512_choice().blocks(h5, data, count);
}

constexpr BothPath BOTH_PATHS[] = {
    {"portable", 0, both_blocks_portable},
    {"in_turn", 0, both_blocks_in_turn},
#if ZMRGEN_X86_PATHS
    {"shani_avx2", CPU_SHA | CPU_SSSE3 | CPU_SSE41 | CPU_AVX2 | CPU_BMI2, both_blocks_shani_avx2},
#endif
};

template <typename Path, std::size_t N>
const Path& best_path(const Path (&paths)[N]) {
  for (std::size_t i = N; i-- > 1;) {
    if (path_runs_here(paths[i])) return paths[i];
  }
  return paths[0];
}

}  // namespace

// The choices are made on first use and kept in constant-initialised
// atomics rather than function-local statics: no initialisation guard, so
// the program needs nothing from the C++ runtime library for them. Two
// threads racing on first use compute the same value.
namespace {

constexpr std::uint32_t FEATURES_KNOWN = 1u << 31;
std::atomic<std::uint32_t> known_features{0};
std::atomic<const Sha1Path*> chosen_sha1{nullptr};
std::atomic<const Sha512Path*> chosen_sha512{nullptr};
std::atomic<const BothPath*> chosen_both{nullptr};

}  // namespace

std::uint32_t cpu_features() {
  std::uint32_t f = known_features.load(std::memory_order_relaxed);
  if (f == 0) {
    f = detect_features() | FEATURES_KNOWN;
    known_features.store(f, std::memory_order_relaxed);
  }
  return f & ~FEATURES_KNOWN;
}

std::span<const Sha1Path> sha1_paths() { return SHA1_PATHS; }
std::span<const Sha512Path> sha512_paths() { return SHA512_PATHS; }
std::span<const BothPath> both_paths() { return BOTH_PATHS; }

namespace {

// The last path of `paths` that runs here, kept in `chosen` after the first
// call.
template <typename Path, std::size_t N>
const Path& chosen_path(std::atomic<const Path*>& chosen, const Path (&paths)[N]) {
  const Path* p = chosen.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = &best_path(paths);
    chosen.store(p, std::memory_order_release);
  }
  return *p;
}

const Sha1Path& sha1_choice() { return chosen_path(chosen_sha1, SHA1_PATHS); }
const Sha512Path& sha512_choice() { return chosen_path(chosen_sha512, SHA512_PATHS); }

}  // namespace

const Sha1Path& sha1_active_path() { return sha1_choice(); }
const Sha512Path& sha512_active_path() { return sha512_choice(); }
const BothPath& both_active_path() { return chosen_path(chosen_both, BOTH_PATHS); }
