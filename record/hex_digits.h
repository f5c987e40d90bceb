// Uppercase hexadecimal digits: the one way the program writes a number in
// hex, for the record's fields, the record's name and the digests it prints.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the low 4 * `digits` bits of `value` as `digits` characters 0-9 and
// A-F, most significant first and zero-filled, to out[0 .. digits-1]. No
// terminator is written.
void put_hex_digits(char* out, std::uint64_t value, std::size_t digits);
