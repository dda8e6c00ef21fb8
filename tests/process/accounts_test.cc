// Accounts over real sockets: registration, login, session tokens, the
// device registry and the heartbeat, checked against what lands in relay.db
// and in the service log.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <latch>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

constexpr int64_t SessionSeconds = 2592000;
constexpr char RegisterPath[] = "/api/register.php";
constexpr char LoginPath[] = "/api/login.php";
constexpr char HeartbeatPath[] = "/api/heartbeat.php";
constexpr char RegistrationPrefix[] = "注册账号: ";

// SHA-256 of "password", the textbook test vector.
constexpr char PasswordDigest[] =
    "5e884898da28047151d0e56f8dc6292773603d0d6aabbdd62a11ef721d1542d8";

int64_t WallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Returns once the wall clock has passed `stamp`, so whatever the server
// stamps next is strictly later than a stamp it has already handed out.
// This orders devices by last_seen without guessing at durations.
void WaitPast(int64_t stamp) {
  while (WallMillis() <= stamp) std::this_thread::sleep_for(1ms);
}

bool IsToken(const std::string& text) {
  static const std::regex shape("^[0-9a-f]{64}$");
  return std::regex_match(text, shape);
}

// A registration or login body; an absent optional leaves the member out.
Json Credentials(const std::string& account, const std::string& password,
                 std::optional<std::string> device = "dev",
                 std::optional<std::string> env = std::nullopt) {
  Json doc = {{"account", account}, {"password", password}};
  if (device) doc["device"] = *device;
  if (env) doc["env"] = *env;
  return doc;
}

// The body with its time stamps and its token replaced by "#", so that whole
// reply texts (member order included) can be compared literally. A token of
// the wrong shape is left alone and so shows up in the comparison.
std::string Masked(const std::string& body) {
  static const std::regex stamps(R"re("(lastSeen|serverTime)":\d+)re");
  static const std::regex token(R"re("token":"[0-9a-f]{64}")re");
  std::string out = std::regex_replace(body, stamps, "\"$1\":#");
  return std::regex_replace(out, token, "\"token\":\"#\"");
}

// A masked device list, most recently seen first: {name, env} pairs.
std::string DeviceList(const std::vector<std::pair<std::string, std::string>>& devices) {
  std::string out = "[";
  for (const auto& [name, env] : devices) {
    if (out.size() > 1) out += ",";
    out += R"({"env":")" + env + R"(","lastSeen":#,"name":")" + name + R"("})";
  }
  return out + "]";
}

std::string Refusal(const std::string& word) { return R"({"err":")" + word + R"(","ok":false})"; }

constexpr char RegisteredBody[] = R"({"ok":true,"serverTime":#,"token":"#"})";

std::string LoggedIn(const std::string& device_list) {
  return R"({"devices":)" + device_list + R"(,"ok":true,"serverTime":#,"token":"#"})";
}

std::string Heartbeat(const std::string& device_list) {
  return R"({"ok":true,"online":)" + device_list + R"(,"serverTime":#})";
}

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// The messages of the log file's lines, without the "[HH:MM:SS] " prefix.
std::vector<std::string> LogMessages(const std::string& text) {
  std::vector<std::string> messages;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    messages.push_back(line.size() > 11 ? line.substr(11) : line);
    start = end + 1;
  }
  return messages;
}

class AccountsTest : public ServerTest {
 protected:
  HttpResponse Post(const std::string& path, const Json& doc, const std::string& token = "") {
    return Call(port(), "POST", path, doc.dump(), token);
  }
  Json Registered(const Json& doc) { return Post(RegisterPath, doc).json(); }
  Json LoggedInAs(const Json& doc) { return Post(LoginPath, doc).json(); }

