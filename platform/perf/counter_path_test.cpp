#include "platform/perf/calc.h"

#include <gtest/gtest.h>
