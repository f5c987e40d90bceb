// The one reading pass for both digests. One size probe (against the SHA-1
// limit, which decides first), one stream opened once, and the two framings
// stepped over it in turn: the SHA-512 framing reads each chunk of up to 128
// bytes from the stream and the SHA-1 framing then takes the same bytes in
// its own 64-byte reads, so that each framing sees exactly the reads it
// would see alone and every check of either stands. Runs of whole blocks
// that cannot hold the end of the file go to both compressions at once,
// straight from the stream's buffer.
#include "digest/one_pass.h"

#include <cstring>

#include "digest/compress_dispatch.h"
#include "digest/framing.h"
#include "digest/sha1.h"
#include "digest/sha512.h"

namespace {

constexpr std::size_t WIDE_BLOCK = 128;  // a SHA-512 block: two SHA-1 blocks

// The stream beneath both framings, and the bytes of its last read until
// the SHA-1 framing has taken them all.
struct SharedStream {
  Stream* src;
  ContentSum sum;
  OsCause read_cause;
  std::uint8_t held[WIDE_BLOCK];
  std::size_t held_bytes;
  std::size_t taken;  // of the held bytes, by the SHA-1 framing
};

// Each framing's view of the shared stream: a stream type of its own.
struct ViewStream : Stream {
  SharedStream* shared;
};

SharedStream& shared_of(Stream* s) { return *static_cast<ViewStream*>(s)->shared; }

// Reads from the stream beneath, checksumming what it brings.
std::size_t read_beneath(SharedStream& sh, std::uint8_t* buf, std::size_t count) {
  const std::size_t n = sh.src->methods->read(sh.src, buf, count);
  content_sum_add(sh.sum, buf, n);
  if (n < count && sh.read_cause == OsCause::NONE) sh.read_cause = short_read_cause(sh.src);
  return n;
}

// The SHA-512 view: each read goes to the stream, and its bytes are held
// for the SHA-1 view; nothing is read after a failed read.
std::size_t wide_read(Stream* s, std::uint8_t* buf, std::size_t count) {
  SharedStream& sh = shared_of(s);
  if (sh.read_cause != OsCause::NONE) return 0;
  const std::size_t n = read_beneath(sh, sh.held, count < WIDE_BLOCK ? count : WIDE_BLOCK);
  sh.held_bytes = n;
  sh.taken = 0;
  std::memcpy(buf, sh.held, n);
  return n;
}

// The SHA-1 view: the held bytes first; past them (once the SHA-512 framing
// has ended), the stream itself, unless a read of it has failed: nothing is
// read after a failed read.
std::size_t narrow_read(Stream* s, std::uint8_t* buf, std::size_t count) {
  SharedStream& sh = shared_of(s);
  if (sh.taken == sh.held_bytes) {
    return sh.read_cause == OsCause::NONE ? read_beneath(sh, buf, count) : 0;
  }
  const std::size_t left = sh.held_bytes - sh.taken;
  const std::size_t n = count < left ? count : left;
  std::memcpy(buf, sh.held + sh.taken, n);
  sh.taken += n;
  return n;
}

bool wide_at_eof(Stream* s) {
  const SharedStream& sh = shared_of(s);
  return sh.src->methods->at_eof(sh.src);
}

bool narrow_at_eof(Stream* s) {
  const SharedStream& sh = shared_of(s);
  return sh.taken == sh.held_bytes && sh.src->methods->at_eof(sh.src);
}

// The framings only read their views; the probe and the close are the
// pass's own.
void no_seek_end(Stream*) {}
std::int64_t no_position(Stream*) { return -1; }
void no_close(Stream*) {}

constexpr StreamMethods WIDE_METHODS{no_seek_end, no_position, wide_read, wide_at_eof, no_close};
constexpr StreamMethods NARROW_METHODS{no_seek_end, no_position, narrow_read, narrow_at_eof,
                                       no_close};

// Folds a run of whole 128-byte blocks that cannot hold the end of the file
// into both digests, borrowed from the stream's buffer; false when the
// stream lent none or the framings are not level.
bool fold_both_borrowed(SharedStream& sh, ReadingPass<std::uint32_t>& p1,
                        ReadingPass<std::uint64_t>& p5, BothBlocksFn both) {
  if (p1.total != p5.total || sh.taken != sh.held_bytes) return false;
  std::size_t got = 0;
  const std::uint8_t* run = borrow_before_end(sh.src, WIDE_BLOCK, p5.size, p5.total, &got);
  if (run == nullptr) return false;
  content_sum_add(sh.sum, run, got * WIDE_BLOCK);
  both(p1.h, p5.h, run, got);
  const auto bytes = static_cast<std::uint32_t>(got * WIDE_BLOCK);
  p1.total += bytes;
  p5.total += bytes;
  return true;
}

}  // namespace

