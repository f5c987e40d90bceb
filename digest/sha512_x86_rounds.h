// The SHA-512 rounds for x86-64 with BMI2 and AVX2 or AVX-512VL, for the
// files that build compression paths from them (sha512_x86.cpp alone, and
// both_x86.cpp interleaved with SHA-1): nothing else includes this.
//
// The eighty rounds run on general registers, where BMI2's RORX rotates
// without disturbing its source. The message schedules of two blocks run
// together in 256-bit registers (the first block in the low half, the
// second in the high), one pair of blocks ahead of the rounds, and are
// stored with the round constants already added, so each round reads one
// word from memory. AVX2 builds each rotation from two shifts (and the
// rotation by 8 from a byte shuffle); AVX-512VL has a rotation instruction
// and a three-way exclusive or.
//
// The rounds are plain code inlined into the entry points of each variant,
// which carry the CPU target; the vector helpers carry a target of their
// own. With every sixteen rounds a `Side` may do work of its own (the SHA-1
// steps of the same bytes); NoSide does none.
#pragma once

#include "digest/block_core.h"
#include "digest/compress_paths.h"

#if ZMRGEN_X86_PATHS

#include <immintrin.h>

#include <cstddef>

#include "digest/sha512.h"

#if ZMRGEN_MSVC
#define ZMRGEN_TARGET_AVX2
#define ZMRGEN_TARGET_AVX512
#define ZMRGEN_FLATTEN
#define ZMRGEN_UNROLL
#define ZMRGEN_NO_UNROLL
#else
#define ZMRGEN_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#define ZMRGEN_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,avx2,bmi,bmi2")))
#define ZMRGEN_FLATTEN __attribute__((flatten))
// Steps within sixteen rounds are unrolled whole, so that the renamed
// working words and the schedule registers stay in registers; the groups of
// sixteen rounds are not, so that the block's code stays small enough for
// the processor's decoded-instruction cache (fully unrolled, the decoders
// become the limit).
#define ZMRGEN_UNROLL _Pragma("GCC unroll 8")
#define ZMRGEN_NO_UNROLL _Pragma("GCC unroll 1")
#endif

namespace {

// ---- Vector helpers: the schedules of two blocks at once ----
//
// A register holds two schedule words of one block in its low half and the
// same two words of the next block in its high half; the instructions used
// work within each half, so one schedule step serves both blocks.

// Words 2i, 2i + 1 of two blocks, from their bytes (each word big-endian).
ZMRGEN_TARGET_AVX2 inline __m256i load_pair_avx2(const std::uint8_t* p0, const std::uint8_t* p1) {
  const __m256i swap = _mm256_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                       10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i x = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p0))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1)), 1);
  return _mm256_shuffle_epi8(x, swap);
}
// Stores words t, t + 1 (t even) of both schedules with their round
// constants added: the first block's at wk[2t], wk[2t + 1], the second
// block's at wk[2t + 2], wk[2t + 3].
ZMRGEN_TARGET_AVX2 inline void store_wk_avx2(std::uint64_t* wk, __m256i w, int t) {
  const __m256i k =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(SHA512_K + t)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 2 * static_cast<std::ptrdiff_t>(t)),
                     _mm256_add_epi64(w, k));
}

ZMRGEN_TARGET_AVX2 inline __m256i ror_avx2(__m256i x, int n) {
  return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}

// Words t+16, t+17 from the registers holding words t..t+1 (x0), t+2..t+3
// (x1), t+8..t+9 (x4), t+10..t+11 (x5) and t+14..t+15 (x7). The rotation by
// 8 is a byte shuffle.
ZMRGEN_TARGET_AVX2 inline __m256i next_pair_avx2(__m256i x0, __m256i x1, __m256i x4, __m256i x5,
                                                 __m256i x7) {
  const __m256i ror8 = _mm256_set_epi8(8, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1, 8, 15,
                                       14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1);
  const __m256i w1 = _mm256_alignr_epi8(x1, x0, 8);  // words t+1, t+2
  const __m256i w9 = _mm256_alignr_epi8(x5, x4, 8);  // words t+9, t+10
  const __m256i s0 = _mm256_xor_si256(
      _mm256_xor_si256(ror_avx2(w1, 1), _mm256_shuffle_epi8(w1, ror8)), _mm256_srli_epi64(w1, 7));
  const __m256i s1 = _mm256_xor_si256(_mm256_xor_si256(ror_avx2(x7, 19), ror_avx2(x7, 61)),
                                      _mm256_srli_epi64(x7, 6));
  return _mm256_add_epi64(_mm256_add_epi64(x0, s0), _mm256_add_epi64(w9, s1));
}

