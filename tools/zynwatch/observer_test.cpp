#include "tools/zynwatch/observer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/perf/perf.h"
#include "platform/perf/test_support.h"
#include "server/catalogue.h"
#include "server/opc_server.h"

namespace {

// The observer against a captured snapshot, through the server object's own interfaces.
class ObserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.Load("a");
    perf::SetDefaultDataSource(scratch_.dir());
    perf::SetUiLanguage("en");
    com::ComPtr<IOPCServer> server;
    ASSERT_EQ(OpcServer::Create().As(&server), S_OK);
    ASSERT_EQ(observer_.Attach(std::move(server)), S_OK);
  }
  void TearDown() override {
    observer_.Close();
    perf::SetDefaultDataSource("");
    perf::SetUiLanguage("");
  }

  perf::testing::Scratch scratch_;
  CatalogueQueryScope catalogue_;
  Observer observer_;
};

TEST_F(ObserverTest, ListsObjectsCountersAndEveryPath) {
  std::vector<std::string> names;
  bool leaves = true;
  ASSERT_EQ(observer_.List("", &names, &leaves), S_OK);
  EXPECT_FALSE(leaves);
  EXPECT_NE(std::find(names.begin(), names.end(), "Memory"), names.end());

  ASSERT_EQ(observer_.List("\\Memory", &names, &leaves), S_OK);
  EXPECT_TRUE(leaves);
  EXPECT_NE(std::find(names.begin(), names.end(), "Available MBytes"), names.end());

  ASSERT_EQ(observer_.List("Processor", &names, &leaves), S_OK);
  EXPECT_FALSE(leaves);  // its instances
  EXPECT_NE(std::find(names.begin(), names.end(), "_Total"), names.end());
  ASSERT_EQ(observer_.List("\\Processor(_Total)", &names, &leaves), S_OK);
  EXPECT_TRUE(leaves);

  EXPECT_EQ(observer_.List("\\No Such Object", &names, &leaves), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(observer_.List("\\Processor(99)", &names, &leaves), OPC_E_UNKNOWNITEMID);

  std::vector<std::string> all;
  ASSERT_EQ(observer_.ListAll(&all), S_OK);
  EXPECT_NE(std::find(all.begin(), all.end(), "\\Memory\\Available MBytes"), all.end());
  EXPECT_NE(std::find(all.begin(), all.end(), "\\Processor(_Total)\\% Processor Time"), all.end());
}

TEST_F(ObserverTest, ReadGivesValuesAndNamesTheRefusedCounters) {
  std::vector<std::optional<double>> values;
  std::vector<Rejected> rejected;
  ASSERT_EQ(observer_.Read({"\\Memory\\Available MBytes", "\\Nope\\X"}, &values, &rejected), S_OK);
  ASSERT_EQ(values.size(), 2u);
  ASSERT_TRUE(values[0]);
  EXPECT_DOUBLE_EQ(*values[0], 11718.0);
  EXPECT_FALSE(values[1]);
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0].path, "\\Nope\\X");
  EXPECT_EQ(rejected[0].code, OPC_E_UNKNOWNITEMID);
}

TEST_F(ObserverTest, WatchDeliversSamplesAtTheRevisedRate) {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Sample> samples;
  DWORD revised = 0;
  std::vector<Rejected> rejected;
  ASSERT_EQ(observer_.Watch(
                {"\\Memory\\Available MBytes", "\\Bad\\Y"}, 20, 0,
                [&](const Sample& s) {
                  std::lock_guard lock(mutex);
                  samples.push_back(s);
                  arrived.notify_all();
                },
                &revised, &rejected),
            S_OK);
  EXPECT_EQ(revised, 100u);
  EXPECT_EQ(rejected.size(), 1u);
  std::unique_lock lock(mutex);
  ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return samples.size() >= 2; }));
  EXPECT_DOUBLE_EQ(*samples.back().values[0], 11718.0);
  EXPECT_FALSE(samples.back().values[1]);
}

TEST_F(ObserverTest, WatchFailsWhenNoCounterIsAccepted) {
  DWORD revised = 0;
  std::vector<Rejected> rejected;
  EXPECT_EQ(observer_.Watch(
                {"\\Bad\\Y"}, 1000, 0, [](const Sample&) {}, &revised, &rejected),
            OPC_E_UNKNOWNITEMID);
}

TEST_F(ObserverTest, PropertiesCarryTheirValues) {
  std::vector<ItemProperty> properties;
  ASSERT_EQ(observer_.Properties("\\Memory\\Available MBytes", &properties), S_OK);
  ASSERT_EQ(properties.size(), 3u);
  EXPECT_EQ(properties[0].id, OPC_PROP_CDT);
  EXPECT_EQ(properties[0].description, "Canonical Datatype");
  EXPECT_EQ(properties[0].value, std::optional<long long>(VT_R8));
  EXPECT_EQ(properties[1].value, std::optional<long long>(1));
  EXPECT_EQ(properties[2].id, 5000u);
  EXPECT_TRUE(properties[2].value.has_value());
  EXPECT_NE(*properties[2].value, 0);
  EXPECT_EQ(observer_.Properties("\\Nope\\X", &properties), OPC_E_UNKNOWNITEMID);
  EXPECT_TRUE(properties.empty());
}

}  // namespace
