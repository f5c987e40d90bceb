// A straightforward reference digest for tests and fuzz targets: the whole
// message padded in memory, then compressed block by block. It shares only
// the compression with the product, never the framing or the helpers the
// cores are written with; its one byte loader serves every test and target.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// One big-endian word from its bytes.
template <typename Word>
Word be_word(const std::uint8_t* p) {
  Word w = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i) w = static_cast<Word>(w << 8 | p[i]);
  return w;
}

// The sixteen words of the block of bytes at `p`.
template <typename Word>
std::array<Word, 16> block_words(const std::uint8_t* p) {
  std::array<Word, 16> m;
  for (std::size_t i = 0; i < 16; ++i) m[i] = be_word<Word>(p + i * sizeof(Word));
  return m;
}

// Folds `count` blocks of bytes at `data` into h through a word-level core
// (sha1_compress, sha512_compress), one block at a time.
template <typename Word>
void core_blocks(void (*core)(Word*, const Word*), Word* h, const std::uint8_t* data,
                 std::size_t count) {
  for (std::size_t b = 0; b < count; ++b) {
    core(h, block_words<Word>(data + b * 16 * sizeof(Word)).data());
  }
}

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

// Digests `message` into h[0..N-1], starting from `initial`: the padded
// message goes whole to `blocks(h, data, count)`, a function over runs of
// blocks of bytes (a compression path, or a core through core_blocks).
template <typename Word, std::size_t N, typename Blocks>
void padded_digest(const std::vector<std::uint8_t>& message, const Word (&initial)[N],
                   Blocks blocks, Word* h) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  const std::vector<std::uint8_t> p = pad_message(message, BLOCK, 2 * sizeof(Word));
  for (std::size_t i = 0; i < N; ++i) h[i] = initial[i];
  blocks(h, p.data(), p.size() / BLOCK);
}

// The same through a word-level core, block by block: the reference.
template <typename Word, std::size_t N>
void one_shot_digest(const std::vector<std::uint8_t>& message, const Word (&initial)[N],
                     void (*compress)(Word*, const Word*), Word* h) {
  padded_digest(
      message, initial,
      [compress](Word* s, const std::uint8_t* data, std::size_t count) {
        core_blocks(compress, s, data, count);
      },
      h);
}
