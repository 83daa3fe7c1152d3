// The commands that administer a machine through its server's messenger, and the list of the
// OPC servers registered there.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <span>

#include "interfaces/opc_da.h"
#include "platform/com/enum.h"
#include "platform/com/guid.h"
#include "platform/com/taskmem.h"
#include "platform/com/variant.h"
#include "tools/zynwatch/commands.h"
#include "tools/zynwatch/error_text.h"
#include "tools/zynwatch/image_file.h"
#include "tools/zynwatch/shell_words.h"
#include "tools/zynwatch/sysinfo_text.h"

namespace {

constexpr const char* kSysInfoUsage =
    "usage: zynwatch sysinfo\n"
    "  the machine's system information: general, processor, memory, hard drive, system\n"
    "  components and installed software, each with its usage where it has one\n";

constexpr const char* kScreenshotUsage =
    "usage: zynwatch screenshot [--foreground] [--size WxH] -o FILE\n"
    "  takes a picture of the machine's screen and writes it to FILE, as PNG when FILE ends\n"
    "  in .png and as BMP when it ends in .bmp\n"
    "  --foreground   only the active window, frame included\n"
    "  --size WxH     scale the picture to W x H pixels\n";

constexpr const char* kMessageUsage =
    "usage: zynwatch message [--tip info|warning|error|status] TEXT...\n"
    "  shows TEXT (the words joined by blanks) to the person at the machine in a message box,\n"
    "  or with --tip as a balloon of the server's tray icon of that kind. A box lasts as long\n"
    "  as the connection: zynwatch waits until it closes by itself (10 seconds) or Ctrl+C.\n";

// How long the server shows an unattended message box.
constexpr int kMessageBoxSeconds = 10;

constexpr const char* kExecUsage =
    "usage: zynwatch exec PROGRAM [ARGUMENT...]\n"
    "  starts PROGRAM with the arguments on the machine, in the session of its server; a name\n"
    "  that is no program (a document, an address) is opened with the desktop's default\n"
    "  application\n";

constexpr const char* kLockUsage =
    "usage: zynwatch lock\n"
    "  locks the session of the machine's server\n";

constexpr const char* kServersUsage =
    "usage: zynwatch servers\n"
    "  the OPC Data Access 2.0 servers registered on the machine: ProgID, description and\n"
    "  class identifier\n";

bool IsHelp(const std::string& a) {
  return a == "-h" || a == "--help";
}

// "WxH" with both sides from 1 to 32767.
bool ParseSize(const std::string& text, DWORD* width, DWORD* height) {
  const auto x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  if (!ParseNumber(text.substr(0, x), width) || !ParseNumber(text.substr(x + 1), height))
    return false;
  return *width >= 1 && *width <= 32767 && *height >= 1 && *height <= 32767;
}

}  // namespace

int SysInfoCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kSysInfoUsage);
  if (!args.empty()) return Usage(kSysInfoUsage, "sysinfo takes no arguments");
  com::ComPtr<IZYNMessenger> messenger = session.Messenger();
  if (!messenger) return 1;
  VARIANT captions, descriptions, usages;
  VariantInit(&captions);
  VariantInit(&descriptions);
  VariantInit(&usages);
  HRESULT hr = messenger->GetSysInfo(&captions, &descriptions, &usages);
  std::vector<SysInfoEntry> entries;
  if (SUCCEEDED(hr)) hr = ReadSysInfo(captions, descriptions, usages, &entries);
  VariantClear(&captions);
  VariantClear(&descriptions);
  VariantClear(&usages);
  if (FAILED(hr)) return Fail(hr);
  std::fputs(FormatSysInfo(entries).c_str(), stdout);
  return 0;
}

int ScreenshotCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kScreenshotUsage);
  tagZYNWINDOWTYPE window = WT_DESKTOP;
  DWORD width = 0, height = 0;
  bool sized = false;
  std::string path;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--foreground") {
      window = WT_FOREGROUND;
    } else if (a == "--size") {
      if (i + 1 >= args.size() || !ParseSize(args[++i], &width, &height))
        return Usage(kScreenshotUsage, "--size needs WxH, each from 1 to 32767");
      sized = true;
    } else if (a == "-o") {
      if (i + 1 >= args.size() || args[i + 1].empty())
        return Usage(kScreenshotUsage, "-o needs a file name");
      path = args[++i];
    } else {
      return Usage(kScreenshotUsage, "unexpected argument " + a);
    }
  }
  if (path.empty()) return Usage(kScreenshotUsage, "screenshot needs -o FILE");
  if (!IsImageFileName(path))
    return Usage(kScreenshotUsage, "the file name must end in .bmp or .png");

  com::ComPtr<IZYNMessenger> messenger = session.Messenger();
  if (!messenger) return 1;
  BYTE* data = nullptr;
  DWORD size = 0;
  tagZYNMBITMAPINFO* info = nullptr;
  HRESULT hr = messenger->GetScreenShot(&data, &size, &info, sized ? &width : nullptr,
                                        sized ? &height : nullptr, window);
  com::TaskMem<BYTE[]> ownedData(data);
  com::TaskMem<tagZYNMBITMAPINFO> ownedInfo(info);
  if (FAILED(hr)) return Fail(hr);
  if (!info) return Fail("the server sent no picture header");
  std::string error;
  if (!WriteImageFile(path, info->bmiHeader, std::span<const std::uint8_t>(data, data ? size : 0),
                      &error))
    return Fail(error);
  const long rows = info->bmiHeader.biHeight < 0 ? -long{info->bmiHeader.biHeight}
                                                 : long{info->bmiHeader.biHeight};
  std::printf("%s: %ld x %ld pixels\n", path.c_str(), long{info->bmiHeader.biWidth}, rows);
  return 0;
}

