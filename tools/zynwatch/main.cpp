// zynwatch: observe and administer a machine's server from a terminal.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/remote/activation.h"
#include "platform/remote/paths.h"
#include "tools/zynwatch/commands.h"
#include "tools/zynwatch/session.h"
#include "tools/zynwatch/trust.h"

namespace {

constexpr const char* kUsage =
    "usage: zynwatch [-m MACHINE] [--key KEY | --key-file FILE] [--accept-new] COMMAND [ARGS]\n"
    "\n"
    "Observes and administers a machine through its Zynwatch server.\n"
    "\n"
    "commands:\n"
    "  list [-x] [PATH]        objects; an object's instances or counters; -x every counter\n"
    "  read COUNTER...         one reading of each counter\n"
    "  watch [-r MS] [-d PERCENT] [-n COUNT] [-o FILE] [--format csv|table] [COUNTER...]\n"
    "                          values as they change, until Ctrl+C (or COUNT rows); without\n"
    "                          counters: processor, memory, disk and network of the machine\n"
    "  props COUNTER           the counter's item properties\n"
    "  status                  the server's status\n"
    "  sysinfo                 the machine's system information\n"
    "  screenshot [--foreground] [--size WxH] -o FILE\n"
    "                          a picture of the screen, written as BMP or PNG\n"
    "  message [--tip info|warning|error|status] TEXT\n"
    "                          a message box (or tray balloon) for the person at the machine\n"
    "  exec PROGRAM [ARGS]     starts a program (or opens a document) on the machine\n"
    "  lock                    locks the machine's session\n"
    "  servers                 the OPC Data Access 2.0 servers registered on the machine\n"
    "\n"
    "options:\n"
    "  -m MACHINE         the machine: \"My Computer\" (the default, this machine, whose server\n"
    "                     starts on demand) or a host, host:port or [v6]:port\n"
    "  --key KEY          the access key of the machine's server (other users can see it in\n"
    "                     the process list; prefer --key-file or ZYNWATCH_KEY)\n"
    "  --key-file FILE    read the access key from FILE\n"
    "  --accept-new       trust a machine's certificate on first contact without asking\n"
    "  -h, --help         this text; 'zynwatch COMMAND --help' explains a command\n"
    "\n"
    "A host's access key is the file access.key of its server (in ~/.config/zynwatch/endpoint/\n"
    "of the user it runs as, /etc/zynwatch/endpoint/ for root, or where its configuration\n"
    "says). Without --key or --key-file, ZYNWATCH_KEY or the copy kept in\n"
    "~/.config/zynwatch/machines/MACHINE/access.key is used. On first contact zynwatch shows\n"
    "the SHA-256 fingerprint of the host's certificate; on the host,\n"
    "  openssl x509 -noout -fingerprint -sha256 -in .../endpoint/cert.pem\n"
    "prints the same. Once trusted, the certificate is kept, and a different one is refused.\n"
    "\n"
    "Counter paths look like \\Processor(_Total)\\% Processor Time; English names are accepted\n"
    "whatever the machine's language. Exit status: 0 success, 1 failure, 2 bad usage.\n";

using Command = int (*)(Session&, const Args&);

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"list", &ListCommand},
      {"read", &ReadCommand},
      {"watch", &WatchCommand},
      {"props", &PropsCommand},
      {"status", &StatusCommand},
      {"sysinfo", &SysInfoCommand},
      {"screenshot", &ScreenshotCommand},
      {"message", &MessageCommand},
      {"exec", &ExecCommand},
      {"lock", &LockCommand},
      {"servers", &ServersCommand},
  };
  return commands;
}

// The zynserver program in zynwatch's own folder, when there is one to run.
std::string ServerBesideThisProgram() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  self[n] = '\0';
  std::string path(self);
  path = path.substr(0, path.rfind('/') + 1) + "zynserver";
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

bool IsLocal(const std::string& machine) {
  return machine.empty() || machine == zyn::remote::kMyComputer;
}

}  // namespace

int main(int argc, char** argv) {
  // Block the stop signals before the transport's threads exist, so only the main thread
  // takes them (synchronously, in watch) and a watched group is removed cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Args args(argv + 1, argv + argc);
  std::string machine = zyn::remote::kMyComputer;
  std::string keyOption, keyFile;
  bool acceptNew = false;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "-h" || a == "--help") return Help(kUsage);
    if (a == "-m") {
      if (!value(&machine)) return Usage(kUsage, "-m needs a machine name");
    } else if (a == "--key") {
      if (!value(&keyOption)) return Usage(kUsage, "--key needs a key");
    } else if (a == "--key-file") {
      if (!value(&keyFile)) return Usage(kUsage, "--key-file needs a file name");
    } else if (a == "--accept-new") {
      acceptNew = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(kUsage, "unknown option " + a);
    } else {
      break;
    }
  }
  if (!keyOption.empty() && !keyFile.empty())
    return Usage(kUsage, "give the key either with --key or with --key-file");
  if (i == args.size()) return Usage(kUsage, "no command given");
  auto command = Commands().find(args[i]);
  if (command == Commands().end()) return Usage(kUsage, "unknown command " + args[i]);
  const Args rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());

  // The key and the certificate matter only for a host; this machine's socket admits its
  // owner without them. This machine's server, when none runs and none is registered, is the
  // one that came with zynwatch.
  zyn::remote::ActivationSettings settings;
  settings.localServerProgram = ServerBesideThisProgram();
  FirstContactPrompt prompt(acceptNew, isatty(STDIN_FILENO) != 0, stdin, stderr);
  if (!IsLocal(machine)) {
    std::string error;
    if (!ResolveAccessKey(keyOption, keyFile, std::getenv("ZYNWATCH_KEY"), &settings.accessKey,
                          &error))
      return Fail(error);
    settings.trustFirstContact = [&prompt](const zyn::remote::FirstContact& contact) {
      return prompt(contact);
    };
  }
  zyn::remote::ActivationSettingsScope scope(std::move(settings));
  Session session(machine, &prompt);
  int status = command->second(session, rest);
  session.Close();
  std::fflush(stdout);
  return status;
}
