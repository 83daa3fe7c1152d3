#include "platform/com/bstr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

TEST(Bstr, LayoutIsLengthPrefixedAndNulTerminated) {
  BSTR s = SysAllocStringLen("a\0b\xc3\xa4", 5);  // an embedded NUL and a two-byte character
  ASSERT_NE(s, nullptr);
  std::uint32_t prefix;
  std::memcpy(&prefix, s - 4, 4);
  EXPECT_EQ(prefix, 5u);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(SysStringByteLen(s), 5u);
  EXPECT_EQ(s[5], '\0');
  EXPECT_EQ(com::BstrView(s), std::string_view("a\0b\xc3\xa4", 5));
  SysFreeString(s);

  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::memcmp(zeroed, "\0\0\0", 4), 0);
  SysFreeString(zeroed);
}

TEST(Bstr, NullIsTheEmptyText) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(com::BstrView(nullptr), "");
  SysFreeString(nullptr);
  BSTR empty = SysAllocString("");
  ASSERT_NE(empty, nullptr);  // an allocated empty text, distinct from "no memory"
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

TEST(Bstr, ReAllocAcceptsItsOwnText) {
  BSTR s = SysAllocString("hello world");
  ASSERT_TRUE(SysReAllocString(&s, s + 6));  // points into the text being replaced
  EXPECT_EQ(com::BstrView(s), "world");
  ASSERT_TRUE(SysReAllocString(&s, nullptr));
  EXPECT_EQ(s, nullptr);
  EXPECT_FALSE(SysReAllocString(nullptr, "x"));
}

TEST(Bstr, WrapperOwnsCopiesAndHandsOver) {
  com::Bstr a("m\xc3\xa4rz");
  EXPECT_EQ(a.length(), 5u);
  com::Bstr b = a;
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(b.str(), "m\xc3\xa4rz");
  com::Bstr c = std::move(b);
  EXPECT_EQ(b.get(), nullptr);
  EXPECT_EQ(c.view(), a.view());

  *c.put() = SysAllocString("out");  // put frees the old text first
  EXPECT_EQ(c.view(), "out");
  c.attach(SysAllocString("adopted"));
  EXPECT_EQ(c.view(), "adopted");
  BSTR raw = c.release();
  EXPECT_EQ(c.get(), nullptr);
  SysFreeString(raw);

  com::Bstr empty;
  com::Bstr emptyCopy = empty;
  EXPECT_EQ(emptyCopy.get(), nullptr);
  EXPECT_EQ(emptyCopy.view(), "");
}

}  // namespace
