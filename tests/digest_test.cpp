// File digests: known answers, every tail layout, the size limits and every
// failure of the framing, for both SHA-1 and SHA-512.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "digest/framing.h"
#include "test_util.h"

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(FileDigest, FipsKnownAnswers) {
  const struct {
    Bytes message;
    const char* sha1;
    const char* sha512;
  } cases[] = {
      {text("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D",
       "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
       "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
      {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "84983E441C3BD26EBAAE4AA1F95129E5E54670F1", nullptr},
      {text("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
            "qrl"
            "mnopqrsmnopqrstnopqrstu"),
       nullptr,
       "8E959B75DAE313DA8CF4F72814FC143F8F7779C6EB9F7FA17299AEADB6889018"
       "501D289E4900F7E4331B99DEC4B5433AC7D329EEB6DD26545E96E55B874BE909"},
      {Bytes(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F",
       "E718483D0CE769644E2E42C7BC15B4638E1F98B13B2044285632A803AFA973EB"
       "DE0FF244877EA60A4CB0432CE577C31BEB009C5C2C49AA2E4EADB217AD8CC09B"},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    const std::string path = dir.file("known");
    write_file(path, c.message);
    const auto size = static_cast<DigestStatus64>(c.message.size());
    if (c.sha1 != nullptr) {
      const FileDigestCall o = call_sha1_file(path);
      EXPECT_EQ(o.status, size);
      EXPECT_EQ(o.hex, c.sha1);
    }
    if (c.sha512 != nullptr) {
      const FileDigestCall o = call_sha512_file(path);
      EXPECT_EQ(o.status, size);
      EXPECT_EQ(o.hex, c.sha512);
    }
  }
}

// Every size up to a few blocks passes every row of the tail plan: partial
// and whole final words, the tail in the last data block or in a block of
// its own, files that end on a block boundary.
TEST(FileDigest, EverySizeMatchesTheReference) {
  ScratchDir dir;
  const std::string path = dir.file("sized");
  for (std::size_t size = 1; size <= 3 * 128 + 1; ++size) {
    const Bytes content = pattern_bytes(size, static_cast<std::uint32_t>(size));
    write_file(path, content);
    for (const FileDigestRoutine& a : FILE_DIGEST_ROUTINES) {
      const FileDigestCall o = a.call(path);
      ASSERT_EQ(o.status, static_cast<DigestStatus64>(size)) << a.name << " size " << size;
      ASSERT_EQ(o.hex, a.reference_hex(content)) << a.name << " size " << size;
    }
  }
}

// ---- Block layout, seen through a recording compression ----

template <typename Word>
std::vector<std::array<Word, 16>>& recorded_blocks() {
  static std::vector<std::array<Word, 16>> blocks;
  return blocks;
}
template <typename Word>
std::uint64_t& block_count() {
  static std::uint64_t count = 0;
  return count;
}
// Keeps every block when true, only the last two when false (large files).
bool keep_all_blocks = true;

// A compression path that keeps the words of every block handed to it.
template <typename Word>
void record_block(Word* /*h*/, const std::uint8_t* data, std::size_t count) {
  auto& blocks = recorded_blocks<Word>();
  for (; count > 0; --count, data += 16 * sizeof(Word)) {
    if (!keep_all_blocks && blocks.size() == 2) blocks.erase(blocks.begin());
    blocks.push_back(block_words<Word>(data));
    ++block_count<Word>();
  }
}

template <typename Word>
std::int64_t frame_recorded(const std::string& path, std::uint64_t limit, bool keep_all) {
  recorded_blocks<Word>().clear();
  block_count<Word>() = 0;
  keep_all_blocks = keep_all;
  Word h[8] = {};
  PassReport report{};
  return frame_file<Word>(file_system(), path.c_str(), limit, h, record_block<Word>, &report);
}

template <typename Word>
Bytes blocks_as_bytes() {
  Bytes out;
  for (const auto& b : recorded_blocks<Word>()) {
    for (const Word w : b) {
      for (std::size_t i = sizeof(Word); i-- > 0;)
        out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    }
  }
  return out;
}

TEST(Framing, BlocksAreTheStandardPaddedMessage) {
  const struct {
    std::size_t size;
    std::uint64_t sha1_blocks;
    std::uint64_t sha512_blocks;
  } cases[] = {
      {1, 1, 1},   {55, 1, 1},  {56, 2, 1},  {60, 2, 1},  {63, 2, 1},
      {64, 2, 1},  {65, 2, 1},  {111, 2, 1}, {112, 2, 2}, {120, 3, 2},
      {127, 3, 2}, {128, 3, 2}, {129, 3, 2}, {239, 4, 2}, {240, 4, 3},
  };
  ScratchDir dir;
  const std::string path = dir.file("layout");
  for (const auto& c : cases) {
    const Bytes content = pattern_bytes(c.size, 7);
    write_file(path, content);

    EXPECT_EQ(frame_recorded<std::uint32_t>(path, SHA1_MAX_BYTES, true),
              static_cast<std::int64_t>(c.size));
    EXPECT_EQ(block_count<std::uint32_t>(), c.sha1_blocks) << "SHA-1 size " << c.size;
    EXPECT_EQ(blocks_as_bytes<std::uint32_t>(), pad_message(content, 64, 8))
        << "SHA-1 size " << c.size;

    EXPECT_EQ(frame_recorded<std::uint64_t>(path, SHA512_MAX_BYTES, true),
              static_cast<std::int64_t>(c.size));
    EXPECT_EQ(block_count<std::uint64_t>(), c.sha512_blocks) << "SHA-512 size " << c.size;
    EXPECT_EQ(blocks_as_bytes<std::uint64_t>(), pad_message(content, 128, 16))
        << "SHA-512 size " << c.size;
  }
}

TEST(Framing, TailWordsAtTheBoundaries) {
  ScratchDir dir;
  const std::string path = dir.file("tail");
  // 55 bytes: word 13 holds the last three bytes and the end marker.
  write_file(path, Bytes(55, 0x11));
  frame_recorded<std::uint32_t>(path, SHA1_MAX_BYTES, true);
  ASSERT_EQ(recorded_blocks<std::uint32_t>().size(), 1u);
  EXPECT_EQ(recorded_blocks<std::uint32_t>()[0][13], 0x11111180u);
  EXPECT_EQ(recorded_blocks<std::uint32_t>()[0][14], 0u);
  EXPECT_EQ(recorded_blocks<std::uint32_t>()[0][15], 440u);
  // 64 bytes: the length block carries the marker word and 512.
  write_file(path, Bytes(64, 0x22));
  frame_recorded<std::uint32_t>(path, SHA1_MAX_BYTES, true);
  ASSERT_EQ(recorded_blocks<std::uint32_t>().size(), 2u);
  EXPECT_EQ(recorded_blocks<std::uint32_t>()[1][0], 0x80000000u);
  EXPECT_EQ(recorded_blocks<std::uint32_t>()[1][15], 512u);
  // 120 bytes: the marker word in word 15, then a length block of 960.
  write_file(path, Bytes(120, 0x33));
  frame_recorded<std::uint64_t>(path, SHA512_MAX_BYTES, true);
  ASSERT_EQ(recorded_blocks<std::uint64_t>().size(), 2u);
  EXPECT_EQ(recorded_blocks<std::uint64_t>()[0][15], 0x8000000000000000ULL);
  EXPECT_EQ(recorded_blocks<std::uint64_t>()[1][0], 0u);
  EXPECT_EQ(recorded_blocks<std::uint64_t>()[1][15], 960u);
}

// ---- Size limits, on sparse files ----

TEST(Limits, LargestFilesCarryTheirBitLength) {
  const struct {
    std::uint64_t size;
    bool sha512;
    std::uint64_t length_word;
    std::uint64_t first_word_of_last_block;
  } cases[] = {
      // 536,870,911 mod 64 = 63: the length goes into a block of its own.
      {536870911, false, 4294967288ULL, 0},
      // 536,870,912 bytes: a bit length of 2^32 needs the 64-bit product.
      {536870912, true, 0x100000000ULL, 0x8000000000000000ULL},
      {2147483647, true, 17179869176ULL, 0},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    const std::string path = dir.file("big");
    make_sparse_file(path, c.size);
    if (c.sha512) {
      ASSERT_EQ(frame_recorded<std::uint64_t>(path, SHA512_MAX_BYTES, false),
                static_cast<std::int64_t>(c.size));
      const auto& last = recorded_blocks<std::uint64_t>().back();
      EXPECT_EQ(last[15], c.length_word) << c.size;
      EXPECT_EQ(last[14], 0u) << c.size;
      EXPECT_EQ(last[0], c.first_word_of_last_block) << c.size;
      EXPECT_EQ(block_count<std::uint64_t>(), (c.size + 17 + 127) / 128) << c.size;
    } else {
      ASSERT_EQ(frame_recorded<std::uint32_t>(path, SHA1_MAX_BYTES, false),
                static_cast<std::int64_t>(c.size));
      const auto& last = recorded_blocks<std::uint32_t>().back();
      EXPECT_EQ(last[15], c.length_word) << c.size;
      EXPECT_EQ(last[14], 0u) << c.size;
      EXPECT_EQ(last[0], c.first_word_of_last_block) << c.size;
      EXPECT_EQ(block_count<std::uint32_t>(), (c.size + 9 + 63) / 64) << c.size;
    }
    std::remove(path.c_str());
  }
}

TEST(Limits, FileRoutinesAcceptTheirLargestFile) {
  ScratchDir dir;
  const std::string path = dir.file("big");
  make_sparse_file(path, SHA1_MAX_BYTES);
  EXPECT_EQ(call_sha1_file(path).status, static_cast<DigestStatus64>(SHA1_MAX_BYTES));
  make_sparse_file(path, SHA512_MAX_BYTES);
  EXPECT_EQ(call_sha512_file(path).status, static_cast<DigestStatus64>(SHA512_MAX_BYTES));
}

TEST(Limits, OneByteMoreIsRefusedBeforeAnyRead) {
  const struct {
    std::int64_t size;
    bool sha512;
  } cases[] = {{536870912, false}, {2147483648LL, true}, {-1, false}, {-1, true}};
  for (const auto& c : cases) {
    ScriptedFile f;
    f.content = text("x");
    f.probe_position = c.size;  // -1: the position query failed
    ScriptedFsGuard guard(f);
    const FileDigestCall o = c.sha512 ? call_sha512_file("file") : call_sha1_file("file");
    EXPECT_EQ(o.status, DIGEST_TOO_LARGE) << c.size;
    EXPECT_TRUE(o.untouched);
    EXPECT_EQ(f.reads, 0) << c.size;
    EXPECT_EQ(f.opens - f.failed_opens, f.closes);
  }
  // The real file system agrees on a real sparse file.
  ScratchDir dir;
  make_sparse_file(dir.file("big"), SHA1_MAX_BYTES + 1);
  EXPECT_EQ(call_sha1_file(dir.file("big")).status, DIGEST_TOO_LARGE);
  make_sparse_file(dir.file("big"), SHA512_MAX_BYTES + 1);
  EXPECT_EQ(call_sha512_file(dir.file("big")).status, DIGEST_TOO_LARGE);
}

// ---- Failures through the scripted file seam ----

enum class Change {
  None,
  GrowBeforeReading,
  ShrinkBeforeReading,
  EmptyBeforeReading,
  GrowWhileReading,
  ReadErrorAtSecondRead,
  ShortFirstRead,
  SecondOpenFails
};

struct FaultCase {
  const char* what;
  Change change;
  std::size_t size;  // bytes at the probe
  bool succeeds;
};

void script(ScriptedFile& f, Change change) {
  switch (change) {
    case Change::None:
      break;
    case Change::GrowBeforeReading:
      f.before_open = [](ScriptedFile& s, int index) {
        if (index == 2) s.content.push_back(0x5A);
      };
      break;
    case Change::ShrinkBeforeReading:
      f.before_open = [](ScriptedFile& s, int index) {
        if (index == 2) s.content.pop_back();
      };
      break;
    case Change::EmptyBeforeReading:
      f.before_open = [](ScriptedFile& s, int index) {
        if (index == 2) s.content.clear();
      };
      break;
    case Change::GrowWhileReading:
      f.before_read = [](ScriptedFile& s, int index) {
        if (index == 2) s.content.insert(s.content.end(), 300, 0x77);
      };
      break;
    case Change::ReadErrorAtSecondRead:
      f.read_limit = [](int index) -> std::optional<std::size_t> {
        if (index >= 2) return 0;
        return std::nullopt;
      };
      break;
    case Change::ShortFirstRead:
      f.read_limit = [](int index) -> std::optional<std::size_t> {
        if (index == 1) return 10;
        return std::nullopt;
      };
      break;
    case Change::SecondOpenFails:
      f.fail_open = 2;
      break;
  }
}

TEST(Framing, FilesThatChangeOrFailBetweenProbeAndReading) {
  const FaultCase cases[] = {
      {"unchanged", Change::None, 300, true},
      // A file that grows after a probe that found a whole number of
      // blocks: the reading stops at the probed size.
      {"grows, probe on a block boundary", Change::GrowBeforeReading, 256, true},
      {"grows, probe mid-block", Change::GrowBeforeReading, 300, false},
      {"grows while reading", Change::GrowWhileReading, 300, false},
      {"shrinks", Change::ShrinkBeforeReading, 300, false},
      {"shrinks, probe on a block boundary", Change::ShrinkBeforeReading, 256, false},
      {"emptied", Change::EmptyBeforeReading, 300, false},
      {"read error mid-file", Change::ReadErrorAtSecondRead, 300, false},
      {"short read before the end", Change::ShortFirstRead, 300, false},
      {"second open fails", Change::SecondOpenFails, 300, false},
  };
  for (const FaultCase& c : cases) {
    for (const FileDigestRoutine& a : FILE_DIGEST_ROUTINES) {
      ScriptedFile f;
      f.content = pattern_bytes(c.size, 3);
      const Bytes original = f.content;
      script(f, c.change);
      ScriptedFsGuard guard(f);
      const FileDigestCall o = a.call("file");
      if (c.succeeds) {
        EXPECT_EQ(o.status, static_cast<DigestStatus64>(c.size)) << a.name << ": " << c.what;
        EXPECT_EQ(o.hex, a.reference_hex(original)) << a.name << ": " << c.what;
      } else {
        EXPECT_EQ(o.status, DIGEST_FILE_ERROR) << a.name << ": " << c.what;
        EXPECT_TRUE(o.untouched) << a.name << ": " << c.what;
      }
      EXPECT_EQ(f.opens - f.failed_opens, f.closes)
          << a.name << ": " << c.what << ": a stream left open";
    }
  }
}

TEST(Framing, RefusalsWithoutReading) {
  ScratchDir dir;
  write_file(dir.file("empty"), std::string());
  const struct {
    const char* what;
    std::string path;
  } cases[] = {
      {"empty file", dir.file("empty")},
      {"missing file", dir.file("missing")},
      {"directory", dir.path()},
      {"empty name", ""},
  };
  for (const auto& c : cases) {
    for (const FileDigestRoutine& a : FILE_DIGEST_ROUTINES) {
      const FileDigestCall o = a.call(c.path);
      EXPECT_EQ(o.status, DIGEST_FILE_ERROR) << a.name << ": " << c.what;
      EXPECT_TRUE(o.untouched) << a.name << ": " << c.what;
    }
  }
  // Every bit of the 64-bit status is set for a SHA-512 failure.
  EXPECT_EQ(static_cast<std::uint64_t>(call_sha512_file(dir.file("empty")).status),
            ~std::uint64_t{0});
}

TEST(Framing, EmptyScriptedFileIsNeverRead) {
  for (const FileDigestRoutine& a : FILE_DIGEST_ROUTINES) {
    ScriptedFile f;
    ScriptedFsGuard guard(f);
    EXPECT_EQ(a.call("file").status, DIGEST_FILE_ERROR) << a.name;
    EXPECT_EQ(f.reads, 0) << a.name;
    EXPECT_EQ(f.opens, 1) << a.name;
    EXPECT_EQ(f.closes, 1) << a.name;
  }
}

}  // namespace