  std::string UserId(const std::string& account) {
    return db()->Scalar("SELECT id FROM users WHERE account=?", {account});
  }
  std::string PassHash(const std::string& account) {
    return db()->Scalar("SELECT pass_hash FROM users WHERE account=?", {account});
  }
  int64_t UserCount() { return std::stoll(db()->Scalar("SELECT COUNT(*) FROM users")); }
  // {name, env, last_seen} of an account's devices, by name.
  Database::Rows DevicesOf(const std::string& account) {
    return db()->Query(
        "SELECT name,env,last_seen FROM devices WHERE user_id=(SELECT id FROM users WHERE "
        "account=?) ORDER BY name",
        {account});
  }
  // {user_id, device, expires} of a session.
  Database::Rows Session(const std::string& token) {
    return db()->Query("SELECT user_id,device,expires FROM sessions WHERE token=?", {token});
  }
  std::vector<std::string> RegistrationLines() {
    std::vector<std::string> found;
    for (const std::string& m : LogMessages(server_.LogText())) {
      if (m.rfind(RegistrationPrefix, 0) == 0) found.push_back(m);
    }
    return found;
  }
};

TEST_F(AccountsTest, RegistrationValidatesByteLengthsBeforeTheNameCheck) {
  Register(port(), "taken", "dev");
  struct Case {
    const char* what;
    Json body;
    const char* refusal;  // nullptr: accepted
  } cases[] = {
      {"1-byte name", Credentials("x", "secret"), nullptr},
      {"64-byte name", Credentials(std::string(64, 'n'), "secret"), nullptr},
      {"65-byte name", Credentials(std::string(65, 'n'), "secret"), "invalid_input"},
      {"empty name", Credentials("", "secret"), "invalid_input"},
      {"21 three-byte characters", Credentials(Repeat("汉", 21), "secret"), nullptr},
      {"22 three-byte characters", Credentials(Repeat("汉", 22), "secret"), "invalid_input"},
      {"5-byte password", Credentials("pw5", "12345"), "invalid_input"},
      {"6-byte password", Credentials("pw6", "123456"), nullptr},
      {"two characters, 6 bytes of password", Credentials("pw2", "汉字"), nullptr},
      {"empty password", Credentials("pw0", ""), "invalid_input"},
      {"device missing", Credentials("nodev", "secret", std::nullopt), "invalid_input"},
      {"device empty", Credentials("emptydev", "secret", ""), "invalid_input"},
      {"device not a string",
       {{"account", "numdev"}, {"password", "secret"}, {"device", 7}},
       "invalid_input"},
      {"no fields at all", Json::object(), "invalid_input"},
      {"taken name, short password", Credentials("taken", "12345"), "invalid_input"},
      {"taken name, no device", Credentials("taken", "secret", std::nullopt), "invalid_input"},
      {"taken name, valid otherwise", Credentials("taken", "whatever-else"), "account_exists"},
  };
  int64_t accepted = 1;
  for (const Case& c : cases) {
    HttpResponse r = Post(RegisterPath, c.body);
    EXPECT_EQ(r.status, 200) << c.what;
    std::string account = c.body.value("account", "");
    if (c.refusal) {
      EXPECT_EQ(r.body, Refusal(c.refusal)) << c.what;
      if (account != "taken") {
        EXPECT_EQ(UserId(account), "") << c.what;
      }
    } else {
      EXPECT_EQ(Masked(r.body), RegisteredBody) << c.what;
      EXPECT_NE(UserId(account), "") << c.what;
      ++accepted;
    }
  }
  EXPECT_EQ(UserCount(), accepted);
  EXPECT_EQ(static_cast<int64_t>(RegistrationLines().size()), accepted);
}

