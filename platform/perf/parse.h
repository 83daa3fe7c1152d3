// Hand-written scanning of /proc text: no allocation, no locale, no exceptions.
//
// A Scanner walks a text left to right. Number readers skip leading blanks, accept what they
// can and stop at the first character that is not part of the number; on garbage they yield 0
// and leave the position unmoved, so a malformed file gives zeros rather than a crash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace perf {

class Scanner {
 public:
  explicit Scanner(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool AtEnd() const { return p_ >= end_; }
  std::string_view Rest() const { return {p_, static_cast<std::size_t>(end_ - p_)}; }

  void SkipBlanks() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t'))
      ++p_;
  }
  // Unsigned decimal; 0 when there is none.
  std::uint64_t U64() {
    SkipBlanks();
    std::uint64_t v = 0;
    while (p_ < end_ && static_cast<unsigned>(*p_ - '0') < 10) {
      v = v * 10 + static_cast<unsigned>(*p_ - '0');
      ++p_;
    }
    return v;
  }
  // Signed decimal.
  std::int64_t I64() {
    SkipBlanks();
    bool negative = false;
    if (p_ < end_ && (*p_ == '-' || *p_ == '+')) {
      negative = *p_ == '-';
      ++p_;
    }
    std::uint64_t v = U64();
    return negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  }
  // A decimal with an optional fraction, as hundredths ("0.52" -> 52, "12" -> 1200).
  std::int64_t Hundredths() {
    std::int64_t whole = static_cast<std::int64_t>(U64()) * 100;
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      int digits = 0;
      std::int64_t fraction = 0;
      while (p_ < end_ && static_cast<unsigned>(*p_ - '0') < 10) {
        if (digits < 2) fraction = fraction * 10 + (*p_ - '0');
        ++digits;
        ++p_;
      }
      if (digits == 1) fraction *= 10;
      whole += fraction;
    }
    return whole;
  }
  // The next run of non-blank, non-newline characters.
  std::string_view Word() {
    SkipBlanks();
    const char* start = p_;
    while (p_ < end_ && *p_ != ' ' && *p_ != '\t' && *p_ != '\n')
      ++p_;
    return {start, static_cast<std::size_t>(p_ - start)};
  }
  // Text up to (not including) `c` on the current line; moves past `c` when found.
  std::string_view Until(char c) {
    const char* start = p_;
    while (p_ < end_ && *p_ != c && *p_ != '\n')
      ++p_;
    std::string_view out{start, static_cast<std::size_t>(p_ - start)};
    if (p_ < end_ && *p_ == c) ++p_;
    return out;
  }
  // The rest of the current line, moving to the start of the next one.
  std::string_view Line() {
    const char* start = p_;
    while (p_ < end_ && *p_ != '\n')
      ++p_;
    std::string_view out{start, static_cast<std::size_t>(p_ - start)};
    if (p_ < end_) ++p_;
    return out;
  }
  void SkipLine() {
    while (p_ < end_ && *p_ != '\n')
      ++p_;
    if (p_ < end_) ++p_;
  }
  bool Consume(std::string_view prefix) {
    if (static_cast<std::size_t>(end_ - p_) >= prefix.size() &&
        std::string_view(p_, prefix.size()) == prefix) {
      p_ += prefix.size();
      return true;
    }
    return false;
  }
  bool AtLineEnd() const { return p_ >= end_ || *p_ == '\n'; }
  char Peek() const { return p_ < end_ ? *p_ : '\0'; }
  void Skip(std::size_t n) { p_ = n < static_cast<std::size_t>(end_ - p_) ? p_ + n : end_; }

 private:
  const char* p_;
  const char* end_;
};

// Parses "Key: value [kB]" lines (/proc/meminfo, /proc/<pid>/status) or "key value" lines
// (/proc/vmstat): for each line whose key is one of `keys`, stores its number, multiplied by
// 1024 when the line says "kB", in `out` at the key's position. Keys not found leave `out`
// untouched. Returns how many keys were found.
int ParseKeyedNumbers(std::string_view text, const std::string_view* keys, int keyCount,
                      std::int64_t* out);

// Undoes the octal escapes of /proc/swaps and /proc/mounts ("\040" for a space) into `out`.
void UnescapeOctal(std::string_view in, std::string& out);

}  // namespace perf
