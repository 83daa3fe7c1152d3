// The subcommands of zynwatch. Each takes the arguments after its name, prints its --help on
// standard output, and returns the exit status: 0 success, 1 failure, 2 bad usage.
#pragma once

#include <charconv>
#include <string>
#include <vector>

#include "tools/zynwatch/session.h"

using Args = std::vector<std::string>;

int ListCommand(Session& session, const Args& args);
int ReadCommand(Session& session, const Args& args);
int WatchCommand(Session& session, const Args& args);
int PropsCommand(Session& session, const Args& args);
int StatusCommand(Session& session, const Args& args);
int SysInfoCommand(Session& session, const Args& args);
int ScreenshotCommand(Session& session, const Args& args);
int MessageCommand(Session& session, const Args& args);
int ExecCommand(Session& session, const Args& args);
int LockCommand(Session& session, const Args& args);
int ServersCommand(Session& session, const Args& args);

// Shared by the commands' argument parsing.
bool WantsHelp(const Args& args);
// Prints the problem and the usage text on standard error; returns 2.
int Usage(const char* usage, const std::string& problem);
// Prints the usage text on standard output; returns 0.
int Help(const char* usage);

template <class T>
bool ParseNumber(const std::string& text, T* out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}
