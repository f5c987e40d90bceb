// Both digests over the same bytes in one core: the SHA-1 steps on the x86
// SHA instructions interleaved with the SHA-512 rounds of the AVX2 path.
//
// The two compressions use different parts of the processor: SHA-512's
// rounds are scalar integer work that keeps the integer units busy, while
// SHA-1's SHA1RNDS4 steps run on the vector units as one long dependency
// chain that leaves them mostly waiting. Run one after the other, each
// waits on its own limit; interleaved, the SHA-1 chain advances in the
// shadow of the SHA-512 rounds. A 128-byte block is one SHA-512 block and
// two SHA-1 blocks: 40 steps of two SHA-512 rounds, and 40 groups of four
// SHA-1 steps, so each two rounds carry one SHA-1 group beside them.
#include "digest/sha512_x86_rounds.h"

#if ZMRGEN_X86_PATHS

#include <utility>

#if ZMRGEN_MSVC
#define ZMRGEN_TARGET_SHA
#define ZMRGEN_TARGET_BOTH
#else
#define ZMRGEN_TARGET_SHA __attribute__((target("sha,ssse3,sse4.1")))
#define ZMRGEN_TARGET_BOTH __attribute__((target("sha,ssse3,sse4.1,avx2,bmi,bmi2")))
#endif

namespace {

// The SHA-1 state beside the SHA-512 rounds: A, B, C, D in one register (A
// in the high lane), E in the high lane of another, the state at the start
// of the current 64-byte block, the state of the group before (whose A,
// rotated, is the next group's E), and the ring of four message groups.
struct Sha1Side {
  __m128i abcd, e_acc, abcd_start, e_start, prev;
  __m128i msg[4];
  const std::uint8_t* block;  // the 128 bytes of the SHA-512 block under way
};

// Message group g, words 4g .. 4g+3 with word 4g in the high lane (each
// big-endian).
ZMRGEN_TARGET_SHA inline __m128i load_group(const std::uint8_t* p) {
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// SHA-1 steps 4g .. 4g+3 of the 64-byte block that two-round step J (0 to
// 39) of the SHA-512 block covers: the first half of the 128 bytes for
// J < 20, the second after. Every index is a constant.
template <int J>
ZMRGEN_TARGET_SHA inline void sha1_group(Sha1Side& s) {
  constexpr int G = J < 20 ? J : J - 20;
  constexpr int R = G & 3;
  if constexpr (G == 0) {
    const std::uint8_t* p = s.block + (J < 20 ? 0 : 64);
    for (std::size_t i = 0; i < 4; ++i) s.msg[i] = load_group(p + 16 * i);
    s.abcd_start = s.abcd;
    s.e_start = s.e_acc;
    // Steps 0 .. 3 take E straight from the chaining value.
    s.prev = s.abcd;
    s.abcd = _mm_sha1rnds4_epu32(s.abcd, _mm_add_epi32(s.e_acc, s.msg[0]), 0);
  } else {
    // From group 4 on, group g comes from the four before it and replaces
    // group g - 4 in the ring.
    if constexpr (G >= 4) {
      const __m128i mixed =
          _mm_xor_si128(_mm_sha1msg1_epu32(s.msg[R], s.msg[(R + 1) & 3]), s.msg[(R + 2) & 3]);
      s.msg[R] = _mm_sha1msg2_epu32(mixed, s.msg[(R + 3) & 3]);
    }
    const __m128i e_w = _mm_sha1nexte_epu32(s.prev, s.msg[R]);
    s.prev = s.abcd;
    // The step function and constant: one per twenty steps.
    s.abcd = _mm_sha1rnds4_epu32(s.abcd, e_w, G / 5);
    if constexpr (G == 19) {
      // The final E is the rotated A of four steps before the end, added to
      // the starting E in the high lane, as the other words are below.
      s.e_acc = _mm_sha1nexte_epu32(s.prev, s.e_start);
      s.abcd = _mm_add_epi32(s.abcd, s.abcd_start);
    }
  }
}

// The four groups beside the eight SHA-512 rounds from round 2 * J0.
template <int J0, int... I>
ZMRGEN_TARGET_SHA inline void sha1_groups(Sha1Side& s, std::integer_sequence<int, I...>) {
  (sha1_group<J0 + I>(s), ...);
}

// The side the SHA-512 rounds carry: told of each block, then of each run
// of eight rounds (from round t + 2i).
struct Sha1Beside {
  Sha1Side* s;
  void block(const std::uint8_t* p) { s->block = p; }
  ZMRGEN_TARGET_SHA void rounds(int t, int i) {
    run_groups(t / 2 + i, std::make_integer_sequence<int, 10>{});
  }

  // The four groups from step j: the one of ten runs of constant index that
  // begins there.
  template <int... K>
  ZMRGEN_TARGET_SHA void run_groups(int j, std::integer_sequence<int, K...>) {
    constexpr auto FOUR = std::make_integer_sequence<int, 4>{};
    (void)((j == 4 * K ? (sha1_groups<4 * K>(*s, FOUR), true) : false) || ...);
  }
};

}  // namespace

ZMRGEN_TARGET_BOTH ZMRGEN_FLATTEN void both_blocks_shani_avx2(std::uint32_t* h1, std::uint64_t* h5,
                                                              const std::uint8_t* data,
                                                              std::size_t count) {
  Sha1Side s{};
  s.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h1)), 0x1B);
  s.e_acc = _mm_set_epi32(static_cast<int>(h1[4]), 0, 0, 0);
  Sha1Beside side{&s};
  compress_blocks<false>(h5, data, count, side);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h1), _mm_shuffle_epi32(s.abcd, 0x1B));
  h1[4] = static_cast<std::uint32_t>(_mm_extract_epi32(s.e_acc, 3));
}

#endif  // ZMRGEN_X86_PATHS
