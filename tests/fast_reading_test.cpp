// The framing's fast reading path (whole blocks borrowed from the stream's
// buffer) against the one-block reads, on real files cut or extended under
// the reader. POSIX only: the files are changed with truncate.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <string>

#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "test_util.h"

namespace {

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