int MessageCommand(Session& session, const Args& args) {
  std::optional<tagTipType> tip;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsHelp(a)) return Help(kMessageUsage);
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--tip") {
      const std::string kind = i + 1 < args.size() ? args[++i] : "";
      if (kind == "info")
        tip = ttInfoMessage;
      else if (kind == "warning")
        tip = ttWarnMessage;
      else if (kind == "error")
        tip = ttErrorMessage;
      else if (kind == "status")
        tip = ttStatus;
      else
        return Usage(kMessageUsage, "--tip is info, warning, error or status");
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(kMessageUsage,
                   "unknown option " + a + " (put -- before a text that starts with -)");
    } else {
      break;
    }
  }
  if (i >= args.size()) return Usage(kMessageUsage, "message needs a text");
  std::string text;
  for (; i < args.size(); ++i)
    text += (text.empty() ? "" : " ") + args[i];
  com::ComPtr<IZYNMessenger> messenger = session.Messenger();
  if (!messenger) return 1;
  HRESULT hr =
      tip ? messenger->ShowTipMessage(text.c_str(), *tip) : messenger->ShowMessage(text.c_str());
  if (FAILED(hr)) return Fail(hr);
  // The server closes a box when the object that showed it goes, which leaving would do at
  // once: stay until the box has closed by itself, or until Ctrl+C (SIGINT and SIGTERM were
  // blocked at start). Other signals (the transport's wake-ups among them) end a wait early:
  // it is taken up again for what is left.
  if (!tip) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kMessageBoxSeconds);
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - now).count();
      const timespec wait{static_cast<time_t>(left / 1000000000),
                          static_cast<long>(left % 1000000000)};
      if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) break;
    }
  }
  return 0;
}

int ExecCommand(Session& session, const Args& args) {
  // Everything after the program belongs to it, --help included.
  if (!args.empty() && IsHelp(args[0])) return Help(kExecUsage);
  std::size_t first = !args.empty() && args[0] == "--" ? 1 : 0;
  if (first >= args.size() || args[first].empty()) return Usage(kExecUsage, "exec needs a program");
  const std::string program = args[first];
  const std::string parameters =
      JoinShellWords(Args(args.begin() + static_cast<std::ptrdiff_t>(first) + 1, args.end()));
  com::ComPtr<IZYNMessenger> messenger = session.Messenger();
  if (!messenger) return 1;
  HRESULT hr = messenger->Execute(program.c_str(), parameters.c_str());
  return FAILED(hr) ? Fail(ErrorText(hr) + "\ncannot start " + program) : 0;
}

int LockCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kLockUsage);
  if (!args.empty()) return Usage(kLockUsage, "lock takes no arguments");
  com::ComPtr<IZYNMessenger> messenger = session.Messenger();
  if (!messenger) return 1;
  HRESULT hr = messenger->LockComputer();
  return FAILED(hr) ? Fail(hr) : 0;
}

int ServersCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kServersUsage);
  if (!args.empty()) return Usage(kServersUsage, "servers takes no arguments");
  com::ComPtr<IOPCServerList> list = session.ServerList();
  if (!list) return 1;
  CATID category = CATID_OPCDAServer20;
  com::ComPtr<IEnumGUID> classes;
  HRESULT hr =
      list->EnumClassesOfCategories(1, &category, 0, nullptr, classes.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return Fail(hr);
  int status = 0;
  GUID clsid{};
  ULONG fetched = 0;
  while (classes && classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
    LPOLESTR progId = nullptr;
    LPOLESTR userType = nullptr;
    hr = list->GetClassDetails(clsid, &progId, &userType);
    com::TaskMem<char[]> ownedProgId(progId);
    com::TaskMem<char[]> ownedUserType(userType);
    if (FAILED(hr)) {
      status = Fail(com::GuidToString(clsid) + ": " + ErrorText(hr));
      continue;
    }
    std::printf("%s\t%s\t%s\n", progId ? progId : "", userType ? userType : "",
                com::GuidToString(clsid).c_str());
  }
  return status;
}
