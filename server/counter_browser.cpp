#include "server/counter_browser.h"

#include <algorithm>
#include <cstring>

#include "platform/perf/pdh.h"
#include "server/huv_exception.h"
#include "server/utf8_text.h"

namespace {

// How often a list is asked for again when it grew between the size call and the reading call
// (instances come and go while the cursor lists them).
constexpr int kListAttempts = 4;

// Reads a multi-string by the library's two-call convention. `call(buffer, &chars, sizing)`
// asks for the size when `sizing` is true (buffer null), else fills the buffer. *listChars
// receives the length of the list PDH returned, terminators included.
template <class Call>
HRESULT ReadList(Call call, std::vector<std::string>* names, DWORD* listChars) {
  DWORD chars = 0;
  PDH_STATUS status = call(nullptr, &chars, true);
  std::string list;
  for (int attempt = 1;; ++attempt) {
    if (status != ERROR_SUCCESS && status != PDH_MORE_DATA) return E_FAIL;
    if (chars == 0) break;
    list.assign(chars, '\0');
    DWORD got = chars;
    status = call(list.data(), &got, false);
    if (status == ERROR_SUCCESS) {
      list.resize(std::min(got, chars));
      break;
    }
    if (status != PDH_MORE_DATA || attempt == kListAttempts) return E_FAIL;
    chars = got;
  }

  std::vector<std::string> parsed;
  std::string_view rest = list;
  while (!rest.empty()) {
    std::size_t end = rest.find('\0');
    if (end == 0) break;  // the empty string that ends the list
    parsed.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  *names = std::move(parsed);
  if (listChars) *listChars = static_cast<DWORD>(list.size());
  return S_OK;
}

HRESULT ListObjects(std::vector<std::string>* names) {
  // The size call sets the refresh flag, so the library re-reads its catalogue first.
  return ReadList(
      [](LPWSTR buffer, DWORD* chars, bool sizing) {
        return PdhEnumObjects(nullptr, nullptr, buffer, chars, PERF_DETAIL_WIZARD,
                              sizing ? TRUE : FALSE);
      },
      names, nullptr);
}

HRESULT ListCounters(const std::string& object, std::vector<std::string>* names) {
  return ReadList(
      [&object](LPWSTR buffer, DWORD* chars, bool) {
        return PdhEnumObjectItems(nullptr, nullptr, object.c_str(), buffer, chars, nullptr, nullptr,
                                  PERF_DETAIL_WIZARD, 0);
      },
      names, nullptr);
}

// The instances of `object`. An object "has instances" when the list PDH returns is longer
// than its two terminators.
HRESULT ListInstances(const std::string& object, std::vector<std::string>* names,
                      bool* hasInstances) {
  DWORD listChars = 0;
  HRESULT hr = ReadList(
      [&object](LPWSTR buffer, DWORD* chars, bool) {
        return PdhEnumObjectItems(nullptr, nullptr, object.c_str(), nullptr, nullptr, buffer, chars,
                                  PERF_DETAIL_WIZARD, 0);
      },
      names, &listChars);
  *hasInstances = SUCCEEDED(hr) && listChars > 2;
  return hr;
}

std::string BuildPath(int level, const std::string& object, const std::string& instance,
                      const std::string& counter) {
  if (level == 0) return "\\";
  std::string path = "\\" + object;
  if (!instance.empty()) path += "(" + instance + ")";
  if (!counter.empty()) path += "\\" + counter;
  return path;
}

}  // namespace

CounterBrowser::CounterBrowser() {
  // A failed listing leaves the cursor at root with no children; the next operation that
  // lists will try again.
  ResetToRoot();
}

HRESULT CounterBrowser::ResetToRoot() {
  return GuardHResult([&] {
    object_.assign(1, '\\');  // not = "\\": GCC 12 warns falsely (-Wrestrict) there
    instance_.clear();
    counter_.clear();
    level_ = 0;
    children_.clear();
    std::vector<std::string> objects;
    ThrowIfFailed(ListObjects(&objects));
    children_ = std::move(objects);
    return S_OK;
  });
}

// Every operation lists first and changes the cursor only once nothing can fail any more, so a
// failed operation leaves the cursor where it was.
HRESULT CounterBrowser::MoveDown(const std::string& name) {
  return GuardHResult([&]() -> HRESULT {
    bool listed = std::find(children_.begin(), children_.end(), name) != children_.end();
    switch (level_) {
      case 0:
      case 1: {
        std::vector<std::string> instances;
        bool hasInstances = false;
        ThrowIfFailed(ListInstances(name, &instances, &hasInstances));
        std::string object = name;
        if (hasInstances) {
          if (!listed) return E_INVALIDARG;
          children_ = std::move(instances);
          level_ = 2;
        } else if (listed) {
          std::vector<std::string> counters;
          ThrowIfFailed(ListCounters(name, &counters));
          children_ = std::move(counters);
          instance_.clear();
          level_ = 3;
        } else {
          // A name PDH knows but did not list: the cursor takes it and stays at object level.
          level_ = 1;
        }
        object_ = std::move(object);
        break;
      }
      case 2: {
        if (!listed) return E_INVALIDARG;
        std::vector<std::string> counters;
        ThrowIfFailed(ListCounters(object_, &counters));
        std::string instance = name;
        children_ = std::move(counters);
        instance_ = std::move(instance);
        level_ = 3;
        break;
      }
      default:
        // A counter is a leaf: choosing it empties the child list.
        if (listed) {
          counter_ = name;
          children_.clear();
        }
        break;
    }
    return S_OK;
  });
}

HRESULT CounterBrowser::MoveUp() {
  return GuardHResult([&]() -> HRESULT {
    switch (level_) {
      case 0:
        return E_FAIL;
      case 1:
        return ResetToRoot();
      case 2: {
        std::vector<std::string> objects;
        ThrowIfFailed(ListObjects(&objects));
        children_ = std::move(objects);
        object_.clear();
        instance_.clear();
        counter_.clear();
        level_ = 1;
        break;
      }
      default: {
        std::vector<std::string> instances;
        bool hasInstances = false;
        ThrowIfFailed(ListInstances(object_, &instances, &hasInstances));
        if (hasInstances) {
          children_ = std::move(instances);
          level_ = 2;
        } else {
          std::vector<std::string> objects;
          ThrowIfFailed(ListObjects(&objects));
          children_ = std::move(objects);
          level_ = 1;
        }
        instance_.clear();
        counter_.clear();
        break;
      }
    }
    return S_OK;
  });
}

HRESULT CounterBrowser::SetName(const std::string& name) {
  return GuardHResult([&]() -> HRESULT {
    if (std::find(children_.begin(), children_.end(), name) == children_.end()) return S_OK;
    switch (level_) {
      case 0:
        return E_INVALIDARG;
      case 1:
        object_ = name;
        break;
      case 2:
        instance_ = name;
        break;
      default:
        counter_ = name;
        break;
    }
    return S_OK;
  });
}

std::string CounterBrowser::CurrentName() const {
  switch (level_) {
    case 0:
      return "Root";
    case 1:
      return object_;
    case 2:
      return instance_;
    default:
      return counter_;
  }
}

// Built on demand from the names, so it can never disagree with them.
std::string CounterBrowser::Path() const {
  return BuildPath(level_, object_, instance_, counter_);
}

HRESULT CounterBrowser::RefreshObjects() {
  return GuardHResult([&] {
    std::vector<std::string> objects;
    ThrowIfFailed(ListObjects(&objects));
    children_ = std::move(objects);
    return S_OK;
  });
}

HRESULT CounterBrowser::CopyText(const std::string& text, char* buffer, DWORD bufferChars,
                                 DWORD* chars) {
  if (bufferChars == 0) {
    if (chars == nullptr) return E_POINTER;
    if (text.size() >= 0xFFFFFFFFu) return E_FAIL;
    *chars = static_cast<DWORD>(text.size());
    return S_OK;
  }
  if (buffer == nullptr) return E_POINTER;
  std::string_view part = Utf8Prefix(text, bufferChars - 1);
  std::memcpy(buffer, part.data(), part.size());
  buffer[part.size()] = '\0';
  if (chars) *chars = static_cast<DWORD>(part.size());
  return S_OK;
}
