// A gtest fixture that runs one real server on a fresh data directory and a
// free port for each test, and checks that it quits cleanly (exit code 0 on
// SIGTERM) at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "harness.h"

namespace kelvra::test {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start(dir_.path())) << "server did not start"; }
  void TearDown() override {
    if (server_.running()) {
      EXPECT_EQ(server_.Stop(), std::optional<int>(0));
    }
  }

  int port() const { return server_.port(); }
  std::unique_ptr<Database> db() { return std::make_unique<Database>(dir_ / "relay.db"); }
  // Restarts the server on the same data directory (and a new port).
  void Restart() {
    ASSERT_EQ(server_.Stop(), std::optional<int>(0));
    ASSERT_TRUE(server_.Start(dir_.path()));
  }

  TempDir dir_;
  ServerProcess server_;
};

}  // namespace kelvra::test
