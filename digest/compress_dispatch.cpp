// Choosing the compression path: which paths this binary holds, which of
// them this CPU can run, and which one the file digests use. The arithmetic
// lives in the per-path files; nothing here computes a digest.
#include "digest/compress_dispatch.h"

#include <atomic>

#include "digest/block_core.h"
#include "digest/compress_paths.h"

namespace {

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

std::atomic<const Sha1Path*> chosen_sha1{nullptr};
std::atomic<const Sha512Path*> chosen_sha512{nullptr};
std::atomic<const BothPath*> chosen_both{nullptr};

}  // namespace

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
