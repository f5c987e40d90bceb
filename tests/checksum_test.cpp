// The content checksum: published XXH64 answers, and pieces of any size
// giving the checksum of the whole.
#include <gtest/gtest.h>

#include <cstring>

#include "digest/checksum.h"
#include "test_util.h"

namespace {

std::uint64_t checksum_of(const std::uint8_t* data, std::size_t n, std::uint64_t seed = 0) {
  ContentSum sum;
  content_sum_start(sum, seed);
  content_sum_add(sum, data, n);
  return content_sum_value(sum);
}

TEST(ContentSum, KnownAnswers) {
  struct Case {
    const char* text;
    std::uint64_t seed;
    std::uint64_t expected;
  };
  // Short inputs take the tail path only, the 39-byte one a stripe first;
  // the 44-byte one leaves exactly four bytes for the four-byte step after
  // its stripe and an eight-byte step.
  const Case cases[] = {
      {"", 0, 0xEF46DB3751D8E999u},
      {"abc", 0, 0x44BC2CF5AD770999u},
      {"xxhash", 20141025, 0xB559B98D844E0635u},
      {"Nobody inspects the spammish repetition", 0, 0xFBCEA83C8A378BF1u},
      {"The quick brown fox jumps over the lazy dog.", 0, 0x44AD33705751AD73u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        checksum_of(reinterpret_cast<const std::uint8_t*>(c.text), std::strlen(c.text), c.seed),
        c.expected)
        << '"' << c.text << '"';
  }
}

// Every way of cutting a message into two or three pieces, around the
// stripe and tail boundaries, gives the checksum of the whole.
TEST(ContentSum, PiecesGiveTheWhole) {
  const Bytes message = pattern_bytes(200, 7);
  for (const std::size_t n : {0u, 1u, 31u, 32u, 33u, 63u, 64u, 100u, 200u}) {
    const std::uint64_t whole = checksum_of(message.data(), n);
    for (std::size_t a = 0; a <= n; ++a) {
      for (const std::size_t b : {a, a + (n - a) / 2, n}) {
        ContentSum sum;
        content_sum_start(sum, 0);
        content_sum_add(sum, message.data(), a);
        content_sum_add(sum, message.data() + a, b - a);
        content_sum_add(sum, message.data() + b, n - b);
        ASSERT_EQ(content_sum_value(sum), whole) << n << " bytes cut at " << a << " and " << b;
      }
    }
  }
}

}  // namespace
