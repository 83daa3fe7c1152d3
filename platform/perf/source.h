// Where raw performance data comes from: the live /proc and /sys, or a captured tree.
//
// A SourceSet belongs to one query. Files registered with it are read at most once per
// collection however many objects of the query need them (/proc/stat feeds both Processor and
// System), and on the live machine their descriptors stay open and are re-read with pread,
// which costs less than opening /proc files again. A captured tree (a directory holding
// `proc/` and `sys/`) is re-opened at every read instead, so a test may replace its files
// between collections. Captured trees also stand in for what is not a file: `statfs` at the
// tree's root holds "mountpoint blocksize blocks bfree bavail files ffree" lines (the mount
// point escaped as in /proc/mounts) for the
// filesystem statistics that the live machine answers with statvfs(2).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace perf {

// A file re-read from offset 0 on demand. Owns its descriptor and its buffer.
class SourceFile {
 public:
  SourceFile() = default;
  // `keepOpen`: keep the descriptor between reads (live /proc); otherwise open for each read.
  SourceFile(std::string path, bool keepOpen) : path_(std::move(path)), keepOpen_(keepOpen) {}
  SourceFile(SourceFile&& other) noexcept;
  SourceFile& operator=(SourceFile&& other) noexcept;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile();

  // Reads the whole file. On success `text` views the content until the next Read.
  bool Read(std::string_view& text);
  void Close();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool keepOpen_ = false;
  int fd_ = -1;
  std::vector<char> buffer_;
};

// Reads a whole file at `path` into `buffer` (used for one-shot reads, e.g. per-process files).
bool ReadWholeFile(const char* path, std::vector<char>& buffer, std::string_view& text);

struct FsStats {
  std::uint64_t blockSize = 0;
  std::uint64_t blocks = 0;
  std::uint64_t blocksFree = 0;
  std::uint64_t blocksAvail = 0;
  std::uint64_t files = 0;
  std::uint64_t filesFree = 0;
};

class SourceSet {
 public:
  // `root`: empty for the live machine, else the directory of a captured tree.
  explicit SourceSet(std::string root);

  bool live() const { return root_.empty(); }
  // Absolute path of `rel` ("proc/stat") under the root.
  std::string Path(std::string_view rel) const;
  const std::string& root() const { return root_; }

  // Registers a file under the root; the same name gives the same id.
  int Register(std::string_view rel);
  // The file's content for the current collection, read on first use in the collection.
  bool Read(int id, std::string_view& text);
  // Engine: a new collection begins at `now` (100 ns, the collection clock); cached contents
  // are stale.
  void NextCollection(std::int64_t now) {
    ++generation_;
    now_ = now;
  }
  // The time of the current collection, for providers whose time base is per instance.
  std::int64_t now() const { return now_; }

  // Filesystem statistics of the filesystem mounted at `mountPoint`.
  bool StatFs(const std::string& mountPoint, FsStats& out);

  // The host name of the machine the data describes.
  const std::string& HostName();

  static std::int64_t ClockTicksPerSecond();  // USER_HZ, the unit of /proc times
  static std::int64_t PageSize();

 private:
  struct Entry {
    std::string rel;
    SourceFile file;
    std::uint64_t generation = 0;
    bool ok = false;
    std::string_view text;
  };
  std::string root_;
  std::uint64_t generation_ = 1;
  std::int64_t now_ = 0;
  std::vector<Entry> entries_;
  std::string hostName_;
  bool hostNameRead_ = false;
  int statfsId_ = -1;
};

}  // namespace perf