ZMRGEN_TARGET_AVX512 inline __m256i next_pair_avx512(__m256i x0, __m256i x1, __m256i x4, __m256i x5,
                                                     __m256i x7) {
  const __m256i w1 = _mm256_alignr_epi8(x1, x0, 8);
  const __m256i w9 = _mm256_alignr_epi8(x5, x4, 8);
  // 0x96 is the truth table of a ^ b ^ c.
  const __m256i s0 = _mm256_ternarylogic_epi64(_mm256_ror_epi64(w1, 1), _mm256_ror_epi64(w1, 8),
                                               _mm256_srli_epi64(w1, 7), 0x96);
  const __m256i s1 = _mm256_ternarylogic_epi64(_mm256_ror_epi64(x7, 19), _mm256_ror_epi64(x7, 61),
                                               _mm256_srli_epi64(x7, 6), 0x96);
  return _mm256_add_epi64(_mm256_add_epi64(x0, s0), _mm256_add_epi64(w9, s1));
}

// ---- Rounds ----

// One round with the working words renamed instead of moved (the new A
// lands in h, the new E in d); wk is the schedule word plus the constant.
//
// The rounds fill the machine's issue width, so the round is written for
// the fewest operations: Maj as b ^ ((a ^ b) & (b ^ c)), where b ^ c is the
// previous round's a ^ b, carried in `bc`.
inline void round(std::uint64_t a, std::uint64_t b, [[maybe_unused]] std::uint64_t c,
                  std::uint64_t& d, std::uint64_t e, std::uint64_t f, std::uint64_t g,
                  std::uint64_t& h, std::uint64_t wk, std::uint64_t& bc) {
  h += wk + sha512_big_sigma1(e) + sha512_ch(e, f, g);
  d += h;
  const std::uint64_t ab = a ^ b;
  h += sha512_big_sigma0(a) + (b ^ (ab & bc));
  bc = ab;
}

// Rounds t and t + 1 of one block, whose words plus constants are wk[2t]
// and wk[2t + 1] (see store_wk_avx2).
inline void two_rounds(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d,
                       std::uint64_t& e, std::uint64_t& f, std::uint64_t& g, std::uint64_t& h,
                       std::uint64_t& bc, const std::uint64_t* wk, int t) {
  const std::uint64_t* pair = wk + 2 * static_cast<std::ptrdiff_t>(t);
  round(a, b, c, d, e, f, g, h, pair[0], bc);
  round(h, a, b, c, d, e, f, g, pair[1], bc);
}

// Schedule words s and s + 1 (16 <= s < 80) of both blocks, from the
// registers holding their words s - 16 .. s - 1; they replace words s - 16,
// s - 15 in x0 and go to wk with their round constants. The registers come
// by reference, so that the callers, which carry no CPU target of their own,
// never pass a 256-bit vector by value.
ZMRGEN_TARGET_AVX2 inline void schedule_pair_avx2(__m256i& x0, const __m256i& x1, const __m256i& x4,
                                                  const __m256i& x5, const __m256i& x7,
                                                  std::uint64_t* wk, int s) {
  x0 = next_pair_avx2(x0, x1, x4, x5, x7);
  store_wk_avx2(wk, x0, s);
}
ZMRGEN_TARGET_AVX512 inline void schedule_pair_avx512(__m256i& x0, const __m256i& x1,
                                                      const __m256i& x4, const __m256i& x5,
                                                      const __m256i& x7, std::uint64_t* wk, int s) {
  x0 = next_pair_avx512(x0, x1, x4, x5, x7);
  store_wk_avx2(wk, x0, s);
}

// The working words of one block's compression, with Maj's carried b ^ c.
struct Work {
  std::uint64_t a, b, c, d, e, f, g, h, bc;
};

inline Work start_work(const std::uint64_t* state) {
  return Work{state[0], state[1], state[2], state[3],           state[4],
              state[5], state[6], state[7], state[1] ^ state[2]};
}

inline void finish_work(std::uint64_t* state, const Work& w) {
  state[0] += w.a;
  state[1] += w.b;
  state[2] += w.c;
  state[3] += w.d;
  state[4] += w.e;
  state[5] += w.f;
  state[6] += w.g;
  state[7] += w.h;
}

// The schedule registers of two blocks: x[i] holds words 2i, 2i + 1 of the
// sixteen most recent.
struct Schedule {
  __m256i x[8];
};

// Step i (0..7) of sixteen schedule words from s.
template <bool AVX512>
inline void schedule_step(Schedule& q, std::uint64_t* wk, int s, int i) {
  __m256i* x = q.x;
  if constexpr (AVX512) {
    schedule_pair_avx512(x[i & 7], x[(i + 1) & 7], x[(i + 4) & 7], x[(i + 5) & 7], x[(i + 7) & 7],
                         wk, s + 2 * i);
  } else {
    schedule_pair_avx2(x[i & 7], x[(i + 1) & 7], x[(i + 4) & 7], x[(i + 5) & 7], x[(i + 7) & 7], wk,
                       s + 2 * i);
  }
}

