// The least an agent can spend on the comparison's work (bench/peers/run.sh): read the same
// kernel files as the collectors, parse the numbers the counters come from, and hand them over
// loopback TCP to an observer in another process. Nothing else: no catalogue, no names, no
// rates, no configuration. Its CPU time per 1000 values is the floor under every real agent's
// figure on this machine, so a target below it cannot be met by any program.
//
//   floor_agent serve [--cpu N]... [--disk NAME]... [--net NAME]...
//   floor_agent observe --port P --rate MS --set small|large --latencies FILE
//
// serve listens on 127.0.0.1 (a free port), prints "listening on tcp:PORT" and serves one
// observer at a time. The instances of the small set (processors, whole disks, interfaces) are
// the ones given, as the script that runs it found them; kinds given none deliver none. The
// observer sends one line, "small 100" or "large 1000" (the set and the period in ms); from
// then on, at every period (absolute deadlines), the agent notes the wall-clock time, collects
// and sends one frame:
//   u32 value count, i64 the cycle's time in ns since the epoch, count doubles
// (native byte order: both ends are on this machine), and waits for a one-byte
// acknowledgement before the next cycle.
//
// observe is that observer; it speaks zyn_driver's protocol on its standard streams:
//   out  READY items=N rejected=0     the first frame arrived (N: its value count)
//   in   START / STOP                 count from now on / stop, write latencies, answer, end
//   out  RESULT values=V callbacks=C
// One latency a frame: from the cycle's time in the frame to the frame's arrival, in ms.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// ---- small helpers ---------------------------------------------------------------------------

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

int64_t WallNs() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

timespec MonotonicNow() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

