// Both digests of one file, and the proof that they describe one content.
//
// Each reading pass reports what it saw: its status, the bytes it handed to
// its digest, their checksum, the size its probe found, the cause of a
// failed read. The result stands only when the reads agree (the passes
// brought the same bytes, and a checksum-only re-read begun after the pass
// that gave the SHA-1 digest brings them again) and the file is still the
// file first opened (its identity unchanged). The verdict is a plain
// function of those reports (judge_run).
#pragma once

#include "digest/digest_types.h"
#include "platform/platform.h"

struct BothDigests {
  // The SHA-1 framing's result, or DIGEST_FILE_ERROR when the file changed
  // during its pass. `sha1` is written only when it is a byte count.
  DigestStatus sha1_status;
  // The SHA-512 framing's result, or DIGEST_FILE_ERROR when the file changed
  // or the reads disagree; 0 when the SHA-1 stage failed (the SHA-512 work
  // is then abandoned). `sha512` is written only when it is a byte count.
  DigestStatus64 sha512_status;
  Sha1Digest sha1;
  Sha512Digest sha512;
  // True when a stage ended in DIGEST_FILE_ERROR and the file was seen to
  // change (its identity moved, or the reads disagree), whether the change
  // itself or the framing's own checks ended it.
  bool changed;
  // When a stage ended in DIGEST_FILE_ERROR with no change seen, what its
  // reading met: the system's cause of a read that failed (OsCause::NONE
  // when none did, OsCause::OTHER when the seam cannot tell), and the size
  // the pass's probe found (0 for an empty file; -1 when it found none).
  OsCause read_cause;
  std::int64_t probed_size;
};

enum class DigestSchedule {
  // Side by side when this process may use two or more processors and the
  // file seam and the file's file system allow overlapping reads; else one
  // pass.
  automatic,
  // One reading pass feeding both digests, then a checksum-only re-read.
  one_pass,
  // A pass for each digest on two threads, then a checksum-only re-read
  // begun after the SHA-1 pass ended; whenever a thread can be started (for
  // tests).
  parallel,
};

// Digests the file at `path` through the file seam in force. `identity` is
// the file's identity as the caller found it when it proved the file
// readable (open_file_identity).
void digest_both(const char* path, const FileIdentity& identity, BothDigests& out,
                 DigestSchedule schedule = DigestSchedule::automatic);

// ---- The verdict ----

// What a run saw: the pass that gave the SHA-1 digest and the one that gave
// the SHA-512 digest (in one pass, the same report with each framing's
// status), whether the file's identity held after the SHA-1 pass and at the
// end, and the checksum-only re-read, when one ran.
struct RunReports {
  PassReport sha1;
  bool sha1_identity_kept;
  PassReport sha512;  // not looked at when the SHA-1 stage fails
  bool end_identity_kept;
  bool reread_ran;
  PassReport reread;
};

// Which status each digest gets, whether a change was seen, and the cause a
// failed read left.
struct RunVerdict {
  DigestStatus sha1_status;
  DigestStatus64 sha512_status;
  bool changed;
  OsCause read_cause;
  std::int64_t probed_size;
};
RunVerdict judge_run(const RunReports& reports);
