// SHA-512 compression for x86-64 with BMI2 and AVX2 or AVX-512VL.
//
// The eighty rounds run on general registers, where BMI2's RORX rotates
// without disturbing its source. A round is four operations deep along E
// and along A, and about 24 integer operations wide; on the machines
// measured the width is the tighter limit (the rounds keep the integer
// units nearly full). The message schedule runs in vector registers, two
// words at a time, one block ahead of the rounds, and is stored with the
// round constants already added, so each round reads one word from memory.
// AVX2 builds each rotation from two shifts; AVX-512VL has a rotation
// instruction and a three-way exclusive or.
//
// The rounds are plain code inlined into the entry points of each variant,
// which carry the CPU target; only the vector helpers carry a target of
// their own.
#include "digest/compress_paths.h"

#if ZMRGEN_X86_PATHS

#include <immintrin.h>

#include "digest/sha512.h"

#if defined(_MSC_VER) && !defined(__clang__)
#define ZMRGEN_TARGET_AVX2
#define ZMRGEN_TARGET_AVX512
#define ZMRGEN_FLATTEN
#else
#define ZMRGEN_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#define ZMRGEN_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,avx2,bmi,bmi2")))
#define ZMRGEN_FLATTEN __attribute__((flatten))
#endif

namespace {

// ---- Vector helpers: schedule words two at a time ----

// Two words of the block from file bytes (each word big-endian) or from
// words already packed.
ZMRGEN_TARGET_AVX2 inline __m128i load_pair_avx2(const std::uint8_t* p) {
  const __m128i swap = _mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap);
}
ZMRGEN_TARGET_AVX2 inline __m128i load_words_avx2(const std::uint64_t* m) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m));
}

// Stores words t, t+1 of the schedule with their round constants added.
ZMRGEN_TARGET_AVX2 inline void store_wk_avx2(std::uint64_t* wk, __m128i w, int t) {
  const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(SHA512_K + t));
  _mm_store_si128(reinterpret_cast<__m128i*>(wk + t), _mm_add_epi64(w, k));
}

ZMRGEN_TARGET_AVX2 inline __m128i ror_avx2(__m128i x, int n) {
  return _mm_or_si128(_mm_srli_epi64(x, n), _mm_slli_epi64(x, 64 - n));
}

// Words t+16, t+17 from the registers holding words t..t+1 (x0), t+2..t+3
// (x1), t+8..t+9 (x4), t+10..t+11 (x5) and t+14..t+15 (x7).
ZMRGEN_TARGET_AVX2 inline __m128i next_pair_avx2(__m128i x0, __m128i x1, __m128i x4, __m128i x5,
                                                 __m128i x7) {
  const __m128i w1 = _mm_alignr_epi8(x1, x0, 8);  // words t+1, t+2
  const __m128i w9 = _mm_alignr_epi8(x5, x4, 8);  // words t+9, t+10
  const __m128i s0 =
      _mm_xor_si128(_mm_xor_si128(ror_avx2(w1, 1), ror_avx2(w1, 8)), _mm_srli_epi64(w1, 7));
  const __m128i s1 =
      _mm_xor_si128(_mm_xor_si128(ror_avx2(x7, 19), ror_avx2(x7, 61)), _mm_srli_epi64(x7, 6));
  return _mm_add_epi64(_mm_add_epi64(x0, s0), _mm_add_epi64(w9, s1));
}

ZMRGEN_TARGET_AVX512 inline __m128i next_pair_avx512(__m128i x0, __m128i x1, __m128i x4, __m128i x5,
                                                     __m128i x7) {
  const __m128i w1 = _mm_alignr_epi8(x1, x0, 8);
  const __m128i w9 = _mm_alignr_epi8(x5, x4, 8);
  // 0x96 is the truth table of a ^ b ^ c.
  const __m128i s0 = _mm_ternarylogic_epi64(_mm_ror_epi64(w1, 1), _mm_ror_epi64(w1, 8),
                                            _mm_srli_epi64(w1, 7), 0x96);
  const __m128i s1 = _mm_ternarylogic_epi64(_mm_ror_epi64(x7, 19), _mm_ror_epi64(x7, 61),
                                            _mm_srli_epi64(x7, 6), 0x96);
  return _mm_add_epi64(_mm_add_epi64(x0, s0), _mm_add_epi64(w9, s1));
}

