// The record name: eight uppercase digits of the first SHA-1 word and ".zmr",
// and nothing written for any other digit count.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "record/record_name.h"

namespace {

TEST(RecordName, EightUppercaseDigitsAndExtension) {
  const struct {
    std::uint32_t word;
    const char* name;
  } cases[] = {
      {0x00000000u, "00000000.zmr"}, {0xFFFFFFFFu, "FFFFFFFF.zmr"}, {0x0A1B2C3Du, "0A1B2C3D.zmr"},
      {0xA9993E36u, "A9993E36.zmr"}, {0x9000000Fu, "9000000F.zmr"},
  };
  for (const auto& c : cases) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(make_record_name(buf, c.word, 8), 12);
    EXPECT_EQ(std::string(buf, 12), c.name);
    EXPECT_EQ(buf[12], '#') << "no terminator may be written";
  }
}

TEST(RecordName, OtherDigitCountsWriteNothing) {
  for (const int count : {0, 1, 7, 9, 16, -8}) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(make_record_name(buf, 0x12345678u, count), -1) << count;
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#')) << count;
  }
}

}  // namespace
