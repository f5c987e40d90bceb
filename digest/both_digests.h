// Both digests of one file, and the proof that they describe one content.
//
// The SHA-1 and SHA-512 passes each checksum the bytes they hand to their
// digest. The result stands only when both passes brought the same bytes,
// the file is still the file first opened (its identity unchanged), and,
// when the two passes ran at the same time, one more pass begun after the
// SHA-1 pass ended brings those bytes again: then both digests describe
// the content the file held at that moment. Any other outcome is a failure
// of the stage that finds it.
#pragma once

#include "digest/file_digest.h"
#include "platform/platform.h"

struct BothDigests {
  // sha1_file's result, or DIGEST_FILE_ERROR when the file changed during
  // the SHA-1 pass. `sha1` is written only when it is a byte count.
  DigestStatus sha1_status;
  // sha512_file's result, or DIGEST_FILE_ERROR when the file changed or the
  // passes disagree; 0 when the SHA-1 stage failed (the SHA-512 work is
  // then abandoned). `sha512` is written only when it is a byte count.
  DigestStatus64 sha512_status;
  Sha1Digest sha1;
  Sha512Digest sha512;
  // True when a stage ended in DIGEST_FILE_ERROR and the file was seen to
  // change (its identity moved, or passes disagree), whether the change
  // itself or the digest routine's own checks ended it.
  bool changed;
  // When a stage ended in DIGEST_FILE_ERROR with no change seen, what its
  // reading met: the system's cause of a read that failed (OsCause::NONE
  // when none did, OsCause::OTHER when the seam cannot tell), and the size
  // the pass's probe found (0 for an empty file; -1 when it found none).
  OsCause read_cause;
  std::int64_t probed_size;
};

enum class DigestSchedule {
  // Both passes at once when this process may use two or more processors
  // and the file seam and the file's file system allow it; otherwise one
  // after the other.
  automatic,
  sequential,
  // Both passes at once whenever a thread can be started; for tests.
  parallel,
};

// Digests the file at `path` through the file seam in force. `identity` is
// the file's identity as the caller found it when it proved the file
// readable (open_file_identity).
void digest_both(const char* path, const FileIdentity& identity, BothDigests& out,
                 DigestSchedule schedule = DigestSchedule::automatic);
