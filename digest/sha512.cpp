// SHA-512 file digest: the portable compression and sha512_file.
#include "digest/sha512.h"

#include "digest/framing.h"

namespace {

// One-block chunk buffer, kept for the whole process, apart from SHA-1's.
std::uint8_t sha512_chunk[128];

}  // namespace

void sha512_compress(std::uint64_t* h, const std::uint64_t* m) {
  std::uint64_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = m[t];
  for (int t = 16; t < 80; ++t) {
    w[t] = sha512_small_sigma1(w[t - 2]) + w[t - 7] + sha512_small_sigma0(w[t - 15]) + w[t - 16];
  }

  std::uint64_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
  for (int t = 0; t < 80; ++t) {
    const std::uint64_t t1 = hh + sha512_big_sigma1(e) + sha512_ch(e, f, g) + SHA512_K[t] + w[t];
    const std::uint64_t t2 = sha512_big_sigma0(a) + sha512_maj(a, b, c);
    hh = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += hh;
}

DigestStatus64 sha512_file(const char* path, Sha512Digest& out) {
  std::uint64_t h[8];
  for (int i = 0; i < 8; ++i) h[i] = SHA512_H0[i];
  const std::int64_t status =
      frame_file<std::uint64_t>(path, SHA512_MAX_BYTES, sha512_chunk, h, sha512_compress);
  if (status > 0) {
    for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = h[i];
  }
  return status;
}
