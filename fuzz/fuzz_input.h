// Helpers shared by the fuzz targets: a cursor that takes typed values from
// the fuzz input (zeros once the input runs out, so every input is valid),
// and the check that turns a broken invariant into a crash libFuzzer keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct FuzzInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
};

inline std::uint8_t take_u8(FuzzInput& in) { return in.at < in.size ? in.data[in.at++] : 0; }

inline std::uint16_t take_u16(FuzzInput& in) {
  const auto hi = take_u8(in);
  return static_cast<std::uint16_t>(hi << 8 | take_u8(in));
}

inline std::uint64_t take_u64(FuzzInput& in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | take_u8(in);
  return v;
}

inline std::size_t remaining(const FuzzInput& in) { return in.size - in.at; }

[[noreturn]] inline void fuzz_failure(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzz_failure(__FILE__, __LINE__, #cond))
