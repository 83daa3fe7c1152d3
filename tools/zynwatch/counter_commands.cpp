// The commands that browse, read and watch counters, and the server's status.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "tools/zynwatch/commands.h"
#include "tools/zynwatch/error_text.h"
#include "tools/zynwatch/output.h"
#include "tools/zynwatch/status_text.h"

namespace {

constexpr const char* kListUsage =
    "usage: zynwatch list [-x] [PATH]\n"
    "  no PATH      the performance objects of the machine\n"
    "  \\Object      its instances, or its counters when it has none\n"
    "  \\Object(I)   the counters of instance I\n"
    "  -x           every counter path of the machine, one per line\n";

constexpr const char* kReadUsage =
    "usage: zynwatch read COUNTER...\n"
    "  reads each counter once from the machine and prints its path and value; a counter\n"
    "  without a value prints its error\n";

constexpr const char* kWatchUsage =
    "usage: zynwatch watch [-r MS] [-d PERCENT] [-n COUNT] [-o FILE] [--format csv|table] "
    "[COUNTER...]\n"
    "  -r MS          update rate in milliseconds (default 1000; the server's minimum is 100)\n"
    "  -d PERCENT     percent deadband: a value is sent only when it changed by more (default 0)\n"
    "  -n COUNT       stop after COUNT rows (default: until Ctrl+C)\n"
    "  -o FILE        write the rows to FILE instead of standard output\n"
    "  --format F     csv (the (PDH-CSV 4.0) format of counter loggers) or table (default)\n"
    "  One row per update the server sends; a counter the update did not carry is left empty\n"
    "  (csv) or shown as - (table). Without counters: processor, memory, disk and network of\n"
    "  the machine.\n";

constexpr const char* kPropsUsage =
    "usage: zynwatch props COUNTER\n"
    "  the item properties the server gives for a counter: canonical data type, access\n"
    "  rights and counter type\n";

constexpr const char* kStatusUsage =
    "usage: zynwatch status\n"
    "  the server's status: state, groups, bandwidth, manufacturer, version and times\n";

void ReportRejected(const std::vector<Rejected>& rejected) {
  for (const Rejected& r : rejected)
    Fail(r.path + ": " + ErrorText(r.code));
}

bool IsOption(const std::string& a) {
  return a.size() > 1 && a[0] == '-';
}

// The counters watched when none are named. The network stands for itself through one
// interface: a wired or wireless one by its usual name (en*, eth*, wl*, ww*) when there is one,
// else the first that is not the loopback; queueing devices (ifb*) and the like come last.
std::vector<std::string> DefaultCounters(Observer& observer) {
  std::vector<std::string> paths = {
      "\\Processor(_Total)\\% Processor Time", "\\Memory\\Available MBytes",
      "\\PhysicalDisk(_Total)\\% Disk Time", "\\PhysicalDisk(_Total)\\Disk Bytes/sec"};
  std::vector<std::string> interfaces;
  bool leaves = false;
  if (FAILED(observer.List("\\Network Interface", &interfaces, &leaves)) || leaves) return paths;
  std::string chosen;
  for (const std::string& name : interfaces) {
    for (const char* prefix : {"en", "eth", "wl", "ww"})
      if (chosen.empty() && name.rfind(prefix, 0) == 0) chosen = name;
  }
  for (const std::string& name : interfaces)
    if (chosen.empty() && name != "lo") chosen = name;
  if (!chosen.empty()) paths.push_back("\\Network Interface(" + chosen + ")\\Bytes Total/sec");
  return paths;
}

std::string VarTypeName(long long vt) {
  switch (vt) {
    case VT_I2:
      return "VT_I2";
    case VT_I4:
      return "VT_I4";
    case VT_R4:
      return "VT_R4";
    case VT_R8:
      return "VT_R8";
    case VT_I8:
      return "VT_I8";
    case VT_BSTR:
      return "VT_BSTR";
    default:
      return std::to_string(vt);
  }
}

std::string PropertyValueText(const ItemProperty& p) {
  if (FAILED(p.error)) return ErrorText(p.error);
  if (!p.value) return "(no value)";
  char text[64];
  switch (p.id) {
    case OPC_PROP_CDT:
      return VarTypeName(*p.value);
    case OPC_PROP_RIGHTS:
      std::snprintf(text, sizeof text, "%lld (%s)", *p.value,
                    *p.value == 1   ? "readable"
                    : *p.value == 3 ? "readable, writable"
                                    : "other");
      return text;
    case 5000:  // the counter type is a set of bit fields, read best in hexadecimal
      std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(*p.value));
      return text;
    default:
      return std::to_string(*p.value);
  }
}

}  // namespace

