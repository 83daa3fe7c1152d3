#include "platform/perf/calc.h"

#include <gtest/gtest.h>

#include "platform/perf/catalogue.h"

namespace perf {
namespace {

RawSample Sample(std::int64_t first, std::int64_t second) {
  return RawSample{PDH_CSTATUS_VALID_DATA, first, second};
}

double Compute(DWORD type, RawSample before, RawSample after, DWORD expectStatus = 0) {
  double value = -1;
  EXPECT_EQ(ComputeCounterValue(type, &before, after, value), expectStatus);
  return value;
}

TEST(CounterFormulas, RatesDivideByTheTimeBase) {
  // 2 s apart in 100 ns units.
  EXPECT_DOUBLE_EQ(Compute(PERF_COUNTER_COUNTER, Sample(100, 0), Sample(300, 20'000'000)), 100);
  EXPECT_DOUBLE_EQ(Compute(PERF_COUNTER_BULK_COUNT, Sample(0, 0), Sample(1 << 30, 10'000'000)),
                   1 << 30);
  EXPECT_DOUBLE_EQ(Compute(PERF_100NSEC_TIMER, Sample(0, 0), Sample(5'000'000, 20'000'000)), 25);
  EXPECT_DOUBLE_EQ(Compute(PERF_100NSEC_TIMER_INV, Sample(0, 0), Sample(5'000'000, 20'000'000)),
                   75);
  EXPECT_DOUBLE_EQ(Compute(PERF_PRECISION_100NS_TIMER, Sample(10, 100), Sample(30, 200)), 20);
  EXPECT_DOUBLE_EQ(
      Compute(PERF_COUNTER_100NS_QUEUELEN_TYPE, Sample(0, 0), Sample(30'000'000, 20'000'000)), 1.5);
  EXPECT_DOUBLE_EQ(Compute(PERF_COUNTER_DELTA, Sample(7, 0), Sample(10, 5)), 3);
}

TEST(CounterFormulas, AveragesDivideByTheirBase) {
  // 0.4 s of reading over 200 reads; 4000 sectors of 512 bytes over 200 reads.
  EXPECT_DOUBLE_EQ(Compute(PERF_AVERAGE_TIMER, Sample(0, 1000), Sample(4'000'000, 1200)), 0.002);
  EXPECT_DOUBLE_EQ(Compute(PERF_AVERAGE_BULK, Sample(0, 10), Sample(2'048'000, 210)), 10240);
  // Nothing happened: no time per operation rather than a division by zero.
  EXPECT_DOUBLE_EQ(Compute(PERF_AVERAGE_TIMER, Sample(5, 7), Sample(5, 7)), 0);
}

TEST(CounterFormulas, InstantaneousTypesNeedOneSample) {
  double value = -1;
  EXPECT_EQ(ComputeCounterValue(PERF_RAW_FRACTION, nullptr, Sample(1, 4), value), 0u);
  EXPECT_DOUBLE_EQ(value, 25);
  EXPECT_EQ(ComputeCounterValue(PERF_RAW_FRACTION, nullptr, Sample(1, 0), value), 0u);
  EXPECT_DOUBLE_EQ(value, 0);
  EXPECT_EQ(ComputeCounterValue(PERF_COUNTER_LARGE_RAWCOUNT, nullptr, Sample(1ll << 40, 0), value),
            0u);
  EXPECT_DOUBLE_EQ(value, 1ll << 40);
  // A DWORD raw count keeps its low 32 bits, as the 32-bit raw value it is.
  EXPECT_EQ(ComputeCounterValue(PERF_COUNTER_RAWCOUNT, nullptr, Sample((1ll << 32) + 5, 0), value),
            0u);
  EXPECT_DOUBLE_EQ(value, 5);
  EXPECT_EQ(ComputeCounterValue(PERF_ELAPSED_TIME, nullptr, Sample(10'000'000, 35'000'000), value),
            0u);
  EXPECT_DOUBLE_EQ(value, 2.5);
}

TEST(CounterFormulas, FirstSampleAndBackwardsData) {
  double value = -1;
  EXPECT_EQ(ComputeCounterValue(PERF_COUNTER_COUNTER, nullptr, Sample(1, 1), value),
            PDH_CSTATUS_INVALID_DATA);
  // DWORD counters wrap at 2^32; 64-bit ones running backwards are an error.
  EXPECT_DOUBLE_EQ(Compute(PERF_COUNTER_COUNTER, Sample(0xFFFFFFF0ll, 0), Sample(0x10, 10'000'000)),
                   0x20);
  Compute(PERF_COUNTER_BULK_COUNT, Sample(100, 0), Sample(50, 10'000'000), PDH_CALC_NEGATIVE_VALUE);
  Compute(PERF_COUNTER_BULK_COUNT, Sample(100, 10), Sample(200, 5), PDH_CALC_NEGATIVE_TIMEBASE);
  Compute(PERF_COUNTER_BULK_COUNT, Sample(100, 10), Sample(200, 10), PDH_CSTATUS_INVALID_DATA);
}

TEST(CounterFormulas, FormatScalesAndCapsPercentages) {
  EXPECT_DOUBLE_EQ(ApplyFormat(PERF_100NSEC_TIMER, 150, PDH_FMT_DOUBLE, 0), 100);
  EXPECT_DOUBLE_EQ(ApplyFormat(PERF_100NSEC_TIMER, 150, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, 0), 150);
  EXPECT_DOUBLE_EQ(ApplyFormat(PERF_COUNTER_COUNTER, 150, PDH_FMT_DOUBLE, 0), 150);
  EXPECT_DOUBLE_EQ(ApplyFormat(PERF_COUNTER_COUNTER, 150, PDH_FMT_DOUBLE, -2), 1.5);
  EXPECT_DOUBLE_EQ(ApplyFormat(PERF_COUNTER_COUNTER, 150, PDH_FMT_DOUBLE | PDH_FMT_NOSCALE, -2),
                   150);
  EXPECT_DOUBLE_EQ(ApplyFormat(PERF_COUNTER_COUNTER, 1.5, PDH_FMT_DOUBLE | PDH_FMT_1000, 0), 1500);
}

// Every counter of the catalogue must be computable: its type is one the formulas know, its
// fields exist, and types that divide by a base have one.
TEST(CounterFormulas, EveryCatalogueCounterIsComputable) {
  for (const ObjectProvider* provider : AllProviders()) {
    const ObjectDef& def = provider->Def();
    EXPECT_LE(def.fieldCount, kMaxFields);
    for (const CounterDef& c : def.counters) {
      SCOPED_TRACE(std::to_string(def.nameIndex) + "/" + std::to_string(c.nameIndex));
      EXPECT_LT(c.value, def.fieldCount);
      EXPECT_TRUE(c.base == kNoField || c.base < def.fieldCount);
      DWORD kind = c.type & 0x00070000;
      bool needsBase = (c.type & PERF_TYPE_COUNTER) &&
                       (kind == PERF_COUNTER_FRACTION || kind == PERF_COUNTER_ELAPSED ||
                        kind == PERF_COUNTER_PRECISION);
      if (needsBase) {
        EXPECT_NE(c.base, kNoField);
      }
      double value = 0;
      RawSample before = Sample(1, 10), after = Sample(2, 20);
      EXPECT_EQ(ComputeCounterValue(c.type, &before, after, value), PDH_CSTATUS_VALID_DATA);
      EXPECT_NE(c.source, nullptr);
      EXPECT_NE(c.formula, nullptr);
    }
  }
}

}  // namespace
}  // namespace perf
