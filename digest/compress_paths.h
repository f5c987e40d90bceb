// Entry points of the individual compression paths, for the dispatcher and
// for nothing else: callers go through digest/compress_dispatch.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/target.h"

// Every path is one function over whole blocks of bytes (see BlocksFn).
// Portable paths (sha1.cpp, sha512.cpp); sha1_compress and sha512_compress
// are their word-level cores, the reference the others are checked against.
void sha1_blocks_portable(std::uint32_t* h, const std::uint8_t* data, std::size_t count);
void sha512_blocks_portable(std::uint64_t* h, const std::uint8_t* data, std::size_t count);

#if ZMRGEN_X86_PATHS
// SHA-1 with the x86 SHA instructions (sha1_x86.cpp); needs SHA, SSSE3, SSE4.1.
void sha1_blocks_shani(std::uint32_t* h, const std::uint8_t* data, std::size_t count);

// SHA-512 with BMI2 rotations in the rounds and the message schedule in
// vector registers (sha512_x86.cpp): AVX2, or AVX-512VL with its rotations.
void sha512_blocks_avx2(std::uint64_t* h, const std::uint8_t* data, std::size_t count);
void sha512_blocks_avx512(std::uint64_t* h, const std::uint8_t* data, std::size_t count);

// Both digests over the same 128-byte blocks, the SHA-1 steps on the SHA
// instructions interleaved with the SHA-512 rounds of the AVX2 path
// (both_x86.cpp); needs what both of those need.
void both_blocks_shani_avx2(std::uint32_t* h1, std::uint64_t* h5, const std::uint8_t* data,
                            std::size_t count);
#endif

#if ZMRGEN_ARM_PATHS
// SHA-1 with the ARMv8 SHA-1 instructions (sha1_arm.cpp).
void sha1_blocks_arm(std::uint32_t* h, const std::uint8_t* data, std::size_t count);

// SHA-512 with the ARMv8.2 SHA-512 instructions (sha512_arm.cpp).
void sha512_blocks_arm(std::uint64_t* h, const std::uint8_t* data, std::size_t count);
#endif
