#include "platform/perf/calc.h"

#include <cmath>

namespace perf {
namespace {

bool IsLarge(DWORD type) {
  return (type & PERF_SIZE_MASK) == PERF_SIZE_LARGE;
}

// Delta of a counter's value: DWORD counters wrap at 2^32 like the 32-bit raw values they are.
bool CounterDelta(DWORD type, std::int64_t before, std::int64_t after, double& delta) {
  if (!IsLarge(type)) {
    delta =
        static_cast<double>(static_cast<std::uint32_t>(after) - static_cast<std::uint32_t>(before));
    return true;
  }
  if (after < before) return false;
  delta = static_cast<double>(after - before);
  return true;
}

// Delta of a base counter (a count such as "reads completed"), a DWORD in the base types.
double BaseDelta(std::int64_t before, std::int64_t after) {
  return static_cast<double>(static_cast<std::uint32_t>(after) -
                             static_cast<std::uint32_t>(before));
}

}  // namespace

bool NeedsTwoSamples(DWORD type) {
  switch (type) {
    case PERF_COUNTER_COUNTER:
    case PERF_COUNTER_BULK_COUNT:
    case PERF_COUNTER_DELTA:
    case PERF_COUNTER_LARGE_DELTA:
    case PERF_COUNTER_TIMER:
    case PERF_COUNTER_TIMER_INV:
    case PERF_100NSEC_TIMER:
    case PERF_100NSEC_TIMER_INV:
    case PERF_PRECISION_100NS_TIMER:
    case PERF_SAMPLE_FRACTION:
    case PERF_AVERAGE_TIMER:
    case PERF_AVERAGE_BULK:
    case PERF_COUNTER_QUEUELEN_TYPE:
    case PERF_COUNTER_LARGE_QUEUELEN_TYPE:
    case PERF_COUNTER_100NS_QUEUELEN_TYPE:
    case PERF_COUNTER_OBJ_TIME_QUEUELEN_TYPE:
      return true;
    default:
      return false;
  }
}

DWORD ComputeCounterValue(DWORD type, const RawSample* previous, const RawSample& current,
                          double& value) {
  value = 0;
  if (!IsSuccessSeverity(current.status)) return current.status;

  if (!NeedsTwoSamples(type)) {
    switch (type) {
      case PERF_COUNTER_RAWCOUNT:
      case PERF_COUNTER_RAWCOUNT_HEX:
        value = static_cast<double>(static_cast<std::uint32_t>(current.first));
        return PDH_CSTATUS_VALID_DATA;
      case PERF_COUNTER_LARGE_RAWCOUNT:
      case PERF_COUNTER_LARGE_RAWCOUNT_HEX:
        value = static_cast<double>(current.first);
        return PDH_CSTATUS_VALID_DATA;
      case PERF_RAW_FRACTION: {
        auto n = static_cast<std::uint32_t>(current.first);
        auto d = static_cast<std::uint32_t>(current.second);
        value = d == 0 ? 0.0 : 100.0 * n / d;
        return PDH_CSTATUS_VALID_DATA;
      }
      case PERF_LARGE_RAW_FRACTION:
        if (current.second < 0) return PDH_CALC_NEGATIVE_DENOMINATOR;
        value = current.second == 0 ? 0.0
                                    : 100.0 * static_cast<double>(current.first) /
                                          static_cast<double>(current.second);
        return PDH_CSTATUS_VALID_DATA;
      case PERF_ELAPSED_TIME: {
        std::int64_t elapsed = current.second - current.first;
        value = elapsed <= 0 ? 0.0 : elapsed / kTimeFrequency;
        return PDH_CSTATUS_VALID_DATA;
      }
      default:
        return PDH_CSTATUS_INVALID_DATA;
    }
  }

  if (previous == nullptr || !IsSuccessSeverity(previous->status)) {
    return PDH_CSTATUS_INVALID_DATA;
  }
  double dn = 0;
  if (!CounterDelta(type, previous->first, current.first, dn)) return PDH_CALC_NEGATIVE_VALUE;
  std::int64_t dtRaw = current.second - previous->second;

  switch (type) {
    case PERF_COUNTER_DELTA:
    case PERF_COUNTER_LARGE_DELTA:
      value = dn;
      return PDH_CSTATUS_VALID_DATA;
    case PERF_AVERAGE_BULK:
    case PERF_AVERAGE_TIMER: {
      double db = BaseDelta(previous->second, current.second);
      if (db == 0) {
        value = 0;  // nothing happened in the interval: no time per operation
        return PDH_CSTATUS_VALID_DATA;
      }
      value = type == PERF_AVERAGE_TIMER ? (dn / kTimeFrequency) / db : dn / db;
      return PDH_CSTATUS_VALID_DATA;
    }
    case PERF_SAMPLE_FRACTION: {
      double db = BaseDelta(previous->second, current.second);
      value = db == 0 ? 0.0 : 100.0 * dn / db;
      return PDH_CSTATUS_VALID_DATA;
    }
    default:
      break;
  }

  // The rest divide by a time base.
  if (dtRaw < 0) return PDH_CALC_NEGATIVE_TIMEBASE;
  if (dtRaw == 0) return PDH_CSTATUS_INVALID_DATA;
  double dt = static_cast<double>(dtRaw);
  switch (type) {
    case PERF_COUNTER_COUNTER:
    case PERF_COUNTER_BULK_COUNT:
      value = dn / (dt / kTimeFrequency);
      return PDH_CSTATUS_VALID_DATA;
    case PERF_COUNTER_TIMER:
    case PERF_100NSEC_TIMER:
    case PERF_PRECISION_100NS_TIMER:
      value = 100.0 * dn / dt;
      return PDH_CSTATUS_VALID_DATA;
    case PERF_COUNTER_TIMER_INV:
    case PERF_100NSEC_TIMER_INV:
      value = 100.0 * (1.0 - dn / dt);
      if (value < 0) value = 0;
      return PDH_CSTATUS_VALID_DATA;
    case PERF_COUNTER_QUEUELEN_TYPE:
    case PERF_COUNTER_LARGE_QUEUELEN_TYPE:
    case PERF_COUNTER_100NS_QUEUELEN_TYPE:
    case PERF_COUNTER_OBJ_TIME_QUEUELEN_TYPE:
      value = dn / dt;
      return PDH_CSTATUS_VALID_DATA;
    default:
      return PDH_CSTATUS_INVALID_DATA;
  }
}

double ApplyFormat(DWORD type, double value, DWORD format, LONG scale) {
  if (!(format & PDH_FMT_NOSCALE) && scale != 0) value *= std::pow(10.0, scale);
  if (format & PDH_FMT_1000) value *= 1000.0;
  if (!(format & PDH_FMT_NOCAP100) && (type & 0xF0000000) == PERF_DISPLAY_PERCENT &&
      value > 100.0) {
    value = 100.0;
  }
  return value;
}

}  // namespace perf
