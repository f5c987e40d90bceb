// The two digest passes, side by side on two threads or one after the
// other, each through a checksumming layer over the file seam.
#include "digest/both_digests.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "digest/checksum.h"
#include "digest/file_source.h"

namespace {

// What one reading pass handed to its digest, as seen through the layer.
struct PassTap {
  const FileOps* inner;              // the seam underneath
  const std::atomic<bool>* abandon;  // set when the pass's result is no longer wanted
  std::uint64_t sum;                 // checksum of the last stream closed
  std::uint64_t bytes;               // and how many bytes it handed out
  std::int64_t probed;               // the last size probe's answer; -1 before one
  OsCause read_cause;                // why a read failed; NONE while none has
};

struct TapStream {
  FileSource* inner;
  PassTap* tap;
  ContentSum sum;
  bool probing;  // moved to the end: the next position is the size probe
};

TapStream* as_tap(FileSource* src) { return reinterpret_cast<TapStream*>(src); }

FileSource* tap_open(const FileOps& ops, const char* path) {
  auto* tap = static_cast<PassTap*>(ops.context);
  FileSource* inner = tap->inner->open(*tap->inner, path);
  if (inner == nullptr) return nullptr;
  auto* stream = static_cast<TapStream*>(std::malloc(sizeof(TapStream)));
  if (stream == nullptr) {
    tap->inner->close(inner);
    return nullptr;
  }
  stream->inner = inner;
  stream->tap = tap;
  content_sum_start(stream->sum, 0);
  stream->probing = false;
  return reinterpret_cast<FileSource*>(stream);
}

bool abandoned(const TapStream* s) { return s->tap->abandon->load(std::memory_order_relaxed); }

void tap_seek_end(FileSource* src) {
  TapStream* s = as_tap(src);
  s->tap->inner->seek_end(s->inner);
  content_sum_start(s->sum, 0);  // what follows is read from the end
  s->probing = true;
}

std::int64_t tap_position(FileSource* src) {
  TapStream* s = as_tap(src);
  const std::int64_t at = s->tap->inner->position(s->inner);
  if (s->probing) s->tap->probed = at;
  s->probing = false;
  return at;
}

// Why a read of `src` through `fs` that brought fewer bytes than asked did,
// when it did not meet the end: the seam's cause, or OsCause::OTHER; NONE
// at the end.
OsCause short_read_cause(const FileOps& fs, FileSource* src) {
  if (fs.at_eof(src)) return OsCause::NONE;
  const OsCause cause = fs.read_error != nullptr ? fs.read_error(src) : OsCause::OTHER;
  return cause == OsCause::NONE ? OsCause::OTHER : cause;
}

// An abandoned pass reads nothing more: the short read fails it at once.
std::size_t tap_read(FileSource* src, std::uint8_t* buf, std::size_t count) {
  TapStream* s = as_tap(src);
  if (abandoned(s)) return 0;
  const std::size_t n = s->tap->inner->read(s->inner, buf, count);
  content_sum_add(s->sum, buf, n);
  if (n < count && s->tap->read_cause == OsCause::NONE) {
    s->tap->read_cause = short_read_cause(*s->tap->inner, s->inner);
  }
  return n;
}

bool tap_at_eof(FileSource* src) {
  TapStream* s = as_tap(src);
  return s->tap->inner->at_eof(s->inner);
}

const std::uint8_t* tap_borrow(FileSource* src, std::size_t block_bytes, std::size_t max_blocks,
                               std::size_t* blocks) {
  TapStream* s = as_tap(src);
  *blocks = 0;
  if (abandoned(s)) return nullptr;
  const std::uint8_t* run = s->tap->inner->borrow(s->inner, block_bytes, max_blocks, blocks);
  if (run != nullptr) content_sum_add(s->sum, run, *blocks * block_bytes);
  return run;
}

void tap_close(FileSource* src) {
  TapStream* s = as_tap(src);
  s->tap->sum = content_sum_value(s->sum);
  s->tap->bytes = s->sum.total;
  s->tap->inner->close(s->inner);
  std::free(s);
}

bool tap_identity(FileSource* src, FileIdentity* out) {
  TapStream* s = as_tap(src);
  return s->tap->inner->identity(s->inner, out);
}

// The seam a pass reads through: `inner` with every byte handed out
// checksummed into `tap`.
FileOps tapped(const FileOps& inner, PassTap& tap) {
  FileOps ops{tap_open, tap_seek_end, tap_position, tap_read, tap_at_eof, tap_close};
  ops.borrow = inner.borrow != nullptr ? tap_borrow : nullptr;
  ops.identity = inner.identity != nullptr ? tap_identity : nullptr;
  ops.identity_of = inner.identity_of;
  ops.concurrent = inner.concurrent;
  ops.overlapping_reads_safe = inner.overlapping_reads_safe;
  ops.context = &tap;
  // The tap keeps the cause itself; the framing never asks.
  return ops;
}

// One more reading pass with no digest: the checksum and the byte count of
// the whole file as it reads now; false when it cannot be read to its end,
// with the cause of a failed read in `*read_cause`.
bool checksum_pass(const FileOps& fs, const char* path, std::uint64_t* sum, std::uint64_t* bytes,
                   OsCause* read_cause) {
  FileSource* src = fs.open(fs, path);
  if (src == nullptr) return false;
  ContentSum acc;
  content_sum_start(acc, 0);
  std::uint8_t chunk[4096];
  bool whole = true;
  for (;;) {
    // Take what the stream already holds in place; read to refill it.
    if (fs.borrow != nullptr) {
      std::size_t got = 0;
      const std::uint8_t* run = fs.borrow(src, 1, SIZE_MAX, &got);
      if (run != nullptr && got > 0) {
        content_sum_add(acc, run, got);
        continue;
      }
    }
    const std::size_t n = fs.read(src, chunk, sizeof chunk);
    content_sum_add(acc, chunk, n);
    if (n < sizeof chunk) {
      *read_cause = short_read_cause(fs, src);
      whole = *read_cause == OsCause::NONE;  // a short read before the end is a read error
      break;
    }
  }
  fs.close(src);
  *sum = content_sum_value(acc);
  *bytes = acc.total;
  return whole;
}

struct Sha512Job {
  const FileOps* ops;
  const char* path;
  Sha512Digest words;
  DigestStatus64 status;
};

void run_sha512_job(void* arg) {
  auto* job = static_cast<Sha512Job*>(arg);
  job->status = sha512_file_via(*job->ops, job->path, job->words);
}

}  // namespace

