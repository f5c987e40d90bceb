// The record file's name: eight hex digits of the first SHA-1 word and
// ".zmr".
#include "record/record_name.h"

#include "record/hex_digits.h"

std::int32_t make_record_name(char* out, std::uint32_t word, std::int32_t digit_count) {
  if (digit_count != 8) return -1;
  put_hex_digits(out, word, 8);
  out[8] = '.';
  out[9] = 'z';
  out[10] = 'm';
  out[11] = 'r';
  return RECORD_NAME_LENGTH;
}
