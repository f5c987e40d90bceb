// Fuzz target: the block framing of both file digests, driven through the
// file seam.
//
// The input chooses the digest, the file's content, what the size probe
// reports (the true size, a size off by a little, a failed query, a size at
// or past the limit, any 64-bit value), which open fails, and how each read
// of the reading pass answers: in full, short, with an error, after the file
// grew or shrank, or with the end-of-file indicator raised early; and whether
// the stream lends whole blocks from its buffer, and how many at a time.
//
// Whatever happens, the routine must return a known status, close every
// stream it opened, never touch a closed stream, never read during the size
// probe, and leave the caller's array alone on failure. Whenever it succeeds,
// its digest must equal a one-shot digest of exactly the bytes it was given,
// computed here by padding the whole message in memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "digest/sha1.h"
#include "digest/sha512.h"
#include "fuzz_input.h"
#include "tests/one_shot.h"

namespace {

enum ReadKind : std::uint8_t {
  READ_FULL,          // as much as asked and available
  READ_SHORT,         // fewer bytes than asked and available, end not reached
  READ_ERROR,         // nothing, end not reached
  READ_AFTER_GROW,    // the file grew by some bytes first
  READ_AFTER_SHRINK,  // the file lost some bytes first
  READ_EARLY_EOF,     // as FULL, but the end-of-file indicator is raised
  READ_KINDS
};

struct ReadStep {
  ReadKind kind;
  std::uint8_t arg;
};

struct FakeStream : Stream {
  int id;  // 1 for the first open of the call, 2 for the second, ...
  std::size_t offset;
  bool eof;
  std::uint8_t* lent;  // the blocks last lent, valid until the next operation
};

// The scripted file system, one per input.
struct Scenario {
  std::vector<std::uint8_t> content;
  bool probe_fails;
  std::uint64_t probe_value;  // what the position query reports after the seek
  int failing_open;           // 1-based; 0 when every open succeeds
  bool lends;                 // the stream lends whole blocks from its buffer
  std::uint8_t lend_seed;     // how many blocks each loan may hold
  int loans;
  std::vector<ReadStep> steps;

