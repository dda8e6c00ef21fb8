// CreateSession against a real relay.db: a token it returns always has its
// own session row, also when an insert does not take effect (the way a
// token collision shows up), and it returns nothing rather than a token
// without a row when the database keeps refusing.
#include "accounts/sessions.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "database_test.h"
#include "harness.h"

namespace kelvra {
namespace {

class SessionsTest : public test::DatabaseTest {
 protected:
  std::string Count(const std::string& table) {
    return DbQuery("SELECT COUNT(*) FROM " + table)[0][0];
  }
  test::TempDir dir_;
};

TEST_F(SessionsTest, TokenTextsAreSixtyFourLowerHexDigitsAndDistinct) {
  std::regex shape("^[0-9a-f]{64}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string token = NewTokenText();
    EXPECT_TRUE(std::regex_match(token, shape)) << token;
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST_F(SessionsTest, IgnoredInsertDrawsAnotherTokenThatHasItsRow) {
  // The first insert is dropped without an error, as if its token were
  // already taken; the token it tried is kept aside for comparison.
  DbRun("CREATE TABLE dropped(token TEXT)");
  DbRun(
      "CREATE TRIGGER drop_first BEFORE INSERT ON sessions "
      "WHEN (SELECT COUNT(*) FROM dropped)=0 "
      "BEGIN INSERT INTO dropped VALUES(NEW.token); SELECT RAISE(IGNORE); END");
  std::string token = CreateSession(7, "laptop");
  ASSERT_EQ(Count("dropped"), "1");
  EXPECT_NE(token, DbQuery("SELECT token FROM dropped")[0][0]);
  EXPECT_EQ(DbQuery("SELECT user_id,device FROM sessions WHERE token=?", {token}),
            (DbRows{{"7", "laptop"}}));
  EXPECT_EQ(Count("sessions"), "1");
}

TEST_F(SessionsTest, RefusedInsertsGiveNoTokenRatherThanOneWithoutARow) {
  DbRun(
      "CREATE TRIGGER refuse BEFORE INSERT ON sessions "
      "BEGIN SELECT RAISE(ABORT,'refused'); END");
  EXPECT_EQ(CreateSession(1, "pc"), "");
  EXPECT_EQ(Count("sessions"), "0");
}

TEST_F(SessionsTest, DeviceIsStoredAsGivenAlsoWhenEmpty) {
  for (const std::string device : {"", "Tom's \"PC\" \\ 电脑"}) {
    std::string token = CreateSession(3, device);
    EXPECT_EQ(DbQuery("SELECT device FROM sessions WHERE token=?", {token}), (DbRows{{device}}));
  }
}

}  // namespace
}  // namespace kelvra