TEST_F(AccountsTest, DeviceEnvDefaultsToOtherAndMayBeEmpty) {
  struct Case {
    const char* account;
    Json env;  // null: member left out
    const char* stored;
  } cases[] = {
      {"env-absent", nullptr, "other"},
      {"env-empty", "", ""},
      {"env-text", "Linux 6.1 桌面", "Linux 6.1 桌面"},
      {"env-number", 12, "other"},
  };
  for (const Case& c : cases) {
    Json body = Credentials(c.account, "secret", "box");
    if (!c.env.is_null()) body["env"] = c.env;
    ASSERT_EQ(Registered(body)["ok"], true) << c.account;
    EXPECT_EQ(DevicesOf(c.account).at(0).at(1), c.stored) << c.account;
  }
}

TEST_F(AccountsTest, StoredHashIsTheSha256OfThePasswordAloneAndLoginUsesIt) {
  int64_t before = WallMillis();
  HttpResponse r = Post(RegisterPath, Credentials("hash-user", "password", "desk"));
  int64_t after = WallMillis();
  EXPECT_EQ(Masked(r.body), RegisteredBody);
  auto row = db()->Query("SELECT pass_hash,created_at FROM users WHERE account='hash-user'");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0][0], PasswordDigest);
  int64_t created = std::stoll(row[0][1]);
  EXPECT_GE(created, before);
  EXPECT_LE(created, after);
  EXPECT_EQ(LoggedInAs(Credentials("hash-user", "password", "desk"))["ok"], true);
}

TEST_F(AccountsTest, SecondRegistrationOfANameKeepsTheFirstPassword) {
  ASSERT_EQ(Registered(Credentials("dup", "password", "first"))["ok"], true);
  for (const char* password : {"password", "another-password"}) {
    HttpResponse r = Post(RegisterPath, Credentials("dup", password, "second"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, Refusal("account_exists")) << password;
  }
  EXPECT_EQ(PassHash("dup"), PasswordDigest);
  EXPECT_EQ(UserCount(), 1);
  ASSERT_EQ(DevicesOf("dup").size(), 1u);  // the refused ones recorded no device
  EXPECT_EQ(DevicesOf("dup")[0][0], "first");
  EXPECT_EQ(LoggedInAs(Credentials("dup", "password"))["ok"], true);
  EXPECT_EQ(LoggedInAs(Credentials("dup", "another-password"))["err"], "bad_credentials");
}

TEST_F(AccountsTest, AccountNamesAreCaseSensitive) {
  ASSERT_EQ(Registered(Credentials("Alice", "upper-secret"))["ok"], true);
  ASSERT_EQ(Registered(Credentials("alice", "lower-secret"))["ok"], true);
  EXPECT_NE(UserId("Alice"), UserId("alice"));
  struct Case {
    const char* account;
    const char* password;
    bool ok;
  } cases[] = {
      {"Alice", "upper-secret", true},  {"alice", "lower-secret", true},
      {"alice", "upper-secret", false}, {"Alice", "lower-secret", false},
      {"ALICE", "upper-secret", false}, {"Alice", "UPPER-SECRET", false},
  };
  for (const Case& c : cases) {
    Json reply = LoggedInAs(Credentials(c.account, c.password));
    EXPECT_EQ(reply["ok"], c.ok) << c.account << " " << c.password;
    if (c.ok) {
      EXPECT_EQ(Session(reply["token"]).at(0).at(0), UserId(c.account)) << c.account;
    }
  }
}

TEST_F(AccountsTest, QuotesBackslashesAndSqlWordsAreStoredAndMatchedAsText) {
  struct Case {
    std::string account;
    std::string password;
  } cases[] = {
      {"o'brien", "it's a \\ \"pass\""},
      {"x\" OR \"1\"=\"1", "'; DROP TABLE users; --"},
      {"bob'); DROP TABLE sessions;--", "password' OR '1'='1"},
      {"back\\slash\\", "\\\\\\\\\\\\"},
      {"100%_*", "LIKE '%' ESCAPE"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Registered(Credentials(c.account, c.password, c.account))["ok"], true) << c.account;
  }
  Database::Rows stored = db()->Query("SELECT account FROM users ORDER BY id");
  ASSERT_EQ(stored.size(), std::size(cases));
  for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i][0], cases[i].account);
  // SHA-256 of the bytes  it's a \ "pass"  exactly as sent, after JSON unescaping.
  EXPECT_EQ(PassHash("o'brien"),
            "ae603a6286370387fd6a52f003826c4e89534d19f2a9b26a192db7d6f9e2fe6c");
  for (const Case& c : cases) {
    Json reply = LoggedInAs(Credentials(c.account, c.password, c.account));
    EXPECT_EQ(reply["ok"], true) << c.account;
    EXPECT_EQ(reply["devices"][0]["name"], c.account);
    EXPECT_EQ(LoggedInAs(Credentials(c.account, "' OR '1'='1"))["ok"], false) << c.account;
  }
  EXPECT_EQ(LoggedInAs(Credentials("' OR '1'='1", "' OR '1'='1"))["ok"], false);
  EXPECT_EQ(LoggedInAs(Credentials("100%", "LIKE '%' ESCAPE"))["ok"], false);
  EXPECT_EQ(UserCount(), static_cast<int64_t>(std::size(cases)));
}

