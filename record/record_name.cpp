#include "record/record_name.h"

#include <cstring>

#include "record/hex_digits.h"

std::int32_t make_record_name(char* out, std::uint32_t word, std::int32_t digit_count) {
  if (digit_count != 8) return -1;
  put_hex_digits(out, word, 8);
  std::memcpy(out + 8, ".zmr", 4);
  return RECORD_NAME_LENGTH;
}
