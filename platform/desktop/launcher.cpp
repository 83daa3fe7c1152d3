#include "platform/desktop/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QUrl>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/desktop/shell_words.h"

extern char** environ;

namespace zyn::desktop {

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// "scheme:rest" with a scheme of two letters or more, so "C:" or a plain file name with a
// colon later on is not taken for an address.
bool HasScheme(const std::string& name) {
  std::size_t colon = name.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return colon + 1 < name.size();
}

// Closes every descriptor from `first` up; in a child between fork and exec.
void CloseFrom(int first) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, first, ~0u, 0) == 0) return;
#endif
  struct rlimit limit;
  int last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                 ? static_cast<int>(limit.rlim_cur)
                 : 65536;
  for (int fd = first; fd < last; ++fd)
    ::close(fd);
}

// Reports errno on the status pipe and ends the child; only async-signal-safe calls.
[[noreturn]] void ChildFail(int statusFd, int error) {
  ssize_t ignored = ::write(statusFd, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

std::optional<std::string> FindExecutable(const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (IsExecutableFile(name)) return name;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    // An empty entry means the current folder, as the shell reads PATH.
    std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

bool SpawnDetached(const std::string& path, const std::vector<std::string>& args,
                   std::string* error) {
  // Everything the children need is prepared here: between fork and exec they may only make
  // async-signal-safe calls.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The grandchild's exec closes this pipe; a failure before it writes errno into it.
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  pid_t middle = ::fork();
  if (middle < 0) {
    int e = errno;
    ::close(status[0]);
    ::close(status[1]);
    *error = std::string("fork: ") + std::strerror(e);
    return false;
  }
  if (middle == 0) {
    // The middle child starts a new session and leaves at once, so the program it starts is
    // adopted by init (or the nearest subreaper) and never becomes our zombie.
    ::close(status[0]);
    if (::setsid() < 0) ChildFail(status[1], errno);
    pid_t child = ::fork();
    if (child < 0) ChildFail(status[1], errno);
    if (child > 0) ::_exit(0);

    // The status pipe first moves above the standard streams (a daemon may have them closed,
    // and the pipe may then sit on one of them), then ends up on 3; all else of ours closes.
    int statusFd = ::fcntl(status[1], F_DUPFD_CLOEXEC, 3);
    if (statusFd < 0) ChildFail(status[1], errno);
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0) ChildFail(statusFd, errno);
    for (int fd = 0; fd < 3; ++fd) {
      if (::dup2(null, fd) < 0) ChildFail(statusFd, errno);
    }
    if (statusFd != 3) {
      if (::dup3(statusFd, 3, O_CLOEXEC) < 0) ChildFail(statusFd, errno);
      statusFd = 3;
    }
    CloseFrom(4);
    // Signals start as a new program expects them, not as our threads had them.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
      ::sigaction(sig, &defaultAction, nullptr);
    ::execve(path.c_str(), argv.data(), environ);
    ChildFail(statusFd, errno);
  }

  ::close(status[1]);
  int waitStatus = 0;
  while (::waitpid(middle, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  int childError = 0;
  ssize_t got;
  do {
    got = ::read(status[0], &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  ::close(status[0]);
  if (got == static_cast<ssize_t>(sizeof childError)) {
    *error = "cannot run " + path + ": " + std::strerror(childError);
    return false;
  }
  if (!WIFEXITED(waitStatus) || WEXITSTATUS(waitStatus) != 0) {
    *error = "cannot start " + path;
    return false;
  }
  return true;
}

bool ExecuteOrOpenPath(const std::string& name, const std::string& params, std::string* error) {
  if (name.empty()) {
    *error = "no program or document named";
    return false;
  }
  if (std::optional<std::string> program = FindExecutable(name)) {
    std::optional<std::vector<std::string>> args = SplitShellWords(params, error);
    if (!args) return false;
    return SpawnDetached(*program, *args, error);
  }

  std::string document = name;
  if (HasScheme(name)) {
    QUrl url(QString::fromStdString(name));
    if (!url.isValid()) {
      *error = "not a valid address: " + name;
      return false;
    }
    if (url.isLocalFile() && ::access(url.toLocalFile().toStdString().c_str(), F_OK) != 0) {
      *error = "no such file: " + url.toLocalFile().toStdString();
      return false;
    }
  } else {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) {
      *error = "no such program or file: " + name;
      return false;
    }
    // A name starting with '-' would read as an option of the opener.
    if (name[0] == '-') document = "./" + name;
  }
  std::optional<std::string> opener = FindExecutable("xdg-open");
  if (!opener) {
    *error = "no default handler (xdg-open) is installed to open " + name;
    return false;
  }
  return SpawnDetached(*opener, {document}, error);
}

}  // namespace zyn::desktop
