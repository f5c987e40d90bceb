// The two digest passes, side by side on two threads or one after the
// other, each through a checksumming layer over the file seam.
#include "digest/both_digests.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "digest/checksum.h"
#include "digest/file_source.h"

namespace {

// What one reading pass handed to its digest, as its streams saw it.
struct PassRecord {
  const FileSystem* inner;           // the file system beneath
  const std::atomic<bool>* abandon;  // set when the pass's result is no longer wanted
  std::int64_t probed;               // what the size probe's stream found; -1 before one
  std::uint64_t sum;                 // checksum of what the reading stream handed out
  std::uint64_t bytes;               // and how many bytes that was
  OsCause read_cause;                // why a read failed; NONE while none has
};

// A stream of a pass: the stream beneath, with every byte handed out
// checksummed. A stream moved to the end is the size probe: it records the
// size it finds. Any other is the reading pass: it records, when closed,
// what it handed out.
struct TapStream : Stream {
  Stream* inner;
  PassRecord* pass;
  ContentSum sum;
  bool probe;
};

TapStream* as_tap(Stream* s) { return static_cast<TapStream*>(s); }

bool abandoned(const TapStream* s) { return s->pass->abandon->load(std::memory_order_relaxed); }

void tap_seek_end(Stream* s) {
  TapStream* t = as_tap(s);
  t->inner->methods->seek_end(t->inner);
  t->probe = true;
}

std::int64_t tap_position(Stream* s) {
  TapStream* t = as_tap(s);
  const std::int64_t at = t->inner->methods->position(t->inner);
  if (t->probe) t->pass->probed = at;
  return at;
}

// Why a read of `s` that brought fewer bytes than asked did, when it did
// not meet the end: the stream's cause, or OsCause::OTHER; NONE at the end.
OsCause short_read_cause(Stream* s) {
  if (s->methods->at_eof(s)) return OsCause::NONE;
  const OsCause cause =
      s->methods->read_error != nullptr ? s->methods->read_error(s) : OsCause::OTHER;
  return cause == OsCause::NONE ? OsCause::OTHER : cause;
}

// An abandoned pass reads nothing more: the short read fails it at once.
std::size_t tap_read(Stream* s, std::uint8_t* buf, std::size_t count) {
  TapStream* t = as_tap(s);
  if (abandoned(t)) return 0;
  const std::size_t n = t->inner->methods->read(t->inner, buf, count);
  content_sum_add(t->sum, buf, n);
  if (n < count && t->pass->read_cause == OsCause::NONE) {
    t->pass->read_cause = short_read_cause(t->inner);
  }
  return n;
}

bool tap_at_eof(Stream* s) {
  TapStream* t = as_tap(s);
  return t->inner->methods->at_eof(t->inner);
}

// Lends what the stream beneath lends; nothing when it cannot.
const std::uint8_t* tap_borrow(Stream* s, std::size_t block_bytes, std::size_t max_blocks,
                               std::size_t* blocks) {
  TapStream* t = as_tap(s);
  *blocks = 0;
  if (abandoned(t) || t->inner->methods->borrow == nullptr) return nullptr;
  const std::uint8_t* run = t->inner->methods->borrow(t->inner, block_bytes, max_blocks, blocks);
  if (run != nullptr) content_sum_add(t->sum, run, *blocks * block_bytes);
  return run;
}

void tap_close(Stream* s) {
  TapStream* t = as_tap(s);
  if (!t->probe) {
    t->pass->sum = content_sum_value(t->sum);
    t->pass->bytes = t->sum.total;
  }
  t->inner->methods->close(t->inner);
  std::free(t);
}

// The pass keeps the cause of a failed read itself; the framing never asks.
constexpr StreamMethods TAP_METHODS{tap_seek_end, tap_position, tap_read,
                                    tap_at_eof,   tap_close,    tap_borrow};

Stream* tap_open(void* context, const char* path, OsCause* cause) {
  auto* pass = static_cast<PassRecord*>(context);
  Stream* inner = open_stream(*pass->inner, path, cause);
  if (inner == nullptr) return nullptr;
  auto* t = static_cast<TapStream*>(std::malloc(sizeof(TapStream)));
  if (t == nullptr) {
    inner->methods->close(inner);
    return nullptr;
  }
  *t = TapStream{{&TAP_METHODS}, inner, pass, {}, false};
  content_sum_start(t->sum, 0);
  return t;
}

// One more reading pass with no digest: the checksum and the byte count of
// the whole file as it reads now; false when it cannot be read to its end,
// with the cause of a failed read in `*read_cause`.
bool checksum_pass(const FileSystem& fs, const char* path, std::uint64_t* sum, std::uint64_t* bytes,
                   OsCause* read_cause) {
  Stream* src = open_stream(fs, path);
  if (src == nullptr) return false;
  const StreamMethods& m = *src->methods;
  ContentSum acc;
  content_sum_start(acc, 0);
  std::uint8_t chunk[4096];
  bool whole = true;
  for (;;) {
    // Take what the stream already holds in place; read to refill it.
    if (m.borrow != nullptr) {
      std::size_t got = 0;
      const std::uint8_t* run = m.borrow(src, 1, SIZE_MAX, &got);
      if (run != nullptr && got > 0) {
        content_sum_add(acc, run, got);
        continue;
      }
    }
    const std::size_t n = m.read(src, chunk, sizeof chunk);
    content_sum_add(acc, chunk, n);
    if (n < sizeof chunk) {
      *read_cause = short_read_cause(src);
      whole = *read_cause == OsCause::NONE;  // a short read before the end is a read error
      break;
    }
  }
  m.close(src);
  *sum = content_sum_value(acc);
  *bytes = acc.total;
  return whole;
}

struct Sha512Job {
  const FileSystem* fs;
  const char* path;
  Sha512Digest words;
  DigestStatus64 status;
};

void run_sha512_job(void* arg) {
  auto* job = static_cast<Sha512Job*>(arg);
  job->status = sha512_file_via(*job->fs, job->path, job->words);
}

// True when the passes should run side by side: on two or more processors,
// with a file system that allows it for this file, unless `schedule` says.
bool wants_side_by_side(const FileSystem& fs, const char* path, DigestSchedule schedule) {
  if (schedule != DigestSchedule::automatic) return schedule == DigestSchedule::parallel;
  return fs.concurrent && os_cpu_count() >= 2 &&
         (fs.overlapping_reads_safe == nullptr || fs.overlapping_reads_safe(path));
}

// The SHA-1 stage: its pass through `pass_fs`, recorded in `pass`, then the
// file's identity. A change seen is named as one, whether it or the
// routine's own checks ended the pass; a pass that failed otherwise keeps
// what it met.
void sha1_stage(const FileSystem& fs, const FileSystem& pass_fs, const PassRecord& pass,
                const char* path, const FileIdentity& identity, BothDigests& out) {
  Sha1Digest sha1{};
  out.sha1_status = sha1_file_via(pass_fs, path, sha1);
  if ((out.sha1_status >= 0 || out.sha1_status == DIGEST_FILE_ERROR) &&
      !file_unchanged(fs, path, identity)) {
    out.sha1_status = DIGEST_FILE_ERROR;
    out.changed = true;
  } else if (out.sha1_status == DIGEST_FILE_ERROR) {
    out.read_cause = pass.read_cause;
    out.probed_size = pass.probed;
  }
  if (out.sha1_status > 0) out.sha1 = sha1;
}

// What a pass begun after the SHA-1 pass ended says of it: whether it
// brought the same bytes, and why a read of it failed (a read that failed
// is no disagreement: it is said as what it is).
struct Reread {
  bool agrees;
  OsCause cause;
};

Reread reread_after(const FileSystem& fs, const char* path, const PassRecord& sha1) {
  Reread r{true, OsCause::NONE};
  std::uint64_t sum = 0, bytes = 0;
  r.agrees = checksum_pass(fs, path, &sum, &bytes, &r.cause)
                 ? sum == sha1.sum && bytes == sha1.bytes
                 : r.cause != OsCause::NONE;
  return r;
}

// The SHA-512 stage's result from its pass (`job`, recorded in `pass`), the
// file's identity, the SHA-1 pass's record and the reread.
void sha512_stage(const FileSystem& fs, const char* path, const FileIdentity& identity,
                  const Sha512Job& job, const PassRecord& pass, const PassRecord& sha1,
                  const Reread& reread, BothDigests& out) {
  DigestStatus64 status = job.status;
  const bool change_possible = status >= 0 || status == DIGEST_FILE_ERROR;
  if (change_possible &&
      (!file_unchanged(fs, path, identity) ||
       (status >= 0 && (!reread.agrees || pass.sum != sha1.sum || pass.bytes != sha1.bytes)))) {
    status = DIGEST_FILE_ERROR;
    out.changed = true;
  } else if (status >= 0 && reread.cause != OsCause::NONE) {
    status = DIGEST_FILE_ERROR;
    out.read_cause = reread.cause;
    out.probed_size = pass.probed;
  } else if (status == DIGEST_FILE_ERROR) {
    out.read_cause = pass.read_cause;
    out.probed_size = pass.probed;
  }
  if (status > 0) out.sha512 = job.words;
  out.sha512_status = status;
}

}  // namespace

