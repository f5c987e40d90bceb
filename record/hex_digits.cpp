// Uppercase hexadecimal digits, zero-filled to a fixed width.
#include "record/hex_digits.h"

void put_hex_digits(char* out, std::uint64_t value, std::size_t digits) {
  for (std::size_t i = digits; i > 0; --i, value >>= 4) {
    // A nibble v becomes the character of code 48 + v ("0"-"9") or, from
    // 10, of code 55 + v ("A"-"F").
    const auto v = static_cast<unsigned>(value & 0xFu);
    out[i - 1] = static_cast<char>(v < 10 ? '0' + v : 'A' + (v - 10));
  }
}
