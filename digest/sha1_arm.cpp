// SHA-1 compression with the ARMv8 SHA-1 instructions.
//
// A, B, C, D live in one vector (A in lane 0) and E in a scalar. SHA1C,
// SHA1P and SHA1M each run four steps with the choose, parity and majority
// function, given E and the four schedule words with the constant already
// added; the E of the next four steps is A rotated left by 30, which SHA1H
// computes from the A before them. SHA1SU0 and SHA1SU1 compute the schedule
// four words at a time. The routines are built for these instructions alone,
// and the dispatcher calls them only on a CPU that has them.
#include "digest/compress_paths.h"

#if ZMRGEN_ARM_PATHS

#include <arm_neon.h>

#include "digest/sha1.h"

#define ZMRGEN_TARGET_ARM_SHA1 __attribute__((target("+crypto")))

namespace {

// Steps 4g .. 4g+3 for every group g: the schedule group g (computed from
// the four before it once g >= 4, in a ring of four registers), the step
// function of its twenty steps, and E for the group after it.
ZMRGEN_TARGET_ARM_SHA1 inline void all_steps(uint32x4_t& abcd, std::uint32_t& e,
                                             uint32x4_t (&msg)[4]) {
  const uint32x4_t k[4] = {vdupq_n_u32(SHA1_K[0]), vdupq_n_u32(SHA1_K[1]), vdupq_n_u32(SHA1_K[2]),
                           vdupq_n_u32(SHA1_K[3])};
#pragma GCC unroll 20
  for (int g = 0; g < 20; ++g) {
    if (g >= 4) {
      msg[g & 3] = vsha1su1q_u32(vsha1su0q_u32(msg[g & 3], msg[(g + 1) & 3], msg[(g + 2) & 3]),
                                 msg[(g + 3) & 3]);
    }
    const uint32x4_t wk = vaddq_u32(msg[g & 3], k[g / 5]);
    const std::uint32_t e_next = vsha1h_u32(vgetq_lane_u32(abcd, 0));
    switch (g / 5) {
      case 0:
        abcd = vsha1cq_u32(abcd, e, wk);
        break;
      case 2:
        abcd = vsha1mq_u32(abcd, e, wk);
        break;
      default:
        abcd = vsha1pq_u32(abcd, e, wk);
        break;
    }
    e = e_next;
  }
}

}  // namespace

// Folds `count` blocks of 64 bytes into h.
ZMRGEN_TARGET_ARM_SHA1 void sha1_blocks_arm(std::uint32_t* h, const std::uint8_t* data,
                                            std::size_t count) {
  uint32x4_t abcd = vld1q_u32(h);
  std::uint32_t e = h[4];

  for (; count > 0; --count) {
    uint32x4_t msg[4];
    for (std::size_t i = 0; i < 4; ++i) {
      // Each word is big-endian in the block.
      msg[i] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * i)));
    }
    const uint32x4_t abcd_start = abcd;
    const std::uint32_t e_start = e;
    all_steps(abcd, e, msg);
    abcd = vaddq_u32(abcd, abcd_start);
    e += e_start;

    data += 64;
  }

  vst1q_u32(h, abcd);
  h[4] = e;
}

#endif  // ZMRGEN_ARM_PATHS
