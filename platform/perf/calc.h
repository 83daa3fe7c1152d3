// The formulas of the counter types: a value from one or two raw samples.
#pragma once

#include <cstdint>

#include "platform/perf/pdh.h"

namespace perf {

// The frequency of every time base here: 100 ns units.
inline constexpr double kTimeFrequency = 10'000'000.0;

struct RawSample {
  DWORD status = PDH_CSTATUS_INVALID_DATA;
  std::int64_t first = 0;   // the counter's raw value
  std::int64_t second = 0;  // its base, or the time base of timer types
};

// True for types computed from the difference of two samples.
bool NeedsTwoSamples(DWORD type);

// Applies the formula of `type`. `previous` is null when there is no earlier sample. Returns
// PDH_CSTATUS_VALID_DATA with `value` set, or the status that says why there is no value
// (PDH_CSTATUS_INVALID_DATA for a rate with one sample, PDH_CALC_NEGATIVE_* when the raw data
// ran backwards).
DWORD ComputeCounterValue(DWORD type, const RawSample* previous, const RawSample& current,
                          double& value);

// Applies scaling and the 100 % cap of PdhGetFormattedCounterValue's `format` to a computed value.
double ApplyFormat(DWORD type, double value, DWORD format, LONG scale);

}  // namespace perf