TEST_F(AccountsTest, UnknownAccountAndWrongPasswordGetByteIdenticalResponses) {
  Register(port(), "known", "home", "right-password");
  const std::string expected =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
      "Content-Length: 36\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" +
      Refusal("bad_credentials");
  Json attempts[] = {
      Credentials("nobody", "right-password"),
      Credentials("known", "wrong-password"),
      Credentials("known", ""),
      Credentials("known", "right-password "),
      Credentials("", ""),
      Json::object(),
  };
  for (const Json& attempt : attempts) {
    EXPECT_EQ(Post(LoginPath, attempt).raw, expected) << attempt.dump();
  }
  // Refused logins record neither a device nor a session.
  EXPECT_EQ(DevicesOf("known").size(), 1u);
  EXPECT_EQ(db()->Scalar("SELECT COUNT(*) FROM sessions"), "1");
}

TEST_F(AccountsTest, LoginFromASecondDeviceListsBothWithItFirst) {
  Json reg = Registered(Credentials("two-devices", "secret", "desk", "linux"));
  ASSERT_EQ(reg["ok"], true);
  WaitPast(reg["serverTime"]);
  HttpResponse r = Post(LoginPath, Credentials("two-devices", "secret", "phone", "android"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Masked(r.body), LoggedIn(DeviceList({{"phone", "android"}, {"desk", "linux"}})));
  Json reply = r.json();
  int64_t phone = reply["devices"][0]["lastSeen"];
  int64_t desk = reply["devices"][1]["lastSeen"];
  EXPECT_GT(phone, desk);
  EXPECT_LE(phone, reply["serverTime"].get<int64_t>());
  EXPECT_EQ(Session(reply["token"]).at(0).at(1), "phone");
}

TEST_F(AccountsTest, LoginWithoutDeviceRecordsAnEmptyNamedDevice) {
  Json reg = Registered(Credentials("no-device", "secret", "desk"));
  ASSERT_EQ(reg["ok"], true);
  WaitPast(reg["serverTime"]);
  HttpResponse r = Post(LoginPath, Credentials("no-device", "secret", std::nullopt));
  EXPECT_EQ(Masked(r.body), LoggedIn(DeviceList({{"", "other"}, {"desk", "other"}})));
  Database::Rows devices = DevicesOf("no-device");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0][0], "");
  EXPECT_EQ(Session(r.json()["token"]).at(0).at(1), "");
}

