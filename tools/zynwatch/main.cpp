// zynwatch: observe the counters of a machine from a terminal.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/catalogue.h"
#include "tools/zynwatch/error_text.h"
#include "tools/zynwatch/observer.h"
#include "tools/zynwatch/output.h"

namespace {

constexpr const char* kMyComputer = "My Computer";

constexpr const char* kUsage =
    "usage: zynwatch [-m MACHINE] COMMAND [ARGS]\n"
    "\n"
    "Observes the performance counters of a machine.\n"
    "\n"
    "commands:\n"
    "  list [-x] [PATH]   objects; an object's instances or counters; -x every counter path\n"
    "  read COUNTER...    one reading of each counter\n"
    "  watch [-r MS] [-d PERCENT] [-n COUNT] [-o FILE] [--format csv|table] [COUNTER...]\n"
    "                     values as they change, until Ctrl+C (or COUNT rows); without\n"
    "                     counters: processor, memory, disk and network of this machine\n"
    "\n"
    "options:\n"
    "  -m MACHINE         the machine to observe (default \"My Computer\", this machine)\n"
    "  -h, --help         this text; 'zynwatch COMMAND --help' explains a command\n"
    "\n"
    "Counter paths look like \\Processor(_Total)\\% Processor Time; English names are\n"
    "accepted whatever the machine's language. Exit status: 0 success, 1 failure, 2 bad usage.\n";

constexpr const char* kListUsage =
    "usage: zynwatch list [-x] [PATH]\n"
    "  no PATH      the objects\n"
    "  \\Object      its instances, or its counters when it has none\n"
    "  \\Object(I)   the counters of instance I\n"
    "  -x           every counter path of the machine, one per line\n";

constexpr const char* kReadUsage =
    "usage: zynwatch read COUNTER...\n"
    "  reads each counter once and prints its path and value; a counter without a value\n"
    "  prints its error\n";

constexpr const char* kWatchUsage =
    "usage: zynwatch watch [-r MS] [-d PERCENT] [-n COUNT] [-o FILE] [--format csv|table] "
    "[COUNTER...]\n"
    "  -r MS          update rate in milliseconds (default 1000; the server's minimum is 100)\n"
    "  -d PERCENT     percent deadband: a value is sent only when it changed by more (default 0)\n"
    "  -n COUNT       stop after COUNT rows (default: until Ctrl+C)\n"
    "  -o FILE        write the rows to FILE instead of standard output\n"
    "  --format F     csv (the (PDH-CSV 4.0) format of counter loggers) or table (default)\n"
    "  without counters: processor, memory, disk and network of the machine\n";

int Fail(HRESULT hr) {
  std::fprintf(stderr, "zynwatch: %s\n", ErrorText(hr).c_str());
  return 1;
}

int Usage(const char* text, const char* problem = nullptr) {
  if (problem) std::fprintf(stderr, "zynwatch: %s\n", problem);
  std::fputs(text, stderr);
  return 2;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

template <class T>
bool ParseNumber(const std::string& text, T* out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

void ReportRejected(const std::vector<Rejected>& rejected) {
  for (const Rejected& r : rejected)
    std::fprintf(stderr, "zynwatch: %s: %s\n", r.path.c_str(), ErrorText(r.code).c_str());
}

int List(Observer& observer, const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::fputs(kListUsage, stdout), 0;
  bool all = false;
  std::string path;
  for (const std::string& a : args) {
    if (a == "-x") {
      all = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage(kListUsage, ("unknown option " + a).c_str());
    } else if (path.empty()) {
      path = a;
    } else {
      return Usage(kListUsage, "list takes one path");
    }
  }
  std::vector<std::string> names;
  bool leaves = false;
  HRESULT hr = all ? observer.ListAll(&names) : observer.List(path, &names, &leaves);
  if (FAILED(hr)) return Fail(hr);
  for (const std::string& name : names)
    std::printf("%s\n", name.c_str());
  return 0;
}

int Read(Observer& observer, const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::fputs(kReadUsage, stdout), 0;
  if (args.empty()) return Usage(kReadUsage, "read needs at least one counter");
  std::vector<std::optional<double>> values;
  std::vector<Rejected> rejected;
  HRESULT hr = observer.Read(args, &values, &rejected);
  ReportRejected(rejected);
  if (FAILED(hr)) return Fail(hr);
  bool allRead = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (values[i]) {
      std::printf("%s\t%.6f\n", args[i].c_str(), *values[i]);
    } else {
      allRead = false;
      bool reported = false;
      for (const Rejected& r : rejected)
        reported = reported || r.path == args[i];
      if (!reported) std::fprintf(stderr, "zynwatch: %s: no value\n", args[i].c_str());
    }
  }
  return allRead ? 0 : 1;
}

// The counters watched when none are named: the first network interface that is not the
// loopback stands for the network.
std::vector<std::string> DefaultCounters(Observer& observer) {
  std::vector<std::string> paths = {
      "\\Processor(_Total)\\% Processor Time", "\\Memory\\Available MBytes",
      "\\PhysicalDisk(_Total)\\% Disk Time", "\\PhysicalDisk(_Total)\\Disk Bytes/sec"};
  std::vector<std::string> interfaces;
  bool leaves = false;
  if (SUCCEEDED(observer.List("\\Network Interface", &interfaces, &leaves)) && !leaves) {
    for (const std::string& name : interfaces) {
      if (name == "lo") continue;
      paths.push_back("\\Network Interface(" + name + ")\\Bytes Total/sec");
      break;
    }
  }
  return paths;
}

int Watch(Observer& observer, const std::string& machine, const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::fputs(kWatchUsage, stdout), 0;
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
      if (!(v = value()) || !ParseNumber(*v, &deadband) || deadband < 0 || deadband > 100)
        return Usage(kWatchUsage, "-d needs a percentage from 0 to 100");
    } else if (a == "-n") {
      if (!(v = value()) || !ParseNumber(*v, &count) || count == 0)
        return Usage(kWatchUsage, "-n needs a positive count");
    } else if (a == "-o") {
      if (!(v = value())) return Usage(kWatchUsage, "-o needs a file name");
      outPath = *v;
    } else if (a == "--format") {
      if (!(v = value()) || (*v != "csv" && *v != "table"))
        return Usage(kWatchUsage, "--format is csv or table");
      format = *v;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage(kWatchUsage, ("unknown option " + a).c_str());
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) paths = DefaultCounters(observer);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, &std::fclose);
  std::FILE* out = stdout;
  if (!outPath.empty()) {
    file.reset(std::fopen(outPath.c_str(), "w"));
    if (!file) {
      std::fprintf(stderr, "zynwatch: %s: %s\n", outPath.c_str(), std::strerror(errno));
      return 1;
    }
    out = file.get();
  }

