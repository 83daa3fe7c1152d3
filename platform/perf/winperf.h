// Performance counter type codes, as the Windows performance-data layout defines them.
//
// A type code is built from bit fields: the size of the raw value (bits 8-9), the kind of
// counter and its subtype, the time base, how it is calculated (delta, inverse, base), and how
// it is displayed. The named types below are the ones counters are declared with; their
// formulas are applied in platform/perf/calc.cpp.
#pragma once

#include "platform/com/types.h"

// Size of the raw value (bits 8-9).
inline constexpr DWORD PERF_SIZE_DWORD = 0x00000000;
inline constexpr DWORD PERF_SIZE_LARGE = 0x00000100;
inline constexpr DWORD PERF_SIZE_ZERO = 0x00000200;
inline constexpr DWORD PERF_SIZE_VARIABLE_LEN = 0x00000300;
inline constexpr DWORD PERF_SIZE_MASK = 0x00000300;

// Kind (bits 10-11).
inline constexpr DWORD PERF_TYPE_NUMBER = 0x00000000;
inline constexpr DWORD PERF_TYPE_COUNTER = 0x00000400;
inline constexpr DWORD PERF_TYPE_TEXT = 0x00000800;
inline constexpr DWORD PERF_TYPE_ZERO = 0x00000C00;

// Subtypes of numbers.
inline constexpr DWORD PERF_NUMBER_HEX = 0x00000000;
inline constexpr DWORD PERF_NUMBER_DECIMAL = 0x00010000;
inline constexpr DWORD PERF_NUMBER_DEC_1000 = 0x00020000;

// Subtypes of counters.
inline constexpr DWORD PERF_COUNTER_VALUE = 0x00000000;
inline constexpr DWORD PERF_COUNTER_RATE = 0x00010000;
inline constexpr DWORD PERF_COUNTER_FRACTION = 0x00020000;
inline constexpr DWORD PERF_COUNTER_BASE = 0x00030000;
inline constexpr DWORD PERF_COUNTER_ELAPSED = 0x00040000;
inline constexpr DWORD PERF_COUNTER_QUEUELEN = 0x00050000;
inline constexpr DWORD PERF_COUNTER_HISTOGRAM = 0x00060000;
inline constexpr DWORD PERF_COUNTER_PRECISION = 0x00070000;

// Time bases.
inline constexpr DWORD PERF_TIMER_TICK = 0x00000000;
inline constexpr DWORD PERF_TIMER_100NS = 0x00100000;
inline constexpr DWORD PERF_OBJECT_TIMER = 0x00200000;

// Calculation modifiers.
inline constexpr DWORD PERF_DELTA_COUNTER = 0x00400000;
inline constexpr DWORD PERF_DELTA_BASE = 0x00800000;
inline constexpr DWORD PERF_INVERSE_COUNTER = 0x01000000;
inline constexpr DWORD PERF_MULTI_COUNTER = 0x02000000;

// Display suffixes.
inline constexpr DWORD PERF_DISPLAY_NO_SUFFIX = 0x00000000;
inline constexpr DWORD PERF_DISPLAY_PER_SEC = 0x10000000;
inline constexpr DWORD PERF_DISPLAY_PERCENT = 0x20000000;
inline constexpr DWORD PERF_DISPLAY_SECONDS = 0x30000000;
inline constexpr DWORD PERF_DISPLAY_NOSHOW = 0x40000000;

// The named counter types.
inline constexpr DWORD PERF_COUNTER_RAWCOUNT_HEX = 0x00000000;
inline constexpr DWORD PERF_COUNTER_LARGE_RAWCOUNT_HEX = 0x00000100;
inline constexpr DWORD PERF_COUNTER_RAWCOUNT = 0x00010000;
inline constexpr DWORD PERF_COUNTER_LARGE_RAWCOUNT = 0x00010100;
inline constexpr DWORD PERF_COUNTER_TEXT = 0x00000B00;
inline constexpr DWORD PERF_COUNTER_DELTA = 0x00400400;
inline constexpr DWORD PERF_COUNTER_LARGE_DELTA = 0x00400500;
inline constexpr DWORD PERF_COUNTER_COUNTER = 0x10410400;
inline constexpr DWORD PERF_COUNTER_BULK_COUNT = 0x10410500;
inline constexpr DWORD PERF_COUNTER_QUEUELEN_TYPE = 0x00450400;
inline constexpr DWORD PERF_COUNTER_LARGE_QUEUELEN_TYPE = 0x00450500;
inline constexpr DWORD PERF_COUNTER_100NS_QUEUELEN_TYPE = 0x00550500;
inline constexpr DWORD PERF_COUNTER_OBJ_TIME_QUEUELEN_TYPE = 0x00650500;
inline constexpr DWORD PERF_COUNTER_TIMER = 0x20410500;
inline constexpr DWORD PERF_COUNTER_TIMER_INV = 0x21410500;
inline constexpr DWORD PERF_100NSEC_TIMER = 0x20510500;
inline constexpr DWORD PERF_100NSEC_TIMER_INV = 0x21510500;
inline constexpr DWORD PERF_PRECISION_100NS_TIMER = 0x20570500;
inline constexpr DWORD PERF_SAMPLE_FRACTION = 0x20C20400;
inline constexpr DWORD PERF_RAW_FRACTION = 0x20020400;
inline constexpr DWORD PERF_LARGE_RAW_FRACTION = 0x20020500;
inline constexpr DWORD PERF_AVERAGE_TIMER = 0x30020400;
inline constexpr DWORD PERF_ELAPSED_TIME = 0x30240500;
inline constexpr DWORD PERF_AVERAGE_BULK = 0x40020500;
inline constexpr DWORD PERF_SAMPLE_BASE = 0x40030401;
inline constexpr DWORD PERF_AVERAGE_BASE = 0x40030402;
inline constexpr DWORD PERF_RAW_BASE = 0x40030403;
inline constexpr DWORD PERF_LARGE_RAW_BASE = 0x40030500;
