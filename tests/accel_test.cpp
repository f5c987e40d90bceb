// Every compression path this CPU can run gives the portable path's words:
// whole digests of random messages of every tail length, the FIPS examples,
// runs of many blocks from any chaining value and any alignment. Paths this
// CPU cannot run are reported as skipped, with the reason.
//
// Also: the framing's fast reading path (whole blocks borrowed from the
// stream's buffer) against the one-block reads, on real files that change
// under the reader.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "digest/compress_dispatch.h"
#include "digest/file_source.h"
#include "digest/framing.h"
#include "digest/sha1.h"
#include "digest/sha512.h"
#include "test_util.h"

namespace {

// ---- Whole messages through one path ----

template <typename Word>
std::vector<Word> words_of(const std::uint8_t* p) {
  std::vector<Word> m(16);
  for (std::size_t i = 0; i < 16; ++i) m[i] = load_be<Word>(p + i * sizeof(Word));
  return m;
}

// The digest of `message` by the path's run-of-blocks entry, all blocks in
// one call.
template <typename Word, std::size_t N>
std::vector<Word> digest_by_blocks(const CompressPath<Word>& path, const Word (&h0)[N],
                                   const Bytes& message) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  const Bytes p = pad_message(message, BLOCK, 2 * sizeof(Word));
  std::vector<Word> h(h0, h0 + N);
  path.blocks(h.data(), p.data(), p.size() / BLOCK);
  return h;
}

// The same through a word-level core (sha1_compress, sha512_compress), the
// reference every path is checked against, block by block.
template <typename Word, std::size_t N>
std::vector<Word> digest_by_core(void (*core)(Word*, const Word*), const Word (&h0)[N],
                                 const Bytes& message) {
  constexpr std::size_t BLOCK = 16 * sizeof(Word);
  const Bytes p = pad_message(message, BLOCK, 2 * sizeof(Word));
  std::vector<Word> h(h0, h0 + N);
  for (std::size_t at = 0; at < p.size(); at += BLOCK) {
    const std::vector<Word> m = words_of<Word>(p.data() + at);
    core(h.data(), m.data());
  }
  return h;
}

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// ---- SHA-1 paths ----

class Sha1PathTest : public ::testing::TestWithParam<Sha1Path> {
 protected:
  void SetUp() override {
    if (!path_runs_here(GetParam())) {
      GTEST_SKIP() << "SHA-1 path '" << GetParam().name
                   << "' needs instructions this CPU (or its operating system) lacks";
    }
  }
};

