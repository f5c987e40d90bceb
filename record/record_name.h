// The record file's name: the first SHA-1 word as eight hex digits + ".zmr".
#pragma once

#include <cstdint>

// Writes exactly twelve characters (no terminator) to `out`, for example
// "0A1B2C3D.zmr", and returns 12. The digit count must be 8; any other value
// returns -1 and writes nothing.
std::int32_t make_record_name(char* out, std::uint32_t word, std::int32_t digit_count);
