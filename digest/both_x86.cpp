// Both digests over the same bytes with the x86 SHA instructions and AVX2.
#include "digest/block_core.h"
#include "digest/compress_paths.h"

#if ZMRGEN_X86_PATHS

void both_blocks_shani_avx2(std::uint32_t* h1, std::uint64_t* h5, const std::uint8_t* data,
                            std::size_t count) {
  sha1_blocks_shani(h1, data, 2 * count);
  sha512_blocks_avx2(h5, data, count);
}

#endif  // ZMRGEN_X86_PATHS