// ---- Rounds ----

template <int N>
inline std::uint64_t ror(std::uint64_t x) {
  return (x >> N) | (x << (64 - N));
}

inline std::uint64_t big_sigma0(std::uint64_t x) { return ror<28>(x) ^ ror<34>(x) ^ ror<39>(x); }
inline std::uint64_t big_sigma1(std::uint64_t x) { return ror<14>(x) ^ ror<18>(x) ^ ror<41>(x); }

// Hides a value's origin from the optimiser, so that the sums below are
// added in the order written and not reassociated.
#if defined(_MSC_VER) && !defined(__clang__)
#define ZMRGEN_PIN(x) ((void)0)
#else
#define ZMRGEN_PIN(x) __asm__("" : "+r"(x))
#endif

// One round with the working words renamed instead of moved (the new A
// lands in h, the new E in d); wk is the schedule word plus the constant.
//
// The sums are ordered for the two chains: the new E is D + H + WK, known
// early, then Ch(E, F, G) (two operations deep), then Sigma1(E) (three deep),
// so E costs four operations per round. T1 comes back as the new E less D,
// and the new A adds Maj (two deep, in the form with B ^ C and B & C known
// early) before Sigma0 (three deep): four operations per round for A too.
#define SHA512_ROUND(a, b, c, d, e, f, g, h, wk) \
  do {                                           \
    std::uint64_t e_new = d + h + (wk);          \
    ZMRGEN_PIN(e_new);                           \
    e_new += g ^ (e & (f ^ g));                  \
    ZMRGEN_PIN(e_new);                           \
    e_new += big_sigma1(e);                      \
    std::uint64_t a_new = e_new - d;             \
    a_new += (a & (b ^ c)) ^ (b & c);            \
    ZMRGEN_PIN(a_new);                           \
    a_new += big_sigma0(a);                      \
    d = e_new;                                   \
    h = a_new;                                   \
  } while (0)

// Schedule words s and s + 1 (16 <= s < 80) of a block, from the registers
// holding its words s - 16 .. s - 1; they replace words s - 16, s - 15 in
// x0 and go to wk with their round constants.
#define SHA512_SCHEDULE(x0, x1, x4, x5, x7, wk, s) \
  do {                                             \
    x0 = NEXT_PAIR(x0, x1, x4, x5, x7);            \
    store_wk_avx2(wk, x0, s);                      \
  } while (0)

// Words 2i and 2i + 1 of the block at `in` into x, and to wk with their
// round constants.
#define SHA512_LOAD(x, in, wk, i)          \
  do {                                     \
    if constexpr (FROM_BYTES) {            \
      x = load_pair_avx2((in) + 16 * (i)); \
    } else {                               \
      x = load_words_avx2((in) + 2 * (i)); \
    }                                      \
    store_wk_avx2(wk, x, 2 * (i));         \
  } while (0)

// Sixteen schedule words from s; the registers come back to the same names.
#define SHA512_SCHEDULE_SIXTEEN(wk, s)               \
  SHA512_SCHEDULE(x0, x1, x4, x5, x7, wk, (s));      \
  SHA512_SCHEDULE(x1, x2, x5, x6, x0, wk, (s) + 2);  \
  SHA512_SCHEDULE(x2, x3, x6, x7, x1, wk, (s) + 4);  \
  SHA512_SCHEDULE(x3, x4, x7, x0, x2, wk, (s) + 6);  \
  SHA512_SCHEDULE(x4, x5, x0, x1, x3, wk, (s) + 8);  \
  SHA512_SCHEDULE(x5, x6, x1, x2, x4, wk, (s) + 10); \
  SHA512_SCHEDULE(x6, x7, x2, x3, x5, wk, (s) + 12); \
  SHA512_SCHEDULE(x7, x0, x3, x4, x6, wk, (s) + 14)

