// The record file: 256 uppercase hex characters, written whole or not at all.
//
// Layout (character offsets):
//     0  128  SHA-512 words H0..H7, 16 digits each
//   128   40  SHA-1 words H0..H4, 8 digits each
//   168    6  format code
//   174    8  creation time, seconds since 1970-01-01 00:00:00 UTC (FFFFFFFF
//             when the clock is outside a signed 32-bit count)
//   182   74  zeros
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/file_digest.h"

inline constexpr std::size_t RECORD_CHARS = 256;
inline constexpr std::size_t RECORD_NAME_CHARS = 200;

inline constexpr int RECORD_OK = 0;
// The record cannot be created: the directory refuses a new file, or a
// directory stands at the record's name.
inline constexpr int RECORD_CREATE_ERROR = -1;
// Writing, flushing, closing or putting the record in place failed; any
// earlier record of that name is left as it was.
inline constexpr int RECORD_WRITE_ERROR = -2;

// Seconds since 1970-01-01 00:00:00 UTC, as the record's clock reads them.
using RecordClock = std::int64_t (*)();
// Replaces the clock (for tests); nullptr restores the system clock.
void set_record_clock(RecordClock clock);

// Called with the temporary file's name while it exists, complete, just
// before it takes the record's name (for tests); nullptr for none.
using RecordHook = void (*)(const char* temp_name);
void set_record_hook(RecordHook hook);

// The creation-time field's value for a clock reading: the reading when it
// fits a signed 32-bit count from 0, else -1.
std::int32_t record_time_value(std::int64_t seconds);

// Fills `out` with the 256 record characters (no terminator is written).
void format_record(char* out, const Sha512Digest& sha512, const Sha1Digest& sha1,
                   std::uint32_t format_code, std::int32_t created);

// Creates the record file `name` in the current directory, replacing any
// earlier record of that name only once the new one is complete on disk.
// The temporary file it writes first never outlives the call: the signals
// that end a process wait until it has been renamed or removed.
int write_record(const char* name, const Sha512Digest& sha512, const Sha1Digest& sha1,
                 std::uint32_t format_code);
