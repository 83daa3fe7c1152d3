// Test support for the OPC group: a data source whose counter values the tests write
// (/proc/meminfo of a scratch tree, whose memory counters are plain raw counts, so every value a
// cycle reads is the number written), a sink that records every callback, a fake server, and a
// fixture that puts them together.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/git.h"
#include "platform/com/taskmem.h"
#include "platform/perf/perf.h"
#include "platform/perf/test_support.h"
#include "server/catalogue.h"
#include "server/opc_group.h"

namespace group_testing {

using namespace std::chrono_literals;

// Memory counters that are raw counts of one /proc/meminfo line each.
inline const char* const kFree = "\\Memory\\Free & Zero Page List Bytes";  // MemFree
inline const char* const kTotal = "\\Memory\\Total Physical Bytes";        // MemTotal
inline const char* const kBuffers = "\\Memory\\Buffer Bytes";              // Buffers
inline const char* const kDirty = "\\Memory\\Dirty Bytes";                 // Dirty

constexpr OPCHANDLE kClientGroup = 77;
constexpr DWORD kHour = 3'600'000;

struct Call {
  enum Kind { kDataChange, kReadComplete, kWriteComplete, kCancelComplete } kind = kDataChange;
  DWORD transid = 0;
  OPCHANDLE group = 0;
  HRESULT masterQuality = S_OK;
  HRESULT masterError = S_OK;
  std::map<OPCHANDLE, double> values;  // by client handle
  std::size_t count = 0;
  std::vector<WORD> qualities;
  std::vector<VARTYPE> types;
  std::vector<HRESULT> errors;
  std::vector<FILETIME> stamps;
};

class RecordingSink final : public com::ComObject<IOPCDataCallback> {
 public:
  HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                       HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                       HRESULT* pErrors) override {
    Record(Call::kDataChange, dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
           phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                         HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                         HRESULT* pErrors) override {
    Record(Call::kReadComplete, dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
           phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, DWORD, OPCHANDLE*,
                          HRESULT*) override {
    Record(Call::kWriteComplete, dwTransid, hGroup, S_OK, S_OK, 0, nullptr, nullptr, nullptr,
           nullptr, nullptr);
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override {
    Record(Call::kCancelComplete, dwTransid, hGroup, S_OK, S_OK, 0, nullptr, nullptr, nullptr,
           nullptr, nullptr);
    return S_OK;
  }

  // Waits until at least n calls were recorded.
  bool WaitForCalls(std::size_t n, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= n; });
  }
  // Waits for the first call after the first `from` calls that matches; nullopt on time-out.
  std::optional<Call> WaitFor(std::size_t from, std::function<bool(const Call&)> match,
                              std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    std::optional<Call> found;
    changed_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < calls_.size(); ++i) {
        if (match(calls_[i])) {
          found = calls_[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::vector<Call> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

  // Runs inside every call, outside the sink's lock (a test may block the update thread here).
  std::function<void()> during;

 private:
  void Record(Call::Kind kind, DWORD transid, OPCHANDLE group, HRESULT quality, HRESULT error,
              DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* stamps,
              HRESULT* errors) {
    Call call;
    call.kind = kind;
    call.transid = transid;
    call.group = group;
    call.masterQuality = quality;
    call.masterError = error;
    call.count = count;
    for (DWORD i = 0; i < count; ++i) {
      call.values[clients[i]] = values[i].dblVal;
      call.types.push_back(values[i].vt);
      call.qualities.push_back(qualities[i]);
      call.stamps.push_back(stamps[i]);
      call.errors.push_back(errors[i]);
    }
    if (during) during();
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

inline bool IsPeriodic(const Call& c) {
  return c.kind == Call::kDataChange && c.transid == 0;
}

class FakeHost final : public GroupHost {
 public:
  bool IsGroupNameInTable(std::string_view name) override {
    return names.count(std::string(name)) != 0;
  }
  void RefreshCatalogue() override { ++refreshes; }

  std::set<std::string> names;
  int refreshes = 0;
};

class GroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousSource_ = perf::DefaultDataSource();
    std::filesystem::create_directories(scratch_.dir() + "/proc");
    SetMemory(50, 50, 0, 5);
    perf::SetDefaultDataSource(scratch_.dir());
    perf::SetUiLanguage(Language());
    catalogue_.emplace();
    ASSERT_EQ(catalogue_->result(), S_OK);
  }
  // The user-interface language of the catalogue during the test.
  virtual const char* Language() const { return "en"; }

  void TearDown() override {
    catalogue_.reset();
    perf::SetDefaultDataSource(previousSource_);
    perf::SetUiLanguage("");
  }

  // Rewrites /proc/meminfo in one step (rename), so a cycle reads either all old or all new
  // values. Lines without "kB" are bytes: each counter reads exactly the number written.
  void SetMemory(long long freeBytes, long long total, long long buffers, long long dirty) {
    const std::string dir = scratch_.dir() + "/proc/";
    {
      std::ofstream out(dir + "meminfo.new");
      out << "MemTotal: " << total << "\nMemFree: " << freeBytes << "\nMemAvailable: 0"
          << "\nBuffers: " << buffers << "\nCached: 0\nDirty: " << dirty << "\n";
    }
    std::filesystem::rename(dir + "meminfo.new", dir + "meminfo");
  }

  com::ComPtr<OpcGroup> MakeGroup(DWORD rate, float deadband, BOOL active = TRUE,
                                  OPCHANDLE serverHandle = 1) {
    com::ComPtr<OpcGroup> group = OpcGroup::Create(&host_, serverHandle, ServerLocale());
    EXPECT_TRUE(group);
    DWORD revised = 0;
    OPCHANDLE client = kClientGroup;
    EXPECT_TRUE(
        SUCCEEDED(group->SetState(&rate, &revised, &active, nullptr, &deadband, nullptr, &client)));
    return group;
  }

  // A group with a sink and items whose first cycle runs only once every item is in: the
  // thread's first cycle at its start could otherwise see only some of them. The group is made
  // inactive, and its activation runs the first cycle at once.
  struct Started {
    com::ComPtr<OpcGroup> group;
    com::ComPtr<RecordingSink> sink;
    std::vector<OPCHANDLE> handles;
  };
  Started Start(DWORD rate, float deadband, const std::vector<std::string>& paths) {
    Started s;
    s.group = MakeGroup(rate, deadband, FALSE);
    s.sink = com::MakeObject<RecordingSink>();
    Advise(s.group.Get(), s.sink.Get());
    s.handles = AddItems(s.group.Get(), paths);
    EXPECT_EQ(SetActive(s.group.Get(), TRUE), S_OK);
    return s;
  }

  static com::ComPtr<IConnectionPoint> Point(OpcGroup* group) {
    com::ComPtr<IConnectionPoint> point;
    EXPECT_EQ(group->FindConnectionPoint(IID_IOPCDataCallback, point.ReleaseAndGetAddressOf()),
              S_OK);
    return point;
  }

  static DWORD Advise(OpcGroup* group, IUnknown* sink) {
    DWORD cookie = 0;
    EXPECT_EQ(Point(group)->Advise(sink, &cookie), S_OK);
    return cookie;
  }

  // Adds the paths with client handles 100, 101, ...; returns the server handles.
  static std::vector<OPCHANDLE> AddItems(OpcGroup* group, const std::vector<std::string>& paths,
                                         BOOL active = TRUE) {
    std::vector<OPCITEMDEF> defs(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      defs[i].szItemID = const_cast<LPWSTR>(paths[i].c_str());
      defs[i].bActive = active;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors),
              S_OK);
    std::vector<OPCHANDLE> handles;
    for (std::size_t i = 0; results && i < paths.size(); ++i)
      handles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return handles;
  }

  // Returns once no cycle is running: every cycle holds the group lock until its callbacks
  // have returned, and SetClientHandles takes that lock.
  static void WaitForRunningCycle(OpcGroup* group) {
    OPCHANDLE unknown = 0xFFFFFF00, client = 0;
    HRESULT* errors = nullptr;
    EXPECT_EQ(group->SetClientHandles(1, &unknown, &client, &errors), S_FALSE);
    CoTaskMemFree(errors);
  }

  static HRESULT SetRate(OpcGroup* group, DWORD rate, DWORD* revised = nullptr) {
    DWORD r = 0;
    HRESULT hr =
        group->SetState(&rate, revised ? revised : &r, nullptr, nullptr, nullptr, nullptr, nullptr);
    return hr;
  }

  static HRESULT SetActive(OpcGroup* group, BOOL active) {
    DWORD revised = 0;
    return group->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
  }

  perf::testing::Scratch scratch_;
  FakeHost host_;

 private:
  std::string previousSource_;
  std::optional<CatalogueQueryScope> catalogue_;
};

}  // namespace group_testing
