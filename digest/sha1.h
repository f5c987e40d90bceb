// SHA-1 core (FIPS 180-1): chaining words and the compression of one block.
#pragma once

#include <cstdint>

// Initial hash value H0..H4.
inline constexpr std::uint32_t SHA1_H0[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                             0xC3D2E1F0u};

// The constants of steps 0-19, 20-39, 40-59 and 60-79.
inline constexpr std::uint32_t SHA1_K[4] = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};

// Folds one 16-word block (big-endian words) into the chaining words h.
void sha1_compress(std::uint32_t* h, const std::uint32_t* m);