// Rounds t and t + 1 of the current block, with one piece of the next
// block's schedule placed between them.
#define SHA512_TWO(work, a, b, c, d, e, f, g, h, t)     \
  do {                                                  \
    work;                                               \
    SHA512_ROUND(a, b, c, d, e, f, g, h, cur[t]);       \
    SHA512_ROUND(h, a, b, c, d, e, f, g, cur[(t) + 1]); \
  } while (0)

// Rounds t .. t + 15 beside the next block's schedule words t .. t + 15.
#define SHA512_SIXTEEN(t)                                                                         \
  SHA512_TWO(SHA512_SCHEDULE(x0, x1, x4, x5, x7, nxt, (t)), a, b, c, d, e, f, g, h, (t));         \
  SHA512_TWO(SHA512_SCHEDULE(x1, x2, x5, x6, x0, nxt, (t) + 2), g, h, a, b, c, d, e, f, (t) + 2); \
  SHA512_TWO(SHA512_SCHEDULE(x2, x3, x6, x7, x1, nxt, (t) + 4), e, f, g, h, a, b, c, d, (t) + 4); \
  SHA512_TWO(SHA512_SCHEDULE(x3, x4, x7, x0, x2, nxt, (t) + 6), c, d, e, f, g, h, a, b, (t) + 6); \
  SHA512_TWO(SHA512_SCHEDULE(x4, x5, x0, x1, x3, nxt, (t) + 8), a, b, c, d, e, f, g, h, (t) + 8); \
  SHA512_TWO(SHA512_SCHEDULE(x5, x6, x1, x2, x4, nxt, (t) + 10), g, h, a, b, c, d, e, f,          \
             (t) + 10);                                                                           \
  SHA512_TWO(SHA512_SCHEDULE(x6, x7, x2, x3, x5, nxt, (t) + 12), e, f, g, h, a, b, c, d,          \
             (t) + 12);                                                                           \
  SHA512_TWO(SHA512_SCHEDULE(x7, x0, x3, x4, x6, nxt, (t) + 14), c, d, e, f, g, h, a, b, (t) + 14)

