// Fuzz target: every accelerated compression path against the portable one,
// and every path for both digests against the two portable cores.
//
// The input chooses the digest (or both), the chaining value (the initial one or any
// words at all), how far the blocks stand from an aligned address, and the
// blocks themselves. Each path this CPU can run must give, over the whole
// run of blocks, the chaining words of the portable word-level core applied
// block by block; a run of no blocks must change nothing. The blocks lie in a buffer of exactly
// their size, so a path that reads past them is caught.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "digest/compress_dispatch.h"
#include "digest/sha1.h"
#include "digest/sha512.h"
#include "fuzz_input.h"
#include "tests/one_shot.h"

namespace {

constexpr std::size_t MAX_BLOCKS = 24;

template <typename Word, std::size_t N>
void compare_paths(FuzzInput& in, std::span<const CompressPath<Word>> paths,
                   void (*core)(Word*, const Word*), const Word (&initial)[N]) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  FUZZ_CHECK(!paths.empty());
  FUZZ_CHECK(paths[0].needs == 0);  // the portable path comes first and runs anywhere

  const std::uint8_t shape = take_u8(in);
  const std::size_t misalign = shape & 15u;
  Word h0[N];
  for (std::size_t i = 0; i < N; ++i) {
    h0[i] = (shape & 0x10u) != 0 ? static_cast<Word>(take_u64(in)) : initial[i];
  }
  const std::size_t count = remaining(in) / BLOCK < MAX_BLOCKS ? remaining(in) / BLOCK : MAX_BLOCKS;

  // The blocks at the chosen distance from alignment, in a buffer that ends
  // where they end.
  std::vector<std::uint8_t> buffer(misalign + count * BLOCK);
  if (count > 0) std::memcpy(buffer.data() + misalign, in.data + in.at, count * BLOCK);
  const std::uint8_t* blocks = buffer.data() + misalign;

  // The reference: the portable word-level core, block by block.
  Word want[N];
  std::memcpy(want, h0, sizeof want);
  core_blocks(core, want, blocks, count);

  for (const CompressPath<Word>& path : paths) {
    if (!path_runs_here(path)) continue;
    Word h[N];
    std::memcpy(h, h0, sizeof h);
    path.blocks(h, blocks, count);
    FUZZ_CHECK(std::memcmp(h, want, sizeof h) == 0);

    std::memcpy(h, h0, sizeof h);
    path.blocks(h, blocks, 0);
    FUZZ_CHECK(std::memcmp(h, h0, sizeof h) == 0);
  }
}

// Both digests over the same 128-byte blocks: each path for both against
// the portable cores, SHA-1 over twice as many 64-byte blocks.
void compare_both_paths(FuzzInput& in) {
  constexpr std::size_t BLOCK = 128;
  const std::uint8_t shape = take_u8(in);
  const std::size_t misalign = shape & 15u;
  std::uint32_t h1_start[5];
  std::uint64_t h5_start[8];
  for (std::size_t i = 0; i < 5; ++i) {
    h1_start[i] = (shape & 0x10u) != 0 ? static_cast<std::uint32_t>(take_u64(in)) : SHA1_H0[i];
  }
  for (std::size_t i = 0; i < 8; ++i) {
    h5_start[i] = (shape & 0x20u) != 0 ? take_u64(in) : SHA512_H0[i];
  }
  const std::size_t count = remaining(in) / BLOCK < MAX_BLOCKS ? remaining(in) / BLOCK : MAX_BLOCKS;
  std::vector<std::uint8_t> buffer(misalign + count * BLOCK);
  if (count > 0) std::memcpy(buffer.data() + misalign, in.data + in.at, count * BLOCK);
  const std::uint8_t* blocks = buffer.data() + misalign;

  std::uint32_t want1[5];
  std::uint64_t want5[8];
  std::memcpy(want1, h1_start, sizeof want1);
  std::memcpy(want5, h5_start, sizeof want5);
  core_blocks(sha1_compress, want1, blocks, 2 * count);
  core_blocks(sha512_compress, want5, blocks, count);

  for (const BothPath& path : both_paths()) {
    if (!path_runs_here(path)) continue;
    std::uint32_t h1[5];
    std::uint64_t h5[8];
    std::memcpy(h1, h1_start, sizeof h1);
    std::memcpy(h5, h5_start, sizeof h5);
    path.blocks(h1, h5, blocks, count);
    FUZZ_CHECK(std::memcmp(h1, want1, sizeof h1) == 0);
    FUZZ_CHECK(std::memcmp(h5, want5, sizeof h5) == 0);
  }
}

template <typename Path>
void list_paths(const char* digest, std::span<const Path> paths) {
  for (const Path& path : paths) {
    std::fprintf(stderr, "fuzz_compress: %s path %s: %s\n", digest, path.name,
                 path_runs_here(path) ? "compared" : "not runnable here, skipped");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  list_paths<Sha1Path>("SHA-1", sha1_paths());
  list_paths<Sha512Path>("SHA-512", sha512_paths());
  list_paths<BothPath>("both", both_paths());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size, 0};
  const std::uint8_t digest = take_u8(in);
  if ((digest & 2u) != 0) {
    compare_both_paths(in);
  } else if ((digest & 1u) == 0) {
    compare_paths<std::uint32_t, 5>(in, sha1_paths(), sha1_compress, SHA1_H0);
  } else {
    compare_paths<std::uint64_t, 8>(in, sha512_paths(), sha512_compress, SHA512_H0);
  }
  return 0;
}
