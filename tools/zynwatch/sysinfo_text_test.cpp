#include "tools/zynwatch/sysinfo_text.h"

#include <gtest/gtest.h>

#include "platform/com/safearray.h"

namespace {

VARIANT ArrayVariant(com::SafeArray array) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY;
  v.parray = array.release();
  return v;
}

// The three arrays as the messenger hands them out, cleared at the end.
struct Report {
  Report(std::vector<std::string> captions, std::vector<std::string> descriptions,
         std::vector<LONG> usages)
      : captions(ArrayVariant(com::MakeBstrArray(captions))),
        descriptions(ArrayVariant(com::MakeBstrArray(descriptions))),
        usages(ArrayVariant(com::MakeI4Array(usages))) {}
  ~Report() {
    VariantClear(&captions);
    VariantClear(&descriptions);
    VariantClear(&usages);
  }
  VARIANT captions, descriptions, usages;
};

TEST(SysInfo, CaptionsDescriptionLinesAndUsage) {
  Report report({"General", "Memory", "System Components", "Installed Software"},
                {"Computer OBSERVED1\r\nDebian 12 build 6.1",
                 "7986 MB of physical memory\r\n42% "
                 "in use",
                 "", "Editor (1.2)|Viewer"},
                {-1, 42, -1, -1});
  std::vector<SysInfoEntry> entries;
  ASSERT_EQ(ReadSysInfo(report.captions, report.descriptions, report.usages, &entries), S_OK);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(FormatSysInfo(entries),
            "General\n"
            "    Computer OBSERVED1\n"
            "    Debian 12 build 6.1\n"
            "Memory\n"
            "    7986 MB of physical memory\n"
            "    42% in use\n"
            "    Usage: 42%\n"
            "System Components\n"
            "Installed Software\n"
            "    Editor (1.2)\n"
            "    Viewer\n");
}

TEST(SysInfo, ArraysOfTheWrongShapeAreRefused) {
  std::vector<SysInfoEntry> entries;
  {
    Report lengths({"General", "Memory"}, {"a"}, {-1, 1});
    EXPECT_EQ(ReadSysInfo(lengths.captions, lengths.descriptions, lengths.usages, &entries),
              DISP_E_TYPEMISMATCH);
  }
  {
    // Usages sent as texts.
    Report types({"General"}, {"a"}, {-1});
    EXPECT_EQ(ReadSysInfo(types.captions, types.descriptions, types.captions, &entries),
              DISP_E_TYPEMISMATCH);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(ReadSysInfo(empty, types.descriptions, types.usages, &entries), DISP_E_TYPEMISMATCH);
  }
  EXPECT_TRUE(entries.empty());
}

}  // namespace
