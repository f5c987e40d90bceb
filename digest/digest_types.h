// The types every part of the digest layer speaks in: the statuses a file
// digest returns, the limits, the digests as words, and what one reading
// pass saw. Below both the framing and the file digests, so that neither
// needs the other for them.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

// Result of sha1_file: the byte count (1 .. SHA1_MAX_BYTES) or a failure code.
using DigestStatus = std::int32_t;
// Result of sha512_file: a byte count zero-extended, a failure code
// sign-extended, so that every failure is negative as a 64-bit value.
using DigestStatus64 = std::int64_t;

// The file cannot be opened, is empty, is a directory, or does not read
// back as the size probe promised.
inline constexpr DigestStatus DIGEST_FILE_ERROR = -1;
// The file is larger than the routine accepts, or its size cannot be found.
inline constexpr DigestStatus DIGEST_TOO_LARGE = -2;
// The tail plan and the chunks read disagree; no file content causes this.
inline constexpr DigestStatus DIGEST_LOGIC_ERROR = -3;

// Largest file whose bit count fits one 32-bit length word.
inline constexpr std::uint64_t SHA1_MAX_BYTES = 536870911;     // 0x1FFFFFFF
inline constexpr std::uint64_t SHA512_MAX_BYTES = 2147483647;  // 0x7FFFFFFF

// Digest words as integers, H0 first.
using Sha1Digest = std::array<std::uint32_t, 5>;
using Sha512Digest = std::array<std::uint64_t, 8>;

// What one reading pass saw, as the framing or the checksum-only re-read
// found it where it handled the bytes.
struct PassReport {
  // The framing's result (the byte count or a failure code); for a
  // checksum-only pass the byte count, or DIGEST_FILE_ERROR when it could
  // not be opened or read to its end.
  std::int64_t status;
  std::uint64_t bytes;  // bytes handed to the digest (or checksummed)
  std::uint64_t sum;    // their checksum (digest/checksum.h)
  std::int64_t probed;  // the size the pass's probe found; -1 when none did
  OsCause read_cause;   // why a read failed (OsCause::OTHER: it cannot be
                        // told); OsCause::NONE when none did
};
