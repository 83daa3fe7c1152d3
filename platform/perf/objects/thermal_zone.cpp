// Thermal Zone Information: one instance per thermal zone of /sys/class/thermal
// (thermal_zone0, thermal_zone1, ... in zone order), named by the zone's type ("acpitz",
// "x86_pkg_temp"); zones of the same type are told apart by Windows' "#1", "#2" numbering.
//
// The kernel gives temperatures in millidegrees Celsius; Windows reports whole kelvins and
// tenths of kelvins, which these counters repeat, rounded to the nearest. Temperature (°C) is
// our own, for readers who think in Celsius (`sensors` shows the same figure with a decimal).
// Windows' passive-cooling limit and throttle reasons have no counterpart here.
//
// Many machines (most virtual ones) have no thermal zones: the object then has no instances.
// A zone whose sensor cannot be read at the moment (the read fails, as some do while the
// device sleeps) is left out of that collection rather than shown as 0 K.
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/perf/catalogue.h"
#include "platform/perf/parse.h"
#include "platform/perf/source.h"

namespace perf::objects {
namespace {

enum Field : FieldId { kKelvin, kTenthsKelvin, kCelsius, kFieldCount };

constexpr FieldSet kTemperatureFields{kKelvin, kTenthsKelvin, kCelsius};

constexpr TitleName kNames[] = {
    {5900, "Thermal Zone Information", "Informationen zur thermischen Zone"},
    {5902, "Temperature", "Temperatur"},
    {5904, "High Precision Temperature", "Temperatur mit hoher Genauigkeit"},
    {5906, "Temperature (°C)", "Temperatur (°C)"},
};

constexpr const char* kSrc = "/sys/class/thermal/thermal_zoneN/temp";

constexpr CounterDef kCounters[] = {
    {5902, PERF_COUNTER_RAWCOUNT, kKelvin, kNoField, kSrc,
     "(temp m°C + 273150) / 1000, rounded: kelvins"},
    {5904, PERF_COUNTER_RAWCOUNT, kTenthsKelvin, kNoField, kSrc,
     "(temp m°C + 273150) / 100, rounded: tenths of kelvins"},
    {5906, PERF_COUNTER_LARGE_RAWCOUNT, kCelsius, kNoField, kSrc,
     "temp m°C / 1000, rounded: degrees Celsius"},
};

// Divides a non-negative number by `d`, rounding half up.
std::int64_t RoundedDiv(std::int64_t n, std::int64_t d) {
  return n <= 0 ? 0 : (n + d / 2) / d;
}

class ThermalZoneSampler final : public ObjectSampler {
 public:
  explicit ThermalZoneSampler(SourceSet& sources)
      : sources_(sources), dir_(sources.Path("sys/class/thermal")) {}

  bool Collect(const FieldSet& needed, InstanceTable& table) override {
    ListZones();
    bool wantTemperature = needed.Any(kTemperatureFields);
    for (unsigned number : numbers_) {
      Zone& zone = zones_[number];
      std::int64_t milli = 0;
      if (wantTemperature) {
        std::string_view text;
        if (!zone.temp.Read(text)) continue;
        Scanner s(text);
        s.SkipBlanks();
        char c = s.Peek();
        if (c != '-' && (c < '0' || c > '9')) continue;
        milli = s.I64();
      }
      std::int64_t* row = table.Add(zone.name);
      if (wantTemperature) {
        row[kKelvin] = RoundedDiv(milli + 273150, 1000);
        row[kTenthsKelvin] = RoundedDiv(milli + 273150, 100);
        row[kCelsius] = std::lround(static_cast<double>(milli) / 1000.0);
      }
    }
    return true;  // no thermal zones at all is a machine without instances, not an error
  }

 private:
  struct Zone {
    std::string name;  // the zone's type, sanitized
    SourceFile temp;
    bool seen = false;
  };

  // Lists the zones present now, in number order, learning the type of new ones.
  void ListZones() {
    numbers_.clear();
    for (auto& [number, zone] : zones_)
      zone.seen = false;
    if (DIR* dir = opendir(dir_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.substr(0, 12) != "thermal_zone" || name.size() == 12) continue;
        Scanner s(name.substr(12));
        unsigned number = static_cast<unsigned>(s.U64());
        if (!s.AtEnd()) continue;
        numbers_.push_back(number);
      }
      closedir(dir);
    }
    std::sort(numbers_.begin(), numbers_.end());
    for (unsigned number : numbers_) {
      auto [it, added] = zones_.try_emplace(number);
      Zone& zone = it->second;
      zone.seen = true;
      if (!added) continue;
      std::string base = dir_ + "/thermal_zone" + std::to_string(number) + "/";
      std::string_view text;
      std::string_view type;
      if (ReadWholeFile((base + "type").c_str(), buffer_, text)) type = Scanner(text).Line();
      SanitizeInstanceName(type, zone.name);
      zone.temp = SourceFile(base + "temp", sources_.live());
    }
    // A zone that went away may come back as another device: learn it afresh then.
    std::erase_if(zones_, [](const auto& entry) { return !entry.second.seen; });
  }

  SourceSet& sources_;
  std::string dir_;
  std::map<unsigned, Zone> zones_;
  std::vector<unsigned> numbers_;
  std::vector<char> buffer_;
};

constexpr ObjectDef kThermalZone{5900, true, kFieldCount, kCounters, kNames};

}  // namespace

const ObjectProvider& thermal_zone() {
  static const ProviderOf<ThermalZoneSampler> provider(kThermalZone);
  return provider;
}

}  // namespace perf::objects
