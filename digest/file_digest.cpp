// The two file digests: each folds its chaining words through the
// compression path chosen for this machine, by the one framing.
#include "digest/file_digest.h"

#include "digest/compress_dispatch.h"
#include "digest/file_source.h"
#include "digest/framing.h"
#include "digest/sha1.h"
#include "digest/sha512.h"

DigestStatus sha1_file(const char* path, Sha1Digest& out) {
  return sha1_file_via(file_system(), path, out);
}

DigestStatus64 sha512_file(const char* path, Sha512Digest& out) {
  return sha512_file_via(file_system(), path, out);
}

DigestStatus sha1_file_via(const FileSystem& fs, const char* path, Sha1Digest& out) {
  // Every status fits: a byte count is at most SHA1_MAX_BYTES.
  PassReport report{};
  return static_cast<DigestStatus>(
      digest_framed(fs, path, SHA1_MAX_BYTES, SHA1_H0, sha1_active_path().blocks, out, &report));
}

DigestStatus64 sha512_file_via(const FileSystem& fs, const char* path, Sha512Digest& out) {
  PassReport report{};
  return digest_framed(fs, path, SHA512_MAX_BYTES, SHA512_H0, sha512_active_path().blocks, out,
                       &report);
}