  // Rows start once the server has answered for every counter, so the columns are those it
  // accepted; a callback that comes before that is not shown.
  const bool csv = format == "csv";
  std::vector<std::size_t> columns;
  std::unique_ptr<TableFormat> table;
  std::mutex outMutex;
  std::atomic<bool> ready{false};
  std::atomic<unsigned long long> rows{0};
  auto onSample = [&](const Sample& sample) {
    std::lock_guard lock(outMutex);
    if (!ready || (count != 0 && rows.load() >= count)) return;
    std::vector<std::optional<double>> values;
    for (std::size_t c : columns)
      values.push_back(sample.values[c]);
    FILETIME local{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&sample.timeStamp, &local);
    FileTimeToSystemTime(&local, &st);
    std::string row = csv ? CsvRow(st, values) : table->Row(st, values);
    std::fprintf(out, "%s\n", row.c_str());
    std::fflush(out);
    ++rows;
  };

  DWORD revised = 0;
  std::vector<Rejected> rejected;
  HRESULT hr = observer.Watch(paths, rate, deadband, onSample, &revised, &rejected);
  ReportRejected(rejected);
  if (FAILED(hr)) return Fail(hr);
  if (revised != rate)
    std::fprintf(stderr, "zynwatch: the server revised the update rate to %u ms\n", revised);
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
    std::fprintf(out, "%s\n", csv ? CsvHeader(machine, accepted).c_str() : table->Header().c_str());
    std::fflush(out);
    ready = true;
  }

  // SIGINT and SIGTERM were blocked before any thread started; they are taken here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  const timespec tick{0, 100 * 1000 * 1000};
  while (count == 0 || rows.load() < count) {
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
  }
  observer.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Block the stop signals before the server's threads exist, so only the main thread takes
  // them (synchronously, in Watch) and the group can be removed cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::vector<std::string> args(argv + 1, argv + argc);
  std::string machine = kMyComputer;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "-h" || args[i] == "--help") return std::fputs(kUsage, stdout), 0;
    if (args[i] == "-m") {
      if (i + 1 >= args.size()) return Usage(kUsage, "-m needs a machine name");
      machine = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      return Usage(kUsage, ("unknown option " + args[i]).c_str());
    } else {
      break;
    }
  }
  if (i == args.size()) return Usage(kUsage, "no command given");
  const std::string command = args[i];
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  if (command != "list" && command != "read" && command != "watch")
    return Usage(kUsage, ("unknown command " + command).c_str());
  if (WantsHelp(rest)) {
    std::fputs(command == "list"   ? kListUsage
               : command == "read" ? kReadUsage
                                   : kWatchUsage,
               stdout);
    return 0;
  }
  if (machine != kMyComputer) {
    std::fprintf(stderr,
                 "zynwatch: observing another machine needs the network transport, which this "
                 "build does not have yet\n");
    return 1;
  }

  CatalogueQueryScope catalogue;
  if (FAILED(catalogue.result())) return Fail(catalogue.result());
  Observer observer;
  if (HRESULT hr = observer.Open(); FAILED(hr)) return Fail(hr);
  if (command == "list") return List(observer, rest);
  if (command == "read") return Read(observer, rest);
  return Watch(observer, HostName(), rest);
}
