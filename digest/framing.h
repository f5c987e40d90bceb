// Streamed block framing shared by the SHA-1 and SHA-512 file digests.
//
// One procedure serves both digests; everything that differs between them
// follows from the word type (32-bit words and 64-byte blocks for SHA-1,
// 64-bit words and 128-byte blocks for SHA-512) and the size limit.
//
// The framing probes the file's size, plans from that size alone where the
// message tail goes (end marker, zero fill, bit length), then reads the file
// one block at a time, checking at every read that the bytes arriving agree
// with the probe. A block is always 16 words; the bit length occupies the
// last two words, of which the upper one is always zero.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "digest/block_core.h"
#include "digest/checksum.h"
#include "digest/compress_dispatch.h"
#include "digest/digest_types.h"
#include "digest/file_source.h"

// Folds the block whose sixteen words are `m` into h: the words are stored
// big-endian into `block` (one block of bytes) and handed to the path.
template <typename Word>
inline void fold_words(BlocksFn<Word> blocks, Word* h, const Word* m, std::uint8_t* block) {
  for (std::size_t i = 0; i < 16; ++i) store_be<Word>(block + i * sizeof(Word), m[i]);
  blocks(h, block, 1);
}

// Least room in the final data block for the end marker and the two length
// words.
template <typename Word>
constexpr std::size_t tail_threshold() {
  return 2 * sizeof(Word) + 1;
}
// The end marker as a whole word: a one bit followed by zeros.
template <typename Word>
constexpr Word marker_word() {
  return static_cast<Word>(Word{1} << (8 * sizeof(Word) - 1));
}

// The size probe: opens the file, seeks to its end and closes it. Returns
// the size (1 .. max_bytes) or a failure code, and the position found in
// `*found` (-1 when the file could not be opened). A failed position query
// reads as the largest unsigned value, and so as too large.
inline std::int64_t probe_size(const FileSystem& fs, const char* path, std::uint64_t max_bytes,
                               std::int64_t* found) {
  *found = -1;
  Stream* src = open_stream(fs, path);
  if (src == nullptr) return DIGEST_FILE_ERROR;
  src->methods->seek_end(src);
  *found = src->methods->position(src);
  const auto size = static_cast<std::uint64_t>(*found);
  src->methods->close(src);
  if (size > max_bytes) return DIGEST_TOO_LARGE;
  if (size == 0) return DIGEST_FILE_ERROR;
  return static_cast<std::int64_t>(size);
}

// The tail plan, from the size alone: true when the tail needs a block of
// its own, because the last chunk fills its block or leaves too little room.
template <typename Word>
constexpr bool needs_length_block(std::uint64_t size) {
  constexpr std::size_t BLOCK_BYTES = 16 * sizeof(Word);
  const std::size_t room = BLOCK_BYTES - static_cast<std::size_t>(size % BLOCK_BYTES);
  return room < tail_threshold<Word>() || room == BLOCK_BYTES;
}

// The file's last `r` bytes (fewer than a word), the end marker, then zero
// bytes, left-aligned in one word.
template <typename Word>
Word marked_partial_word(const std::uint8_t* bytes, std::size_t r) {
  Word w = 0;
  for (std::size_t i = 0; i < r; ++i) w = static_cast<Word>((w << 8) | bytes[i]);
  w = static_cast<Word>((w << 8) | 0x80u);
  return static_cast<Word>(w << (8 * (sizeof(Word) - 1 - r)));
}

// Completes the final data block, whose first `word_count` words hold the
// file's last bytes (`pad_count` tail bytes already placed): the end marker
// unless it is placed, zero words, and, when no length block follows, the
// bit length. Returns 0, or the failure code when the block cannot be what
// the plan from the size said (DIGEST_LOGIC_ERROR) or the file did not end
// at its size (DIGEST_FILE_ERROR).
template <typename Word>
std::int64_t end_final_block(Word* m, std::size_t word_count, std::size_t& pad_count,
                             bool extra_block, std::uint32_t total, std::uint64_t size) {
  if (word_count == 16) return extra_block ? 0 : DIGEST_LOGIC_ERROR;
  if (pad_count == 0) {
    m[word_count++] = marker_word<Word>();
    pad_count += sizeof(Word);
  }
  for (; word_count < 16; ++word_count) {
    m[word_count] = 0;
    pad_count += sizeof(Word);
  }
  if (extra_block) return 0;
  if (pad_count < tail_threshold<Word>()) return DIGEST_LOGIC_ERROR;
  if (total != size) return DIGEST_FILE_ERROR;
  m[15] = static_cast<Word>(static_cast<Word>(total) * Word{8});
  return 0;
}

