#include <gtest/gtest.h>

#include <string>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

using namespace std::string_literals;

std::string Instances(const std::string& source) {
  DWORD counters = 0, instances = 0;
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, "Thermal Zone Information", nullptr,
                               &counters, nullptr, &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  std::string list(instances, '\0');
  EXPECT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, "Thermal Zone Information", nullptr,
                               nullptr, list.data(), &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  return list;
}

TEST(ThermalZoneObject, InstancesInZoneOrderNamedByType) {
  // thermal_zone0, 1, 2, 3, 10 (10 after 3, not after 1); cooling devices are not zones.
  EXPECT_EQ(Instances(TestData("thermal")),
            "acpitz\0x86_pkg_temp\0acpitz#1\0cpu[0]_a\0iwlwifi_1\0\0"s);
}

TEST(ThermalZoneObject, TemperaturesInKelvinAndCelsius) {
  const std::string o = "\\Thermal Zone Information";
  auto v = ValuesOverInterval(
      {o + "(acpitz)\\Temperature", o + "(acpitz)\\High Precision Temperature",
       o + "(acpitz)\\Temperature (°C)", o + "(x86_pkg_temp)\\Temperature",
       o + "(x86_pkg_temp)\\High Precision Temperature", o + "(x86_pkg_temp)\\Temperature (°C)",
       o + "(acpitz#1)\\Temperature", o + "(acpitz#1)\\High Precision Temperature",
       o + "(acpitz#1)\\Temperature (°C)", o + "(cpu[0]_a)\\High Precision Temperature"},
      "thermal", "thermal", 10'000'000);
  // 45.123 °C, 51.999 °C, -5.5 °C and 30 °C, rounded to the nearest unit.
  std::vector<double> expected = {318, 3183, 45, 325, 3251, 52, 268, 2677, -6, 3032};
  EXPECT_EQ(v, expected);
}

TEST(ThermalZoneObject, UnreadableSensorAndMissingZones) {
  // iwlwifi_1's temp holds no number: it has no value, the other zones do.
  TestQuery query(TestData("thermal"));
  PDH_HCOUNTER unreadable = query.Add("\\Thermal Zone Information(iwlwifi_1)\\Temperature");
  PDH_HCOUNTER fine = query.Add("\\Thermal Zone Information(acpitz)\\Temperature");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_NE(PdhGetFormattedCounterValue(unreadable, PDH_FMT_DOUBLE, nullptr, &value),
            ERROR_SUCCESS);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_INSTANCE);
  EXPECT_DOUBLE_EQ(query.Value(fine), 318.0);

  // A machine without thermal zones (this snapshot has no /sys/class/thermal): the object is
  // there, without instances.
  EXPECT_EQ(Instances(TestData("net1")), "\0\0"s);
  TestQuery none(TestData("net1"));
  PDH_HCOUNTER missing = none.Add("\\Thermal Zone Information(acpitz)\\Temperature");
  ASSERT_EQ(none.Collect(), ERROR_SUCCESS);
  EXPECT_NE(PdhGetFormattedCounterValue(missing, PDH_FMT_DOUBLE, nullptr, &value), ERROR_SUCCESS);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_INSTANCE);
}

}  // namespace
}  // namespace perf::testing