TEST_F(AccountsTest, TokensAreDistinctLowerHexAndEachOpensTheGate) {
  std::vector<std::string> tokens = {Register(port(), "tokens", "first")};
  for (int i = 0; i < 6; ++i) {
    Json reply = LoggedInAs(Credentials("tokens", "secret-password", "first"));
    tokens.push_back(reply["token"].get<std::string>());
  }
  std::set<std::string> distinct(tokens.begin(), tokens.end());
  EXPECT_EQ(distinct.size(), tokens.size());
  for (const std::string& token : tokens) {
    EXPECT_TRUE(IsToken(token)) << token;
    EXPECT_EQ(Session(token).at(0).at(0), UserId("tokens"));
    HttpResponse r = Post(HeartbeatPath, Json::object(), token);
    EXPECT_EQ(r.status, 200) << token;
    EXPECT_EQ(r.json()["ok"], true) << token;
  }
  std::string upper = tokens[1];
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, tokens[1]) << "a token of digits only";
  HttpResponse refused = Post(HeartbeatPath, Json::object(), upper);
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.body, Refusal("unauthorized"));
}

TEST_F(AccountsTest, NewSessionExpiresThirtyDaysLaterInSeconds) {
  int64_t before = WallSeconds();
  std::string registered = Register(port(), "expiry", "pc");
  std::string logged_in = LoggedInAs(Credentials("expiry", "secret-password", "pc"))["token"];
  int64_t after = WallSeconds();
  for (const std::string& token : {registered, logged_in}) {
    int64_t expires = std::stoll(Session(token).at(0).at(2));
    EXPECT_GE(expires, before + SessionSeconds);
    EXPECT_LE(expires, after + SessionSeconds);
  }
}

// Many clients register one new name at the same instant. The name check
// and the insert are separate statements, so several may pass the check;
// only one insert can take effect, and everyone else must be told the name
// is taken rather than be handed a session on the winner's account.
//
// Long passwords (which are allowed) keep each request busy hashing between
// its name check and its insert, so the checks of most clients do overlap.
TEST_F(AccountsTest, SimultaneousRegistrationsOfOneNameGiveExactlyOneToken) {
  constexpr int Clients = 32;
  constexpr int Rounds = 8;
  auto password = [](int client) {
    return "password-" + std::to_string(client) + "-" + std::string(32 * 1024, 'p');
  };
  for (int round = 0; round < Rounds; ++round) {
    std::string account = "race-" + std::to_string(round);
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<std::string> requests;
    for (int i = 0; i < Clients; ++i) {
      std::string body = Credentials(account, password(i), "dev-" + std::to_string(i)).dump();
      requests.push_back(BuildRequest("POST", RegisterPath, body));
      connections.push_back(std::make_unique<Connection>(port()));
      ASSERT_TRUE(connections.back()->ok());
      // All but the last byte now, so the requests complete together.
      ASSERT_TRUE(connections.back()->Send(requests.back().substr(0, requests.back().size() - 1)));
    }
    std::latch go(Clients);
    std::vector<HttpResponse> replies(Clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i) {
      threads.emplace_back([&, i] {
        go.arrive_and_wait();
        connections[i]->Send(requests[i].substr(requests[i].size() - 1));
        replies[i] = ParseResponse(connections[i]->ReadAll(30s));
      });
    }
    for (std::thread& t : threads) t.join();

    int winner = -1;
    for (int i = 0; i < Clients; ++i) {
      ASSERT_EQ(replies[i].status, 200) << i;
      if (replies[i].json().value("ok", false)) {
        EXPECT_EQ(winner, -1) << "second token for one name, client " << i;
        winner = i;
      } else {
        EXPECT_EQ(replies[i].body, Refusal("account_exists")) << i;
      }
    }
    ASSERT_NE(winner, -1) << account;
    std::string token = replies[winner].json()["token"];
    std::string win = std::to_string(winner);
    EXPECT_EQ(Session(token).at(0).at(0), UserId(account));
    EXPECT_EQ(Post(HeartbeatPath, Json::object(), token).status, 200);
    EXPECT_EQ(db()->Scalar("SELECT COUNT(*) FROM users WHERE account=?", {account}), "1");
    Database::Rows devices = DevicesOf(account);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0][0], "dev-" + win);
    EXPECT_EQ(LoggedInAs(Credentials(account, password(winner)))["ok"], true);
    EXPECT_EQ(LoggedInAs(Credentials(account, password((winner + 1) % Clients)))["ok"], false);
  }
  EXPECT_EQ(UserCount(), Rounds);
  EXPECT_EQ(RegistrationLines().size(), static_cast<size_t>(Rounds));
}

