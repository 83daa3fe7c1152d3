#include "platform/com/guid.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace {

constexpr GUID kCat = com::Guid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB");

TEST(Guid, CompileTimeLiteralMatchesFields) {
  static_assert(kCat.Data1 == 0x63D5F432 && kCat.Data2 == 0xCFE4 && kCat.Data3 == 0x11D1);
  static_assert(kCat.Data4[0] == 0xB2 && kCat.Data4[1] == 0xC8 && kCat.Data4[7] == 0xFB);
  EXPECT_EQ(com::GuidToString(kCat), "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}");
}

TEST(Guid, ParsesWithAndWithoutBracesInAnyCase) {
  auto a = com::ParseGuid("{63d5f432-cfe4-11d1-b2c8-0060083ba1fb}");
  auto b = com::ParseGuid("63D5F432-CFE4-11D1-B2C8-0060083BA1FB");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, kCat);
  EXPECT_EQ(*b, kCat);
}

TEST(Guid, RejectsMalformedText) {
  for (const char* bad :
       {"", "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB", "63D5F432CFE411D1B2C80060083BA1FB",
        "63D5F432-CFE4-11D1-B2C8-0060083BA1FG", "{63D5F432-CFE4-11D1-B2C8_0060083BA1FB}"}) {
    EXPECT_FALSE(com::ParseGuid(bad)) << bad;
  }
  CLSID c{};
  EXPECT_EQ(CLSIDFromString("nonsense", &c), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(nullptr, &c), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString("{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}", &c), S_OK);
  EXPECT_EQ(c, kCat);
}

TEST(Guid, NewGuidsAreDistinctVersion4) {
  std::unordered_set<GUID> seen;
  for (int i = 0; i < 1000; ++i) {
    GUID g = com::NewGuid();
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(g).second);
  }
}

TEST(Guid, OrderingFollowsPrintedText) {
  GUID a = com::Guid("00000000-0000-0000-0000-0000000000FF");
  GUID b = com::Guid("00000000-0000-0000-0100-000000000000");
  EXPECT_TRUE(a < b);
  EXPECT_FALSE(b < a);
  EXPECT_FALSE(a < a);
}

}  // namespace
