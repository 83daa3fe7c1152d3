#include "platform/desktop/launcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zyn::desktop {
namespace {

namespace fs = std::filesystem;

// A scratch folder with scripts that record how they were started, and PATH pointing at it
// first (so a fake xdg-open is the desktop's handler).
class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zyn-launcher-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    const char* path = std::getenv("PATH");
    oldPath_ = path ? path : "";
    ::setenv("PATH", (dir_.string() + ":/usr/bin:/bin").c_str(), 1);
    // Writes its arguments NUL-separated, then its session id and standard input, to
    // <name>.out (through a rename, so a reader never sees half a file).
    const std::string recorder =
        "#!/bin/sh\n"
        "out=\"$0.out\"\n"
        "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$out.tmp\"\n"
        "printf 'sid=%s\\0' \"$(cut -d' ' -f6 /proc/$$/stat)\" >> \"$out.tmp\"\n"
        "printf 'stdin=%s\\0' \"$(readlink /proc/$$/fd/0)\" >> \"$out.tmp\"\n"
        "mv \"$out.tmp\" \"$out\"\n";
    WriteFile("recorder", recorder, 0755);
    WriteFile("xdg-open", recorder, 0755);
  }
  void TearDown() override {
    ::setenv("PATH", oldPath_.c_str(), 1);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path WriteFile(const std::string& name, const std::string& text, mode_t mode) {
    fs::path p = dir_ / name;
    std::ofstream(p) << text;
    ::chmod(p.c_str(), mode);
    return p;
  }

  // What the script at `script` recorded, each entry in order; empty after five seconds.
  std::vector<std::string> Recorded(const fs::path& script) {
    const fs::path out = script.string() + ".out";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!fs::exists(out) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(out, std::ios::binary);
    std::vector<std::string> entries;
    std::string entry;
    while (std::getline(in, entry, '\0'))
      entries.push_back(entry);
    return entries;
  }

  static std::vector<std::string> ArgsOf(std::vector<std::string> recorded) {
    if (recorded.size() >= 2) recorded.resize(recorded.size() - 2);
    return recorded;
  }

  fs::path dir_;
  std::string oldPath_;
};

TEST_F(LauncherTest, RunsAProgramWithParametersSplitAndUnexpanded) {
  const fs::path script = dir_ / "recorder";
  const std::string params =
      R"(plain "two words" 'single quoted' $HOME a;b c|d `id` $(id) esc\ aped "q\"uote" '')";
  std::string error;
  ASSERT_TRUE(ExecuteOrOpenPath(script.string(), params, &error)) << error;
  std::vector<std::string> recorded = Recorded(script);
  EXPECT_EQ(ArgsOf(recorded),
            (std::vector<std::string>{"plain", "two words", "single quoted", "$HOME", "a;b", "c|d",
                                      "`id`", "$(id)", "esc aped", "q\"uote", ""}));
  // Started detached: a session of its own, standard input on /dev/null.
  ASSERT_GE(recorded.size(), 2u);
  EXPECT_NE(recorded[recorded.size() - 2], "sid=" + std::to_string(::getsid(0)));
  EXPECT_EQ(recorded.back(), "stdin=/dev/null");
  // And no child of ours is left to reap: the program belongs to init now.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(LauncherTest, FindsProgramsOnThePath) {
  std::string error;
  ASSERT_TRUE(ExecuteOrOpenPath("recorder", "x", &error)) << error;
  EXPECT_EQ(ArgsOf(Recorded(dir_ / "recorder")), std::vector<std::string>{"x"});
  EXPECT_EQ(FindExecutable("recorder"), (dir_ / "recorder").string());
  EXPECT_EQ(FindExecutable("no-such-program-anywhere"), std::nullopt);
}

TEST_F(LauncherTest, BadParametersStartNothing) {
  std::string error;
  EXPECT_FALSE(ExecuteOrOpenPath((dir_ / "recorder").string(), "'unclosed", &error));
  EXPECT_FALSE(error.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(dir_ / "recorder.out"));
}

TEST_F(LauncherTest, MissingFilesFail) {
  std::string error;
  EXPECT_FALSE(ExecuteOrOpenPath((dir_ / "missing.txt").string(), "", &error));
  EXPECT_FALSE(ExecuteOrOpenPath("file://" + (dir_ / "missing.txt").string(), "", &error));
  EXPECT_FALSE(ExecuteOrOpenPath("", "", &error));
  // A program that cannot be executed (a script whose interpreter is missing) is reported.
  const fs::path broken = WriteFile("broken", "#!/no/such/interpreter\n", 0755);
  EXPECT_FALSE(ExecuteOrOpenPath(broken.string(), "", &error));
  EXPECT_NE(error.find("cannot run"), std::string::npos) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(fs::exists(dir_ / "xdg-open.out"));
}

TEST_F(LauncherTest, DocumentsAndAddressesGoToTheDefaultHandler) {
  std::string error;
  const fs::path document = WriteFile("notes.txt", "hello", 0644);
  ASSERT_TRUE(ExecuteOrOpenPath(document.string(), "ignored", &error)) << error;
  EXPECT_EQ(ArgsOf(Recorded(dir_ / "xdg-open")), std::vector<std::string>{document.string()});
  fs::remove(dir_ / "xdg-open.out");

  ASSERT_TRUE(ExecuteOrOpenPath("https://example.org/a?b=c", "", &error)) << error;
  EXPECT_EQ(ArgsOf(Recorded(dir_ / "xdg-open")),
            std::vector<std::string>{"https://example.org/a?b=c"});
  fs::remove(dir_ / "xdg-open.out");

  // A document whose name looks like an option is passed as a path.
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  WriteFile("-v", "x", 0644);
  const bool opened = ExecuteOrOpenPath("-v", "", &error);
  fs::current_path(previous);
  ASSERT_TRUE(opened) << error;
  EXPECT_EQ(ArgsOf(Recorded(dir_ / "xdg-open")), std::vector<std::string>{"./-v"});
}

TEST_F(LauncherTest, WithoutAHandlerDocumentsFail) {
  ::setenv("PATH", "/nonexistent", 1);
  const fs::path document = WriteFile("notes.txt", "hello", 0644);
  std::string error;
  EXPECT_FALSE(ExecuteOrOpenPath(document.string(), "", &error));
  EXPECT_NE(error.find("xdg-open"), std::string::npos) << error;
}

}  // namespace
}  // namespace zyn::desktop
