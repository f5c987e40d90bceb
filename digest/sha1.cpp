// SHA-1 portable compression: the word-level core and the portable path.
#include "digest/sha1.h"

#include <bit>
#include <utility>

#include "digest/block_core.h"
#include "digest/compress_paths.h"

namespace {

// The logical function of step T: Ch for steps 0-19, Maj for 40-59, parity
// otherwise; Ch and Maj in forms with fewer operations than the standard's.
template <int T>
ZMRGEN_ALWAYS_INLINE std::uint32_t step_f(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  if constexpr (T < 20) {
    return d ^ (b & (c ^ d));
  } else if constexpr (T >= 40 && T < 60) {
    return (b & c) | (d & (b | c));
  } else {
    return b ^ c ^ d;
  }
}

template <int T>
constexpr std::uint32_t STEP_K = SHA1_K[T / 20];

// Schedule word T. The schedule lives in a ring of 16 words: word T replaces
// word T - 16, the only one of the four it is made from that no later word
// needs.
template <int T>
ZMRGEN_ALWAYS_INLINE std::uint32_t schedule(std::uint32_t* w) {
  if constexpr (T >= 16) {
    w[T & 15] = std::rotl(w[(T - 3) & 15] ^ w[(T - 8) & 15] ^ w[(T - 14) & 15] ^ w[T & 15], 1);
  }
  return w[T & 15];
}

// Step T with the working words renamed instead of moved: the new A lands
// in the variable that held E, and B is rotated in place.
template <int T>
ZMRGEN_ALWAYS_INLINE void step(std::uint32_t a, std::uint32_t& b, std::uint32_t c, std::uint32_t d,
                               std::uint32_t& e, std::uint32_t* w) {
  e += std::rotl(a, 5) + step_f<T>(b, c, d) + STEP_K<T> + schedule<T>(w);
  b = std::rotl(b, 30);
}

// Steps T .. T + 4; five steps bring the names back to where they started.
template <int T>
ZMRGEN_ALWAYS_INLINE void five_steps(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                                     std::uint32_t& d, std::uint32_t& e, std::uint32_t* w) {
  step<T>(a, b, c, d, e, w);
  step<T + 1>(e, a, b, c, d, w);
  step<T + 2>(d, e, a, b, c, w);
  step<T + 3>(c, d, e, a, b, w);
  step<T + 4>(b, c, d, e, a, w);
}

template <int... T>
ZMRGEN_ALWAYS_INLINE void all_steps(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                                    std::uint32_t& d, std::uint32_t& e, std::uint32_t* w,
                                    std::integer_sequence<int, T...>) {
  (five_steps<5 * T>(a, b, c, d, e, w), ...);
}

// Folds the block whose sixteen words are in w (overwritten by the schedule).
ZMRGEN_ALWAYS_INLINE void compress_words(std::uint32_t* h, std::uint32_t* w) {
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  all_steps(a, b, c, d, e, w, std::make_integer_sequence<int, 16>{});
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

void sha1_compress(std::uint32_t* h, const std::uint32_t* m) {
  fold_copy<std::uint32_t, compress_words>(h, m);
}

void sha1_blocks_portable(std::uint32_t* h, const std::uint8_t* data, std::size_t count) {
  blocks_from_words<std::uint32_t, compress_words>(h, data, count);
}