  int opens;
  int open_streams;
  int closes;
  int probe_reads;                      // reads on the size probe's stream: there must be none
  int reads;                            // reads of the reading pass
  std::vector<std::uint8_t> delivered;  // every byte handed to the framing, in order
};

Scenario* scenario = nullptr;

constexpr std::size_t MAX_CONTENT = std::size_t{1} << 20;

// The stream behind `src`; any operation ends the previous loan, so a
// framing that used lent bytes after it would read freed memory.
FakeStream* stream(Stream* src) {
  FUZZ_CHECK(src != nullptr);
  auto* s = static_cast<FakeStream*>(src);
  delete[] s->lent;
  s->lent = nullptr;
  return s;
}

void fake_seek_end(Stream* src) {
  FakeStream* s = stream(src);
  s->offset = scenario->content.size();
}

std::int64_t fake_position(Stream* src) {
  FakeStream* s = stream(src);
  if (s->offset != scenario->content.size()) return static_cast<std::int64_t>(s->offset);
  if (scenario->probe_fails) return -1;
  return static_cast<std::int64_t>(scenario->probe_value);
}

std::size_t fake_read(Stream* src, std::uint8_t* buf, std::size_t count) {
  FakeStream* s = stream(src);
  FUZZ_CHECK(count > 0);
  FUZZ_CHECK(buf != nullptr);
  if (s->id == 1) ++scenario->probe_reads;
  // The whole buffer must be writable, whatever this read brings.
  std::memset(buf, 0xA5, count);

  const std::size_t index = static_cast<std::size_t>(scenario->reads++);
  const ReadStep step =
      index < scenario->steps.size() ? scenario->steps[index] : ReadStep{READ_FULL, 0};
  std::vector<std::uint8_t>& content = scenario->content;
  if (step.kind == READ_AFTER_GROW && content.size() < MAX_CONTENT) {
    for (unsigned i = 0; i <= step.arg; ++i) {
      content.push_back(static_cast<std::uint8_t>(0x3C ^ (content.size() * 7)));
    }
  }
  if (step.kind == READ_AFTER_SHRINK) {
    const std::size_t cut = std::size_t{step.arg} + 1;
    content.resize(content.size() > cut ? content.size() - cut : 0);
  }

  const std::size_t avail = s->offset < content.size() ? content.size() - s->offset : 0;
  std::size_t want = count;
  if (step.kind == READ_SHORT) want = step.arg % count;
  if (step.kind == READ_ERROR) want = 0;
  const std::size_t n = want < avail ? want : avail;
  if (n > 0) std::memcpy(buf, content.data() + s->offset, n);
  s->offset += n;
  if (s->id != 1) scenario->delivered.insert(scenario->delivered.end(), buf, buf + n);
  // The indicator is raised only when the read met the end of the file,
  // never by a short or failed read that stopped before it.
  const bool met_end = n < want || (n == want && avail == n && step.kind == READ_EARLY_EOF);
  if (met_end) s->eof = true;
  return n;
}

bool fake_at_eof(Stream* src) { return stream(src)->eof; }

// Lends up to `max_blocks` whole blocks at the read position, as many as
// this loan allows and the file still holds after it.
const std::uint8_t* fake_borrow(Stream* src, std::size_t block_bytes, std::size_t max_blocks,
                                std::size_t* blocks) {
  FakeStream* s = stream(src);
  FUZZ_CHECK(blocks != nullptr);
  FUZZ_CHECK(block_bytes > 0 && max_blocks > 0);
  if (s->id == 1) ++scenario->probe_reads;
  *blocks = 0;
  if (!scenario->lends) return nullptr;
  const std::size_t cap = static_cast<std::size_t>(scenario->lend_seed + 3 * scenario->loans++) % 9;
  const std::vector<std::uint8_t>& content = scenario->content;
  const std::size_t whole =
      s->offset < content.size() ? (content.size() - s->offset) / block_bytes : 0;
  std::size_t n = max_blocks < cap ? max_blocks : cap;
  if (whole < n) n = whole;
  if (n == 0) return nullptr;
  s->lent = new std::uint8_t[n * block_bytes];
  std::memcpy(s->lent, content.data() + s->offset, n * block_bytes);
  s->offset += n * block_bytes;
  if (s->id != 1)
    scenario->delivered.insert(scenario->delivered.end(), s->lent, s->lent + n * block_bytes);
  *blocks = n;
  return s->lent;
}

void fake_close(Stream* src) {
  FakeStream* s = stream(src);
  ++scenario->closes;
  --scenario->open_streams;
  delete s;  // a second close or any later use is a use after free
}

constexpr StreamMethods FAKE_METHODS{fake_seek_end, fake_position, fake_read,
                                     fake_at_eof,   fake_close,    fake_borrow};

Stream* fake_open(void* /*context*/, const char* path, OsCause* /*cause*/) {
  FUZZ_CHECK(path != nullptr);
  const int index = ++scenario->opens;
  if (index == scenario->failing_open) return nullptr;
  ++scenario->open_streams;
  return new FakeStream{{&FAKE_METHODS}, index, 0, false, nullptr};
}

constexpr FileSystem FAKE_FILE_SYSTEM{fake_open};

void read_scenario(FuzzInput& in, Scenario& sc, bool& sha512) {
  const std::uint8_t mode = take_u8(in);
  sha512 = (mode & 1) != 0;
  const std::uint64_t limit = sha512 ? SHA512_MAX_BYTES : SHA1_MAX_BYTES;
  const std::uint8_t open_mode = (mode >> 4) & 3;
  sc.failing_open = open_mode == 3 ? 0 : open_mode;
  sc.lends = (mode & 0x40) != 0;

  const std::size_t length = take_u16(in) & 0x1FFFu;
  const std::uint8_t probe_mode = (mode >> 1) & 7;
  const auto delta = static_cast<std::int8_t>(take_u8(in));
  sc.lend_seed = take_u8(in);
  sc.probe_fails = probe_mode == 5;
  switch (probe_mode) {
    case 4:  // off by a little: the file is longer or shorter than promised
      sc.probe_value = static_cast<std::uint64_t>(static_cast<std::int64_t>(length) + delta);
      break;
    case 6:
      sc.probe_value = take_u64(in);
      break;
    case 7:  // around the limit
      sc.probe_value = static_cast<std::uint64_t>(static_cast<std::int64_t>(limit) + delta);
      break;
    default:
      sc.probe_value = length;
  }

  const std::size_t step_count = take_u8(in) & 31u;
  for (std::size_t i = 0; i < step_count; ++i) {
    const auto kind = static_cast<ReadKind>(take_u8(in) % READ_KINDS);
    sc.steps.push_back({kind, take_u8(in)});
  }

  // The rest of the input is the content, repeated as needed.
  sc.content.resize(length);
  const std::size_t avail = remaining(in);
  for (std::size_t i = 0; i < length; ++i) {
    sc.content[i] = avail > 0 ? in.data[in.at + i % avail] : static_cast<std::uint8_t>(i * 131);
  }
}

// True when nothing disturbs the reading pass before it has read `size`
// bytes, apart from growth: such a call must succeed when growth cannot
// reach it (no growth, or a size that ends on a block boundary).
bool must_succeed(const Scenario& sc, std::uint64_t size, std::size_t block) {
  if (sc.failing_open != 0 || sc.probe_fails || size == 0 || size != sc.content.size()) {
    return false;
  }
  bool grows = false;
  for (const ReadStep& step : sc.steps) {
    if (step.kind == READ_AFTER_GROW) {
      grows = true;
    } else if (step.kind != READ_FULL) {
      return false;
    }
  }
  return !grows || size % block == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size, 0};
  Scenario sc{};
  bool sha512 = false;
  read_scenario(in, sc, sha512);
  const std::vector<std::uint8_t> original = sc.content;
  const std::uint64_t limit = sha512 ? SHA512_MAX_BYTES : SHA1_MAX_BYTES;
  const std::size_t block = sha512 ? 128 : 64;
  const bool clean = must_succeed(sc, sc.probe_value, block);

