// The record file's name: the first SHA-1 word as eight hex digits + ".zmr".
#pragma once

#include <cstddef>
#include <cstdint>

// The name's length: eight digits and ".zmr".
inline constexpr std::int32_t RECORD_NAME_LENGTH = 12;
// What a caller holds the name in: a zero-filled buffer, so that the twelve
// characters written at its start are terminated.
inline constexpr std::size_t RECORD_NAME_BUFFER_CHARS = 200;

// Writes exactly RECORD_NAME_LENGTH characters to `out`, for example
// "0A1B2C3D.zmr", and returns that length. No terminator is written: `out`
// is the start of a zero-filled buffer. The digit count must be 8; any other
// value returns -1 and writes nothing.
std::int32_t make_record_name(char* out, std::uint32_t word, std::int32_t digit_count);
