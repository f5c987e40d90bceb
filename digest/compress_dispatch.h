// The block compressions built into this binary and the one chosen for the
// CPU it runs on.
//
// Every digest has a portable path, which is the reference, and may have
// paths that use CPU extensions (x86 SHA instructions, BMI2, AVX2,
// AVX-512). Each path is one function that folds a run of whole blocks of
// bytes; the framing hands it blocks straight from the file's buffer and its
// tail blocks stored back as bytes. The choice is made once, from CPUID, on
// first use; every path gives the same words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/processor.h"

// Folds `count` consecutive blocks of 16 * sizeof(Word) bytes, read as
// big-endian words from `data` (no alignment needed), into h.
template <typename Word>
using BlocksFn = void (*)(Word* h, const std::uint8_t* data, std::size_t count);

// Folds `count` consecutive blocks of 128 bytes into both digests: each as
// two SHA-1 blocks into h1 and one SHA-512 block into h5.
using BothBlocksFn = void (*)(std::uint32_t* h1, std::uint64_t* h5, const std::uint8_t* data,
                              std::size_t count);

template <typename Word>
struct CompressPath {
  const char* name;     // short and stable: "portable", "shani", "avx2", ...
  std::uint32_t needs;  // CPU_* bits (platform/processor.h) it needs; 0 for the portable path
  BlocksFn<Word> blocks;
};

using Sha1Path = CompressPath<std::uint32_t>;
using Sha512Path = CompressPath<std::uint64_t>;

// A path for both digests over the same bytes: one core that interleaves
// the two compressions, or the two chosen paths one after the other.
struct BothPath {
  const char* name;
  std::uint32_t needs;
  BothBlocksFn blocks;
};

// True when this machine can run `path`.
template <typename Path>
bool path_runs_here(const Path& path) {
  return (cpu_features() & path.needs) == path.needs;
}

// Every path built into this binary, the portable one first, whether or not
// this machine can run it. Tests and fuzz targets compare each path that
// runs here against the first.
std::span<const Sha1Path> sha1_paths();
std::span<const Sha512Path> sha512_paths();
// For both digests: "portable" (the two portable paths, the reference),
// "in_turn" (the two chosen paths back to back, where no core of its own
// runs), then the interleaved cores.
std::span<const BothPath> both_paths();

// The path the file digests use: the fastest that runs here, chosen once.
const Sha1Path& sha1_active_path();
const Sha512Path& sha512_active_path();
const BothPath& both_active_path();
