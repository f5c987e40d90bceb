// SHA-512 portable compression: the word-level core and the portable path.
#include "digest/sha512.h"

#include <utility>

#include "digest/block_core.h"
#include "digest/compress_paths.h"

namespace {

// Schedule word T, kept in a ring of 16 words where word T replaces word
// T - 16, its last use.
template <int T>
ZMRGEN_ALWAYS_INLINE std::uint64_t schedule(std::uint64_t* w) {
  if constexpr (T >= 16) {
    w[T & 15] += sha512_small_sigma1(w[(T - 2) & 15]) + w[(T - 7) & 15] +
                 sha512_small_sigma0(w[(T - 15) & 15]);
  }
  return w[T & 15];
}

// Round T with the working words renamed instead of moved: the new A lands
// in the variable that held H, the new E in the one that held D.
template <int T>
ZMRGEN_ALWAYS_INLINE void round(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                                std::uint64_t e, std::uint64_t f, std::uint64_t g, std::uint64_t& h,
                                std::uint64_t* w) {
  h += sha512_big_sigma1(e) + sha512_ch(e, f, g) + SHA512_K[T] + schedule<T>(w);
  d += h;
  h += sha512_big_sigma0(a) + sha512_maj(a, b, c);
}

// Rounds T .. T + 7; eight rounds bring the names back to where they
// started.
template <int T>
ZMRGEN_ALWAYS_INLINE void eight_rounds(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c,
                                       std::uint64_t& d, std::uint64_t& e, std::uint64_t& f,
                                       std::uint64_t& g, std::uint64_t& h, std::uint64_t* w) {
  round<T>(a, b, c, d, e, f, g, h, w);
  round<T + 1>(h, a, b, c, d, e, f, g, w);
  round<T + 2>(g, h, a, b, c, d, e, f, w);
  round<T + 3>(f, g, h, a, b, c, d, e, w);
  round<T + 4>(e, f, g, h, a, b, c, d, w);
  round<T + 5>(d, e, f, g, h, a, b, c, w);
  round<T + 6>(c, d, e, f, g, h, a, b, w);
  round<T + 7>(b, c, d, e, f, g, h, a, w);
}

// Folds the block whose sixteen words are in w (overwritten by the schedule).
template <int... T>
ZMRGEN_ALWAYS_INLINE void compress_words(std::uint64_t* state, std::uint64_t* w,
                                         std::integer_sequence<int, T...>) {
  std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  (eight_rounds<8 * T>(a, b, c, d, e, f, g, h, w), ...);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

ZMRGEN_ALWAYS_INLINE void compress_words(std::uint64_t* state, std::uint64_t* w) {
  compress_words(state, w, std::make_integer_sequence<int, 10>{});
}

}  // namespace

void sha512_compress(std::uint64_t* h, const std::uint64_t* m) {
  fold_copy<std::uint64_t, compress_words>(h, m);
}

void sha512_blocks_portable(std::uint64_t* h, const std::uint8_t* data, std::size_t count) {
  blocks_from_words<std::uint64_t, compress_words>(h, data, count);
}
