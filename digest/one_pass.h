// One reading pass that feeds both digests: the SHA-1 framing (64-byte
// blocks) and the SHA-512 framing (128-byte blocks), each with its own tail
// plan, limits and checks, over one stream of the file's bytes, with the
// content checksum taken once.
#pragma once

#include "digest/digest_types.h"
#include "digest/file_source.h"

struct OnePass {
  // What the pass saw. Its status is the SHA-1 framing's.
  PassReport report;
  // Each framing's result: the byte count or a failure code, as each would
  // return it reading alone; but the SHA-1 limit decides first: a file over
  // it (and within the SHA-512 one) is not read, and the SHA-512 status is
  // then 0.
  DigestStatus sha1_status;
  DigestStatus64 sha512_status;
  Sha1Digest sha1;      // written only when sha1_status is a byte count
  Sha512Digest sha512;  // likewise
};

// Reads the file at `path` once through `fs` for both digests.
void read_both_once(const FileSystem& fs, const char* path, OnePass* out);