bool WantsHelp(const Args& args) {
  for (const std::string& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

int Usage(const char* usage, const std::string& problem) {
  std::fprintf(stderr, "zynwatch: %s\n", problem.c_str());
  std::fputs(usage, stderr);
  return 2;
}

int Help(const char* usage) {
  std::fputs(usage, stdout);
  return 0;
}

int ListCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kListUsage);
  bool all = false;
  std::string path;
  bool havePath = false;
  for (const std::string& a : args) {
    if (a == "-x") {
      all = true;
    } else if (IsOption(a)) {
      return Usage(kListUsage, "unknown option " + a);
    } else if (!havePath) {
      path = a;
      havePath = true;
    } else {
      return Usage(kListUsage, "list takes one path");
    }
  }
  if (all && havePath) return Usage(kListUsage, "-x lists every path and takes no PATH");
  Observer* observer = session.Server();
  if (!observer) return 1;
  std::vector<std::string> names;
  bool leaves = false;
  HRESULT hr = all ? observer->ListAll(&names) : observer->List(path, &names, &leaves);
  if (FAILED(hr)) return Fail(havePath ? path + ": " + ErrorText(hr) : ErrorText(hr));
  for (const std::string& name : names)
    std::printf("%s\n", name.c_str());
  return 0;
}

int ReadCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kReadUsage);
  if (args.empty()) return Usage(kReadUsage, "read needs at least one counter");
  for (const std::string& a : args)
    if (IsOption(a)) return Usage(kReadUsage, "unknown option " + a);
  Observer* observer = session.Server();
  if (!observer) return 1;
  std::vector<std::optional<double>> values;
  std::vector<Rejected> rejected;
  HRESULT hr = observer->Read(args, &values, &rejected);
  ReportRejected(rejected);
  if (FAILED(hr)) return rejected.empty() ? Fail(hr) : 1;
  bool allRead = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (values[i]) {
      std::printf("%s\t%.6f\n", args[i].c_str(), *values[i]);
      continue;
    }
    allRead = false;
    bool reported = false;
    for (const Rejected& r : rejected)
      reported = reported || r.path == args[i];
    if (!reported) Fail(args[i] + ": no value");
  }
  return allRead ? 0 : 1;
}

int PropsCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kPropsUsage);
  if (args.size() != 1 || IsOption(args[0])) return Usage(kPropsUsage, "props takes one counter");
  Observer* observer = session.Server();
  if (!observer) return 1;
  std::vector<ItemProperty> properties;
  HRESULT hr = observer->Properties(args[0], &properties);
  if (FAILED(hr)) return Fail(args[0] + ": " + ErrorText(hr));
  std::size_t width = 0;
  for (const ItemProperty& p : properties)
    width = std::max(width, p.description.size());
  for (const ItemProperty& p : properties)
    std::printf("%-6u%-*s  %s\n", p.id, static_cast<int>(width), p.description.c_str(),
                PropertyValueText(p).c_str());
  return 0;
}

int StatusCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kStatusUsage);
  if (!args.empty()) return Usage(kStatusUsage, "status takes no arguments");
  Observer* observer = session.Server();
  if (!observer) return 1;
  Observer::Status status;
  HRESULT hr = observer->GetStatus(&status);
  if (FAILED(hr)) return Fail(hr);
  std::fputs(FormatServerStatus(status.record, status.vendor).c_str(), stdout);
  return 0;
}

