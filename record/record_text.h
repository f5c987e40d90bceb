// The record's text: 256 uppercase hex characters, the one description of
// its fields, and the code that writes a record's text and reads one back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/file_digest.h"

inline constexpr std::size_t RECORD_CHARS = 256;

// The record's fields, in character offsets. Every field is uppercase
// hexadecimal, most significant digit first, with no separators.
struct RecordField {
  std::size_t offset;
  std::size_t width;
};
// SHA-512 words H0..H7, 16 digits each.
inline constexpr RecordField RECORD_SHA512{0, 128};
// SHA-1 words H0..H4, 8 digits each.
inline constexpr RecordField RECORD_SHA1{128, 40};
// The format code: always 000001.
inline constexpr RecordField RECORD_FORMAT{168, 6};
inline constexpr std::uint32_t RECORD_FORMAT_CODE = 1;
// Creation time, seconds since 1970-01-01 00:00:00 UTC, or
// RECORD_TIME_UNKNOWN when the clock is outside a signed 32-bit count.
inline constexpr RecordField RECORD_CREATED{174, 8};
inline constexpr std::uint32_t RECORD_TIME_UNKNOWN = 0xFFFFFFFF;
// A zero field, eight zero words and a zero byte: all zeros.
inline constexpr RecordField RECORD_ZEROS{182, 74};

// The creation-time field's value for a clock reading: the reading when it
// fits a signed 32-bit count from 0, else RECORD_TIME_UNKNOWN (-1 as a
// signed count).
std::int32_t record_time_value(std::int64_t seconds);

// Fills `out` with the 256 record characters (no terminator is written).
void format_record(char* out, const Sha512Digest& sha512, const Sha1Digest& sha1,
                   std::uint32_t format_code, std::int32_t created);

// What a record's text holds, once it has been found valid.
struct RecordFields {
  Sha512Digest sha512;
  Sha1Digest sha1;
  std::uint32_t format_code;
  std::uint32_t created;  // RECORD_TIME_UNKNOWN: unknown
};

// What parse_record found, the first fault in the order they are checked.
enum class RecordParse {
  VALID,
  BAD_LENGTH,     // not 256 characters
  BAD_CHARACTER,  // not 0-9 or A-F; `*where` is its offset
  BAD_FORMAT,     // the format code is not 000001
  BAD_ZEROS,      // the zero fields are not all zeros
};

// Checks `length` characters of record text, in this order: the length, every
// character, the format code, the zero fields; fills `out` when valid.
// `*where` gets the offset of the first bad character.
RecordParse parse_record(const char* text, std::size_t length, RecordFields* out,
                         std::size_t* where);
