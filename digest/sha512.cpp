// SHA-512 file digest: the portable compression and sha512_file.
#include "digest/sha512.h"

#include "digest/compress_dispatch.h"
#include "digest/compress_paths.h"
#include "digest/framing.h"

namespace {

// One-block chunk buffer, kept for the whole process, apart from SHA-1's.
std::uint8_t sha512_chunk[128];

// Ch and Maj in forms with fewer operations; the same words as sha512_ch
// and sha512_maj.
inline std::uint64_t choose(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint64_t majority(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
  return (x & y) | (z & (x | y));
}

// Schedule word t, kept in a ring of 16 words where word t replaces word
// t - 16, its last use.
#define SHA512_W(t)                                                                  \
  ((t) < 16 ? w[(t)&15]                                                              \
            : (w[(t)&15] += sha512_small_sigma1(w[((t)-2) & 15]) + w[((t)-7) & 15] + \
                            sha512_small_sigma0(w[((t)-15) & 15])))

// One round with the working words renamed instead of moved: the new A lands
// in the variable that held H, the new E in the one that held D.
#define SHA512_ROUND(a, b, c, d, e, f, g, h, t)                            \
  h += sha512_big_sigma1(e) + choose(e, f, g) + SHA512_K[t] + SHA512_W(t); \
  d += h;                                                                  \
  h += sha512_big_sigma0(a) + majority(a, b, c)

// Eight rounds bring the names back to where they started.
#define SHA512_EIGHT(t)                         \
  SHA512_ROUND(a, b, c, d, e, f, g, hh, t);     \
  SHA512_ROUND(hh, a, b, c, d, e, f, g, t + 1); \
  SHA512_ROUND(g, hh, a, b, c, d, e, f, t + 2); \
  SHA512_ROUND(f, g, hh, a, b, c, d, e, t + 3); \
  SHA512_ROUND(e, f, g, hh, a, b, c, d, t + 4); \
  SHA512_ROUND(d, e, f, g, hh, a, b, c, t + 5); \
  SHA512_ROUND(c, d, e, f, g, hh, a, b, t + 6); \
  SHA512_ROUND(b, c, d, e, f, g, hh, a, t + 7)

// Folds the block whose sixteen words are in w (overwritten by the schedule).
inline void compress_words(std::uint64_t* h, std::uint64_t* w) {
  std::uint64_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
  SHA512_EIGHT(0);
  SHA512_EIGHT(8);
  SHA512_EIGHT(16);
  SHA512_EIGHT(24);
  SHA512_EIGHT(32);
  SHA512_EIGHT(40);
  SHA512_EIGHT(48);
  SHA512_EIGHT(56);
  SHA512_EIGHT(64);
  SHA512_EIGHT(72);
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += hh;
}

#undef SHA512_EIGHT
#undef SHA512_ROUND
#undef SHA512_W

}  // namespace

void sha512_compress(std::uint64_t* h, const std::uint64_t* m) {
  std::uint64_t w[16];
  for (int t = 0; t < 16; ++t) w[t] = m[t];
  compress_words(h, w);
}

void sha512_blocks_portable(std::uint64_t* h, const std::uint8_t* data, std::size_t count) {
  for (; count > 0; --count, data += 128) {
    std::uint64_t w[16];
    for (std::size_t t = 0; t < 16; ++t) w[t] = load_be<std::uint64_t>(data + 8 * t);
    compress_words(h, w);
  }
}

DigestStatus64 sha512_file(const char* path, Sha512Digest& out) {
  std::uint64_t h[8];
  for (int i = 0; i < 8; ++i) h[i] = SHA512_H0[i];
  const Sha512Path& core = sha512_active_path();
  const std::int64_t status = frame_file<std::uint64_t>(path, SHA512_MAX_BYTES, sha512_chunk, h,
                                                        core.compress, core.blocks);
  if (status > 0) {
    for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = h[i];
  }
  return status;
}
