#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "database_test.h"
#include "harness.h"
#include "log/service_log.h"

namespace kelvra {
namespace {

class RelayDbTest : public test::DatabaseTest {};

TEST_F(RelayDbTest, StartupStatementsCreateTheSchemaInWalMode) {
  EXPECT_EQ(DbQuery("PRAGMA journal_mode")[0][0], "wal");
  DbRows tables = DbQuery(
      "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' "
      "ORDER BY name");
  // The six tables of the data model, and the kept status counts.
  ASSERT_EQ(tables.size(), 7u);
  const char* expected[] = {"chunks",       "devices",  "file_chunks", "files",
                            "relay_counts", "sessions", "users"};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(tables[i][0], expected[i]);
  EXPECT_EQ(DbQuery("SELECT name FROM sqlite_master WHERE type='index' AND name LIKE 'ix_%' "
                    "ORDER BY name"),
            (DbRows{{"ix_fc_sha"}, {"ix_files_pull"}}));
}

TEST_F(RelayDbTest, MissingTableGivesNoRowsAndLogsNothing) {
  std::string before = RecentLogText();
  EXPECT_TRUE(DbQuery("SELECT * FROM no_such_table").empty());
  EXPECT_EQ(DbRun("DELETE FROM no_such_table"), -1);
  EXPECT_EQ(RecentLogText(), before);
}

TEST_F(RelayDbTest, CellsReadAsText) {
  DbRun("INSERT INTO chunks(sha256,size,created_at) VALUES(?,?,NULL)", {"h", "42"});
  EXPECT_EQ(DbQuery("SELECT sha256,size,created_at,typeof(size) FROM chunks"),
            (DbRows{{"h", "42", "", "integer"}}));
}

TEST_F(RelayDbTest, TextParametersCompareNumericallyWithIntegerColumns) {
  DbRun("INSERT INTO files(user_id,path,updated_at) VALUES(5,'a',10)");
  DbRun("INSERT INTO files(user_id,path,updated_at) VALUES(50,'b',9)");
  EXPECT_EQ(DbQuery("SELECT path FROM files WHERE user_id=?", {"5"}), (DbRows{{"a"}}));
  EXPECT_EQ(DbQuery("SELECT path FROM files WHERE updated_at>? ORDER BY path", {"9"}),
            (DbRows{{"a"}}));
  EXPECT_EQ(DbQuery("SELECT COUNT(*) FROM files WHERE updated_at>?", {"0"}), (DbRows{{"2"}}));
}

TEST_F(RelayDbTest, RunReportsWhetherTheWriteTookEffect) {
  EXPECT_EQ(DbRun("INSERT INTO users(account,pass_hash,created_at) VALUES(?,?,?)",
                  {"ann", "h1", "1"}),
            1);
  // The unique account refuses a second insert, silently for the log.
  std::string before = RecentLogText();
  EXPECT_EQ(DbRun("INSERT INTO users(account,pass_hash,created_at) VALUES(?,?,?)",
                  {"ann", "h2", "2"}),
            -1);
  EXPECT_EQ(RecentLogText(), before);
  EXPECT_EQ(DbQuery("SELECT pass_hash FROM users WHERE account=?", {"ann"}), (DbRows{{"h1"}}));
  EXPECT_EQ(DbRun("INSERT OR IGNORE INTO chunks(sha256,size) VALUES('x',1)"), 1);
  EXPECT_EQ(DbRun("INSERT OR IGNORE INTO chunks(sha256,size) VALUES('x',1)"), 0);
  EXPECT_EQ(DbRun("UPDATE users SET pass_hash='z' WHERE account='nobody'"), 0);
}

// Text is bound with its full length: two names that differ only after an
// embedded NUL byte must stay two names.
TEST_F(RelayDbTest, TextWithEmbeddedNulIsKeptWhole) {
  std::string a("a\0b", 3), c("a\0c", 3);
  EXPECT_EQ(DbRun("INSERT INTO users(account) VALUES(?)", {a}), 1);
  EXPECT_EQ(DbRun("INSERT INTO users(account) VALUES(?)", {c}), 1);
  EXPECT_EQ(DbQuery("SELECT account FROM users WHERE account=?", {c}), (DbRows{{c}}));
  EXPECT_TRUE(DbQuery("SELECT 1 FROM users WHERE account=?", {"a"}).empty());
}

TEST_F(RelayDbTest, TransactionRollsBackUnlessCommitted) {
  {
    DbTransaction txn(DbTransaction::Mode::Write);
    ASSERT_TRUE(txn.ok());
    DbRun("INSERT INTO chunks(sha256,size) VALUES('gone',1)");
  }
  {
    DbTransaction txn(DbTransaction::Mode::Write);
    DbRun("INSERT INTO chunks(sha256,size) VALUES('kept',1)");
    EXPECT_TRUE(txn.Commit());
  }
  EXPECT_EQ(DbQuery("SELECT sha256 FROM chunks"), (DbRows{{"kept"}}));
}

TEST_F(RelayDbTest, SavepointUndoesOnlyItsPart) {
  DbTransaction txn(DbTransaction::Mode::Write);
  DbRun("INSERT INTO chunks(sha256,size) VALUES('before',1)");
  {
    DbSavepoint part;
    ASSERT_TRUE(part.ok());
    DbRun("INSERT INTO chunks(sha256,size) VALUES('undone',1)");
  }
  {
    DbSavepoint part;
    DbRun("INSERT INTO chunks(sha256,size) VALUES('kept',1)");
    EXPECT_TRUE(part.Release());
  }
  EXPECT_TRUE(txn.Commit());
  EXPECT_EQ(DbQuery("SELECT sha256 FROM chunks ORDER BY sha256"), (DbRows{{"before"}, {"kept"}}));
}

// Another thread's statement cannot run inside an open transaction: it waits
// until the transaction ended, so it never sees its uncommitted rows.
TEST_F(RelayDbTest, TransactionExcludesOtherThreadsStatements) {
  std::atomic<bool> inserted{false}, ended{false};
  std::thread writer([&] {
    DbTransaction txn(DbTransaction::Mode::Write);
    DbRun("INSERT INTO chunks(sha256,size) VALUES('uncommitted',1)");
    inserted = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ended = true;
  });
  while (!inserted) std::this_thread::yield();
  DbRows rows = DbQuery("SELECT COUNT(*) FROM chunks");
  EXPECT_TRUE(ended.load());
  EXPECT_EQ(rows, (DbRows{{"0"}}));
  writer.join();
}

TEST_F(RelayDbTest, ClosedDatabaseFailsQuietly) {
  DbClose();
  EXPECT_TRUE(DbQuery("SELECT 1").empty());
  EXPECT_EQ(DbRun("SELECT 1"), -1);
  DbTransaction txn(DbTransaction::Mode::Write);
  EXPECT_FALSE(txn.ok());
  EXPECT_FALSE(txn.Commit());
}

TEST_F(RelayDbTest, StartupStatementFailureIsLogged) {
  DbExecLogged("CREATE TABLE broken(");
  EXPECT_NE(RecentLogText().find("] SQL错误: "), std::string::npos);
}

}  // namespace
}  // namespace kelvra
