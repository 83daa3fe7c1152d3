// The PDH interface as a caller sees it: statuses, size queries, handles, languages, and a
// look at the live machine.
#include "platform/perf/pdh.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "platform/perf/names.h"
#include "platform/perf/perf.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

std::vector<std::string> Split(const std::string& multi) {
  std::vector<std::string> out;
  for (const char* p = multi.c_str(); *p; p += std::strlen(p) + 1)
    out.emplace_back(p);
  return out;
}

// Catalogue calls read snapshot a; the language is English unless a test says otherwise.
class PdhTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDefaultDataSource(TestData("a"));
    SetUiLanguage("en");
  }
  void TearDown() override {
    SetDefaultDataSource("");
    SetUiLanguage("");
  }
};

TEST_F(PdhTest, ValidatePathStatuses) {
  struct Case {
    const char* path;
    PDH_STATUS status;
  } cases[] = {
      {"\\Processor(_Total)\\% Processor Time", ERROR_SUCCESS},
      {"\\Memory\\Available Bytes", ERROR_SUCCESS},
      {"\\\\testhost\\Memory\\Available Bytes", ERROR_SUCCESS},
      {"\\\\TESTHOST\\memory\\AVAILABLE bytes", ERROR_SUCCESS},
      {"\\Process(bash#1)\\ID Process", ERROR_SUCCESS},
      {"\\Paging File(/swap file)\\% Usage", ERROR_SUCCESS},
      {"\\\\otherhost\\Memory\\Available Bytes", PDH_CSTATUS_NO_MACHINE},
      {"\\No Such Object\\Available Bytes", PDH_CSTATUS_NO_OBJECT},
      {"\\Memory\\No Such Counter", PDH_CSTATUS_NO_COUNTER},
      {"\\Processor(7)\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},
      {"\\Processor\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},
      {"\\Memory(0)\\Available Bytes", PDH_CSTATUS_NO_INSTANCE},
      {"\\Process(bash#2)\\ID Process", PDH_CSTATUS_NO_INSTANCE},
      {"\\Processor(*)\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},
      {"Memory\\Available Bytes", PDH_CSTATUS_BAD_COUNTERNAME},
      {"\\Processor(_Total\\% Processor Time", PDH_CSTATUS_BAD_COUNTERNAME},
      {"", PDH_CSTATUS_BAD_COUNTERNAME},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PdhValidatePath(c.path), c.status) << c.path;
  EXPECT_EQ(PdhValidatePath(nullptr), PDH_INVALID_ARGUMENT);
}

TEST_F(PdhTest, HostileInputGivesStatuses) {
  std::vector<std::string> inputs = {"\\",
                                     "\\\\",
                                     "((((",
                                     "))))",
                                     "\\(\\)\\",
                                     "\\Memory\\Avail\0able Bytes",
                                     std::string("\\Memory\0\\Available Bytes", 24),
                                     "\\Processor((_Total))\\% Processor Time",
                                     "\\Processor(_Total))\\% Processor Time",
                                     "\\\x01\x02\\\x7f",
                                     "\\\xff\xfe(\xc3)\\\xc3\x28",
                                     "\\Memory\\" + std::string(1 << 20, 'x'),
                                     "\\" + std::string(1 << 16, '(') + "\\x",
                                     std::string(100000, '\\'),
                                     "\\Process(" + std::string(5000, '#') + ")\\ID Process",
                                     "\\Process(a#99999999999999999999)\\ID Process",
                                     "\\Process(/)\\ID Process",
                                     "\\Process(//)\\ID Process"};
  const std::set<PDH_STATUS> allowed = {PDH_CSTATUS_BAD_COUNTERNAME, PDH_CSTATUS_NO_OBJECT,
                                        PDH_CSTATUS_NO_COUNTER, PDH_CSTATUS_NO_INSTANCE,
                                        PDH_CSTATUS_NO_MACHINE};
  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQuery(nullptr, 0, &query), ERROR_SUCCESS);
  for (const std::string& input : inputs) {
    PDH_STATUS status = PdhValidatePath(input.c_str());
    EXPECT_TRUE(allowed.count(status)) << std::hex << status;
    PDH_HCOUNTER counter = nullptr;
    PDH_STATUS added = PdhAddCounter(query, input.c_str(), 0, &counter);
    if (added == ERROR_SUCCESS) {
      // Only a well-formed path to a missing instance is accepted by the query (processes
      // come and go); it reads as "no instance".
      EXPECT_EQ(status, PDH_CSTATUS_NO_INSTANCE);
      EXPECT_EQ(PdhRemoveCounter(counter), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(added, status);
    }
    DWORD size = 0;
    PdhParseCounterPath(input.c_str(), nullptr, &size, 0);
  }
  // The embedded NUL ends the text, as it would for any C caller.
  EXPECT_EQ(PdhValidatePath(std::string("\\Memory\\Avail\0able Bytes", 24).c_str()),
            PDH_CSTATUS_NO_COUNTER);
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

TEST_F(PdhTest, ParseCounterPathSizeQueryThenFill) {
  const char* path = "\\\\testhost\\Process(parent/child#3)\\ID Process";
  DWORD size = 0;
  ASSERT_EQ(PdhParseCounterPath(path, nullptr, &size, 0), PDH_MORE_DATA);
  ASSERT_GT(size, sizeof(PDH_COUNTER_PATH_ELEMENTS));
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  auto* e = reinterpret_cast<PDH_COUNTER_PATH_ELEMENTS*>(buffer.data());
  DWORD shortSize = size - 1;
  EXPECT_EQ(PdhParseCounterPath(path, e, &shortSize, 0), PDH_MORE_DATA);
  EXPECT_EQ(shortSize, size);
  ASSERT_EQ(PdhParseCounterPath(path, e, &size, 0), ERROR_SUCCESS);
  EXPECT_STREQ(e->szMachineName, "\\\\testhost");
  EXPECT_STREQ(e->szObjectName, "Process");
  EXPECT_STREQ(e->szParentInstance, "parent");
  EXPECT_STREQ(e->szInstanceName, "child");
  EXPECT_EQ(e->dwInstanceIndex, 3u);
  EXPECT_STREQ(e->szCounterName, "ID Process");
  EXPECT_EQ(PdhParseCounterPath("\\Memory", nullptr, &size, 0), PDH_INVALID_PATH);

  // Back to a path, the machine left out as the server's translation does.
  e->szMachineName = nullptr;
  e->dwInstanceIndex = 0xFFFFFFFF;
  DWORD chars = 0;
  ASSERT_EQ(PdhMakeCounterPath(e, nullptr, &chars, 0), PDH_MORE_DATA);
  std::string made(chars, '\0');
  DWORD shortChars = chars - 1;
  EXPECT_EQ(PdhMakeCounterPath(e, made.data(), &shortChars, 0), PDH_MORE_DATA);
  ASSERT_EQ(PdhMakeCounterPath(e, made.data(), &chars, 0), ERROR_SUCCESS);
  EXPECT_STREQ(made.c_str(), "\\Process(parent/child)\\ID Process");
  EXPECT_EQ(chars, made.size());
  e->szCounterName = nullptr;
  EXPECT_EQ(PdhMakeCounterPath(e, made.data(), &chars, 0), PDH_INVALID_ARGUMENT);
}

TEST_F(PdhTest, EnumerationSizeQueries) {
  DWORD size = 0;
  ASSERT_EQ(PdhEnumObjects(nullptr, nullptr, nullptr, &size, PERF_DETAIL_WIZARD, TRUE),
            PDH_MORE_DATA);
  std::string list(size, '\0');
  DWORD shortSize = size - 1;
  EXPECT_EQ(PdhEnumObjects(nullptr, nullptr, list.data(), &shortSize, PERF_DETAIL_WIZARD, FALSE),
            PDH_MORE_DATA);
  EXPECT_EQ(shortSize, size);
  ASSERT_EQ(PdhEnumObjects(nullptr, nullptr, list.data(), &size, PERF_DETAIL_WIZARD, FALSE),
            ERROR_SUCCESS);
  EXPECT_EQ(list.back(), '\0');
  EXPECT_EQ(list[list.size() - 2], '\0');
  auto objects = Split(list);
  for (const char* name :
       {"LogicalDisk", "Memory", "Paging File", "PhysicalDisk", "Process", "Processor", "System"}) {
    EXPECT_NE(std::find(objects.begin(), objects.end(), name), objects.end()) << name;
  }
  EXPECT_TRUE(std::is_sorted(objects.begin(), objects.end(), [](auto& a, auto& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }));
  EXPECT_EQ(PdhEnumObjects(nullptr, "otherhost", nullptr, &size, PERF_DETAIL_WIZARD, FALSE),
            PDH_CSTATUS_NO_MACHINE);

  // Counters only, for an object without instances: its instance list is empty.
  DWORD counters = 0, instances = 99;
  ASSERT_EQ(PdhEnumObjectItems(nullptr, nullptr, "Memory", nullptr, &counters, nullptr, &instances,
                               PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  EXPECT_EQ(instances, 0u);
  std::string counterList(counters, '\0');
  ASSERT_EQ(PdhEnumObjectItems(nullptr, nullptr, "Memory", counterList.data(), &counters, nullptr,
                               nullptr, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(Split(counterList).front(), "Available Bytes");

  // The detail level hides the advanced counters from a novice.
  auto countersAt = [](DWORD level) {
    DWORD n = 0;
    PdhEnumObjectItems(nullptr, nullptr, "Processor", nullptr, &n, nullptr, nullptr, level, 0);
    std::string l(n, '\0');
    PdhEnumObjectItems(nullptr, nullptr, "Processor", l.data(), &n, nullptr, nullptr, level, 0);
    return Split(l);
  };
  auto novice = countersAt(PERF_DETAIL_NOVICE), wizard = countersAt(PERF_DETAIL_WIZARD);
  EXPECT_EQ(std::count(novice.begin(), novice.end(), "% Nice Time"), 0);
  EXPECT_EQ(std::count(wizard.begin(), wizard.end(), "% Nice Time"), 1);
  EXPECT_EQ(PdhEnumObjectItems(nullptr, nullptr, "Nope", nullptr, &counters, nullptr, nullptr,
                               PERF_DETAIL_WIZARD, 0),
            PDH_CSTATUS_NO_OBJECT);
}

TEST_F(PdhTest, RateCountersNeedTwoCollections) {
  UseFakeClock(1'000'000'000);
  TestQuery query("");  // the default data source
  PDH_HCOUNTER rate = query.Add("\\Processor(_Total)\\% Processor Time");
  PDH_HCOUNTER raw = query.Add("\\Memory\\Available Bytes");
  PDH_HCOUNTER faults = query.Add("\\Memory\\Page Faults/sec");
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_EQ(PdhGetFormattedCounterValue(raw, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_DATA);
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(PdhGetFormattedCounterValue(rate, PDH_FMT_DOUBLE, &type, &value), PDH_INVALID_DATA);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_INVALID_DATA);
  EXPECT_EQ(type, PERF_100NSEC_TIMER_INV);
  EXPECT_DOUBLE_EQ(query.Value(raw), 12000000.0 * 1024);
  AdvanceClock(10'000'000);
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  // The same snapshot twice: no faults in a second; but the CPUs' own clocks did not move, so
  // their percentages have no value yet.
  EXPECT_DOUBLE_EQ(query.Value(faults), 0.0);
  EXPECT_EQ(PdhGetFormattedCounterValue(rate, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_DATA);
  UseRealClock();
}

TEST_F(PdhTest, FormatsScalesAndCaps) {
  Scratch scratch;
  scratch.Load("a");
  std::ofstream(scratch.dir() + "/proc/meminfo")
      << "MemAvailable: 12000000 kB\nCommitLimit: 1000 kB\nCommitted_AS: 2500 kB\n";
  TestQuery query(scratch.dir());
  PDH_HCOUNTER percent = query.Add("\\Memory\\% Committed Bytes In Use");
  PDH_HCOUNTER mbytes = query.Add("\\Memory\\Available MBytes");
  PDH_HCOUNTER bytes = query.Add("\\Memory\\Available Bytes");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(percent, PDH_FMT_DOUBLE), 100.0);
  EXPECT_DOUBLE_EQ(query.Value(percent, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100), 250.0);
  PDH_FMT_COUNTERVALUE value{};
  ASSERT_EQ(PdhGetFormattedCounterValue(mbytes, PDH_FMT_LONG, nullptr, &value), ERROR_SUCCESS);
  EXPECT_EQ(value.longValue, 11718);
  ASSERT_EQ(PdhGetFormattedCounterValue(bytes, PDH_FMT_LARGE, nullptr, &value), ERROR_SUCCESS);
  EXPECT_EQ(value.largeValue, 12000000ll * 1024);
  ASSERT_EQ(PdhSetCounterScaleFactor(mbytes, -3), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(mbytes), 11.718);
  EXPECT_DOUBLE_EQ(query.Value(mbytes, PDH_FMT_DOUBLE | PDH_FMT_NOSCALE), 11718.0);
  EXPECT_EQ(PdhSetCounterScaleFactor(mbytes, 8), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhGetFormattedCounterValue(mbytes, 0, nullptr, &value), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhGetFormattedCounterValue(mbytes, PDH_FMT_DOUBLE, nullptr, nullptr),
            PDH_INVALID_ARGUMENT);
}

TEST_F(PdhTest, HandlesAfterCloseAndMadeUpHandles) {
  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQuery(nullptr, 7, &query), ERROR_SUCCESS);
  EXPECT_EQ(PdhCollectQueryData(query), PDH_NO_DATA);
  PDH_HCOUNTER a = nullptr, b = nullptr;
  ASSERT_EQ(PdhAddCounter(query, "\\Memory\\Available Bytes", 1, &a), ERROR_SUCCESS);
  ASSERT_EQ(PdhAddCounter(query, "\\System\\Processes", 2, &b), ERROR_SUCCESS);
  ASSERT_EQ(PdhRemoveCounter(a), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_EQ(PdhGetFormattedCounterValue(a, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhRemoveCounter(a), PDH_INVALID_HANDLE);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  ASSERT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
  EXPECT_EQ(PdhCloseQuery(query), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(query), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhAddCounter(query, "\\Memory\\Available Bytes", 0, &a), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_HANDLE);
  auto bogus = reinterpret_cast<PDH_HCOUNTER>(static_cast<std::uintptr_t>(0xdeadbeef));
  EXPECT_EQ(PdhGetFormattedCounterValue(bogus, PDH_FMT_DOUBLE, nullptr, &value),
            PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhGetFormattedCounterValue(nullptr, PDH_FMT_DOUBLE, nullptr, &value),
            PDH_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(PdhGetCounterInfo(bogus, FALSE, &size, nullptr), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCloseQuery(reinterpret_cast<PDH_HQUERY>(bogus)), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhOpenQuery("/no/such/directory", 0, &query), PDH_FILE_NOT_FOUND);
}

TEST_F(PdhTest, CounterInfo) {
  TestQuery query("");
  PDH_HCOUNTER counter = nullptr;
  ASSERT_EQ(PdhAddCounter(query.handle(), "\\Processor(_Total)\\% Processor Time", 42, &counter),
            ERROR_SUCCESS);
  DWORD size = 0;
  ASSERT_EQ(PdhGetCounterInfo(counter, TRUE, &size, nullptr), PDH_MORE_DATA);
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  auto* info = reinterpret_cast<PDH_COUNTER_INFO*>(buffer.data());
  ASSERT_EQ(PdhGetCounterInfo(counter, TRUE, &size, info), ERROR_SUCCESS);
  EXPECT_EQ(info->dwLength, size);
  EXPECT_EQ(info->dwType, PERF_100NSEC_TIMER_INV);
  EXPECT_EQ(info->dwType & PERF_SIZE_MASK, PERF_SIZE_LARGE);
  EXPECT_EQ(info->dwUserData, 42u);
  EXPECT_STREQ(info->szFullPath, "\\\\testhost\\Processor(_Total)\\% Processor Time");
  EXPECT_STREQ(info->szObjectName, "Processor");
  EXPECT_STREQ(info->szInstanceName, "_Total");
  EXPECT_EQ(info->szParentInstance, nullptr);
  EXPECT_STREQ(info->szCounterName, "% Processor Time");
  EXPECT_NE(std::strstr(info->szExplainText, "/proc/stat"), nullptr);
}

TEST_F(PdhTest, GermanNames) {
  SetUiLanguage("de");
  EXPECT_EQ(UiLanguage(), 0x0407);
  DWORD size = 0;
  PdhEnumObjects(nullptr, nullptr, nullptr, &size, PERF_DETAIL_WIZARD, TRUE);
  std::string list(size, '\0');
  ASSERT_EQ(PdhEnumObjects(nullptr, nullptr, list.data(), &size, PERF_DETAIL_WIZARD, FALSE),
            ERROR_SUCCESS);
  auto objects = Split(list);
  for (const char* name : {"Prozessor", "Arbeitsspeicher", "Physikalischer Datenträger",
                           "Logischer Datenträger", "Auslagerungsdatei", "Prozess", "System"}) {
    EXPECT_NE(std::find(objects.begin(), objects.end(), name), objects.end()) << name;
  }
  EXPECT_EQ(std::find(objects.begin(), objects.end(), "Processor"), objects.end());

  char name[2048];
  DWORD chars = sizeof name;
  ASSERT_EQ(PdhLookupPerfNameByIndex(nullptr, 238, name, &chars), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Prozessor");
  chars = sizeof name;
  ASSERT_EQ(PdhLookupPerfNameByIndex(nullptr, 6, name, &chars), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Prozessorzeit (%)");
  EXPECT_EQ(chars, std::strlen("Prozessorzeit (%)") + 1);
  chars = 3;
  EXPECT_EQ(PdhLookupPerfNameByIndex(nullptr, 6, name, &chars), PDH_MORE_DATA);
  chars = sizeof name;
  EXPECT_EQ(PdhLookupPerfNameByIndex(nullptr, 3, name, &chars), PDH_INVALID_ARGUMENT);

  // Paths are in the local language; English ones do not validate.
  EXPECT_EQ(PdhValidatePath("\\Prozessor(_Total)\\Prozessorzeit (%)"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePath("\\Arbeitsspeicher\\Verfügbare Bytes"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePath("\\Processor(_Total)\\% Processor Time"), PDH_CSTATUS_NO_OBJECT);
  EXPECT_EQ(PdhValidatePath("\\System\\Prozesse"), ERROR_SUCCESS);  // System keeps its name
  {
    TestQuery query("");
    PDH_HCOUNTER counter = nullptr;
    EXPECT_EQ(PdhAddCounter(query.handle(), "\\Memory\\Available Bytes", 0, &counter),
              PDH_CSTATUS_NO_OBJECT);
    EXPECT_EQ(PdhAddEnglishCounter(query.handle(), "\\Memory\\Available Bytes", 0, &counter),
              ERROR_SUCCESS);
  }

  // The English table and the definitions stay English whatever the UI language.
  std::string english = EnglishCounters();
  EXPECT_NE(english.find(std::string("238\0Processor\0", 14)), std::string::npos);
  EXPECT_NE(english.find(std::string("6\0% Processor Time\0", 19)), std::string::npos);
  SetUiLanguage("en");
  chars = sizeof name;
  ASSERT_EQ(PdhLookupPerfNameByIndex(nullptr, 238, name, &chars), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Processor");
}

TEST_F(PdhTest, NameTablesForTranslation) {
  EXPECT_TRUE(TitleConflicts().empty()) << TitleConflicts().front();
  std::string english = EnglishCounters();
  ASSERT_GE(english.size(), 2u);
  EXPECT_EQ(english.substr(english.size() - 2), std::string("\0\0", 2));
  // Pairs of decimal index and name, no index beyond "Last Counter".
  auto items = Split(english);
  ASSERT_EQ(items.size() % 2, 0u);
  for (std::size_t i = 0; i < items.size(); i += 2) {
    EXPECT_LE(std::stoul(items[i]), LastCounter());
    EXPECT_FALSE(items[i + 1].empty());
  }
  auto objects = ObjectDefinitions();
  auto processor = std::find_if(objects.begin(), objects.end(),
                                [](const ObjectDefinition& o) { return o.nameIndex == 238; });
  ASSERT_NE(processor, objects.end());
  EXPECT_TRUE(processor->hasInstances);
  EXPECT_EQ(processor->counters.front().nameIndex, 6u);
  EXPECT_EQ(processor->counters.front().counterType, PERF_100NSEC_TIMER_INV);
  DWORD index = 0;
  ASSERT_EQ(PdhLookupPerfIndexByName(nullptr, "Available Bytes", &index), ERROR_SUCCESS);
  EXPECT_EQ(index, 24u);
}

TEST_F(PdhTest, QueriesOnSeveralThreads) {
  // One thread collects and reads while another closes the query under it: every call ends
  // with a status, never a crash.
  for (int round = 0; round < 20; ++round) {
    PDH_HQUERY query = nullptr;
    ASSERT_EQ(PdhOpenQuery(nullptr, 0, &query), ERROR_SUCCESS);
    PDH_HCOUNTER counter = nullptr;
    ASSERT_EQ(PdhAddCounter(query, "\\Processor(0)\\% User Time", 0, &counter), ERROR_SUCCESS);
    std::thread reader([&] {
      for (int i = 0; i < 50; ++i) {
        PDH_STATUS s = PdhCollectQueryData(query);
        EXPECT_TRUE(s == ERROR_SUCCESS || s == PDH_INVALID_HANDLE);
        PDH_FMT_COUNTERVALUE value{};
        s = PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value);
        EXPECT_TRUE(s == ERROR_SUCCESS || s == PDH_INVALID_DATA || s == PDH_INVALID_HANDLE);
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
    EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
    reader.join();
  }
}

// The real machine: a few counters must read plausibly.
TEST(PdhLive, PlausibleValues) {
  SetDefaultDataSource("");
  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQuery(nullptr, 0, &query), ERROR_SUCCESS);
  PDH_HCOUNTER cpu, available, uptime, threads, free;
  ASSERT_EQ(PdhAddCounter(query, "\\Processor(_Total)\\% Processor Time", 0, &cpu), 0u);
  ASSERT_EQ(PdhAddCounter(query, "\\Memory\\Available Bytes", 0, &available), 0u);
  ASSERT_EQ(PdhAddCounter(query, "\\System\\System Up Time", 0, &uptime), 0u);
  ASSERT_EQ(PdhAddCounter(query, "\\Process(_Total)\\Thread Count", 0, &threads), 0u);
  ASSERT_EQ(PdhAddCounter(query, "\\LogicalDisk(_Total)\\% Free Space", 0, &free), 0u);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  auto read = [](PDH_HCOUNTER c) {
    PDH_FMT_COUNTERVALUE v{};
    EXPECT_EQ(PdhGetFormattedCounterValue(c, PDH_FMT_DOUBLE, nullptr, &v), ERROR_SUCCESS);
    return v.doubleValue;
  };
  double busy = read(cpu);
  EXPECT_GE(busy, 0.0);
  EXPECT_LE(busy, 100.0);
  EXPECT_GT(read(available), 0.0);
  EXPECT_GT(read(uptime), 0.0);
  EXPECT_GT(read(threads), 0.0);
  double space = read(free);
  EXPECT_GE(space, 0.0);
  EXPECT_LE(space, 100.0);
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);

  // Our own process is listed under its command name.
  char comm[64] = {};
  std::ifstream("/proc/self/comm").getline(comm, sizeof comm);
  std::string path = std::string("\\Process(") + comm + ")\\ID Process";
  EXPECT_EQ(PdhValidatePath(path.c_str()), ERROR_SUCCESS) << path;
}

}  // namespace
}  // namespace perf::testing
