// File digests: SHA-1 (FIPS 180-1) and SHA-512 (FIPS 180-2) over a named file.
//
// Both routines read the file themselves in one-block chunks, pad the last
// block themselves and return either the number of bytes digested or a
// negative failure code. The caller's digest array is written only on
// success; after a failure it holds what it held before the call.
#pragma once

#include "digest/digest_types.h"

// Each call reads through a chunk buffer of its own, so the routines can run
// side by side on two threads. They read through the file seam in force
// (digest/file_source.h); the _via forms through the seam given.
DigestStatus sha1_file(const char* path, Sha1Digest& out);
DigestStatus64 sha512_file(const char* path, Sha512Digest& out);

struct FileSystem;
DigestStatus sha1_file_via(const FileSystem& fs, const char* path, Sha1Digest& out);
DigestStatus64 sha512_file_via(const FileSystem& fs, const char* path, Sha512Digest& out);
