// Every compression path this CPU can run gives the portable path's words:
// whole digests of random messages of every tail length, the FIPS examples,
// runs of many blocks from any chaining value and any alignment. Paths this
// CPU cannot run are reported as skipped, with the reason.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "digest/compress_dispatch.h"
#include "digest/sha1.h"
#include "digest/sha512.h"
#include "test_util.h"

namespace {

// ---- Whole messages through one path ----

// The digest of `message` by the path's run-of-blocks entry, all blocks in
// one call.
template <typename Word, std::size_t N>
std::vector<Word> digest_by_blocks(const CompressPath<Word>& path, const Word (&h0)[N],
                                   const Bytes& message) {
  std::vector<Word> h(N);
  padded_digest(message, h0, path.blocks, h.data());
  return h;
}

// The same through a word-level core (sha1_compress, sha512_compress), the
// reference every path is checked against, block by block.
template <typename Word, std::size_t N>
std::vector<Word> digest_by_core(void (*core)(Word*, const Word*), const Word (&h0)[N],
                                 const Bytes& message) {
  std::vector<Word> h(N);
  one_shot_digest(message, h0, core, h.data());
  return h;
}

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// Every message length up to three blocks and one byte more: the path's
// digest against the core's.
template <typename Word, std::size_t N>
void expect_every_tail_length(const CompressPath<Word>& path, void (*core)(Word*, const Word*),
                              const Word (&h0)[N], std::uint32_t seed) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  for (std::size_t n = 0; n <= 3 * BLOCK + 1; ++n) {
    const Bytes m = pattern_bytes(n, static_cast<std::uint32_t>(n) + seed);
    ASSERT_EQ(hex_words(digest_by_blocks(path, h0, m)), hex_words(digest_by_core(core, h0, m)))
        << "length " << n;
  }
}

// Runs of 0 to 9 blocks from random chaining words, at every alignment of
// the data within a 16-byte line.
template <typename Word, std::size_t N>
void expect_runs_from_any_state(const CompressPath<Word>& path, void (*core)(Word*, const Word*),
                                std::uint32_t data_seed) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  const Bytes data = pattern_bytes(16 + 9 * BLOCK, data_seed);
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Bytes s = pattern_bytes(N * sizeof(Word), seed);
    Word h0[N];
    for (std::size_t i = 0; i < N; ++i) h0[i] = be_word<Word>(s.data() + sizeof(Word) * i);
    for (std::size_t count = 0; count <= 9; ++count) {
      const std::size_t offset = seed % 16;
      Word want[N], got[N];
      std::memcpy(want, h0, sizeof want);
      std::memcpy(got, h0, sizeof got);
      core_blocks(core, want, data.data() + offset, count);
      path.blocks(got, data.data() + offset, count);
      ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "seed " << seed << " count " << count;
    }
  }
}

// One test per path built in; a path this CPU cannot run is skipped.
template <typename Word>
class PathTest : public ::testing::TestWithParam<CompressPath<Word>> {
 protected:
  void SetUp() override {
    if (!path_runs_here(this->GetParam())) {
      GTEST_SKIP() << (sizeof(Word) == 4 ? "SHA-1" : "SHA-512") << " path '"
                   << this->GetParam().name
                   << "' needs instructions this CPU (or its operating system) lacks";
    }
  }
};

// ---- SHA-1 paths ----

using Sha1PathTest = PathTest<std::uint32_t>;

TEST_P(Sha1PathTest, EveryTailLengthMatchesPortable) {
  expect_every_tail_length(GetParam(), sha1_compress, SHA1_H0, 11);
}

