#include "platform/perf/catalogue.h"

#include <algorithm>

namespace perf {

void InstanceTable::Begin(FieldId fieldCount) {
  fieldCount_ = fieldCount;
  rows_ = 0;
}

std::int64_t* InstanceTable::Add(std::string_view name, std::uint64_t key) {
  if (rows_ == names_.size()) {
    names_.emplace_back(name);
    keys_.push_back(key);
  } else {
    names_[rows_].assign(name.data(), name.size());
    keys_[rows_] = key;
  }
  std::size_t need = (rows_ + 1) * fieldCount_;
  if (values_.size() < need) values_.resize(std::max(need, values_.size() * 2));
  std::int64_t* row = &values_[rows_ * fieldCount_];
  std::fill(row, row + fieldCount_, 0);
  ++rows_;
  return row;
}

std::int64_t* InstanceTable::AddTotal(FieldSet summed) {
  std::size_t n = rows_;
  std::int64_t* total = Add("_Total");
  for (FieldId f = 0; f < fieldCount_; ++f) {
    if (!summed.Has(f)) continue;
    std::int64_t sum = 0;
    for (std::size_t r = 0; r < n; ++r)
      sum += values_[r * fieldCount_ + f];
    total[f] = sum;
  }
  return total;
}

void SanitizeInstanceName(std::string_view raw, std::string& out) {
  out.clear();
  for (char c : raw) {
    switch (c) {
      case '(':
        out += '[';
        break;
      case ')':
        out += ']';
        break;
      case '#':
      case '\\':
        out += '_';
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '_' : c;
    }
  }
  if (out.empty()) out.push_back('_');
  // A process may call itself "_Total"; it must not stand in for the totals row.
  if (out.size() == 6 && out[0] == '_' && (out[1] | 0x20) == 't' && (out[2] | 0x20) == 'o' &&
      (out[3] | 0x20) == 't' && (out[4] | 0x20) == 'a' && (out[5] | 0x20) == 'l') {
    out.push_back('_');
  }
}

}  // namespace perf
