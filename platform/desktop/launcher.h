// Starting programs and opening documents for the system desktop.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zyn::desktop {

// The program `name` stands for: itself when it contains a slash and is an executable regular
// file, else the first executable regular file of that name in PATH's folders; none otherwise.
std::optional<std::string> FindExecutable(const std::string& name);

// Starts `path` with `args` (not counting the program itself) in a session of its own, its
// standard streams on /dev/null and no descriptor of ours open. It belongs to no process of
// ours once started, so nothing is left to reap. False with *error when it could not be run.
bool SpawnDetached(const std::string& path, const std::vector<std::string>& args,
                   std::string* error);

// Runs `name` with `params` split as a shell splits words (without a shell) when it is a
// program; otherwise opens it with the desktop's default handler (xdg-open) when it is an
// existing file or folder, or an address with a scheme ("https://...", "mailto:...").
bool ExecuteOrOpenPath(const std::string& name, const std::string& params, std::string* error);

}  // namespace zyn::desktop