void digest_both(const char* path, const FileIdentity& identity, BothDigests& out,
                 DigestSchedule schedule) {
  // The seam is read once, here; the passes reach it only through their
  // own layers, which live on this stack.
  const FileOps& fs = file_ops();
  std::atomic<bool> abandon{false};
  PassTap sha1_tap{&fs, &abandon, 0, 0, -1, OsCause::NONE};
  PassTap sha512_tap{&fs, &abandon, 0, 0, -1, OsCause::NONE};
  const FileOps sha1_ops = tapped(fs, sha1_tap);
  const FileOps sha512_ops = tapped(fs, sha512_tap);

  Sha512Job job{&sha512_ops, path, {}, 0};
  const bool want_thread =
      schedule == DigestSchedule::parallel ||
      (schedule == DigestSchedule::automatic && fs.concurrent && os_cpu_count() >= 2 &&
       (fs.overlapping_reads_safe == nullptr || fs.overlapping_reads_safe(path)));
  OsThread worker{};
  // A thread that cannot be started leaves the passes one after the other.
  const bool threaded = want_thread && os_thread_start(&worker, run_sha512_job, &job);

  out.sha512_status = 0;
  out.changed = false;
  out.read_cause = OsCause::NONE;
  out.probed_size = -1;
  Sha1Digest sha1{};
  out.sha1_status = sha1_file_via(sha1_ops, path, sha1);
  if ((out.sha1_status >= 0 || out.sha1_status == DIGEST_FILE_ERROR) &&
      !file_unchanged(fs, path, identity)) {
    out.sha1_status = DIGEST_FILE_ERROR;
    out.changed = true;
  } else if (out.sha1_status == DIGEST_FILE_ERROR) {
    out.read_cause = sha1_tap.read_cause;
    out.probed_size = sha1_tap.probed;
  }
  if (out.sha1_status > 0) out.sha1 = sha1;
  if (out.sha1_status < 0) {
    // The SHA-1 stage ends the run; the SHA-512 pass stops at its next read.
    abandon.store(true, std::memory_order_relaxed);
    if (threaded) os_thread_join(worker);
    return;
  }

  // The passes overlapped in time, so their agreement alone could come from
  // a file written under both readers alike. A pass begun after the SHA-1
  // pass ended, agreeing with it, shows the content at one moment.
  bool reread_agrees = true;
  OsCause reread_cause = OsCause::NONE;  // why a read of that pass failed
  if (threaded) {
    std::uint64_t sum = 0, bytes = 0;
    // A read that failed is no disagreement: it is said as what it is.
    reread_agrees = checksum_pass(fs, path, &sum, &bytes, &reread_cause)
                        ? sum == sha1_tap.sum && bytes == sha1_tap.bytes
                        : reread_cause != OsCause::NONE;
    os_thread_join(worker);
  } else {
    run_sha512_job(&job);
  }

  // A change seen is named as one, whether it or the routine's own checks
  // ended the pass; a pass that failed otherwise keeps what it met.
  DigestStatus64 status = job.status;
  const bool change_possible = status >= 0 || status == DIGEST_FILE_ERROR;
  if (change_possible && (!file_unchanged(fs, path, identity) ||
                          (status >= 0 && (!reread_agrees || sha512_tap.sum != sha1_tap.sum ||
                                           sha512_tap.bytes != sha1_tap.bytes)))) {
    status = DIGEST_FILE_ERROR;
    out.changed = true;
  } else if (status >= 0 && reread_cause != OsCause::NONE) {
    status = DIGEST_FILE_ERROR;
    out.read_cause = reread_cause;
    out.probed_size = sha512_tap.probed;
  } else if (status == DIGEST_FILE_ERROR) {
    out.read_cause = sha512_tap.read_cause;
    out.probed_size = sha512_tap.probed;
  }
  if (status > 0) out.sha512 = job.words;
  out.sha512_status = status;
}