void read_both_once(const FileSystem& fs, const char* path, OnePass* out) {
  out->report = empty_report();
  out->sha512_status = 0;
  const std::int64_t probed = probe_size(fs, path, SHA1_MAX_BYTES, &out->report.probed);
  if (probed < 0) {
    out->sha1_status = static_cast<DigestStatus>(out->report.status = probed);
    // A size over the SHA-1 limit but within the SHA-512 one is not read.
    const auto found = static_cast<std::uint64_t>(out->report.probed);
    out->sha512_status = probed == DIGEST_TOO_LARGE && found <= SHA512_MAX_BYTES ? 0 : probed;
    return;
  }
  const auto size = static_cast<std::uint64_t>(probed);
  Stream* src = open_stream(fs, path);
  if (src == nullptr) {
    out->sha1_status = static_cast<DigestStatus>(out->report.status = DIGEST_FILE_ERROR);
    out->sha512_status = DIGEST_FILE_ERROR;
    return;
  }

  SharedStream sh{src, {}, OsCause::NONE, {}, 0, 0};
  content_sum_start(sh.sum, 0);
  ViewStream narrow{{&NARROW_METHODS}, &sh};
  ViewStream wide{{&WIDE_METHODS}, &sh};
  std::uint32_t h1[5];
  std::uint64_t h5[8];
  std::memcpy(h1, SHA1_H0, sizeof h1);
  std::memcpy(h5, SHA512_H0, sizeof h5);
  const BothBlocksFn both = both_active_path().blocks;
  ReadingPass<std::uint32_t> p1 = start_pass<std::uint32_t>(
      &narrow, size, h1, sha1_active_path().blocks, nullptr, nullptr, nullptr);
  ReadingPass<std::uint64_t> p5 = start_pass<std::uint64_t>(
      &wide, size, h5, sha512_active_path().blocks, nullptr, nullptr, nullptr);

  std::int64_t s1 = PASS_GOES_ON;
  std::int64_t s5 = PASS_GOES_ON;
  // Until the SHA-1 framing ends; the SHA-512 framing then ends on its own
  // steps, which read only what the SHA-1 framing did not take (nothing,
  // unless that one failed first), so that each framing's status is the one
  // it would have alone.
  while (s1 == PASS_GOES_ON) {
    if (s5 == PASS_GOES_ON) {
      if (fold_both_borrowed(sh, p1, p5, both)) continue;
      s5 = fold_step(p5);
    }
    // The SHA-1 framing takes what the SHA-512 framing read, and reads on
    // by itself once that one has ended.
    do {
      s1 = fold_step(p1);
    } while (s1 == PASS_GOES_ON && (sh.taken < sh.held_bytes || s5 != PASS_GOES_ON));
  }
  while (s5 == PASS_GOES_ON) s5 = fold_step(p5);
  src->methods->close(src);

  out->report.status = s1;
  out->report.sum = content_sum_value(sh.sum);
  out->report.bytes = sh.sum.total;
  out->report.read_cause = sh.read_cause;
  out->sha1_status = static_cast<DigestStatus>(s1);
  out->sha512_status = s5;
  if (s1 > 0) {
    for (std::size_t i = 0; i < 5; ++i) out->sha1[i] = h1[i];
  }
  if (s5 > 0) {
    for (std::size_t i = 0; i < 8; ++i) out->sha512[i] = h5[i];
  }
}
