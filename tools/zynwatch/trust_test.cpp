#include "tools/zynwatch/trust.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using zyn::remote::FirstContact;

const FirstContact kContact{"host.example:24837", "AB:CD:EF"};

// The prompt with `input` as its terminal; returns its answer and what it wrote.
bool Ask(bool acceptNew, bool interactive, const std::string& input, std::string* shown,
         std::string* hint = nullptr) {
  std::string in = input;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> inFile(
      fmemopen(in.empty() ? nullptr : in.data(), in.empty() ? 1 : in.size(), "r"), &std::fclose);
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  FirstContactPrompt prompt(acceptNew, interactive, inFile.get(), out);
  bool accepted = prompt(kContact);
  std::fclose(out);
  *shown = std::string(buffer, size);
  std::free(buffer);
  if (hint) *hint = prompt.hint();
  return accepted;
}

TEST(FirstContactPrompt, OnATerminalAsksUntilYesOrNo) {
  std::string shown;
  EXPECT_TRUE(Ask(false, true, "maybe\n  YES \n", &shown));
  EXPECT_NE(shown.find("\"host.example:24837\""), std::string::npos) << shown;
  EXPECT_NE(shown.find("AB:CD:EF"), std::string::npos) << shown;
  EXPECT_NE(shown.find("(yes/no)?"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Please type 'yes' or 'no'"), std::string::npos) << shown;

  EXPECT_FALSE(Ask(false, true, "no\n", &shown));
  EXPECT_FALSE(Ask(false, true, "y\n", &shown));  // the input ends: no answer is no trust
  EXPECT_FALSE(Ask(false, true, "", &shown));
}

TEST(FirstContactPrompt, WithoutATerminalRefusesAndSaysHowToAccept) {
  std::string shown, hint;
  EXPECT_FALSE(Ask(false, false, "yes\n", &shown, &hint));
  EXPECT_TRUE(shown.empty());
  EXPECT_NE(hint.find("--accept-new"), std::string::npos) << hint;
  EXPECT_NE(hint.find("host.example:24837"), std::string::npos) << hint;

  EXPECT_TRUE(Ask(true, false, "", &shown, &hint));
  EXPECT_TRUE(shown.empty());
  EXPECT_TRUE(hint.empty());
}

TEST(AccessKey, TheFirstSourceGivenWins) {
  char pattern[] = "/tmp/zynwatch-key-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::ofstream(dir + "/key") << "  filekey\n";
  std::ofstream(dir + "/empty") << "\n\n";
  std::string key, error;

  ASSERT_TRUE(ResolveAccessKey("optkey", "", "envkey", &key, &error));
  EXPECT_EQ(key, "optkey");
  ASSERT_TRUE(ResolveAccessKey("", dir + "/key", "envkey", &key, &error));
  EXPECT_EQ(key, "filekey");
  ASSERT_TRUE(ResolveAccessKey("", "", "envkey\n", &key, &error));
  EXPECT_EQ(key, "envkey");
  ASSERT_TRUE(ResolveAccessKey("", "", nullptr, &key, &error));
  EXPECT_EQ(key, "");  // the stored key

  EXPECT_FALSE(ResolveAccessKey("", dir + "/empty", "envkey", &key, &error));
  EXPECT_NE(error.find("holds no key"), std::string::npos);
  EXPECT_FALSE(ResolveAccessKey("", dir + "/missing", "envkey", &key, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  std::filesystem::remove_all(dir);
}

}  // namespace