TEST_P(Sha1PathTest, FipsExamples) {
  const struct {
    Bytes message;
    const char* digest;
  } cases[] = {
      {text("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
      {Bytes(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_words(digest_by_blocks(GetParam(), SHA1_H0, c.message)), c.digest);
  }
}

TEST_P(Sha1PathTest, RunsFromAnyStateAndAlignment) {
  expect_runs_from_any_state<std::uint32_t, 5>(GetParam(), sha1_compress, 99);
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1PathTest, ::testing::ValuesIn(sha1_paths()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- SHA-512 paths ----

using Sha512PathTest = PathTest<std::uint64_t>;

TEST_P(Sha512PathTest, EveryTailLengthMatchesPortable) {
  expect_every_tail_length(GetParam(), sha512_compress, SHA512_H0, 23);
}

TEST_P(Sha512PathTest, FipsExamples) {
  const struct {
    Bytes message;
    const char* digest;
  } cases[] = {
      {text("abc"),
       "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
       "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
      {text("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
            "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
       "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018"
       "501D289E4900F7E4331B99DEC4B5433AC7D329EEB6DD26545E96E55B874BE909"},
      {Bytes(1000000, 'a'),
       "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EB"
       "DE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49AA2E4EADB217AD8CC09B"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_words(digest_by_blocks(GetParam(), SHA512_H0, c.message)), c.digest);
  }
}

TEST_P(Sha512PathTest, RunsFromAnyStateAndAlignment) {
  expect_runs_from_any_state<std::uint64_t, 8>(GetParam(), sha512_compress, 98);
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha512PathTest, ::testing::ValuesIn(sha512_paths()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- Paths for both digests ----

class BothPathTest : public ::testing::TestWithParam<BothPath> {
 protected:
  void SetUp() override {
    if (!path_runs_here(GetParam())) {
      GTEST_SKIP() << "path '" << GetParam().name << "' for both digests needs instructions "
                   << "this CPU (or its operating system) lacks";
    }
  }
};

// Runs of 0 to 9 blocks of 128 bytes from random chaining words of both
// digests, at every alignment within a 16-byte line: SHA-1 over twice as
// many 64-byte blocks, against the two word-level cores.
TEST_P(BothPathTest, RunsFromAnyStateAndAlignment) {
  const Bytes data = pattern_bytes(16 + 9 * 128, 97);
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Bytes s = pattern_bytes(5 * 4 + 8 * 8, seed);
    std::uint32_t h1[5], want1[5];
    std::uint64_t h5[8], want5[8];
    for (std::size_t i = 0; i < 5; ++i) h1[i] = be_word<std::uint32_t>(s.data() + 4 * i);
    for (std::size_t i = 0; i < 8; ++i) h5[i] = be_word<std::uint64_t>(s.data() + 20 + 8 * i);
    for (std::size_t count = 0; count <= 9; ++count) {
      const std::uint8_t* at = data.data() + seed % 16;
      std::uint32_t got1[5];
      std::uint64_t got5[8];
      std::memcpy(want1, h1, sizeof want1);
      std::memcpy(want5, h5, sizeof want5);
      std::memcpy(got1, h1, sizeof got1);
      std::memcpy(got5, h5, sizeof got5);
      core_blocks(sha1_compress, want1, at, 2 * count);
      core_blocks(sha512_compress, want5, at, count);
      GetParam().blocks(got1, got5, at, count);
      ASSERT_EQ(0, std::memcmp(want1, got1, sizeof want1)) << "seed " << seed << " count " << count;
      ASSERT_EQ(0, std::memcmp(want5, got5, sizeof want5)) << "seed " << seed << " count " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, BothPathTest, ::testing::ValuesIn(both_paths()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Dispatch, ChosenPathsRunHere) {
  EXPECT_TRUE(path_runs_here(sha1_active_path())) << sha1_active_path().name;
  EXPECT_TRUE(path_runs_here(sha512_active_path())) << sha512_active_path().name;
  EXPECT_TRUE(path_runs_here(both_active_path())) << both_active_path().name;
  // Informational: which paths this machine could not run.
  for (const Sha1Path& p : sha1_paths()) {
    if (!path_runs_here(p)) std::printf("[  NOTE    ] SHA-1 path %s not run here\n", p.name);
  }
  for (const Sha512Path& p : sha512_paths()) {
    if (!path_runs_here(p)) std::printf("[  NOTE    ] SHA-512 path %s not run here\n", p.name);
  }
  for (const BothPath& p : both_paths()) {
    if (!path_runs_here(p)) std::printf("[  NOTE    ] path %s for both not run here\n", p.name);
  }
}

}  // namespace
