// SHA-1 file digest: the portable compression and sha1_file.
#include "digest/sha1.h"

#include <cstdlib>

#include "digest/compress_dispatch.h"
#include "digest/compress_paths.h"
#include "digest/framing.h"

namespace {

// One-block chunk buffer, kept for the whole process.
std::uint8_t sha1_chunk[64];

unsigned step_index(int t) {
  const long long a = std::llabs(static_cast<long long>(t));
  return static_cast<unsigned>(a % 80);
}

// The four step functions, in forms with fewer operations that give the same
// words as sha1_f.
inline std::uint32_t f_choose(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return d ^ (b & (c ^ d));
}
inline std::uint32_t f_parity(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return b ^ c ^ d;
}
inline std::uint32_t f_majority(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return (b & c) | (d & (b | c));
}

constexpr std::uint32_t K0 = 0x5A827999u;
constexpr std::uint32_t K1 = 0x6ED9EBA1u;
constexpr std::uint32_t K2 = 0x8F1BBCDCu;
constexpr std::uint32_t K3 = 0xCA62C1D6u;

// Schedule word t. The schedule lives in a ring of 16 words: word t
// replaces word t - 16, the only one of the four it is made from that no
// later word needs.
#define SHA1_W(t)          \
  ((t) < 16 ? w[(t)&15]    \
            : (w[(t)&15] = \
                   rotl32(w[((t)-3) & 15] ^ w[((t)-8) & 15] ^ w[((t)-14) & 15] ^ w[(t)&15], 1)))

// One step with the working words renamed instead of moved: the new A lands
// in the variable that held E, and B is rotated in place.
#define SHA1_STEP(a, b, c, d, e, f, k, t)           \
  e += rotl32(a, 5) + f(b, c, d) + (k) + SHA1_W(t); \
  b = rotl32(b, 30)

// Five steps bring the names back to where they started.
#define SHA1_FIVE(f, k, t)               \
  SHA1_STEP(a, b, c, d, e, f, k, t);     \
  SHA1_STEP(e, a, b, c, d, f, k, t + 1); \
  SHA1_STEP(d, e, a, b, c, f, k, t + 2); \
  SHA1_STEP(c, d, e, a, b, f, k, t + 3); \
  SHA1_STEP(b, c, d, e, a, f, k, t + 4)

// Folds the block whose sixteen words are in w (overwritten by the schedule).
inline void compress_words(std::uint32_t* h, std::uint32_t* w) {
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  SHA1_FIVE(f_choose, K0, 0);
  SHA1_FIVE(f_choose, K0, 5);
  SHA1_FIVE(f_choose, K0, 10);
  SHA1_FIVE(f_choose, K0, 15);
  SHA1_FIVE(f_parity, K1, 20);
  SHA1_FIVE(f_parity, K1, 25);
  SHA1_FIVE(f_parity, K1, 30);
  SHA1_FIVE(f_parity, K1, 35);
  SHA1_FIVE(f_majority, K2, 40);
  SHA1_FIVE(f_majority, K2, 45);
  SHA1_FIVE(f_majority, K2, 50);
  SHA1_FIVE(f_majority, K2, 55);
  SHA1_FIVE(f_parity, K3, 60);
  SHA1_FIVE(f_parity, K3, 65);
  SHA1_FIVE(f_parity, K3, 70);
  SHA1_FIVE(f_parity, K3, 75);
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

#undef SHA1_FIVE
#undef SHA1_STEP
#undef SHA1_W

}  // namespace

std::uint32_t sha1_f(std::uint32_t b, std::uint32_t c, std::uint32_t d, int t) {
  const unsigned s = step_index(t);
  if (s < 20) return (b & c) ^ (~b & d);
  if (s < 40) return b ^ c ^ d;
  if (s < 60) return (b & c) ^ (b & d) ^ (c & d);
  return b ^ c ^ d;
}

std::uint32_t sha1_k(int t) {
  static constexpr std::uint32_t K[4] = {K0, K1, K2, K3};
  return K[step_index(t) / 20];
}

void sha1_compress(std::uint32_t* h, const std::uint32_t* m) {
  std::uint32_t w[16];
  for (int t = 0; t < 16; ++t) w[t] = m[t];
  compress_words(h, w);
}

void sha1_blocks_portable(std::uint32_t* h, const std::uint8_t* data, std::size_t count) {
  for (; count > 0; --count, data += 64) {
    std::uint32_t w[16];
    for (std::size_t t = 0; t < 16; ++t) w[t] = load_be<std::uint32_t>(data + 4 * t);
    compress_words(h, w);
  }
}

DigestStatus sha1_file(const char* path, Sha1Digest& out) {
  std::uint32_t h[5];
  for (int i = 0; i < 5; ++i) h[i] = SHA1_H0[i];
  const Sha1Path& core = sha1_active_path();
  const std::int64_t status =
      frame_file<std::uint32_t>(path, SHA1_MAX_BYTES, sha1_chunk, h, core.compress, core.blocks);
  if (status > 0) {
    for (int i = 0; i < 5; ++i) out[static_cast<std::size_t>(i)] = h[i];
  }
  // Every status fits: a byte count is at most SHA1_MAX_BYTES.
  return static_cast<DigestStatus>(status);
}