// The length block: zeros and the bit length, led by the end marker when the
// file ended on a block boundary (no tail byte placed yet).
template <typename Word>
void length_block(Word* m, bool with_marker, std::uint64_t size) {
  m[0] = with_marker ? marker_word<Word>() : Word{0};
  for (std::size_t i = 1; i < 15; ++i) m[i] = 0;
  m[15] = static_cast<Word>(static_cast<Word>(size) * Word{8});
}

// One reading pass of the framing: the stream, the plan from the size, and
// how far the pass has come.
template <typename Word>
struct ReadingPass {
  Stream* src;
  std::uint64_t size;
  bool extra_block;       // the tail needs a block of its own
  Word* h;                // the chaining words
  BlocksFn<Word> blocks;  // the compression path
  std::uint32_t total;    // bytes taken; size < 2^31, so total + one block never wraps
  std::size_t pad_count;  // tail bytes placed in the final data block
  Word m[16];             // every word is written before a block is compressed
  // The block buffer: each read lands here, and each block built from words
  // is stored back here as bytes. The pass's own, so that the two digests
  // can run side by side on two threads.
  std::uint8_t chunk[16 * sizeof(Word)];
  // Where the bytes handed to the digest are checksummed, and why a read
  // that failed did; nullptr when the caller takes them elsewhere.
  ContentSum* sum;
  OsCause* read_cause;
  // Set when the pass's result is no longer wanted: it stops at its next
  // step as a failed read would stop it. nullptr: never.
  const std::atomic<bool>* abandon;
};

// Starts a reading pass over `src` for a file of `size` bytes.
template <typename Word>
ReadingPass<Word> start_pass(Stream* src, std::uint64_t size, Word* h, BlocksFn<Word> blocks,
                             ContentSum* sum, OsCause* read_cause,
                             const std::atomic<bool>* abandon) {
  return ReadingPass<Word>{
      src, size, needs_length_block<Word>(size), h, blocks, 0, 0, {}, {}, sum, read_cause, abandon};
}

// Folds blocks that cannot hold the end of the file, borrowed from the
// stream's buffer when it holds them; false when it lent none. Each is
// exactly what a full one-block read would have brought with `total`
// staying below `size` and the end-of-file indicator clear, so none of the
// checks of a read could fail on it, and the reads that follow see the
// stream where those reads would have left it.
//
// borrow_before_end lends the run itself: blocks of `block_bytes` from `src`,
// `total` of `size` bytes taken, none of them able to hold the end; nullptr
// when the stream lends none.
inline const std::uint8_t* borrow_before_end(Stream* src, std::size_t block_bytes,
                                             std::uint64_t size, std::uint32_t total,
                                             std::size_t* got) {
  *got = 0;
  if (src->methods->borrow == nullptr) return nullptr;
  const std::uint64_t before_last = (size - total - 1) / block_bytes;
  if (before_last == 0) return nullptr;
  const std::uint8_t* run =
      src->methods->borrow(src, block_bytes, static_cast<std::size_t>(before_last), got);
  return *got > 0 ? run : nullptr;
}

template <typename Word>
bool fold_borrowed(ReadingPass<Word>& p) {
  constexpr std::size_t BLOCK_BYTES = 16 * sizeof(Word);
  std::size_t got = 0;
  const std::uint8_t* run = borrow_before_end(p.src, BLOCK_BYTES, p.size, p.total, &got);
  if (run == nullptr) return false;
  if (p.sum != nullptr) content_sum_add(*p.sum, run, got * BLOCK_BYTES);
  p.blocks(p.h, run, got);
  p.total += static_cast<std::uint32_t>(got * BLOCK_BYTES);
  return true;
}

// Why a read of `s` that brought fewer bytes than asked did, when it did
// not meet the end: the stream's cause, or OsCause::OTHER; NONE at the end.
inline OsCause short_read_cause(Stream* s) {
  if (s->methods->at_eof(s)) return OsCause::NONE;
  const OsCause cause =
      s->methods->read_error != nullptr ? s->methods->read_error(s) : OsCause::OTHER;
  return cause == OsCause::NONE ? OsCause::OTHER : cause;
}