void digest_both(const char* path, const FileIdentity& identity, BothDigests& out,
                 DigestSchedule schedule) {
  // The file system is read once, here; the passes reach it only through
  // their own layers, which live on this stack.
  const FileSystem& fs = file_system();
  std::atomic<bool> abandon{false};
  PassRecord sha1_pass{&fs, &abandon, -1, 0, 0, OsCause::NONE};
  PassRecord sha512_pass{&fs, &abandon, -1, 0, 0, OsCause::NONE};
  const FileSystem sha1_fs{tap_open, &sha1_pass};
  const FileSystem sha512_fs{tap_open, &sha512_pass};

  Sha512Job job{&sha512_fs, path, {}, 0};
  OsThread worker{};
  // A thread that cannot be started leaves the passes one after the other.
  const bool threaded =
      wants_side_by_side(fs, path, schedule) && os_thread_start(&worker, run_sha512_job, &job);

  out.sha512_status = 0;
  out.changed = false;
  out.read_cause = OsCause::NONE;
  out.probed_size = -1;
  sha1_stage(fs, sha1_fs, sha1_pass, path, identity, out);
  if (out.sha1_status < 0) {
    // The SHA-1 stage ends the run; the SHA-512 pass stops at its next read.
    abandon.store(true, std::memory_order_relaxed);
    if (threaded) os_thread_join(worker);
    return;
  }

  // The passes overlapped in time, so their agreement alone could come from
  // a file written under both readers alike. A pass begun after the SHA-1
  // pass ended, agreeing with it, shows the content at one moment.
  Reread reread{true, OsCause::NONE};
  if (threaded) {
    reread = reread_after(fs, path, sha1_pass);
    os_thread_join(worker);
  } else {
    run_sha512_job(&job);
  }
  sha512_stage(fs, path, identity, job, sha512_pass, sha1_pass, reread, out);
}