TEST_P(Sha1PathTest, EveryTailLengthMatchesPortable) {
  for (std::size_t n = 0; n <= 3 * 64 + 1; ++n) {
    const Bytes m = pattern_bytes(n, static_cast<std::uint32_t>(n) + 11);
    const auto want = digest_by_core(sha1_compress, SHA1_H0, m);
    ASSERT_EQ(hex_words(digest_by_blocks(GetParam(), SHA1_H0, m)), hex_words(want))
        << "length " << n;
  }
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

// Runs of 0 to 9 blocks from random chaining words, at every alignment of
// the data within a 16-byte line.
TEST_P(Sha1PathTest, RunsFromAnyStateAndAlignment) {
  const Bytes data = pattern_bytes(16 + 9 * 64, 99);
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Bytes s = pattern_bytes(20, seed);
    std::uint32_t h0[5];
    for (std::size_t i = 0; i < 5; ++i) h0[i] = load_be<std::uint32_t>(s.data() + 4 * i);
    for (std::size_t count = 0; count <= 9; ++count) {
      const std::size_t offset = seed % 16;
      std::uint32_t want[5], got[5];
      std::memcpy(want, h0, sizeof want);
      std::memcpy(got, h0, sizeof got);
      for (std::size_t b = 0; b < count; ++b) {
        sha1_compress(want, words_of<std::uint32_t>(data.data() + offset + 64 * b).data());
      }
      GetParam().blocks(got, data.data() + offset, count);
      ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "seed " << seed << " count " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1PathTest, ::testing::ValuesIn(sha1_paths()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- SHA-512 paths ----

class Sha512PathTest : public ::testing::TestWithParam<Sha512Path> {
 protected:
  void SetUp() override {
    if (!path_runs_here(GetParam())) {
      GTEST_SKIP() << "SHA-512 path '" << GetParam().name
                   << "' needs instructions this CPU (or its operating system) lacks";
    }
  }
};

TEST_P(Sha512PathTest, EveryTailLengthMatchesPortable) {
  for (std::size_t n = 0; n <= 3 * 128 + 1; ++n) {
    const Bytes m = pattern_bytes(n, static_cast<std::uint32_t>(n) + 23);
    const auto want = digest_by_core(sha512_compress, SHA512_H0, m);
    ASSERT_EQ(hex_words(digest_by_blocks(GetParam(), SHA512_H0, m)), hex_words(want))
        << "length " << n;
  }
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
  const Bytes data = pattern_bytes(16 + 9 * 128, 98);
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Bytes s = pattern_bytes(64, seed);
    std::uint64_t h0[8];
    for (std::size_t i = 0; i < 8; ++i) h0[i] = load_be<std::uint64_t>(s.data() + 8 * i);
    for (std::size_t count = 0; count <= 9; ++count) {
      const std::size_t offset = seed % 16;
      std::uint64_t want[8], got[8];
      std::memcpy(want, h0, sizeof want);
      std::memcpy(got, h0, sizeof got);
      for (std::size_t b = 0; b < count; ++b) {
        sha512_compress(want, words_of<std::uint64_t>(data.data() + offset + 128 * b).data());
      }
      GetParam().blocks(got, data.data() + offset, count);
      ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << "seed " << seed << " count " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha512PathTest, ::testing::ValuesIn(sha512_paths()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Dispatch, ChosenPathsRunHere) {
  EXPECT_TRUE(path_runs_here(sha1_active_path())) << sha1_active_path().name;
  EXPECT_TRUE(path_runs_here(sha512_active_path())) << sha512_active_path().name;
  // Informational: which paths this machine could not run.
  for (const Sha1Path& p : sha1_paths()) {
    if (!path_runs_here(p)) std::printf("[  NOTE    ] SHA-1 path %s not run here\n", p.name);
  }
  for (const Sha512Path& p : sha512_paths()) {
    if (!path_runs_here(p)) std::printf("[  NOTE    ] SHA-512 path %s not run here\n", p.name);
  }
}

// ---- Fast reading path against one-block reads ----

// The real file system, with the file changed once the reading pass has
// consumed `trigger` bytes (counted over reads and borrowed blocks alike),
// and with or without the borrowing operation.
struct Change {
  std::size_t trigger;    // bytes consumed by the reading pass before the change
  std::int64_t new_size;  // the file is cut or extended to this size
};

std::string changing_path;
Change change;
int opens = 0;
std::size_t consumed = 0;
bool changed = false;

void apply_change_if_due() {
  if (opens == 2 && !changed && consumed >= change.trigger) {
    changed = true;
    ASSERT_EQ(0, truncate(changing_path.c_str(), static_cast<off_t>(change.new_size)));
  }
}

FileSource* watch_open(const FileOps&, const char* path) {
  ++opens;
  consumed = 0;
  FileSource* src = real_file_ops().open(real_file_ops(), path);
  apply_change_if_due();
  return src;
}
std::size_t watch_read(FileSource* src, std::uint8_t* buf, std::size_t count) {
  const std::size_t n = real_file_ops().read(src, buf, count);
  consumed += n;
  apply_change_if_due();
  return n;
}
const std::uint8_t* watch_borrow(FileSource* src, std::size_t block, std::size_t max_blocks,
                                 std::size_t* blocks) {
  const std::uint8_t* p = real_file_ops().borrow(src, block, max_blocks, blocks);
  consumed += *blocks * block;
  apply_change_if_due();
  return p;
}

constexpr FileOps WATCH_ONE_BLOCK{watch_open,
                                  [](FileSource* s) { real_file_ops().seek_end(s); },
                                  [](FileSource* s) { return real_file_ops().position(s); },
                                  watch_read,
                                  [](FileSource* s) { return real_file_ops().at_eof(s); },
                                  [](FileSource* s) { real_file_ops().close(s); },
                                  nullptr};
constexpr FileOps WATCH_BORROW{
    WATCH_ONE_BLOCK.open, WATCH_ONE_BLOCK.seek_end, WATCH_ONE_BLOCK.position,
    watch_read,           WATCH_ONE_BLOCK.at_eof,   WATCH_ONE_BLOCK.close,
    watch_borrow};

struct Result {
  std::int64_t sha1;
  std::int64_t sha512;
  std::string sha1_hex;
  std::string sha512_hex;
};

Result digest_with(const FileOps& ops, const Bytes& content, const Change& c) {
  write_file(changing_path, content);
  change = c;
  Result r{};
  Sha1Digest d1{};
  Sha512Digest d5{};
  set_file_ops(&ops);
  opens = 0;
  changed = false;
  r.sha1 = sha1_file(changing_path.c_str(), d1);
  write_file(changing_path, content);
  opens = 0;
  changed = false;
  r.sha512 = sha512_file(changing_path.c_str(), d5);
  set_file_ops(nullptr);
  r.sha1_hex = hex_words(d1);
  r.sha512_hex = hex_words(d5);
  return r;
}

TEST(FastReading, SameOutcomeAsOneBlockReadsWhenTheFileChanges) {
  ScratchDir dir;
  changing_path = dir.file("changing");
  constexpr std::size_t MIB = std::size_t{1} << 20;
  // Larger than the stream buffer, so the pass refills it; one size ends in
  // a partial block, the other on a block boundary, where a file that grows
  // is digested up to the size probed.
  for (const std::size_t size : {5 * MIB / 2 + 77, 5 * MIB / 2}) {
    const Bytes content = pattern_bytes(size, static_cast<std::uint32_t>(size));
    const auto s = static_cast<std::int64_t>(size);
    const auto mib = static_cast<std::int64_t>(MIB);
    const Change changes[] = {
        {SIZE_MAX, s},           // unchanged
        {0, s + 1},              // grew before the first read
        {0, s - 1},              // shrank by one byte
        {0, s - 200},            // lost its last blocks
        {0, 1000},               // cut to a few blocks
        {1, s / 2},              // cut to its middle during the pass
        {MIB, mib + 64},         // cut just past the first refill
        {2 * MIB, s + 128},      // grew by a block during the pass
        {2 * MIB, 2 * mib - 5},  // cut behind the reader
        {2 * MIB + 64, 2 * mib + 200},
    };
    for (const Change& c : changes) {
      const Result slow = digest_with(WATCH_ONE_BLOCK, content, c);
      const Result fast = digest_with(WATCH_BORROW, content, c);
      const std::string where = "size " + std::to_string(size) + ", change at " +
                                std::to_string(c.trigger) + " to " + std::to_string(c.new_size);
      EXPECT_EQ(fast.sha1, slow.sha1) << where;
      EXPECT_EQ(fast.sha512, slow.sha512) << where;
      EXPECT_EQ(fast.sha1_hex, slow.sha1_hex) << where;
      EXPECT_EQ(fast.sha512_hex, slow.sha512_hex) << where;
    }
    // The unchanged file succeeds, with the reference digests.
    const Result whole = digest_with(WATCH_BORROW, content, changes[0]);
    EXPECT_EQ(whole.sha1, s);
    EXPECT_EQ(whole.sha512, s);
    EXPECT_EQ(whole.sha1_hex, hex_words(reference_sha1(content)));
    EXPECT_EQ(whole.sha512_hex, hex_words(reference_sha512(content)));
  }
}

}  // namespace
