#include "platform/perf/counter_path.h"

#include "platform/perf/names.h"

namespace perf {

namespace {

// True when `instance` ends in "#" and 1 to 9 digits, which the parser takes as an index.
bool EndsWithIndex(std::string_view instance) {
  std::size_t hash = instance.rfind('#');
  if (hash == std::string_view::npos || hash == 0 || hash + 1 >= instance.size() ||
      instance.size() - hash - 1 > 9) {
    return false;
  }
  for (char c : instance.substr(hash + 1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string CounterPath::FullInstance() const {
  if (parent.empty()) return instance;
  return parent + "/" + instance;
}

PDH_STATUS ParseCounterPath(std::string_view text, CounterPath& out) {
  out = CounterPath();
  if (text.empty() || text.size() > kMaxCounterPath) return PDH_INVALID_PATH;
  if (text.find('\0') != std::string_view::npos) return PDH_INVALID_PATH;

  std::string_view rest = text;
  if (rest.size() >= 2 && rest[0] == '\\' && rest[1] == '\\') {
    std::size_t end = rest.find('\\', 2);
    if (end == std::string_view::npos || end == 2) return PDH_INVALID_PATH;
    out.machine = std::string(rest.substr(2, end - 2));
    rest = rest.substr(end);
  }
  if (rest.empty() || rest[0] != '\\') return PDH_INVALID_PATH;

  std::size_t last = rest.rfind('\\');
  if (last == 0 || last + 1 >= rest.size()) return PDH_INVALID_PATH;
  out.counter = std::string(rest.substr(last + 1));
  std::string_view head = rest.substr(1, last - 1);

  std::size_t open = head.find('(');
  if (open == std::string_view::npos) {
    if (head.find(')') != std::string_view::npos) return PDH_INVALID_PATH;
    if (head.empty()) return PDH_INVALID_PATH;
    out.object = std::string(head);
    return ERROR_SUCCESS;
  }
  if (open == 0 || head.back() != ')' || head.size() < open + 3) return PDH_INVALID_PATH;
  out.object = std::string(head.substr(0, open));
  if (out.object.find(')') != std::string::npos) return PDH_INVALID_PATH;
  std::string_view instance = head.substr(open + 1, head.size() - open - 2);

  // "#n": the n-th instance of the name.
  if (EndsWithIndex(instance)) {
    std::size_t hash = instance.rfind('#');
    DWORD index = 0;
    for (char c : instance.substr(hash + 1))
      index = index * 10 + static_cast<DWORD>(c - '0');
    out.index = index;
    instance = instance.substr(0, hash);
  }
  // The first "/" with text before it splits off a parent ("/home" keeps its leading "/").
  std::size_t slash = instance.find('/', 1);
  if (slash != std::string_view::npos && slash + 1 < instance.size()) {
    out.parent = std::string(instance.substr(0, slash));
    instance = instance.substr(slash + 1);
  }
  out.hasInstance = true;
  out.instance = std::string(instance);
  return ERROR_SUCCESS;
}

std::string MakeCounterPath(std::string_view machine, std::string_view object,
                            std::string_view instance, std::string_view parent, DWORD index,
                            std::string_view counter) {
  std::string path;
  path.reserve(machine.size() + object.size() + instance.size() + parent.size() + counter.size() +
               16);
  if (!machine.empty()) {
    if (machine.substr(0, 2) != "\\\\") path += "\\\\";
    path += machine;
  }
  path += '\\';
  path += object;
  if (!instance.empty()) {
    path += '(';
    std::size_t start = path.size();
    if (!parent.empty()) {
      path += parent;
      path += '/';
    }
    path += instance;
    if (index != 0 && index != 0xFFFFFFFF) {
      path += '#';
      path += std::to_string(index);
    } else if (EndsWithIndex(std::string_view(path).substr(start))) {
      // Without it the name's own "#n" would read back as an index.
      path += "#0";
    }
    path += ')';
  }
  path += '\\';
  path += counter;
  return path;
}

bool IsLocalMachine(std::string_view machine, std::string_view hostName) {
  while (!machine.empty() && machine[0] == '\\')
    machine.remove_prefix(1);
  if (machine.empty() || hostName.empty()) return false;
  if (NamesEqual(machine, hostName)) return true;
  // The short name of a fully qualified host name, and the reverse.
  std::size_t dot = hostName.find('.');
  if (dot != std::string_view::npos && NamesEqual(machine, hostName.substr(0, dot))) return true;
  dot = machine.find('.');
  return dot != std::string_view::npos && NamesEqual(machine.substr(0, dot), hostName);
}

}  // namespace perf