// Folds `count` blocks into h: `in` holds 128 bytes per block when
// FROM_BYTES, else 16 words.
//
// The schedule runs one block ahead of the rounds: while the rounds of a
// block run, the next block's words are loaded and its schedule computed,
// so the schedule's own dependency chain (a vector operation takes several
// cycles) has a whole block's time to complete. The last block schedules
// itself a second time, into the spare buffer, rather than branch.
template <bool AVX512, typename Input>
inline void compress_blocks(std::uint64_t* state, const Input* in, std::size_t count) {
  constexpr bool FROM_BYTES = sizeof(Input) == 1;
  constexpr std::size_t STRIDE = FROM_BYTES ? 128 : 16;
  if (count == 0) return;

  alignas(16) std::uint64_t wk_a[80];
  alignas(16) std::uint64_t wk_b[80];
  std::uint64_t* cur = wk_a;
  std::uint64_t* nxt = wk_b;
  std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  __m128i x0, x1, x2, x3, x4, x5, x6, x7;

  // The first block's schedule, on its own.
  SHA512_LOAD(x0, in, cur, 0);
  SHA512_LOAD(x1, in, cur, 1);
  SHA512_LOAD(x2, in, cur, 2);
  SHA512_LOAD(x3, in, cur, 3);
  SHA512_LOAD(x4, in, cur, 4);
  SHA512_LOAD(x5, in, cur, 5);
  SHA512_LOAD(x6, in, cur, 6);
  SHA512_LOAD(x7, in, cur, 7);
  if constexpr (AVX512) {
#define NEXT_PAIR next_pair_avx512
    SHA512_SCHEDULE_SIXTEEN(cur, 16);
    SHA512_SCHEDULE_SIXTEEN(cur, 32);
    SHA512_SCHEDULE_SIXTEEN(cur, 48);
    SHA512_SCHEDULE_SIXTEEN(cur, 64);
#undef NEXT_PAIR
  } else {
#define NEXT_PAIR next_pair_avx2
    SHA512_SCHEDULE_SIXTEEN(cur, 16);
    SHA512_SCHEDULE_SIXTEEN(cur, 32);
    SHA512_SCHEDULE_SIXTEEN(cur, 48);
    SHA512_SCHEDULE_SIXTEEN(cur, 64);
#undef NEXT_PAIR
  }

  for (;;) {
    const Input* next = count > 1 ? in + STRIDE : in;

    SHA512_TWO(SHA512_LOAD(x0, next, nxt, 0), a, b, c, d, e, f, g, h, 0);
    SHA512_TWO(SHA512_LOAD(x1, next, nxt, 1), g, h, a, b, c, d, e, f, 2);
    SHA512_TWO(SHA512_LOAD(x2, next, nxt, 2), e, f, g, h, a, b, c, d, 4);
    SHA512_TWO(SHA512_LOAD(x3, next, nxt, 3), c, d, e, f, g, h, a, b, 6);
    SHA512_TWO(SHA512_LOAD(x4, next, nxt, 4), a, b, c, d, e, f, g, h, 8);
    SHA512_TWO(SHA512_LOAD(x5, next, nxt, 5), g, h, a, b, c, d, e, f, 10);
    SHA512_TWO(SHA512_LOAD(x6, next, nxt, 6), e, f, g, h, a, b, c, d, 12);
    SHA512_TWO(SHA512_LOAD(x7, next, nxt, 7), c, d, e, f, g, h, a, b, 14);
    if constexpr (AVX512) {
#define NEXT_PAIR next_pair_avx512
      SHA512_SIXTEEN(16);
      SHA512_SIXTEEN(32);
      SHA512_SIXTEEN(48);
      SHA512_SIXTEEN(64);
#undef NEXT_PAIR
    } else {
#define NEXT_PAIR next_pair_avx2
      SHA512_SIXTEEN(16);
      SHA512_SIXTEEN(32);
      SHA512_SIXTEEN(48);
      SHA512_SIXTEEN(64);
#undef NEXT_PAIR
    }

    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
    f = state[5] += f;
    g = state[6] += g;
    h = state[7] += h;

    if (--count == 0) break;
    in = next;
    std::uint64_t* const done = cur;
    cur = nxt;
    nxt = done;
  }
}

#undef SHA512_SIXTEEN
#undef SHA512_TWO
#undef SHA512_SCHEDULE_SIXTEEN
#undef SHA512_SCHEDULE
#undef SHA512_LOAD
#undef SHA512_ROUND

}  // namespace

ZMRGEN_TARGET_AVX2 ZMRGEN_FLATTEN void sha512_compress_avx2(std::uint64_t* h,
                                                            const std::uint64_t* m) {
  compress_blocks<false>(h, m, 1);
}

ZMRGEN_TARGET_AVX2 ZMRGEN_FLATTEN void sha512_blocks_avx2(std::uint64_t* h,
                                                          const std::uint8_t* data,
                                                          std::size_t count) {
  compress_blocks<false>(h, data, count);
}

ZMRGEN_TARGET_AVX512 ZMRGEN_FLATTEN void sha512_compress_avx512(std::uint64_t* h,
                                                                const std::uint64_t* m) {
  compress_blocks<true>(h, m, 1);
}

ZMRGEN_TARGET_AVX512 ZMRGEN_FLATTEN void sha512_blocks_avx512(std::uint64_t* h,
                                                              const std::uint8_t* data,
                                                              std::size_t count) {
  compress_blocks<true>(h, data, count);
}

#endif  // ZMRGEN_X86_PATHS
