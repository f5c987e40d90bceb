// SHA-1 compression with the x86 SHA instructions.
//
// SHA1RNDS4 runs four steps on A, B, C, D held in one register (A in the
// high lane) with the four schedule words, E already added to the first;
// SHA1NEXTE derives that E from the A of four steps before; SHA1MSG1 and
// SHA1MSG2 compute the schedule four words at a time. The function and the
// constant of SHA1RNDS4 are chosen by its immediate operand, one per twenty
// steps. The routines are built for these instructions alone, and the
// dispatcher calls them only on a CPU that has them.
#include "digest/block_core.h"
#include "digest/compress_paths.h"

#if ZMRGEN_X86_PATHS

#include <immintrin.h>

#include <utility>

#if ZMRGEN_MSVC
#define ZMRGEN_TARGET_SHA
#else
#define ZMRGEN_TARGET_SHA __attribute__((target("sha,ssse3,sse4.1")))
#endif

namespace {

// Message group g, words 4g .. 4g+3 with word 4g in the high lane, from
// the block's bytes (each word big-endian).
ZMRGEN_TARGET_SHA ZMRGEN_ALWAYS_INLINE __m128i load_group(const std::uint8_t* p) {
  // Reversing all sixteen bytes both swaps each word's bytes and puts the
  // first word in the high lane.
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// Steps 4G .. 4G+3 for G >= 1. The message groups sit in a ring of four
// registers; from G = 4 on, group G is computed from the four before it
// and replaces group G - 4. `prev` holds the state before the previous
// group, whose A, rotated, is this group's E.
template <int G>
ZMRGEN_TARGET_SHA ZMRGEN_ALWAYS_INLINE void steps(__m128i& abcd, __m128i& prev, __m128i* msg) {
  if constexpr (G >= 4) {
    const __m128i mixed =
        _mm_xor_si128(_mm_sha1msg1_epu32(msg[G & 3], msg[(G + 1) & 3]), msg[(G + 2) & 3]);
    msg[G & 3] = _mm_sha1msg2_epu32(mixed, msg[(G + 3) & 3]);
  }
  const __m128i e_w = _mm_sha1nexte_epu32(prev, msg[G & 3]);
  prev = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, e_w, G / 5);
}

template <int... G>
ZMRGEN_TARGET_SHA ZMRGEN_ALWAYS_INLINE void later_steps(__m128i& abcd, __m128i& prev, __m128i* msg,
                                                        std::integer_sequence<int, G...>) {
  (steps<G + 1>(abcd, prev, msg), ...);
}

}  // namespace

// Folds `count` blocks of 64 bytes into h.
ZMRGEN_TARGET_SHA void sha1_blocks_shani(std::uint32_t* h, const std::uint8_t* data,
                                         std::size_t count) {
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
  __m128i e_acc = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);

  for (; count > 0; --count) {
    __m128i msg[4];
    for (std::size_t i = 0; i < 4; ++i) {
      msg[i] = load_group(data + 16 * i);
    }
    const __m128i abcd_start = abcd;
    const __m128i e_start = e_acc;

    // Steps 0 .. 3 take E straight from the chaining value.
    __m128i prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e_acc, msg[0]), 0);
    later_steps(abcd, prev, msg, std::make_integer_sequence<int, 19>{});

    // The final E is the rotated A of four steps before the end; it is added
    // to the starting E in the high lane, as the other words are below.
    e_acc = _mm_sha1nexte_epu32(prev, e_start);
    abcd = _mm_add_epi32(abcd, abcd_start);

    data += 64;
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e_acc, 3));
}

#endif  // ZMRGEN_X86_PATHS
