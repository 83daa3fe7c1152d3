#include "platform/perf/source.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

#include "platform/perf/parse.h"

namespace perf {
namespace {

// Reads from `fd` at offset 0 until end of file, growing `buffer` as needed. A read that does
// not fill the buffer is taken as the end: /proc and /sys files hand out all they have up to
// the size asked for, so this saves the second system call that would only confirm the end.
bool ReadAll(int fd, std::vector<char>& buffer, std::string_view& text) {
  if (buffer.size() < 4096) buffer.resize(4096);
  std::size_t used = 0;
  for (;;) {
    if (used == buffer.size()) buffer.resize(buffer.size() * 2);
    std::size_t room = buffer.size() - used;
    ssize_t n = pread(fd, buffer.data() + used, room, static_cast<off_t>(used));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    used += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < room) break;
  }
  text = std::string_view(buffer.data(), used);
  return true;
}

}  // namespace

SourceFile::SourceFile(SourceFile&& other) noexcept
    : path_(std::move(other.path_)),
      keepOpen_(other.keepOpen_),
      fd_(other.fd_),
      buffer_(std::move(other.buffer_)) {
  other.fd_ = -1;
}

SourceFile& SourceFile::operator=(SourceFile&& other) noexcept {
  if (this != &other) {
    Close();
    path_ = std::move(other.path_);
    keepOpen_ = other.keepOpen_;
    fd_ = other.fd_;
    buffer_ = std::move(other.buffer_);
    other.fd_ = -1;
  }
  return *this;
}

SourceFile::~SourceFile() {
  Close();
}

void SourceFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SourceFile::Read(std::string_view& text) {
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
  }
  bool ok = ReadAll(fd_, buffer_, text);
  if (!ok || !keepOpen_) Close();
  return ok;
}

bool ReadWholeFile(const char* path, std::vector<char>& buffer, std::string_view& text) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ReadAll(fd, buffer, text);
  ::close(fd);
  return ok;
}

SourceSet::SourceSet(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/')
    root_.pop_back();
  if (root_ == "/") root_.clear();
}

std::string SourceSet::Path(std::string_view rel) const {
  std::string path = root_;
  path += '/';
  path += rel;
  return path;
}

int SourceSet::Register(std::string_view rel) {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].rel == rel) return static_cast<int>(i);
  }
  Entry entry;
  entry.rel = std::string(rel);
  entry.file = SourceFile(Path(rel), live());
  entries_.push_back(std::move(entry));
  return static_cast<int>(entries_.size() - 1);
}

bool SourceSet::Read(int id, std::string_view& text) {
  if (id < 0 || static_cast<std::size_t>(id) >= entries_.size()) return false;
  Entry& entry = entries_[static_cast<std::size_t>(id)];
  if (entry.generation != generation_) {
    entry.generation = generation_;
    entry.ok = entry.file.Read(entry.text);
    if (!entry.ok) entry.text = {};
  }
  text = entry.text;
  return entry.ok;
}

bool SourceSet::StatFs(const std::string& mountPoint, FsStats& out) {
  if (live()) {
    struct statvfs st;
    if (statvfs(mountPoint.c_str(), &st) != 0) return false;
    out.blockSize = st.f_frsize ? st.f_frsize : st.f_bsize;
    out.blocks = st.f_blocks;
    out.blocksFree = st.f_bfree;
    out.blocksAvail = st.f_bavail;
    out.files = st.f_files;
    out.filesFree = st.f_ffree;
    return true;
  }
  if (statfsId_ < 0) statfsId_ = Register("statfs");
  std::string_view text;
  if (!Read(statfsId_, text)) return false;
  Scanner s(text);
  std::string mount;
  while (!s.AtEnd()) {
    UnescapeOctal(s.Word(), mount);
    if (mount == mountPoint) {
      out.blockSize = s.U64();
      out.blocks = s.U64();
      out.blocksFree = s.U64();
      out.blocksAvail = s.U64();
      out.files = s.U64();
      out.filesFree = s.U64();
      return true;
    }
    s.SkipLine();
  }
  return false;
}

const std::string& SourceSet::HostName() {
  if (!hostNameRead_) {
    hostNameRead_ = true;
    std::vector<char> buffer;
    std::string_view text;
    if (ReadWholeFile(Path("proc/sys/kernel/hostname").c_str(), buffer, text)) {
      Scanner s(text);
      hostName_ = std::string(s.Word());
    }
    if (hostName_.empty() && live()) {
      char name[256] = {};
      if (gethostname(name, sizeof name - 1) == 0) hostName_ = name;
    }
  }
  return hostName_;
}

std::int64_t SourceSet::ClockTicksPerSecond() {
  static const std::int64_t hz = [] {
    long v = sysconf(_SC_CLK_TCK);
    return v > 0 ? static_cast<std::int64_t>(v) : 100;
  }();
  return hz;
}

std::int64_t SourceSet::PageSize() {
  static const std::int64_t size = [] {
    long v = sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<std::int64_t>(v) : 4096;
  }();
  return size;
}

}  // namespace perf
