// A program started with pipes on its standard input and output, for the end-to-end tests
// and the benchmark.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace zyn::remote {

// Listening sockets handed to the program as a service manager hands them over: as descriptors
// 3, 4, ... in this order, announced by LISTEN_FDS and LISTEN_PID (and LISTEN_FDNAMES when
// names are given).
struct HandOver {
  std::vector<int> fds;
  std::string names;     // "a:b"; empty: no LISTEN_FDNAMES
  bool forChild = true;  // false: LISTEN_PID names another process (the parent)
};

class Child {
 public:
  Child(const std::string& path, std::vector<std::string> args, std::vector<std::string> env = {},
        const HandOver& handOver = {}) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    // Everything the child needs is built here: between fork and exec a child of a threaded
    // process may only make plain system calls.
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      if (!handOver.fds.empty() && entry.rfind("LISTEN_", 0) == 0) continue;
      envStrings.push_back(entry);
    }
    for (std::string& e : env)
      envStrings.push_back(e);
    // The child's pid is only known in the child: the digits go into this entry there.
    std::size_t pidEntry = envStrings.size();
    if (!handOver.fds.empty()) {
      envStrings.push_back("LISTEN_FDS=" + std::to_string(handOver.fds.size()));
      if (!handOver.names.empty()) envStrings.push_back("LISTEN_FDNAMES=" + handOver.names);
      pidEntry = envStrings.size();
      envStrings.push_back("LISTEN_PID=" + std::string(20, '\0'));
    }
    std::vector<char*> envp;
    for (std::string& e : envStrings)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    std::vector<int> moved(handOver.fds.size());

    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      // Moved out of the way first, so a socket that already is descriptor 3 or 4 survives.
      for (std::size_t i = 0; i < handOver.fds.size(); ++i)
        moved[i] = fcntl(handOver.fds[i], F_DUPFD_CLOEXEC, 64);
      for (std::size_t i = 0; i < moved.size(); ++i)
        dup2(moved[i], 3 + static_cast<int>(i));
      if (pidEntry < envStrings.size())
        WriteNumber(envp[pidEntry] + 11, handOver.forChild ? getpid() : parent);
      execve(path.c_str(), argv.data(), envp.data());
      _exit(127);
    }
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
  // Decimal digits of n at out, NUL-terminated; safe between fork and exec.
  static void WriteNumber(char* out, pid_t n) {
    char digits[20];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n > 0);
    while (count > 0)
      *out++ = digits[--count];
    *out = '\0';
  }

  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
};

}  // namespace zyn::remote
