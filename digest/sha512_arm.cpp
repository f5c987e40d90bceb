// SHA-512 compression with the ARMv8.2 SHA-512 instructions.
//
// The eight working words live in four vectors of two, ab, cd, ef and gh,
// the earlier letter in lane 0. Each pair of steps t, t+1:
//   SHA512H  gives the two T1 values (lane 1 for step t, lane 0 for t+1)
//            from e, f, g, d and h + K[t] + W[t], g + K[t+1] + W[t+1];
//   the new e and f are c and d plus those T1 values;
//   SHA512H2 gives the new a and b from the T1 values and a, b, c;
// after which the vectors move one place: the new cd is the old ab and the
// new gh the old ef. SHA512SU0 and SHA512SU1 compute the schedule two words
// at a time. The routines are built for these instructions alone, and the
// dispatcher calls them only on a CPU that has them.
#include "digest/compress_paths.h"

#if ZMRGEN_ARM_PATHS

#include <arm_neon.h>

#include "digest/sha512.h"

#define ZMRGEN_TARGET_ARM_SHA512 __attribute__((target("arch=armv8.2-a+sha3")))

namespace {

// The eighty steps over the schedule in msg (words 2i, 2i+1 in msg[i] for
// the first sixteen; later pairs replace the pair sixteen words before them
// in a ring of eight registers).
ZMRGEN_TARGET_ARM_SHA512 inline void all_steps(uint64x2_t& ab, uint64x2_t& cd, uint64x2_t& ef,
                                               uint64x2_t& gh, uint64x2_t (&msg)[8]) {
#pragma GCC unroll 40
  for (int p = 0; p < 40; ++p) {
    if (p >= 8) {
      // Words 2p, 2p+1 from 2p-16 (with sigma0 of 2p-15), 2p-7 and sigma1
      // of 2p-2.
      const uint64x2_t w7 = vextq_u64(msg[(p + 4) & 7], msg[(p + 5) & 7], 1);
      msg[p & 7] =
          vsha512su1q_u64(vsha512su0q_u64(msg[p & 7], msg[(p + 1) & 7]), msg[(p + 7) & 7], w7);
    }
    const uint64x2_t wk = vaddq_u64(msg[p & 7], vld1q_u64(&SHA512_K[2 * p]));
    // Lane 0: g + K + W of step 2p+1; lane 1: h + K + W of step 2p.
    const uint64x2_t sum = vaddq_u64(gh, vextq_u64(wk, wk, 1));
    const uint64x2_t fg = vextq_u64(ef, gh, 1);
    const uint64x2_t de = vextq_u64(cd, ef, 1);
    const uint64x2_t t1 = vsha512hq_u64(sum, fg, de);
    const uint64x2_t new_ef = vaddq_u64(cd, t1);
    const uint64x2_t new_ab = vsha512h2q_u64(t1, cd, ab);
    gh = ef;
    ef = new_ef;
    cd = ab;
    ab = new_ab;
  }
}

}  // namespace

// Folds `count` blocks of 128 bytes into h.
ZMRGEN_TARGET_ARM_SHA512 void sha512_blocks_arm(std::uint64_t* h, const std::uint8_t* data,
                                                std::size_t count) {
  uint64x2_t ab = vld1q_u64(h);
  uint64x2_t cd = vld1q_u64(h + 2);
  uint64x2_t ef = vld1q_u64(h + 4);
  uint64x2_t gh = vld1q_u64(h + 6);

  for (; count > 0; --count) {
    uint64x2_t msg[8];
    for (std::size_t i = 0; i < 8; ++i) {
      // Each word is big-endian in the block.
      msg[i] = vreinterpretq_u64_u8(vrev64q_u8(vld1q_u8(data + 16 * i)));
    }
    const uint64x2_t ab_start = ab;
    const uint64x2_t cd_start = cd;
    const uint64x2_t ef_start = ef;
    const uint64x2_t gh_start = gh;
    all_steps(ab, cd, ef, gh, msg);
    ab = vaddq_u64(ab, ab_start);
    cd = vaddq_u64(cd, cd_start);
    ef = vaddq_u64(ef, ef_start);
    gh = vaddq_u64(gh, gh_start);

    data += 128;
  }

  vst1q_u64(h, ab);
  vst1q_u64(h + 2, cd);
  vst1q_u64(h + 4, ef);
  vst1q_u64(h + 6, gh);
}

#endif  // ZMRGEN_ARM_PATHS
