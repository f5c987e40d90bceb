// A straightforward reference digest for tests and fuzz targets: the whole
// message padded in memory, then compressed block by block. It shares only
// the compression with the product, never the framing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The standard padded message: the bytes, 0x80, zero bytes, and the bit
// length big-endian in the last `length_bytes` bytes of a whole block.
inline std::vector<std::uint8_t> pad_message(const std::vector<std::uint8_t>& message,
                                             std::size_t block, std::size_t length_bytes) {
  std::vector<std::uint8_t> p = message;
  p.push_back(0x80);
  while (p.size() % block != block - length_bytes) p.push_back(0);
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  for (std::size_t i = length_bytes; i-- > 0;) {
    p.push_back(i >= 8 ? 0 : static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  return p;
}

// Digests `message` into h[0..N-1], starting from `initial`.
template <typename Word, std::size_t N>
void one_shot_digest(const std::vector<std::uint8_t>& message, const Word (&initial)[N],
                     void (*compress)(Word*, const Word*), Word* h) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  const std::vector<std::uint8_t> p = pad_message(message, BLOCK, 2 * sizeof(Word));
  for (std::size_t i = 0; i < N; ++i) h[i] = initial[i];
  for (std::size_t at = 0; at < p.size(); at += BLOCK) {
    Word m[16];
    for (std::size_t i = 0; i < 16; ++i) {
      Word w = 0;
      for (std::size_t j = 0; j < sizeof(Word); ++j) {
        w = static_cast<Word>(w << 8 | p[at + i * sizeof(Word) + j]);
      }
      m[i] = w;
    }
    compress(h, m);
  }
}
