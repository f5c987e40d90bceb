// The compression path the file digests use on this machine: the fastest
// one built in that the processor runs. What the processor offers comes from
// /proc/cpuinfo, where the kernel lists the features programs may use, so a
// detection fault that quietly falls back to a slower path, or picks a path
// the processor lacks, fails. The file is read wherever it exists (under
// Wine the host's is visible) and judges only when it describes every
// feature the paths built in need (under qemu-user it is the host's, which
// says nothing of the emulated processor). A CI leg that knows its processor
// may also name the paths it expects (ZMRGEN_EXPECT_SHA1_PATH,
// ZMRGEN_EXPECT_SHA512_PATH).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>

#include "digest/compress_dispatch.h"

namespace {

// True when the words after the colon of `line` include `name`.
bool lists(const std::string& line, std::size_t colon, const char* name) {
  std::istringstream words(line.substr(colon + 1));
  std::string word;
  while (words >> word) {
    if (word == name) return true;
  }
  return false;
}

struct ListedFeatures {
  std::uint32_t described = 0;  // bits whose line the file has
  std::uint32_t present = 0;    // of those, the bits every processor listed has
};

// The features /proc/cpuinfo lists, or nothing when it cannot be read.
std::optional<ListedFeatures> listed_features() {
  std::ifstream in("/proc/cpuinfo");
  if (!in) return std::nullopt;
  ListedFeatures f;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, line.find_first_of(" \t:"));
    std::uint32_t line_bits = 0, missing = 0;
    for (const CpuFeatureName& n : CPU_FEATURE_NAMES) {
      if (key != n.line) continue;
      line_bits |= n.bit;
      if (!lists(line, colon, n.name)) missing |= n.bit;
    }
    // One line a processor: the first sets the bits, the others can only
    // clear them, so a feature counts when every processor has it.
    const std::uint32_t here = line_bits & ~missing;
    if ((f.described & line_bits) == 0) {
      f.present |= here;
    } else {
      f.present &= here | ~line_bits;
    }
    f.described |= line_bits;
  }
  return f;
}

// The name of the last (fastest) path whose needs the processor has, or
// nothing when the file does not describe every need of the paths.
template <typename Word>
std::optional<std::string> fastest_listed(std::span<const CompressPath<Word>> paths,
                                          const ListedFeatures& f) {
  std::string best;
  for (const CompressPath<Word>& p : paths) {
    if ((p.needs & ~f.described) != 0) return std::nullopt;
    if ((p.needs & ~f.present) == 0) best = p.name;
  }
  return best;
}

TEST(ActivePath, IsTheOneExpectedForThisProcessor) {
  const std::optional<ListedFeatures> listed = listed_features();
  const struct {
    const char* digest;
    const char* active;
    const char* from_env;
    std::optional<std::string> from_cpuinfo;
  } cases[] = {
      {"SHA-1", sha1_active_path().name, std::getenv("ZMRGEN_EXPECT_SHA1_PATH"),
       listed ? fastest_listed(sha1_paths(), *listed) : std::nullopt},
      {"SHA-512", sha512_active_path().name, std::getenv("ZMRGEN_EXPECT_SHA512_PATH"),
       listed ? fastest_listed(sha512_paths(), *listed) : std::nullopt},
  };
  bool judged = false;
  for (const auto& c : cases) {
    if (c.from_env != nullptr) {
      judged = true;
      EXPECT_STREQ(c.active, c.from_env) << c.digest << ", as the CI leg expects";
    }
    if (c.from_cpuinfo) {
      judged = true;
      EXPECT_EQ(c.active, *c.from_cpuinfo) << c.digest << ", as /proc/cpuinfo calls for";
    }
  }
  if (!judged) {
    GTEST_SKIP() << "no expectation for this processor: /proc/cpuinfo "
                 << (listed ? "does not describe the features the paths need" : "is absent");
  }
}

}  // namespace