TEST_F(AccountsTest, OnlyASuccessfulRegistrationWritesALogLine) {
  size_t lines_at_start = LogMessages(server_.LogText()).size();
  ASSERT_EQ(Registered(Credentials("日志用户", "secret", "书房电脑"))["ok"], true);
  EXPECT_EQ(RegistrationLines(), std::vector<std::string>{"注册账号: 日志用户 设备: 书房电脑"});
  EXPECT_EQ(LoggedInAs(Credentials("日志用户", "secret", "手机"))["ok"], true);
  EXPECT_EQ(LoggedInAs(Credentials("日志用户", "wrong-secret", "手机"))["ok"], false);
  EXPECT_EQ(Registered(Credentials("日志用户", "secret", "手机"))["err"], "account_exists");
  EXPECT_EQ(Registered(Credentials("short", "12345", "手机"))["err"], "invalid_input");
  EXPECT_EQ(LogMessages(server_.LogText()).size(), lines_at_start + 1);
}

TEST_F(AccountsTest, HeartbeatRecordsTheNamedDeviceAndListsTheAccountsDevices) {
  // Another account with the same device names, which must never show up.
  std::string stranger = Register(port(), "stranger", "phone");
  ASSERT_EQ(Post(HeartbeatPath, {{"device", "laptop"}}, stranger).json()["ok"], true);

  Json reg = Registered(Credentials("owner", "secret", "laptop", "linux"));
  std::string token = reg["token"];
  int64_t last_stamp = reg["serverTime"];
  struct Step {
    const char* what;
    Json body;
    bool records;
    std::vector<std::pair<std::string, std::string>> online;  // {name, env}
  } steps[] = {
      {"no fields", Json::object(), false, {{"laptop", "linux"}}},
      {"empty device, env ignored", {{"device", ""}, {"env", "x"}}, false, {{"laptop", "linux"}}},
      {"env of any type without device", {{"env", Json::array({1})}}, false, {{"laptop", "linux"}}},
      {"new device with env",
       {{"device", "phone"}, {"env", "android"}},
       true,
       {{"phone", "android"}, {"laptop", "linux"}}},
      {"new device without env",
       {{"device", "tablet"}},
       true,
       {{"tablet", "other"}, {"phone", "android"}, {"laptop", "linux"}}},
      {"known device without env",
       {{"device", "phone"}},
       true,
       {{"phone", "other"}, {"tablet", "other"}, {"laptop", "linux"}}},
      {"name differing in case only",
       {{"device", "Phone"}, {"env", "ios"}},
       true,
       {{"Phone", "ios"}, {"phone", "other"}, {"tablet", "other"}, {"laptop", "linux"}}},
      {"known device, empty env",
       {{"device", "laptop"}, {"env", ""}},
       true,
       {{"laptop", ""}, {"Phone", "ios"}, {"phone", "other"}, {"tablet", "other"}}},
  };
  for (const Step& s : steps) {
    WaitPast(last_stamp);
    Database::Rows before = DevicesOf("owner");
    HttpResponse r = Post(HeartbeatPath, s.body, token);
    EXPECT_EQ(r.status, 200) << s.what;
    EXPECT_EQ(Masked(r.body), Heartbeat(DeviceList(s.online))) << s.what;
    Json reply = r.json();
    int64_t previous_stamp = last_stamp;
    last_stamp = reply["serverTime"];
    if (s.records) {
      // Seen by this heartbeat: after the previous reply, not after this one.
      int64_t seen = reply["online"][0]["lastSeen"];
      EXPECT_GT(seen, previous_stamp) << s.what;
      EXPECT_LE(seen, last_stamp) << s.what;
    } else {
      EXPECT_EQ(DevicesOf("owner"), before) << s.what;
    }
  }
  EXPECT_EQ(DevicesOf("stranger").size(), 2u);
}

