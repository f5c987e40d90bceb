// SHA-512 compression for x86-64 with BMI2 and AVX2 or AVX-512VL: the
// rounds of sha512_x86_rounds.h with nothing beside them.
#include "digest/sha512_x86_rounds.h"

#if ZMRGEN_X86_PATHS

ZMRGEN_TARGET_AVX2 ZMRGEN_FLATTEN void sha512_blocks_avx2(std::uint64_t* h,
                                                          const std::uint8_t* data,
                                                          std::size_t count) {
  NoSide side;
  compress_blocks<false>(h, data, count, side);
}

ZMRGEN_TARGET_AVX512 ZMRGEN_FLATTEN void sha512_blocks_avx512(std::uint64_t* h,
                                                              const std::uint8_t* data,
                                                              std::size_t count) {
  NoSide side;
  compress_blocks<true>(h, data, count, side);
}

#endif  // ZMRGEN_X86_PATHS
