#include "tools/zynwatch/error_text.h"

#include <gtest/gtest.h>

TEST(ErrorText, OpcCodesCarryTheirTextAndCode) {
  EXPECT_EQ(ErrorText(OPC_E_INVALIDITEMID),
            "The item definition doesn't conform to the server's syntax\nError code: 0xc0040008");
  EXPECT_EQ(ErrorText(OPC_S_INUSE),
            "The operation cannot be completed because the object still has references that "
            "exist\nError code: 0x4000f");
}

TEST(ErrorText, OtherCodesGiveTheSystemMessageOrTheCode) {
  EXPECT_EQ(ErrorText(E_ACCESSDENIED), "Access is denied.");
  EXPECT_EQ(ErrorText(static_cast<HRESULT>(0x80001234)), "Error 0x80001234");
}
