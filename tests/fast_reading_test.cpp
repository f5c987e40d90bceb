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

void watch_opened() {
  ++opens;
  consumed = 0;
  apply_change_if_due();
}
void watch_took(std::size_t /*size*/, std::size_t bytes) {
  consumed += bytes;
  apply_change_if_due();
}

ReadWatch one_block_reads{watch_opened, watch_took, /*lend=*/false};
ReadWatch borrowed_blocks{watch_opened, watch_took, /*lend=*/true};

struct Result {
  std::int64_t sha1;
  std::int64_t sha512;
  std::string sha1_hex;
  std::string sha512_hex;
};

Result digest_with(ReadWatch& watch, const Bytes& content, const Change& c) {
  write_file(changing_path, content);
  change = c;
  Result r{};
  Sha1Digest d1{};
  Sha512Digest d5{};
  const FileSystem fs = watched_file_system(watch);
  set_file_system(&fs);
  opens = 0;
  changed = false;
  r.sha1 = sha1_file(changing_path.c_str(), d1);
  write_file(changing_path, content);
  opens = 0;
  changed = false;
  r.sha512 = sha512_file(changing_path.c_str(), d5);
  set_file_system(nullptr);
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
      const Result slow = digest_with(one_block_reads, content, c);
      const Result fast = digest_with(borrowed_blocks, content, c);
      const std::string where = "size " + std::to_string(size) + ", change at " +
                                std::to_string(c.trigger) + " to " + std::to_string(c.new_size);
      EXPECT_EQ(fast.sha1, slow.sha1) << where;
      EXPECT_EQ(fast.sha512, slow.sha512) << where;
      EXPECT_EQ(fast.sha1_hex, slow.sha1_hex) << where;
      EXPECT_EQ(fast.sha512_hex, slow.sha512_hex) << where;
    }
    // The unchanged file succeeds, with the reference digests.
    const Result whole = digest_with(borrowed_blocks, content, changes[0]);
    EXPECT_EQ(whole.sha1, s);
    EXPECT_EQ(whole.sha512, s);
    EXPECT_EQ(whole.sha1_hex, hex_words(reference_sha1(content)));
    EXPECT_EQ(whole.sha512_hex, hex_words(reference_sha512(content)));
  }
}

}  // namespace
