// A program started with pipes on its standard input and output, for the end-to-end tests
// and the benchmark.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace zyn::remote {

class Child {
 public:
  Child(const std::string& path, std::vector<std::string> args, std::vector<std::string> env = {}) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
      envStrings.push_back(*e);
    for (std::string& e : env)
      envStrings.push_back(e);
    std::vector<char*> envp;
    for (std::string& e : envStrings)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = fdopen(out[0], "r");
  }
  ~Child() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0) {
      int status;
      waitpid(pid_, &status, 0);
    }
    if (out_) fclose(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of its output ("" at its end).
  std::string ReadLine() {
    char line[512];
    if (!out_ || !fgets(line, sizeof line, out_)) return {};
    std::string text(line);
    while (!text.empty() && text.back() == '\n')
      text.pop_back();
    return text;
  }
  void WriteLine(const std::string& line) {
    std::string text = line + "\n";
    if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
  }
  pid_t pid() const { return pid_; }
  void Kill() {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
};

}  // namespace zyn::remote
