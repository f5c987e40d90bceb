// XXH64 over a stream: whole 32-byte stripes go through the four lanes as
// they arrive, the rest waits in `pending` until a stripe is complete or the
// value is asked for.
#include "digest/checksum.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t P1 = 0x9E3779B185EBCA87u;
constexpr std::uint64_t P2 = 0xC2B2AE3D27D4EB4Fu;
constexpr std::uint64_t P3 = 0x165667B19E3779F9u;
constexpr std::uint64_t P4 = 0x85EBCA77C2B2AE63u;
constexpr std::uint64_t P5 = 0x27D4EB2F165667C5u;

// Little-endian loads, whatever the machine's order (one load instruction
// on a little-endian machine).
std::uint64_t load_le64(const std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  } else {
    std::uint64_t w = 0;
    for (int i = 7; i >= 0; --i) w = (w << 8) | p[i];
    return w;
  }
}
std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t lane_round(std::uint64_t acc, std::uint64_t input) {
  return std::rotl(acc + input * P2, 31) * P1;
}

std::uint64_t merge_lane(std::uint64_t h, std::uint64_t lane) {
  return (h ^ lane_round(0, lane)) * P1 + P4;
}

// Folds whole stripes; returns the bytes consumed (a multiple of 32).
std::size_t stripes(std::uint64_t* lanes, const std::uint8_t* data, std::size_t count) {
  std::uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
  const std::size_t whole = count & ~std::size_t{31};
  for (std::size_t i = 0; i < whole; i += 32) {
    a = lane_round(a, load_le64(data + i));
    b = lane_round(b, load_le64(data + i + 8));
    c = lane_round(c, load_le64(data + i + 16));
    d = lane_round(d, load_le64(data + i + 24));
  }
  lanes[0] = a;
  lanes[1] = b;
  lanes[2] = c;
  lanes[3] = d;
  return whole;
}

}  // namespace

void content_sum_start(ContentSum& sum, std::uint64_t seed) {
  sum = ContentSum{};
  sum.seed = seed;
  sum.lanes[0] = seed + P1 + P2;
  sum.lanes[1] = seed + P2;
  sum.lanes[2] = seed;
  sum.lanes[3] = seed - P1;
}

void content_sum_add(ContentSum& sum, const std::uint8_t* data, std::size_t count) {
  sum.total += count;
  if (sum.pending_bytes > 0) {
    const std::size_t take = count < 32 - sum.pending_bytes ? count : 32 - sum.pending_bytes;
    std::memcpy(sum.pending + sum.pending_bytes, data, take);
    sum.pending_bytes += take;
    data += take;
    count -= take;
    if (sum.pending_bytes < 32) return;
    stripes(sum.lanes, sum.pending, 32);
    sum.pending_bytes = 0;
  }
  const std::size_t done = stripes(sum.lanes, data, count);
  std::memcpy(sum.pending, data + done, count - done);
  sum.pending_bytes = count - done;
}

std::uint64_t content_sum_value(const ContentSum& sum) {
  std::uint64_t h = 0;
  if (sum.total >= 32) {
    const std::uint64_t* v = sum.lanes;
    h = std::rotl(v[0], 1) + std::rotl(v[1], 7) + std::rotl(v[2], 12) + std::rotl(v[3], 18);
    for (int i = 0; i < 4; ++i) h = merge_lane(h, v[i]);
  } else {
    h = sum.seed + P5;
  }
  h += sum.total;

  const std::uint8_t* p = sum.pending;
  std::size_t left = sum.pending_bytes;
  for (; left >= 8; left -= 8, p += 8) {
    h ^= lane_round(0, load_le64(p));
    h = std::rotl(h, 27) * P1 + P4;
  }
  if (left >= 4) {
    h ^= static_cast<std::uint64_t>(load_le32(p)) * P1;
    h = std::rotl(h, 23) * P2 + P3;
    left -= 4;
    p += 4;
  }
  for (; left > 0; --left, ++p) {
    h ^= static_cast<std::uint64_t>(*p) * P5;
    h = std::rotl(h, 11) * P1;
  }
  h ^= h >> 33;
  h *= P2;
  h ^= h >> 29;
  h *= P3;
  h ^= h >> 32;
  return h;
}
