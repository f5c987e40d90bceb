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

#include <cstddef>

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
// KEEP_T1 also stops the optimiser from folding D into Maj first, which
// would put the subtraction on A's chain; it is measured faster with
// AVX-512, while with AVX2 the register it holds costs more than it gains.
template <bool KEEP_T1>
inline void round(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                  std::uint64_t e, std::uint64_t f, std::uint64_t g, std::uint64_t& h,
                  std::uint64_t wk) {
  std::uint64_t e_new = d + h + wk;
  ZMRGEN_PIN(e_new);
  e_new += g ^ (e & (f ^ g));
  ZMRGEN_PIN(e_new);
  e_new += big_sigma1(e);
  std::uint64_t a_new = e_new - d;
  if constexpr (KEEP_T1) ZMRGEN_PIN(a_new);
  a_new += (a & (b ^ c)) ^ (b & c);
  ZMRGEN_PIN(a_new);
  a_new += big_sigma0(a);
  d = e_new;
  h = a_new;
}

#undef ZMRGEN_PIN

// Rounds t and t + 1 of the current block, whose schedule is in `cur`.
template <bool AVX512>
inline void two_rounds(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d,
                       std::uint64_t& e, std::uint64_t& f, std::uint64_t& g, std::uint64_t& h,
                       const std::uint64_t* cur, int t) {
  round<AVX512>(a, b, c, d, e, f, g, h, cur[t]);
  round<AVX512>(h, a, b, c, d, e, f, g, cur[t + 1]);
}

// Words 2i and 2i + 1 of the block at `in` into x, and to wk with their
// round constants; `in` is file bytes or words already packed.
inline void load_pair(__m128i& x, const std::uint8_t* in, std::uint64_t* wk, int i) {
  x = load_pair_avx2(in + 16 * static_cast<std::ptrdiff_t>(i));
  store_wk_avx2(wk, x, 2 * i);
}
inline void load_pair(__m128i& x, const std::uint64_t* in, std::uint64_t* wk, int i) {
  x = load_words_avx2(in + 2 * static_cast<std::ptrdiff_t>(i));
  store_wk_avx2(wk, x, 2 * i);
}

// Schedule words s and s + 1 (16 <= s < 80) of a block, from the registers
// holding its words s - 16 .. s - 1; they replace words s - 16, s - 15 in
// x0 and go to wk with their round constants.
template <bool AVX512>
inline void schedule_pair(__m128i& x0, __m128i x1, __m128i x4, __m128i x5, __m128i x7,
                          std::uint64_t* wk, int s) {
  if constexpr (AVX512) {
    x0 = next_pair_avx512(x0, x1, x4, x5, x7);
  } else {
    x0 = next_pair_avx2(x0, x1, x4, x5, x7);
  }
  store_wk_avx2(wk, x0, s);
}

// Sixteen schedule words from s; the registers come back to the same names.
template <bool AVX512>
inline void schedule_sixteen(__m128i& x0, __m128i& x1, __m128i& x2, __m128i& x3, __m128i& x4,
                             __m128i& x5, __m128i& x6, __m128i& x7, std::uint64_t* wk, int s) {
  schedule_pair<AVX512>(x0, x1, x4, x5, x7, wk, s);
  schedule_pair<AVX512>(x1, x2, x5, x6, x0, wk, s + 2);
  schedule_pair<AVX512>(x2, x3, x6, x7, x1, wk, s + 4);
  schedule_pair<AVX512>(x3, x4, x7, x0, x2, wk, s + 6);
  schedule_pair<AVX512>(x4, x5, x0, x1, x3, wk, s + 8);
  schedule_pair<AVX512>(x5, x6, x1, x2, x4, wk, s + 10);
  schedule_pair<AVX512>(x6, x7, x2, x3, x5, wk, s + 12);
  schedule_pair<AVX512>(x7, x0, x3, x4, x6, wk, s + 14);
}

