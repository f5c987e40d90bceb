// What the compression cores and the per-instruction-set paths are written
// with: big-endian word loads and stores,
// and the two forms of a word-level core (over blocks of bytes, and over
// words the caller keeps). Nothing here knows about files or the platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/target.h"

// For the small functions a compression is written in: each must dissolve
// into its caller, whatever the optimiser's size limits say, or the working
// words go through memory.
#if ZMRGEN_MSVC
#define ZMRGEN_ALWAYS_INLINE __forceinline
#else
#define ZMRGEN_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

// Big-endian load and store of one message word.
template <typename Word>
inline Word load_be(const std::uint8_t* p) {
  Word w = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i) w = static_cast<Word>((w << 8) | p[i]);
  return w;
}
template <typename Word>
inline void store_be(std::uint8_t* p, Word w) {
  for (std::size_t i = sizeof(Word); i-- > 0; w = static_cast<Word>(w >> 8)) {
    p[i] = static_cast<std::uint8_t>(w);
  }
}

// A compression path over bytes from a word-level core, FOLD(h, w), which
// folds the block whose sixteen words are in w (and may overwrite them).
template <typename Word, void (*FOLD)(Word*, Word*)>
void blocks_from_words(Word* h, const std::uint8_t* data, std::size_t count) {
  for (; count > 0; --count, data += 16 * sizeof(Word)) {
    Word w[16];
    for (std::size_t t = 0; t < 16; ++t) w[t] = load_be<Word>(data + t * sizeof(Word));
    FOLD(h, w);
  }
}

// A word-level core over words the caller keeps: FOLD works on a copy.
template <typename Word, void (*FOLD)(Word*, Word*)>
void fold_copy(Word* h, const Word* m) {
  Word w[16];
  for (std::size_t t = 0; t < 16; ++t) w[t] = m[t];
  FOLD(h, w);
}
