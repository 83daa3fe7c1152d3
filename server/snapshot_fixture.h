// A test fixture that points the performance library at a copy of a captured snapshot, in
// English, and puts every process-wide setting back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/perf/perf.h"
#include "platform/perf/test_support.h"

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousSource_ = perf::DefaultDataSource();
    scratch_.Load("a");
    perf::SetDefaultDataSource(scratch_.dir());
    perf::SetUiLanguage("en");
  }
  void TearDown() override {
    perf::SetDefaultDataSource(previousSource_);
    perf::SetUiLanguage("");
    perf::SetClock(nullptr);
  }

  perf::testing::Scratch scratch_;

 private:
  std::string previousSource_;
};