int64_t ToNs(const timespec& ts) {
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

timespec FromNs(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

// False when the peer closed the connection or it failed before `size` bytes came.
bool RecvAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, MSG_WAITALL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

void NoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// ---- parsing ---------------------------------------------------------------------------------

// A cursor over one file's text; numbers are read as a C programmer would, digit by digit.
struct Cursor {
  const char* p;
  const char* end;

  bool AtEnd() const { return p >= end; }
  void SkipSpaces() {
    while (p < end && (*p == ' ' || *p == '\t'))
      ++p;
  }
  // The next unsigned number on this line; false (cursor unmoved past the line) when none.
  bool Unsigned(uint64_t* out) {
    SkipSpaces();
    if (p >= end || *p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (p < end && *p >= '0' && *p <= '9')
      v = v * 10 + uint64_t(*p++ - '0');
    *out = v;
    return true;
  }
  bool Signed(int64_t* out) {
    SkipSpaces();
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    uint64_t v;
    if (!Unsigned(&v)) return false;
    *out = negative ? -int64_t(v) : int64_t(v);
    return true;
  }
  // The next whitespace-delimited word of this line.
  std::string_view Word() {
    SkipSpaces();
    const char* start = p;
    while (p < end && *p != ' ' && *p != '\t' && *p != '\n')
      ++p;
    return {start, size_t(p - start)};
  }
  void NextLine() {
    const void* nl = std::memchr(p, '\n', size_t(end - p));
    p = nl ? static_cast<const char*>(nl) + 1 : end;
  }
};

// n unsigned numbers of the current line into values, each times `scale`; false when the line
// has fewer.
bool Numbers(Cursor* c, int n, std::vector<double>* values, double scale = 1) {
  for (int i = 0; i < n; ++i) {
    uint64_t v;
    if (!c->Unsigned(&v)) return false;
    values->push_back(double(v) * scale);
  }
  return true;
}

bool Among(std::string_view name, const std::vector<std::string>& wanted) {
  for (const std::string& w : wanted)
    if (name == w) return true;
  return false;
}

// ---- the small set ---------------------------------------------------------------------------

// One kernel file kept open and read whole from offset 0 every cycle: the kernel builds its
// text afresh on every read that starts at 0.
class KernelFile {
 public:
  explicit KernelFile(const char* path) : path_(path), fd_(::open(path, O_RDONLY | O_CLOEXEC)) {
    buffer_.resize(16384);
  }
  bool ok() const { return bool(fd_); }
  const char* path() const { return path_; }

  // The file's text; false when it cannot be read. A text that fills the buffer may have
  // been cut, so the buffer grows and the file is read again.
  bool Read(Cursor* out) {
    for (;;) {
      const ssize_t n = ::pread(fd_.get(), buffer_.data(), buffer_.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (size_t(n) < buffer_.size()) {
        *out = Cursor{buffer_.data(), buffer_.data() + n};
        return true;
      }
      buffer_.resize(buffer_.size() * 2);
    }
  }

 private:
  const char* path_;
  Fd fd_;
  std::vector<char> buffer_;
};

struct Instances {
  std::vector<std::string> cpus;  // "0", "1", ...
  std::vector<std::string> disks;
  std::vector<std::string> interfaces;
};

// The fields of /proc/meminfo the set's memory rows come from (kB in the file, bytes sent).
constexpr std::string_view kMeminfoFields[] = {
    "MemTotal", "MemFree", "MemAvailable", "Buffers",   "Cached",   "Committed_AS", "CommitLimit",
    "Shmem",    "Dirty",   "PageTables",   "SwapTotal", "SwapFree", "SReclaimable", "SUnreclaim"};
constexpr std::string_view kVmstatFields[] = {"pgfault", "pgmajfault"};

class SmallSet {
 public:
  explicit SmallSet(Instances instances) : instances_(std::move(instances)) {}

  // The files that could not be opened, if any.
  std::string Missing() const {
    std::string missing;
    for (const KernelFile* f : {&stat_, &meminfo_, &vmstat_, &diskstats_, &netdev_})
      if (!f->ok()) missing += std::string(missing.empty() ? "" : ", ") + f->path();
    return missing;
  }

  bool Collect(std::vector<double>* values) {
    return Processors(values) && Memory(values) && Disks(values) && Interfaces(values);
  }

 private:
  // Per-processor lines: user nice system idle iowait irq softirq steal.
  bool Processors(std::vector<double>* values) {
    Cursor c;
    if (!stat_.Read(&c)) return false;
    for (; !c.AtEnd(); c.NextLine()) {
      if (size_t(c.end - c.p) < 4 || std::memcmp(c.p, "cpu", 3) != 0) break;  // past them
      c.p += 3;
      const char* digits = c.p;
      while (c.p < c.end && *c.p >= '0' && *c.p <= '9')
        ++c.p;
      const std::string_view id(digits, size_t(c.p - digits));  // empty: all processors
      if (!id.empty() && Among(id, instances_.cpus) && !Numbers(&c, 8, values)) return false;
    }
    return true;
  }

  bool Memory(std::vector<double>* values) {
    Cursor c;
    if (!meminfo_.Read(&c)) return false;
    for (; !c.AtEnd(); c.NextLine()) {
      const void* colon = std::memchr(c.p, ':', size_t(c.end - c.p));
      if (!colon) break;
      const std::string_view name(c.p, size_t(static_cast<const char*>(colon) - c.p));
      c.p = static_cast<const char*>(colon) + 1;
      for (std::string_view wanted : kMeminfoFields) {
        if (name == wanted) {
          if (!Numbers(&c, 1, values, 1024)) return false;
          break;
        }
      }
    }
    if (!vmstat_.Read(&c)) return false;
    for (; !c.AtEnd(); c.NextLine()) {
      const std::string_view name = c.Word();
      for (std::string_view wanted : kVmstatFields) {
        if (name == wanted) {
          if (!Numbers(&c, 1, values)) return false;
          break;
        }
      }
    }
    return true;
  }

  // Whole disks: reads, merged reads, bytes read, ms reading, writes, merged writes, bytes
  // written, ms writing, in flight, ms busy, weighted ms busy.
  bool Disks(std::vector<double>* values) {
    Cursor c;
    if (!diskstats_.Read(&c)) return false;
    for (; !c.AtEnd(); c.NextLine()) {
      uint64_t major, minor;
      if (!c.Unsigned(&major) || !c.Unsigned(&minor)) continue;
      if (!Among(c.Word(), instances_.disks)) continue;
      if (!Numbers(&c, 2, values) || !Numbers(&c, 1, values, 512) || !Numbers(&c, 3, values) ||
          !Numbers(&c, 1, values, 512) || !Numbers(&c, 4, values))
        return false;
    }
    return true;
  }

  // Interfaces: bytes, packets, errors, drops received; the same sent.
  bool Interfaces(std::vector<double>* values) {
    Cursor c;
    if (!netdev_.Read(&c)) return false;
    for (; !c.AtEnd(); c.NextLine()) {
      const char* line = c.p;
      const char* eol = static_cast<const char*>(std::memchr(c.p, '\n', size_t(c.end - c.p)));
      if (!eol) eol = c.end;
      // The name ends at the last colon before the numbers (the two header lines have none).
      const char* colon = nullptr;
      for (const char* q = line; q < eol; ++q)
        if (*q == ':') colon = q;
      if (!colon) continue;
      Cursor name{line, colon};
      if (!Among(name.Word(), instances_.interfaces)) continue;
      c.p = colon + 1;
      uint64_t skip;
      if (!Numbers(&c, 4, values)) return false;
      for (int i = 0; i < 4; ++i)
        if (!c.Unsigned(&skip)) return false;  // fifo, frame, compressed, multicast
      if (!Numbers(&c, 4, values)) return false;
    }
    return true;
  }

  Instances instances_;
  KernelFile stat_{"/proc/stat"};
  KernelFile meminfo_{"/proc/meminfo"};
  KernelFile vmstat_{"/proc/vmstat"};
  KernelFile diskstats_{"/proc/diskstats"};
  KernelFile netdev_{"/proc/net/dev"};
};

// ---- the large set ---------------------------------------------------------------------------

// Every process's utime, stime, rss (bytes), vsize, minflt, threads, priority, ppid,
// starttime and pid, from /proc/PID/stat. /proc is listed afresh every cycle: that is how any
// agent sees processes come and go. Each process's stat stays open from one cycle to the next
// and is read again with pread, as a careful agent does to spare the path lookup: the kernel
// builds the text afresh on every read, and the descriptor of a process that has ended reads
// as an error, so a pid the kernel has given to a new process is opened anew.
class ProcessSet {
 public:
  bool Collect(std::vector<double>* values) {
    Dir proc(::opendir("/proc"));
    if (!proc) return false;
    ++cycle_;
    while (const dirent* entry = ::readdir(proc.get())) {
      const char* name = entry->d_name;
      if (name[0] < '1' || name[0] > '9') continue;
      const int pid = std::atoi(name);
      auto kept = files_.find(pid);
      ssize_t n = -1;
      if (kept != files_.end()) {
        n = ::pread(kept->second.fd.get(), text_, sizeof text_, 0);
        if (n <= 0) files_.erase(kept);  // it ended; the pid may name a new process
      }
      if (n <= 0) {
        std::snprintf(path_, sizeof path_, "%s/stat", name);
        Fd fd(::openat(::dirfd(proc.get()), path_, O_RDONLY | O_CLOEXEC));
        if (!fd) continue;  // it ended since the listing (or no descriptor is left)
        n = ::pread(fd.get(), text_, sizeof text_, 0);
        if (n <= 0) continue;
        files_.emplace(pid, Entry{std::move(fd), cycle_});
      } else {
        files_.find(pid)->second.seen = cycle_;
      }
      Parse(text_, size_t(n), values);
    }
    // The processes that were not listed have ended.
    std::erase_if(files_, [&](const auto& file) { return file.second.seen != cycle_; });
    return true;
  }

 private:
  void Parse(const char* text, size_t n, std::vector<double>* values) {
    // The command name is in parentheses and may hold anything, so fields count from the last
    // ')'.
    const char* close = static_cast<const char*>(::memrchr(text, ')', n));
    if (!close || close + 2 >= text + n) return;
    Cursor c{text, close};
    uint64_t pid;
    if (!c.Unsigned(&pid)) return;
    c = Cursor{close + 2, text + n};
    c.Word();  // 3 state
    // Fields 4 (ppid) to 24 (rss); some are signed (tpgid, priority, nice).
    int64_t f[21];
    for (int i = 0; i < 21; ++i)
      if (!c.Signed(&f[i])) return;
    auto at = [&](int field) { return double(f[field - 4]); };
    const double row[10] = {at(14), at(15), at(24) * pageSize_, at(23), at(10), at(20), at(18),
                            at(4),  at(22), double(pid)};
    values->insert(values->end(), row, row + 10);
  }

  struct Entry {
    Fd fd;
    uint64_t seen;  // the cycle that last listed the process
  };

  const double pageSize_ = double(::sysconf(_SC_PAGESIZE));
  std::unordered_map<int, Entry> files_;
  uint64_t cycle_ = 0;
  char path_[sizeof(dirent::d_name) + 8];
  char text_[4096];
};

// ---- serve -----------------------------------------------------------------------------------

// The observer's one line, "small 100"; false when it is anything else.
bool ReadRequest(int fd, bool* large, int64_t* rateMs) {
  std::string line;
  char ch;
  while (line.size() < 64) {
    const ssize_t n = ::recv(fd, &ch, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (ch == '\n') break;
    line += ch;
  }
  char set[16];
  long long rate = 0;
  char extra;
  if (std::sscanf(line.c_str(), "%15s %lld %c", set, &rate, &extra) != 2) return false;
  if (rate <= 0 || rate > 3600 * 1000) return false;
  if (std::strcmp(set, "small") != 0 && std::strcmp(set, "large") != 0) return false;
  *large = set[0] == 'l';
  *rateMs = rate;
  return true;
}

// Cycles for one observer until it leaves.
void ServeObserver(int fd, SmallSet* small) {
  bool large = false;
  int64_t rateMs = 0;
  if (!ReadRequest(fd, &large, &rateMs)) {
    std::fprintf(stderr, "floor_agent: the observer's request is not \"small|large MS\"\n");
    return;
  }
  const int64_t period = rateMs * 1000000;
  int64_t deadline = ToNs(MonotonicNow());
  ProcessSet processes;  // its descriptors are this observer's only
  std::vector<double> values;
  std::vector<char> frame;
  for (;;) {
    const timespec at = FromNs(deadline);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    const int64_t cycleNs = WallNs();
    values.clear();
    const bool collected = large ? processes.Collect(&values) : small->Collect(&values);
    if (!collected) {
      std::fprintf(stderr, "floor_agent: reading the kernel's files failed: %s\n",
                   std::strerror(errno));
      return;  // the observer sees the connection end instead of a short frame
    }
    const uint32_t count = uint32_t(values.size());
    frame.resize(sizeof count + sizeof cycleNs + values.size() * sizeof(double));
    std::memcpy(frame.data(), &count, sizeof count);
    std::memcpy(frame.data() + sizeof count, &cycleNs, sizeof cycleNs);
    std::memcpy(frame.data() + sizeof count + sizeof cycleNs, values.data(),
                values.size() * sizeof(double));
    char ack;
    if (!SendAll(fd, frame.data(), frame.size()) || !RecvAll(fd, &ack, 1)) return;
    // A cycle that overran its period skips the deadlines it missed rather than running
    // back to back to catch up.
    deadline += period;
    const int64_t now = ToNs(MonotonicNow());
    if (deadline < now) deadline += (now - deadline) / period * period + period;
  }
}

int Serve(Instances instances) {
  // A descriptor for every process's stat: as many as the system lets this process have.
  rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  SmallSet small(std::move(instances));
  if (const std::string missing = small.Missing(); !missing.empty()) {
    std::fprintf(stderr, "floor_agent: cannot open %s\n", missing.c_str());
    return 1;
  }
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener.get(), 4) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "floor_agent: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("listening on tcp:%u\n", unsigned(ntohs(address.sin_port)));
  std::fflush(stdout);
  for (;;) {
    Fd observer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!observer) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::fprintf(stderr, "floor_agent: accept failed: %s\n", std::strerror(errno));
      return 1;
    }
    NoDelay(observer.get());
    ServeObserver(observer.get(), &small);
  }
}

// ---- observe ---------------------------------------------------------------------------------

// Frames larger than this are taken for a broken stream rather than allocated.
constexpr uint32_t kMaxValues = 1u << 24;

// One frame: false when the connection ended or the frame makes no sense.
bool ReceiveFrame(int fd, uint32_t* count, int64_t* cycleNs, std::vector<double>* values) {
  char header[sizeof(uint32_t) + sizeof(int64_t)];
  if (!RecvAll(fd, header, sizeof header)) return false;
  std::memcpy(count, header, sizeof *count);
  std::memcpy(cycleNs, header + sizeof *count, sizeof *cycleNs);
  if (*count > kMaxValues) return false;
  values->resize(*count);
  return RecvAll(fd, values->data(), *count * sizeof(double));
}

int Observe(int port, int64_t rateMs, const std::string& set, const std::string& latenciesFile) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(uint16_t(port));
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "floor_agent: cannot connect to 127.0.0.1:%d: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  NoDelay(fd.get());
  const std::string request = set + " " + std::to_string(rateMs) + "\n";
  std::vector<double> values;
  uint32_t count = 0;
  int64_t cycleNs = 0;
  const char ack = 1;
  if (!SendAll(fd.get(), request.data(), request.size()) ||
      !ReceiveFrame(fd.get(), &count, &cycleNs, &values) || !SendAll(fd.get(), &ack, 1)) {
    std::fprintf(stderr, "floor_agent: the agent sent no first frame\n");
    return 1;
  }
  std::printf("READY items=%u rejected=0\n", count);
  std::fflush(stdout);

  bool open = false;
  unsigned long long counted = 0;
  std::vector<double> latencies;
  std::string input;
  for (bool stop = false; !stop;) {
    pollfd fds[2] = {{fd.get(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "floor_agent: poll failed: %s\n", std::strerror(errno));
      return 1;
    }
    if (fds[1].revents != 0) {
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) stop = true;  // the script went away: as good as STOP
      input.append(buffer, size_t(std::max<ssize_t>(n, 0)));
      for (size_t nl; (nl = input.find('\n')) != std::string::npos; input.erase(0, nl + 1)) {
        const std::string line = input.substr(0, nl);
        if (line == "START") open = true;
        if (line == "STOP") stop = true;
      }
      if (stop) break;
    }
    if (fds[0].revents != 0) {
      if (!ReceiveFrame(fd.get(), &count, &cycleNs, &values)) {
        std::fprintf(stderr, "floor_agent: the agent closed the connection\n");
        return 1;
      }
      const int64_t arrived = WallNs();
      if (!SendAll(fd.get(), &ack, 1)) {
        std::fprintf(stderr, "floor_agent: the agent closed the connection\n");
        return 1;
      }
      if (open) {
        counted += count;
        latencies.push_back(double(arrived - cycleNs) / 1e6);
      }
    }
  }
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(latenciesFile.c_str(), "w"), std::fclose);
  if (!out) {
    std::fprintf(stderr, "floor_agent: cannot write %s\n", latenciesFile.c_str());
    return 1;
  }
  for (double latency : latencies)
    std::fprintf(out.get(), "%.4f\n", latency);
  out.reset();
  std::printf("RESULT values=%llu callbacks=%zu\n", counted, latencies.size());
  std::fflush(stdout);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: floor_agent serve [--cpu N]... [--disk NAME]... [--net NAME]...\n"
               "       floor_agent observe --port P --rate MS --set small|large "
               "--latencies FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  if (mode == "serve") {
    Instances instances;
    for (int i = 2; i < argc; i += 2) {
      const std::string option = argv[i];
      if (i + 1 >= argc) return Usage();
      if (option == "--cpu") {
        instances.cpus.emplace_back(argv[i + 1]);
      } else if (option == "--disk") {
        instances.disks.emplace_back(argv[i + 1]);
      } else if (option == "--net") {
        instances.interfaces.emplace_back(argv[i + 1]);
      } else {
        return Usage();
      }
    }
    return Serve(std::move(instances));
  }
  if (mode == "observe") {
    long port = 0;
    long long rate = 0;
    std::string set, latencies;
    for (int i = 2; i < argc; i += 2) {
      const std::string option = argv[i];
      if (i + 1 >= argc) return Usage();
      const char* value = argv[i + 1];
      if (option == "--port") {
        port = std::strtol(value, nullptr, 10);
      } else if (option == "--rate") {
        rate = std::strtoll(value, nullptr, 10);
      } else if (option == "--set") {
        set = value;
      } else if (option == "--latencies") {
        latencies = value;
      } else {
        return Usage();
      }
    }
    if (port <= 0 || port > 65535 || rate <= 0 || rate > 3600 * 1000 ||
        (set != "small" && set != "large") || latencies.empty())
      return Usage();
    return Observe(int(port), rate, set, latencies);
  }
  return Usage();
}
