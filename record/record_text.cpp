// The record's text: its fields written as uppercase hex digits at their
// offsets, and read back and checked.
#include "record/record_text.h"

#include "record/hex_digits.h"

std::int32_t record_time_value(std::int64_t seconds) {
  if (seconds < 0 || seconds > INT32_MAX) return static_cast<std::int32_t>(RECORD_TIME_UNKNOWN);
  return static_cast<std::int32_t>(seconds);
}

namespace {

// Writes `value` as the field's digits at the field's offset.
void put_hex(char* text, RecordField field, std::uint64_t value) {
  put_hex_digits(text + field.offset, value, field.width);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The digits of `field` as a number (at most 16 digits).
std::uint64_t get_hex(const char* text, RecordField field) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < field.width; ++i) {
    value = (value << 4) | static_cast<unsigned>(hex_value(text[field.offset + i]));
  }
  return value;
}

// The `index`-th word of `digits` hex digits within `field`.
constexpr RecordField word_of(RecordField field, std::size_t digits, std::size_t index) {
  return RecordField{field.offset + index * digits, digits};
}

}  // namespace

void format_record(char* out, const Sha512Digest& sha512, const Sha1Digest& sha1,
                   std::uint32_t format_code, std::int32_t created) {
  for (std::size_t i = 0; i < sha512.size(); ++i) {
    put_hex(out, word_of(RECORD_SHA512, 16, i), sha512[i]);
  }
  for (std::size_t i = 0; i < sha1.size(); ++i) put_hex(out, word_of(RECORD_SHA1, 8, i), sha1[i]);
  put_hex(out, RECORD_FORMAT, format_code);
  put_hex(out, RECORD_CREATED, static_cast<std::uint32_t>(created));
  put_hex(out, RECORD_ZEROS, 0);
}

RecordParse parse_record(const char* text, std::size_t length, RecordFields* out,
                         std::size_t* where) {
  if (length != RECORD_CHARS) return RecordParse::BAD_LENGTH;
  for (std::size_t i = 0; i < RECORD_CHARS; ++i) {
    if (hex_value(text[i]) < 0) {
      *where = i;
      return RecordParse::BAD_CHARACTER;
    }
  }
  if (get_hex(text, RECORD_FORMAT) != RECORD_FORMAT_CODE) return RecordParse::BAD_FORMAT;
  for (std::size_t i = 0; i < RECORD_ZEROS.width; ++i) {
    if (text[RECORD_ZEROS.offset + i] != '0') return RecordParse::BAD_ZEROS;
  }
  for (std::size_t i = 0; i < out->sha512.size(); ++i) {
    out->sha512[i] = get_hex(text, word_of(RECORD_SHA512, 16, i));
  }
  for (std::size_t i = 0; i < out->sha1.size(); ++i) {
    out->sha1[i] = static_cast<std::uint32_t>(get_hex(text, word_of(RECORD_SHA1, 8, i)));
  }
  out->format_code = static_cast<std::uint32_t>(get_hex(text, RECORD_FORMAT));
  out->created = static_cast<std::uint32_t>(get_hex(text, RECORD_CREATED));
  return RecordParse::VALID;
}
