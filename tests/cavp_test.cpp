// NIST CAVP byte-oriented response files (ShortMsg, LongMsg, Monte) for both
// digests, read from the folder beside the project when it is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct Vector {
  std::string msg_hex;
  std::string md_hex;
};

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string to_hex(const Bytes& bytes) {
  static const char* const digits = "0123456789ABCDEF";
  std::string s;
  for (const auto b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

// Returns the value after "key = " on each line that starts with `key`.
std::vector<std::string> values(const std::string& path, const std::string& key) {
  std::vector<std::string> out;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(key + " = ", 0) == 0) out.push_back(line.substr(key.size() + 3));
  }
  return out;
}

std::string vectors_dir() { return ZMRGEN_CAVP_DIR; }

bool have_vectors() { return file_exists(vectors_dir() + "/SHA1ShortMsg.rsp"); }

// Message vectors: each message is written to a file and digested through the
// file routine; the empty message, which the file routine refuses, is checked
// through the in-memory reference instead.
template <typename Digest>
void check_messages(const std::string& file, DigestStatus64 (*digest_file)(const char*, Digest&),
                    Digest (*reference)(const Bytes&)) {
  const auto lens = values(vectors_dir() + "/" + file, "Len");
  const auto msgs = values(vectors_dir() + "/" + file, "Msg");
  const auto mds = values(vectors_dir() + "/" + file, "MD");
  ASSERT_EQ(lens.size(), msgs.size());
  ASSERT_EQ(msgs.size(), mds.size());
  ASSERT_GT(msgs.size(), 60u);
  ScratchDir dir;
  const std::string path = dir.file("msg");
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    const Bytes message = std::stoul(lens[i]) == 0 ? Bytes{} : from_hex(msgs[i]);
    if (message.empty()) {
      EXPECT_EQ(hex_words(reference(message)), upper(mds[i])) << file << " #" << i;
      continue;
    }
    write_file(path, message);
    Digest d{};
    EXPECT_EQ(digest_file(path.c_str(), d), static_cast<DigestStatus64>(message.size()))
        << file << " #" << i;
    EXPECT_EQ(hex_words(d), upper(mds[i])) << file << " #" << i;
  }
}

DigestStatus64 sha1_file64(const char* path, Sha1Digest& d) { return sha1_file(path, d); }

// Monte Carlo: each checkpoint hashes the last three digests concatenated,
// 1000 times over, starting from the previous checkpoint.
template <typename Digest>
void check_monte(const std::string& file, Digest (*reference)(const Bytes&)) {
  const auto seeds = values(vectors_dir() + "/" + file, "Seed");
  const auto mds = values(vectors_dir() + "/" + file, "MD");
  ASSERT_EQ(seeds.size(), 1u);
  ASSERT_EQ(mds.size(), 100u);
  Bytes seed = from_hex(seeds[0]);
  for (std::size_t j = 0; j < mds.size(); ++j) {
    Bytes md[3] = {seed, seed, seed};
    for (int i = 0; i < 1000; ++i) {
      Bytes message = md[0];
      message.insert(message.end(), md[1].begin(), md[1].end());
      message.insert(message.end(), md[2].begin(), md[2].end());
      md[0] = md[1];
      md[1] = md[2];
      md[2] = from_hex(hex_words(reference(message)));
    }
    seed = md[2];
    EXPECT_EQ(to_hex(seed), upper(mds[j])) << file << " checkpoint " << j;
  }
}

TEST(Cavp, Sha1Messages) {
  if (!have_vectors()) GTEST_SKIP() << "no CAVP vectors at " << vectors_dir();
  check_messages<Sha1Digest>("SHA1ShortMsg.rsp", sha1_file64, reference_sha1);
  check_messages<Sha1Digest>("SHA1LongMsg.rsp", sha1_file64, reference_sha1);
}

TEST(Cavp, Sha512Messages) {
  if (!have_vectors()) GTEST_SKIP() << "no CAVP vectors at " << vectors_dir();
  check_messages<Sha512Digest>("SHA512ShortMsg.rsp", sha512_file, reference_sha512);
  check_messages<Sha512Digest>("SHA512LongMsg.rsp", sha512_file, reference_sha512);
}

TEST(Cavp, Sha1Monte) {
  if (!have_vectors()) GTEST_SKIP() << "no CAVP vectors at " << vectors_dir();
  check_monte<Sha1Digest>("SHA1Monte.rsp", reference_sha1);
}

TEST(Cavp, Sha512Monte) {
  if (!have_vectors()) GTEST_SKIP() << "no CAVP vectors at " << vectors_dir();
  check_monte<Sha512Digest>("SHA512Monte.rsp", reference_sha512);
}

}  // namespace
