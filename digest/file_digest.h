// File digests: SHA-1 (FIPS 180-1) and SHA-512 (FIPS 180-2) over a named file.
//
// Both routines read the file themselves in one-block chunks, pad the last
// block themselves and return either the number of bytes digested or a
// negative failure code. The caller's digest array is written only on
// success; after a failure it holds what it held before the call.
#pragma once

#include <array>
#include <cstdint>

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

// Each call reads through a chunk buffer of its own, so the routines can run
// side by side on two threads. They read through the file seam in force
// (digest/file_source.h); the _via forms through the seam given.
DigestStatus sha1_file(const char* path, Sha1Digest& out);
DigestStatus64 sha512_file(const char* path, Sha512Digest& out);

struct FileSystem;
DigestStatus sha1_file_via(const FileSystem& fs, const char* path, Sha1Digest& out);
DigestStatus64 sha512_file_via(const FileSystem& fs, const char* path, Sha512Digest& out);
