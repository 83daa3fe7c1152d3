#include "server/process/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

namespace zyn::server {
namespace {

struct Parsed {
  bool ok = false;
  ServerConfig config;
  std::vector<std::string> warnings;
  std::string error;
};

Parsed Parse(const std::string& text) {
  Parsed p;
  p.ok = ParseConfig(text, "z.conf", &p.config, &p.warnings, &p.error);
  return p;
}

TEST(Config, DefaultsWhenEmpty) {
  Parsed p = Parse("");
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.config.listen.empty());
  EXPECT_TRUE(p.config.credentialsDir.empty());
  EXPECT_TRUE(p.config.permissions.message && p.config.permissions.tip &&
              p.config.permissions.screenShot && p.config.permissions.lock &&
              p.config.permissions.execute);
}

TEST(Config, EverySetting) {
  Parsed p = Parse(
      "# a comment\n"
      "listen = 127.0.0.1:9000, *  [::1] # trailing comment\n"
      "port = 7000\n"
      "credentials = /srv/zyn/keys\n"
      "\n"
      "[Permissions]\n"
      "Message = no\n"
      "tip = off\n"
      "screenshot = FALSE\n"
      "lock = 0\n"
      "execute = yes\r\n");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.warnings.empty());
  // The port applies to addresses without one, wherever it stands.
  EXPECT_EQ(p.config.listen, (std::vector<std::string>{"127.0.0.1:9000", "*:7000", "[::1]:7000"}));
  EXPECT_EQ(p.config.credentialsDir, "/srv/zyn/keys");
  EXPECT_FALSE(p.config.permissions.message);
  EXPECT_FALSE(p.config.permissions.tip);
  EXPECT_FALSE(p.config.permissions.screenShot);
  EXPECT_FALSE(p.config.permissions.lock);
  EXPECT_TRUE(p.config.permissions.execute);
}

TEST(Config, EmptyListenMeansTheUnixSocketOnly) {
  Parsed p = Parse("[server]\nlisten =\n");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.config.listen.empty());
}

TEST(Config, UnknownKeysAndSectionsAreReportedAndIgnored) {
  Parsed p = Parse("colour = blue\n[permissions]\nreboot = yes\n[extras]\nanything = at all\n");
  ASSERT_TRUE(p.ok) << p.error;
  ASSERT_EQ(p.warnings.size(), 3u);
  EXPECT_EQ(p.warnings[0].rfind("z.conf:1: ", 0), 0u) << p.warnings[0];
  EXPECT_NE(p.warnings[1].find("z.conf:3: "), std::string::npos);
  EXPECT_NE(p.warnings[1].find("reboot"), std::string::npos);
  EXPECT_NE(p.warnings[2].find("z.conf:4: "), std::string::npos);
}

TEST(Config, MalformedValuesNameFileAndLine) {
  const struct {
    const char* text;
    const char* where;
  } cases[] = {
      {"[permissions]\nlock = maybe\n", "z.conf:2: "},
      {"\n\nport = 70000\n", "z.conf:3: "},
      {"port = 12ab\n", "z.conf:1: "},
      {"listen = 127.0.0.1:\n", "z.conf:1: "},
      {"listen = ::1:80\n", "z.conf:1: "},  // IPv6 needs brackets
      {"listen = [::1\n", "z.conf:1: "},
      {"listen = :80\n", "z.conf:1: "},
      {"credentials = relative/dir\n", "z.conf:1: "},
      {"just words\n", "z.conf:1: "},
      {"[server\n", "z.conf:1: "},
  };
  for (const auto& c : cases) {
    Parsed p = Parse(c.text);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(p.error.rfind(c.where, 0), 0u) << c.text << " -> " << p.error;
  }
}

TEST(Config, TemplateParsesToTcpOnTheDefaultPort) {
  Parsed p = Parse(ConfigTemplate());
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.warnings.empty());
  EXPECT_EQ(p.config.listen, (std::vector<std::string>{"*:24837"}));
}

TEST(Config, MissingFile) {
  ServerConfig config;
  std::vector<std::string> warnings;
  std::string error;
  EXPECT_TRUE(LoadConfig("/nonexistent/zynserver.conf", false, &config, &warnings, &error));
  EXPECT_FALSE(LoadConfig("/nonexistent/zynserver.conf", true, &config, &warnings, &error));
  EXPECT_NE(error.find("/nonexistent/zynserver.conf"), std::string::npos);
}

// Root's files are the machine's, unless the environment moves the configuration home: then
// they follow it, so a test run as root never touches /etc.
TEST(Config, DefaultFoldersFollowAnExplicitConfigHomeEvenForRoot) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string before = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", "/scratch/cfg", 1);
  EXPECT_EQ(DefaultConfigPath(), "/scratch/cfg/zynwatch/zynserver.conf");
  EXPECT_EQ(DefaultCredentialsDir().rfind("/scratch/cfg/", 0), 0u) << DefaultCredentialsDir();
  unsetenv("XDG_CONFIG_HOME");
  if (geteuid() == 0) {
    EXPECT_EQ(DefaultConfigPath(), "/etc/zynwatch/zynserver.conf");
    EXPECT_EQ(DefaultCredentialsDir(), "/etc/zynwatch/endpoint");
  }
  if (saved) setenv("XDG_CONFIG_HOME", before.c_str(), 1);
}

}  // namespace
}  // namespace zyn::server
