// The command driver: argument checks, help screen, the generation stages in
// order, and every console message. It alone prints.
#pragma once

#include <cstddef>
#include <cstdint>

// An input name of this many bytes or more is refused.
inline constexpr std::size_t MAX_PATH_CHARS = 200;

// Runs one generation for the command line and returns the exit status:
// the byte count on success, -1/-2/-3 on a digest failure, 0 when no work
// was done (help, bad arguments, unreadable input).
std::int32_t run_generator(int argc, const char* const* argv);