// Rounds t .. t + 15 of the current block, each pair after two of the next
// block's schedule words t .. t + 15; the working words and the registers
// come back to the same names.
template <bool AVX512>
inline void sixteen_rounds(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d,
                           std::uint64_t& e, std::uint64_t& f, std::uint64_t& g, std::uint64_t& h,
                           __m128i& x0, __m128i& x1, __m128i& x2, __m128i& x3, __m128i& x4,
                           __m128i& x5, __m128i& x6, __m128i& x7, const std::uint64_t* cur,
                           std::uint64_t* nxt, int t) {
  schedule_pair<AVX512>(x0, x1, x4, x5, x7, nxt, t);
  two_rounds<AVX512>(a, b, c, d, e, f, g, h, cur, t);
  schedule_pair<AVX512>(x1, x2, x5, x6, x0, nxt, t + 2);
  two_rounds<AVX512>(g, h, a, b, c, d, e, f, cur, t + 2);
  schedule_pair<AVX512>(x2, x3, x6, x7, x1, nxt, t + 4);
  two_rounds<AVX512>(e, f, g, h, a, b, c, d, cur, t + 4);
  schedule_pair<AVX512>(x3, x4, x7, x0, x2, nxt, t + 6);
  two_rounds<AVX512>(c, d, e, f, g, h, a, b, cur, t + 6);
  schedule_pair<AVX512>(x4, x5, x0, x1, x3, nxt, t + 8);
  two_rounds<AVX512>(a, b, c, d, e, f, g, h, cur, t + 8);
  schedule_pair<AVX512>(x5, x6, x1, x2, x4, nxt, t + 10);
  two_rounds<AVX512>(g, h, a, b, c, d, e, f, cur, t + 10);
  schedule_pair<AVX512>(x6, x7, x2, x3, x5, nxt, t + 12);
  two_rounds<AVX512>(e, f, g, h, a, b, c, d, cur, t + 12);
  schedule_pair<AVX512>(x7, x0, x3, x4, x6, nxt, t + 14);
  two_rounds<AVX512>(c, d, e, f, g, h, a, b, cur, t + 14);
}

// Folds `count` blocks into the chaining words: `in` holds 128 bytes per
// block, or 16 words.
//
// The schedule runs one block ahead of the rounds: while the rounds of a
// block run, the next block's words are loaded and its schedule computed,
// so the schedule's own dependency chain (a vector operation takes several
// cycles) has a whole block's time to complete. The last block schedules
// itself a second time, into the spare buffer, rather than branch.
template <bool AVX512, typename Input>
inline void compress_blocks(std::uint64_t* state, const Input* in, std::size_t count) {
  constexpr std::size_t STRIDE = 128 / sizeof(Input);
  if (count == 0) return;

  alignas(16) std::uint64_t wk_a[80];
  alignas(16) std::uint64_t wk_b[80];
  std::uint64_t* cur = wk_a;
  std::uint64_t* nxt = wk_b;
  std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  __m128i x0, x1, x2, x3, x4, x5, x6, x7;

  // The first block's schedule, on its own.
  load_pair(x0, in, cur, 0);
  load_pair(x1, in, cur, 1);
  load_pair(x2, in, cur, 2);
  load_pair(x3, in, cur, 3);
  load_pair(x4, in, cur, 4);
  load_pair(x5, in, cur, 5);
  load_pair(x6, in, cur, 6);
  load_pair(x7, in, cur, 7);
  schedule_sixteen<AVX512>(x0, x1, x2, x3, x4, x5, x6, x7, cur, 16);
  schedule_sixteen<AVX512>(x0, x1, x2, x3, x4, x5, x6, x7, cur, 32);
  schedule_sixteen<AVX512>(x0, x1, x2, x3, x4, x5, x6, x7, cur, 48);
  schedule_sixteen<AVX512>(x0, x1, x2, x3, x4, x5, x6, x7, cur, 64);

  for (;;) {
    const Input* next = count > 1 ? in + STRIDE : in;

    load_pair(x0, next, nxt, 0);
    two_rounds<AVX512>(a, b, c, d, e, f, g, h, cur, 0);
    load_pair(x1, next, nxt, 1);
    two_rounds<AVX512>(g, h, a, b, c, d, e, f, cur, 2);
    load_pair(x2, next, nxt, 2);
    two_rounds<AVX512>(e, f, g, h, a, b, c, d, cur, 4);
    load_pair(x3, next, nxt, 3);
    two_rounds<AVX512>(c, d, e, f, g, h, a, b, cur, 6);
    load_pair(x4, next, nxt, 4);
    two_rounds<AVX512>(a, b, c, d, e, f, g, h, cur, 8);
    load_pair(x5, next, nxt, 5);
    two_rounds<AVX512>(g, h, a, b, c, d, e, f, cur, 10);
    load_pair(x6, next, nxt, 6);
    two_rounds<AVX512>(e, f, g, h, a, b, c, d, cur, 12);
    load_pair(x7, next, nxt, 7);
    two_rounds<AVX512>(c, d, e, f, g, h, a, b, cur, 14);
    sixteen_rounds<AVX512>(a, b, c, d, e, f, g, h, x0, x1, x2, x3, x4, x5, x6, x7, cur, nxt, 16);
    sixteen_rounds<AVX512>(a, b, c, d, e, f, g, h, x0, x1, x2, x3, x4, x5, x6, x7, cur, nxt, 32);
    sixteen_rounds<AVX512>(a, b, c, d, e, f, g, h, x0, x1, x2, x3, x4, x5, x6, x7, cur, nxt, 48);
    sixteen_rounds<AVX512>(a, b, c, d, e, f, g, h, x0, x1, x2, x3, x4, x5, x6, x7, cur, nxt, 64);

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
