#include "server/process/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zyn::server {
namespace {

CommandLine Parse(std::vector<std::string> args) {
  CommandLine line;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, &line, &error)) << error;
  return line;
}

TEST(CommandLine, RegistrationSwitchesInAnyCaseAfterDashOrSlash) {
  EXPECT_EQ(Parse({"/RegServer"}).action, Action::kRegister);
  EXPECT_EQ(Parse({"-regserver"}).action, Action::kRegister);
  EXPECT_EQ(Parse({"--REGSERVER"}).action, Action::kRegister);
  EXPECT_EQ(Parse({"/UnregServer"}).action, Action::kUnregister);
  EXPECT_EQ(Parse({"-unregserver"}).action, Action::kUnregister);
  // The first one that matches acts.
  EXPECT_EQ(Parse({"/UnregServer", "/RegServer"}).action, Action::kUnregister);
  EXPECT_EQ(Parse({"-Embedding", "/regserver", "-unregserver"}).action, Action::kRegister);
}

TEST(CommandLine, AnythingElseServes) {
  EXPECT_EQ(Parse({}).action, Action::kServe);
  const CommandLine line = Parse({"-Embedding", "/Automation", "RegServer", "/RegServerX", "-"});
  EXPECT_EQ(line.action, Action::kServe);
  // A word without '-' or '/' is no switch, and a longer word is another switch.
  EXPECT_EQ(line.skipped, (std::vector<std::string>{"-Embedding", "/Automation", "RegServer",
                                                    "/RegServerX", "-"}));
}

TEST(CommandLine, ListenAndConfig) {
  const CommandLine line =
      Parse({"--listen", "127.0.0.1:0", "--listen=[::1]:24837", "--config", "/tmp/z.conf"});
  EXPECT_EQ(line.action, Action::kServe);
  EXPECT_EQ(line.listen, (std::vector<std::string>{"127.0.0.1:0", "[::1]:24837"}));
  EXPECT_EQ(line.configFile, "/tmp/z.conf");
  // With registration, the configuration file still counts.
  const CommandLine reg = Parse({"/RegServer", "--config=/tmp/y.conf"});
  EXPECT_EQ(reg.action, Action::kRegister);
  EXPECT_EQ(reg.configFile, "/tmp/y.conf");
  // The value of --listen is never taken for a switch.
  EXPECT_EQ(Parse({"--listen", "-regserver"}).action, Action::kServe);
}

TEST(CommandLine, OurOptionsWithoutValueAreErrors) {
  CommandLine line;
  std::string error;
  EXPECT_FALSE(ParseCommandLine(std::vector<std::string>{"--listen"}, &line, &error));
  EXPECT_NE(error.find("--listen"), std::string::npos);
  EXPECT_FALSE(ParseCommandLine(std::vector<std::string>{"--config="}, &line, &error));
  EXPECT_NE(error.find("--config"), std::string::npos);
}

TEST(CommandLine, Help) {
  EXPECT_EQ(Parse({"--help"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, Action::kHelp);
  const std::string help = HelpText("zynserver");
  for (const char* needle : {"/RegServer", "/UnregServer", "--listen", "--config", "SIGTERM",
                             "[permissions]", "screenshot", "credentials"})
    EXPECT_NE(help.find(needle), std::string::npos) << needle;
}

}  // namespace
}  // namespace zyn::server
