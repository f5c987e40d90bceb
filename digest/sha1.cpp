// SHA-1 file digest: the portable compression and sha1_file.
#include "digest/sha1.h"

#include <cstdlib>

#include "digest/framing.h"

namespace {

// One-block chunk buffer, kept for the whole process.
std::uint8_t sha1_chunk[64];

unsigned step_index(int t) {
  const long long a = std::llabs(static_cast<long long>(t));
  return static_cast<unsigned>(a % 80);
}

}  // namespace

std::uint32_t sha1_f(std::uint32_t b, std::uint32_t c, std::uint32_t d, int t) {
  const unsigned s = step_index(t);
  if (s < 20) return (b & c) ^ (~b & d);
  if (s < 40) return b ^ c ^ d;
  if (s < 60) return (b & c) ^ (b & d) ^ (c & d);
  return b ^ c ^ d;
}

std::uint32_t sha1_k(int t) {
  static constexpr std::uint32_t K[4] = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};
  return K[step_index(t) / 20];
}

void sha1_compress(std::uint32_t* h, const std::uint32_t* m) {
  std::uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = m[t];
  for (int t = 16; t < 80; ++t) w[t] = rotl32(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    const std::uint32_t temp = rotl32(a, 5) + sha1_f(b, c, d, t) + e + w[t] + sha1_k(t);
    e = d;
    d = c;
    c = rotl32(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

DigestStatus sha1_file(const char* path, Sha1Digest& out) {
  std::uint32_t h[5];
  for (int i = 0; i < 5; ++i) h[i] = SHA1_H0[i];
  const std::int64_t status = frame_file<std::uint32_t>(path, SHA1_MAX_BYTES, sha1_chunk, h, sha1_compress);
  if (status > 0) {
    for (int i = 0; i < 5; ++i) out[static_cast<std::size_t>(i)] = h[i];
  }
  // Every status fits: a byte count is at most SHA1_MAX_BYTES.
  return static_cast<DigestStatus>(status);
}
