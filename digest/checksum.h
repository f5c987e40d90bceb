// Content checksum: XXH64, a 64-bit non-cryptographic hash, fed in pieces.
//
// The digest passes use it to tell whether two reads of a file brought the
// same bytes, at a small fraction of a digest's cost. It is not a digest: it
// proves nothing to anyone but this process, and the record never holds it.
#pragma once

#include <cstddef>
#include <cstdint>

struct ContentSum {
  std::uint64_t lanes[4];    // the four accumulators over 32-byte stripes
  std::uint64_t total;       // bytes added so far
  std::uint8_t pending[32];  // bytes of a stripe not yet complete
  std::size_t pending_bytes;
  std::uint64_t seed;
};

void content_sum_start(ContentSum& sum, std::uint64_t seed);
// Adds `count` bytes; pieces of any size give the value of the whole.
void content_sum_add(ContentSum& sum, const std::uint8_t* data, std::size_t count);
// The checksum of everything added so far; the sum can go on taking bytes.
std::uint64_t content_sum_value(const ContentSum& sum);
