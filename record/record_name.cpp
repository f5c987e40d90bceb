#include "record/record_name.h"

std::int32_t make_record_name(char* out, std::uint32_t word, std::int32_t digit_count) {
  if (digit_count != 8) return -1;
  // Peel nibbles off from the most significant end.
  std::uint32_t rest = word;
  for (int i = 0; i < 8; ++i) {
    const int shift = 28 - 4 * i;
    const std::uint32_t nibble = rest >> shift;
    rest -= nibble << shift;
    out[i] = static_cast<char>(nibble < 10 ? 48 + nibble : 55 + nibble);
  }
  out[8] = '.';
  out[9] = 'z';
  out[10] = 'm';
  out[11] = 'r';
  return digit_count + 4;
}
