#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "database_test.h"
#include "harness.h"
#include "status/status_counts.h"

namespace kelvra {

std::ostream& operator<<(std::ostream& out, const StatusCounts& c) {
  return out << "users=" << c.users << " files=" << c.files << " chunks=" << c.chunks
             << " bytes=" << c.chunk_bytes;
}

namespace {

class StatusCountsTest : public test::DatabaseTest {};

// Every kind of write the server or anyone else can make, in random order:
// the kept counts must equal a scan of the tables after each one.
TEST_F(StatusCountsTest, KeptCountsEqualTableScansAfterEveryWrite) {
  std::mt19937 random(7);
  for (int step = 0; step < 600; ++step) {
    std::string n = std::to_string(random() % 40);
    std::string size = std::to_string(random() % 5000);
    switch (random() % 9) {
      case 0: DbRun("INSERT INTO users(account) VALUES(?)", {"u" + n}); break;
      case 1: DbRun("DELETE FROM users WHERE account=?", {"u" + n}); break;
      case 2:
        DbRun("INSERT INTO files(user_id,path,deleted,updated_at) VALUES(1,?,?,1) "
              "ON CONFLICT(user_id,path) DO UPDATE SET deleted=excluded.deleted",
              {"p" + n, random() % 3 == 0 ? "1" : "0"});
        break;
      case 3: DbRun("UPDATE files SET deleted=1-deleted WHERE path=?", {"p" + n}); break;
      case 4: DbRun("DELETE FROM files WHERE path=?", {"p" + n}); break;
      case 5:
        DbRun("INSERT OR IGNORE INTO chunks(sha256,size,created_at) VALUES(?,?,1)", {"c" + n, size});
        break;
      case 6: DbRun("UPDATE chunks SET size=? WHERE sha256=?", {size, "c" + n}); break;
      case 7: DbRun("DELETE FROM chunks WHERE sha256=?", {"c" + n}); break;
      case 8: DbRun("UPDATE files SET deleted=NULL WHERE path=?", {"p" + n}); break;
    }
    ASSERT_EQ(ReadStatusCounts(), ScanStatusCounts()) << "after step " << step;
  }
  EXPECT_GT(ScanStatusCounts().chunk_bytes, 0);
}

TEST_F(StatusCountsTest, WritesOfAnotherConnectionAreCounted) {
  test::Database other(dir_ / "relay.db");
  other.Exec("INSERT INTO users(account) VALUES('x'),('y')");
  other.Exec("INSERT INTO files(user_id,path,deleted) VALUES(1,'a',0),(1,'b',1)");
  other.Exec("INSERT INTO chunks(sha256,size) VALUES('h',3000000000)");
  StatusCounts expected{2, 1, 1, 3000000000};
  EXPECT_EQ(ReadStatusCounts(), expected);
}

// A database written before the counts existed gets them from its rows.
TEST_F(StatusCountsTest, CountsStartFromTheExistingRows) {
  DbClose();
  {
    test::Database old(dir_ / "relay.db");
    old.Exec("DROP TABLE relay_counts");
    for (const char* t : {"users_insert", "users_delete", "files_insert", "files_delete",
                          "files_update", "chunks_insert", "chunks_delete", "chunks_update"}) {
      old.Exec(std::string("DROP TRIGGER relay_count_") + t);
    }
    old.Exec("INSERT INTO users(account) VALUES('x')");
    old.Exec("INSERT INTO files(user_id,path,deleted) VALUES(1,'a',0),(1,'b',0),(1,'c',1)");
    old.Exec("INSERT INTO chunks(sha256,size) VALUES('h',10),('i',20)");
  }
  OpenDatabase();
  StatusCounts expected{1, 2, 2, 30};
  EXPECT_EQ(ReadStatusCounts(), expected);
  // Opening again changes nothing.
  DbClose();
  OpenDatabase();
  EXPECT_EQ(ReadStatusCounts(), expected);
}

}  // namespace
}  // namespace kelvra
