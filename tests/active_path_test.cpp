// The compression path the file digests use on this machine. A CI leg that
// knows its processor names the paths it expects (ZMRGEN_EXPECT_SHA1_PATH,
// ZMRGEN_EXPECT_SHA512_PATH), so that a detection fault which quietly falls
// back to the portable path, or picks a path the processor lacks, fails.
#include <gtest/gtest.h>

#include <cstdlib>

#include "digest/compress_dispatch.h"

namespace {

TEST(ActivePath, IsTheOneExpectedForThisProcessor) {
  const char* sha1 = std::getenv("ZMRGEN_EXPECT_SHA1_PATH");
  const char* sha512 = std::getenv("ZMRGEN_EXPECT_SHA512_PATH");
  if (sha1 == nullptr && sha512 == nullptr) GTEST_SKIP() << "no expectation for this processor";
  if (sha1 != nullptr) {
    EXPECT_STREQ(sha1_active_path().name, sha1);
  }
  if (sha512 != nullptr) {
    EXPECT_STREQ(sha512_active_path().name, sha512);
  }
}

}  // namespace