int WatchCommand(Session& session, const Args& args) {
  if (WantsHelp(args)) return Help(kWatchUsage);
  DWORD rate = 1000;
  float deadband = 0;
  unsigned long long count = 0;
  std::string outPath, format = "table";
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    const std::string* v = nullptr;
    if (a == "-r") {
      if (!(v = value()) || !ParseNumber(*v, &rate))
        return Usage(kWatchUsage, "-r needs milliseconds");
    } else if (a == "-d") {
      if (!(v = value()) || !ParseNumber(*v, &deadband) || !(deadband >= 0 && deadband <= 100))
        return Usage(kWatchUsage, "-d needs a percentage from 0 to 100");
    } else if (a == "-n") {
      if (!(v = value()) || !ParseNumber(*v, &count) || count == 0)
        return Usage(kWatchUsage, "-n needs a positive count");
    } else if (a == "-o") {
      if (!(v = value()) || v->empty()) return Usage(kWatchUsage, "-o needs a file name");
      outPath = *v;
    } else if (a == "--format") {
      if (!(v = value()) || (*v != "csv" && *v != "table"))
        return Usage(kWatchUsage, "--format is csv or table");
      format = *v;
    } else if (IsOption(a)) {
      return Usage(kWatchUsage, "unknown option " + a);
    } else {
      paths.push_back(a);
    }
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, &std::fclose);
  std::FILE* out = stdout;
  if (!outPath.empty()) {
    file.reset(std::fopen(outPath.c_str(), "w"));
    if (!file) return Fail(outPath + ": " + std::strerror(errno));
    out = file.get();
  }

  Observer* observer = session.Server();
  if (!observer) return 1;
  if (paths.empty()) paths = DefaultCounters(*observer);

  // Rows start once the server has answered for every counter, so the columns are those it
  // accepted; a callback that comes before that is not shown.
  const bool csv = format == "csv";
  std::vector<std::size_t> columns;
  std::unique_ptr<TableFormat> table;
  std::mutex outMutex;
  bool ready = false;
  bool writeFailed = false;
  int writeError = 0;
  std::atomic<unsigned long long> rows{0};
  auto onSample = [&](const Sample& sample) {
    std::lock_guard lock(outMutex);
    if (!ready || writeFailed || (count != 0 && rows.load() >= count)) return;
    std::vector<std::optional<double>> values;
    for (std::size_t c : columns)
      values.push_back(sample.values[c]);
    FILETIME local{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&sample.timeStamp, &local);
    FileTimeToSystemTime(&local, &st);
    std::string row = csv ? CsvRow(st, values) : table->Row(st, values);
    if (std::fprintf(out, "%s\n", row.c_str()) < 0 || std::fflush(out) != 0) {
      writeFailed = true;
      writeError = errno;
    }
    ++rows;
  };

  DWORD revised = 0;
  std::vector<Rejected> rejected;
  HRESULT hr = observer->Watch(paths, rate, deadband, onSample, &revised, &rejected);
  ReportRejected(rejected);
  if (FAILED(hr)) {
    // Every counter refused: each was named above.
    if (rejected.size() == paths.size()) return Fail("none of the counters was accepted");
    return Fail(hr);
  }
  if (revised != rate) {
    Fail("The refresh rate you selected was revised to " + std::to_string(revised) +
         " milliseconds.");
  }
  {
    std::lock_guard lock(outMutex);
    std::vector<std::string> accepted;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      bool refused = false;
      for (const Rejected& r : rejected)
        refused = refused || r.path == paths[i];
      if (refused) continue;
      columns.push_back(i);
      accepted.push_back(paths[i]);
    }
    table = std::make_unique<TableFormat>(accepted);
    std::fprintf(
        out, "%s\n",
        csv ? CsvHeader(session.PathMachineName(), accepted).c_str() : table->Header().c_str());
    std::fflush(out);
    ready = true;
  }

  // SIGINT and SIGTERM were blocked before any thread started; they are taken here. Now and
  // then the server is asked for its status, so a server that vanished without a word (its
  // machine went down) ends the watch instead of leaving it silent for ever.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  const timespec tick{0, 100 * 1000 * 1000};
  using Clock = std::chrono::steady_clock;
  auto nextCheck = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (count == 0 || rows.load() < count) {
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
    std::string reason;
    if (observer->ShutdownRequested(&reason)) {
      status = Fail("the server stopped: " + reason);
      break;
    }
    {
      std::lock_guard lock(outMutex);
      if (writeFailed) {
        status = Fail((outPath.empty() ? "standard output" : outPath) + ": " +
                      std::strerror(writeError));
        break;
      }
    }
    if (Clock::now() >= nextCheck) {
      Observer::Status ignored;
      if (HRESULT check = observer->GetStatus(&ignored); FAILED(check)) {
        status = Fail(ErrorText(check) + "\nlost the connection to machine \"" + session.machine() +
                      "\"");
        break;
      }
      nextCheck = Clock::now() + std::chrono::seconds(5);
    }
  }
  observer->Stop();
  return status;
}
