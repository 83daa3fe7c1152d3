// Runs a program to its end for a test: its standard output and error captured apart, its
// input given as text or typed on a pseudo-terminal, an interrupt sent after a while, and a
// time limit after which it is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace zyn::testing {

struct RunOptions {
  std::vector<std::string> env;  // "NAME=value", added to (and overriding) the test's own
  std::string input;             // written to its standard input, which then ends
  bool terminal = false;         // standard input is a pseudo-terminal that `input` is typed on
  int interruptAfterMs = -1;     // send SIGINT once this much time has passed
  int timeLimitMs = 20000;       // then SIGKILL
};

struct RunResult {
  int status = -1;  // the exit status; 128 + the signal when a signal ended it
  std::string out;
  std::string err;
  bool timedOut = false;
  std::chrono::milliseconds took{0};
};

inline RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                            const RunOptions& options = {}) {
  RunResult result;
  int out[2], err[2], in[2] = {-1, -1};
  int master = -1, slave = -1;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  if (options.terminal) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
  } else if (pipe2(in, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, options.terminal ? slave : in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> argStrings{path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool overridden = false;
    for (const std::string& o : options.env)
      overridden =
          overridden || entry.substr(0, entry.find('=') + 1) == o.substr(0, o.find('=') + 1);
    if (!overridden) envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), options.env.begin(), options.env.end());
  std::vector<char*> envp;
  for (std::string& e : envStrings)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (options.terminal) {
    close(slave);
    if (!options.input.empty() && write(master, options.input.data(), options.input.size()) < 0) {
    }
  } else {
    close(in[0]);
    if (!options.input.empty() && write(in[1], options.input.data(), options.input.size()) < 0) {
    }
    close(in[1]);
  }
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    if (master >= 0) close(master);
    return result;
  }

  bool interrupted = false;
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {master, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto now = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
    if (elapsed >= options.timeLimitMs) {
      kill(pid, SIGKILL);
      result.timedOut = true;
      break;
    }
    if (!interrupted && options.interruptAfterMs >= 0 && elapsed >= options.interruptAfterMs) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    int n = poll(fds, master >= 0 ? 3 : 2, 20);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 3; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        if (i == 0) result.out.append(buffer, static_cast<std::size_t>(got));
        if (i == 1) result.err.append(buffer, static_cast<std::size_t>(got));
        // The terminal's echo is read and dropped, so the program never blocks on it.
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        if (i < 2) --open;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace zyn::testing