TEST_F(AccountsTest, HeartbeatListsDevicesSeenLongAgo) {
  std::string token = Register(port(), "old-timer", "today");
  int64_t months_ago = WallMillis() - 90LL * 24 * 3600 * 1000;
  db()->Exec("INSERT INTO devices(user_id,name,env,last_seen) VALUES(?,'attic','old',?)",
             {UserId("old-timer"), std::to_string(months_ago)});
  HttpResponse r = Post(HeartbeatPath, Json::object(), token);
  EXPECT_EQ(Masked(r.body), Heartbeat(DeviceList({{"today", "other"}, {"attic", "old"}})));
  EXPECT_EQ(r.json()["online"][1]["lastSeen"], months_ago);
}

TEST_F(AccountsTest, AccountWithoutDevicesGetsAnEmptyOnlineList) {
  auto d = db();
  d->Exec("INSERT INTO users(account,pass_hash,created_at) VALUES('bare',?,1)", {PasswordDigest});
  std::string token(64, 'c');
  d->Exec("INSERT INTO sessions(token,user_id,device,expires) VALUES(?,?,'',?)",
          {token, UserId("bare"), std::to_string(WallSeconds() + 3600)});
  HttpResponse r = Post(HeartbeatPath, Json::object(), token);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Masked(r.body), R"({"ok":true,"online":[],"serverTime":#})");
}

// A statement that fails (here forced by a trigger in the real database)
// must not end in a success reply carrying a token that has no session.
TEST_F(AccountsTest, FailedStatementsAnswerIoInsteadOfADeadToken) {
  Register(port(), "before-failure", "pc");
  db()->Exec(
      "CREATE TRIGGER refuse_sessions BEFORE INSERT ON sessions "
      "BEGIN SELECT RAISE(ABORT,'refused'); END");
  EXPECT_EQ(Post(LoginPath, Credentials("before-failure", "secret-password", "pc")).body,
            Refusal("io"));
  EXPECT_EQ(Post(RegisterPath, Credentials("no-session", "secret", "pc")).body, Refusal("io"));

  db()->Exec("DROP TRIGGER refuse_sessions");
  db()->Exec(
      "CREATE TRIGGER refuse_users BEFORE INSERT ON users "
      "BEGIN SELECT RAISE(ABORT,'refused'); END");
  size_t lines = RegistrationLines().size();
  EXPECT_EQ(Post(RegisterPath, Credentials("no-account", "secret", "pc")).body, Refusal("io"));
  EXPECT_EQ(RegistrationLines().size(), lines);
  EXPECT_EQ(UserId("no-account"), "");
}

TEST(AccountsWithoutDatabase, UnusableDatabaseNeverYieldsAToken) {
  TempDir dir;
  std::filesystem::create_directories(dir / "relay.db");
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  HttpResponse reg =
      Call(server.port(), "POST", RegisterPath, Credentials("nowhere", "secret", "pc").dump());
  EXPECT_EQ(reg.status, 200);
  EXPECT_EQ(reg.body, Refusal("io"));
  HttpResponse login =
      Call(server.port(), "POST", LoginPath, Credentials("nowhere", "secret", "pc").dump());
  EXPECT_EQ(login.status, 200);
  EXPECT_EQ(login.json()["ok"], false);
  EXPECT_FALSE(login.json().contains("token"));
  EXPECT_EQ(server.LogText().find(RegistrationPrefix), std::string::npos);
  EXPECT_EQ(server.Stop(), std::optional<int>(0));
}

}  // namespace
}  // namespace kelvra::test
