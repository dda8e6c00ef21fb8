// A fixture for in-process tests of modules that use the relay database: a
// temporary data directory with a fresh relay.db, opened and set up as the
// server does at start-up, closed after the test.
#pragma once

#include <gtest/gtest.h>

#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "harness.h"

namespace kelvra::test {

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DataDir = dir_.path();
    OpenDatabase();
  }
  void TearDown() override { DbClose(); }
  void OpenDatabase() {
    ASSERT_TRUE(DbOpen(dir_ / "relay.db"));
    RunStartupStatements();
  }

  TempDir dir_;
};

}  // namespace kelvra::test