// Step i (0..7) of loading the first sixteen words of the blocks at p0 and
// p1.
ZMRGEN_TARGET_AVX2 inline void load_step(Schedule& q, std::uint64_t* wk, const std::uint8_t* p0,
                                         const std::uint8_t* p1, int i) {
  const std::size_t at = 16 * static_cast<std::size_t>(i);
  q.x[i] = load_pair_avx2(p0 + at, p1 + at);
  store_wk_avx2(wk, q.x[i], 2 * i);
}

// The vector work that runs beside a block's rounds.
enum class Beside { nothing, loads, schedule };

// Rounds t .. t + 15 of one block (eight two-round steps; the names come
// back to their places after them), each step after one step of the vector
// work: loading the next pair's words (`p0`, `p1`) or scheduling its words
// t .. t + 15, into `nxt`.
// No work of its own beside the rounds.
struct NoSide {
  void block(const std::uint8_t*) {}
  void rounds(int, int) {}
};

template <bool AVX512, Beside WORK, typename Side>
inline void sixteen_rounds(Work& w, const std::uint64_t* wk, int t, Schedule& q, std::uint64_t* nxt,
                           const std::uint8_t* p0, const std::uint8_t* p1, Side& side) {
  auto beside = [&](int i) {
    if constexpr (WORK == Beside::loads) load_step(q, nxt, p0, p1, i);
    if constexpr (WORK == Beside::schedule) schedule_step<AVX512>(q, nxt, t, i);
  };
  // The side's work for these sixteen rounds, half before each eight: the
  // processor runs it in the shadow of the rounds, which do not wait on it.
  // The names come back to their places every eight rounds.
  ZMRGEN_UNROLL
  for (int i = 0; i < 8; i += 4) {
    const int r = t + 2 * i;
    side.rounds(t, i);
    beside(i);
    two_rounds(w.a, w.b, w.c, w.d, w.e, w.f, w.g, w.h, w.bc, wk, r);
    beside(i + 1);
    two_rounds(w.g, w.h, w.a, w.b, w.c, w.d, w.e, w.f, w.bc, wk, r + 2);
    beside(i + 2);
    two_rounds(w.e, w.f, w.g, w.h, w.a, w.b, w.c, w.d, w.bc, wk, r + 4);
    beside(i + 3);
    two_rounds(w.c, w.d, w.e, w.f, w.g, w.h, w.a, w.b, w.bc, wk, r + 6);
  }
}

// Folds `count` blocks of 128 bytes at `in` into the chaining words, with
// `side` told of each block before its rounds.
//
// Blocks go in pairs, whose two schedules are computed together in vector
// registers one pair ahead of the rounds: while the first block of a pair
// runs its rounds, the next pair's words are loaded and scheduled, so the
// schedule's own dependency chain (a vector operation takes several
// cycles) has a whole block's time to complete; the second block's rounds
// then run alone. A single block is scheduled as a pair with itself, and
// the last pair schedules a spare copy rather than branch.
template <bool AVX512, typename Side>
inline void compress_blocks(std::uint64_t* state, const std::uint8_t* in, std::size_t count,
                            Side& side) {
  constexpr std::size_t STRIDE = 128;
  if (count == 0) return;

  alignas(32) std::uint64_t wk_a[160];
  alignas(32) std::uint64_t wk_b[160];
  std::uint64_t* cur = wk_a;
  std::uint64_t* nxt = wk_b;
  Schedule q;

  // The first pair's schedule, on its own.
  const std::uint8_t* second = count > 1 ? in + STRIDE : in;
  ZMRGEN_UNROLL
  for (int i = 0; i < 8; ++i) load_step(q, cur, in, second, i);
  ZMRGEN_UNROLL
  for (int s = 16; s < 80; s += 16) {
    ZMRGEN_UNROLL
    for (int i = 0; i < 8; ++i) schedule_step<AVX512>(q, cur, s, i);
  }

  for (;;) {
    const std::size_t here = count > 1 ? 2 : 1;
    const std::size_t left = count - here;
    const std::uint8_t* next = left > 0 ? in + here * STRIDE : in;
    const std::uint8_t* next_second = left > 1 ? next + STRIDE : next;

    Work w = start_work(state);
    side.block(in);
    sixteen_rounds<AVX512, Beside::loads>(w, cur, 0, q, nxt, next, next_second, side);
    ZMRGEN_NO_UNROLL
    for (int t = 16; t < 80; t += 16) {
      sixteen_rounds<AVX512, Beside::schedule>(w, cur, t, q, nxt, next, next_second, side);
    }
    finish_work(state, w);

    if (here == 2) {
      w = start_work(state);
      side.block(in + STRIDE);
      ZMRGEN_NO_UNROLL
      for (int t = 0; t < 80; t += 16) {
        sixteen_rounds<AVX512, Beside::nothing>(w, cur + 2, t, q, nxt, next, next_second, side);
      }
      finish_work(state, w);
    }

    count = left;
    if (count == 0) break;
    in = next;
    std::uint64_t* const done = cur;
    cur = nxt;
    nxt = done;
  }
}

}  // namespace

#endif  // ZMRGEN_X86_PATHS
