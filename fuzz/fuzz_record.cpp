// Fuzz target: reading a record back.
//
// Any bytes at all go to parse_record. When it finds them valid, writing the
// fields it read must give the same 256 characters back, so reading and
// writing agree on every field; when it refuses them, the reason must be one
// the bytes really have, checked here without the parser's help.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "record/record_file.h"

namespace {

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  RecordFields fields{};
  std::size_t where = 0;
  const RecordParse result = parse_record(text, size, &fields, &where);
  if (result == RecordParse::BAD_LENGTH) {
    FUZZ_CHECK(size != RECORD_CHARS);
    return 0;
  }
  FUZZ_CHECK(size == RECORD_CHARS);
  std::size_t first_bad = 0;
  while (first_bad < size && is_hex_digit(text[first_bad])) ++first_bad;
  if (result == RecordParse::BAD_CHARACTER) {
    FUZZ_CHECK(where == first_bad && first_bad < size);
    return 0;
  }
  FUZZ_CHECK(first_bad == size);
  const bool format_ok = std::memcmp(text + RECORD_FORMAT.offset, "000001", 6) == 0;
  if (result == RecordParse::BAD_FORMAT) {
    FUZZ_CHECK(!format_ok);
    return 0;
  }
  FUZZ_CHECK(format_ok);
  bool zeros = true;
  for (std::size_t i = RECORD_ZEROS.offset; i < RECORD_CHARS; ++i) zeros = zeros && text[i] == '0';
  if (result == RecordParse::BAD_ZEROS) {
    FUZZ_CHECK(!zeros);
    return 0;
  }
  FUZZ_CHECK(result == RecordParse::VALID && zeros);
  char again[RECORD_CHARS];
  format_record(again, fields.sha512, fields.sha1, fields.format_code,
                static_cast<std::int32_t>(fields.created));
  FUZZ_CHECK(std::memcmp(again, text, RECORD_CHARS) == 0);
  return 0;
}