  scenario = &sc;
  set_file_system(&FAKE_FILE_SYSTEM);
  std::int64_t status = 0;
  std::uint64_t got[8];
  constexpr std::uint64_t SENTINEL = 0x5A5A5A5AC3C3C3C3ULL;
  bool untouched = true;
  if (sha512) {
    Sha512Digest out;
    out.fill(SENTINEL);
    status = sha512_file("input", out);
    for (std::size_t i = 0; i < 8; ++i) {
      got[i] = out[i];
      untouched = untouched && out[i] == SENTINEL;
    }
  } else {
    Sha1Digest out;
    out.fill(static_cast<std::uint32_t>(SENTINEL));
    status = sha1_file("input", out);
    for (std::size_t i = 0; i < 5; ++i) {
      got[i] = out[i];
      untouched = untouched && out[i] == static_cast<std::uint32_t>(SENTINEL);
    }
  }
  set_file_system(nullptr);
  scenario = nullptr;

  // Every stream opened was closed, and the probe never read.
  FUZZ_CHECK(sc.open_streams == 0);
  FUZZ_CHECK(sc.probe_reads == 0);

  // A known status, and never the logic error: no sequence of reads that
  // keeps the seam's contract can break the tail plan.
  FUZZ_CHECK(status == DIGEST_FILE_ERROR || status == DIGEST_TOO_LARGE ||
             (status > 0 && static_cast<std::uint64_t>(status) <= limit));

  // Refusals that need no reading.
  if (sc.failing_open == 1) {
    FUZZ_CHECK(status == DIGEST_FILE_ERROR && sc.opens == 1);
  } else if (sc.probe_fails || sc.probe_value > limit) {
    FUZZ_CHECK(status == DIGEST_TOO_LARGE && sc.reads == 0);
  } else if (sc.probe_value == 0) {
    FUZZ_CHECK(status == DIGEST_FILE_ERROR && sc.reads == 0);
  } else if (sc.failing_open == 2) {
    FUZZ_CHECK(status < 0 && sc.reads == 0);
  }
  if (status == DIGEST_TOO_LARGE) FUZZ_CHECK(sc.probe_fails || sc.probe_value > limit);

  if (status < 0) {
    FUZZ_CHECK(untouched);
    FUZZ_CHECK(!clean);
    return 0;
  }

  // Success: exactly the promised bytes were taken, and the digest is theirs.
  FUZZ_CHECK(static_cast<std::uint64_t>(status) == sc.probe_value);
  FUZZ_CHECK(sc.delivered.size() == sc.probe_value);
  std::uint64_t want[8] = {};
  if (sha512) {
    one_shot_digest<std::uint64_t, 8>(sc.delivered, SHA512_H0, sha512_compress, want);
    for (std::size_t i = 0; i < 8; ++i) FUZZ_CHECK(got[i] == want[i]);
  } else {
    std::uint32_t want32[5];
    one_shot_digest<std::uint32_t, 5>(sc.delivered, SHA1_H0, sha1_compress, want32);
    for (std::size_t i = 0; i < 5; ++i) FUZZ_CHECK(got[i] == want32[i]);
  }
  // Growth only ever appends, so a clean run digests the original bytes.
  if (clean) {
    FUZZ_CHECK(std::equal(sc.delivered.begin(), sc.delivered.end(), original.begin(),
                          original.begin() + static_cast<std::ptrdiff_t>(sc.delivered.size())));
  }
  return 0;
}