// Reads one block's worth of bytes, checks it against the size, packs it
// into words (the last chunk with its tail) and folds it. Returns 0, or the
// failure code: the file grew, shrank or failed to read (DIGEST_FILE_ERROR),
// or the chunk cannot be what the plan said (DIGEST_LOGIC_ERROR).
template <typename Word>
std::int64_t fold_read_chunk(ReadingPass<Word>& p) {
  constexpr std::size_t WORD_BYTES = sizeof(Word);
  constexpr std::size_t BLOCK_BYTES = 16 * WORD_BYTES;
  const std::size_t n = p.src->methods->read(p.src, p.chunk, BLOCK_BYTES);
  if (p.sum != nullptr) content_sum_add(*p.sum, p.chunk, n);
  if (n < BLOCK_BYTES && p.read_cause != nullptr && *p.read_cause == OsCause::NONE) {
    *p.read_cause = short_read_cause(p.src);
  }
  p.total += static_cast<std::uint32_t>(n);
  const bool last_chunk = p.total == p.size;
  if (p.total > p.size) return DIGEST_FILE_ERROR;                // the file grew
  if (n < BLOCK_BYTES && !last_chunk) return DIGEST_FILE_ERROR;  // shrank or failed

  const std::size_t whole = n / WORD_BYTES;
  for (std::size_t i = 0; i < whole; ++i) p.m[i] = load_be<Word>(p.chunk + i * WORD_BYTES);
  std::size_t word_count = whole;

  if (const std::size_t r = n % WORD_BYTES; r != 0) {
    ++word_count;
    if (!last_chunk) return DIGEST_LOGIC_ERROR;
    p.m[whole] = marked_partial_word<Word>(p.chunk + whole * WORD_BYTES, r);
    p.pad_count += WORD_BYTES - r;
  }

  if (last_chunk) {
    if (const std::int64_t status =
            end_final_block(p.m, word_count, p.pad_count, p.extra_block, p.total, p.size);
        status != 0) {
      return status;
    }
  }
  fold_words(p.blocks, p.h, p.m, p.chunk);
  return 0;
}

// What fold_step returns while the pass goes on.
inline constexpr std::int64_t PASS_GOES_ON = 0;

// One step of a pass: a run of borrowed blocks or one read chunk, and, once
// the file is read, the length block when the plan wants one. Returns
// PASS_GOES_ON, or the pass's result: the byte count or a failure code.
template <typename Word>
std::int64_t fold_step(ReadingPass<Word>& p) {
  if (p.abandon != nullptr && p.abandon->load(std::memory_order_relaxed)) {
    return DIGEST_FILE_ERROR;
  }
  if (!fold_borrowed(p)) {
    if (const std::int64_t status = fold_read_chunk(p); status != 0) return status;
  }
  if (p.total < p.size && !p.src->methods->at_eof(p.src)) return PASS_GOES_ON;
  if (p.total != p.size) return DIGEST_FILE_ERROR;
  if (p.extra_block) {
    length_block(p.m, p.pad_count == 0, p.size);
    fold_words(p.blocks, p.h, p.m, p.chunk);
  }
  return static_cast<std::int64_t>(p.size);
}

// Folds the whole file. Returns the byte count, or a failure code.
template <typename Word>
std::int64_t fold_file(ReadingPass<Word>& p) {
  std::int64_t status = PASS_GOES_ON;
  while ((status = fold_step(p)) == PASS_GOES_ON) {
  }
  return status;
}

// A report with nothing seen yet.
inline PassReport empty_report() { return PassReport{0, 0, 0, -1, OsCause::NONE}; }

// Digests the file at `path`, read through `fs`, into the chaining words `h`,
// which the caller has set to the algorithm's initial value. `blocks` is the
// compression path: it folds runs of whole blocks taken straight from the
// stream's buffer (see StreamMethods::borrow) and every block the framing
// builds from words. Returns the byte count, or a failure code, and says in
// `*report` what the pass saw; every stream opened here is closed before
// return.
template <typename Word>
std::int64_t frame_file(const FileSystem& fs, const char* path, std::uint64_t max_bytes, Word* h,
                        BlocksFn<Word> blocks, PassReport* report,
                        const std::atomic<bool>* abandon = nullptr) {
  *report = empty_report();
  const std::int64_t probed = probe_size(fs, path, max_bytes, &report->probed);
  if (probed < 0) return report->status = probed;
  const auto size = static_cast<std::uint64_t>(probed);

  // Reading pass, from the first byte.
  Stream* src = open_stream(fs, path);
  if (src == nullptr) return report->status = DIGEST_FILE_ERROR;
  ContentSum sum;
  content_sum_start(sum, 0);
  ReadingPass<Word> pass = start_pass(src, size, h, blocks, &sum, &report->read_cause, abandon);
  report->status = fold_file(pass);
  src->methods->close(src);
  report->sum = content_sum_value(sum);
  report->bytes = sum.total;
  return report->status;
}

// The file digest: the chaining words start at `h0` and fold through the
// compression path `blocks`; `out` is written only on success.
template <typename Word, std::size_t N>
std::int64_t digest_framed(const FileSystem& fs, const char* path, std::uint64_t max_bytes,
                           const Word (&h0)[N], BlocksFn<Word> blocks, std::array<Word, N>& out,
                           PassReport* report, const std::atomic<bool>* abandon = nullptr) {
  Word h[N];
  for (std::size_t i = 0; i < N; ++i) h[i] = h0[i];
  const std::int64_t status = frame_file<Word>(fs, path, max_bytes, h, blocks, report, abandon);
  if (status > 0) {
    for (std::size_t i = 0; i < N; ++i) out[i] = h[i];
  }
  return status;
}
