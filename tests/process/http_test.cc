// The HTTP front end over real sockets: framing, limits, routing and the
// authentication gate, with sessions written straight into relay.db.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <regex>
#include <thread>

#include "common/sha256.h"
#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

class HttpTest : public ServerTest {
 protected:
  // A session for user 1 that expires `seconds_left` from now.
  std::string AddSession(int64_t seconds_left = 3600, const std::string& user = "1") {
    std::string token = std::string(63, 'a') + static_cast<char>('0' + (next_++ % 10));
    db()->Exec("INSERT INTO sessions(token,user_id,device,expires) VALUES(?,?,'d',?)",
               {token, user, std::to_string(WallSeconds() + seconds_left)});
    return token;
  }
  int64_t Expires(const std::string& token) {
    return std::stoll(db()->Scalar("SELECT expires FROM sessions WHERE token=?", {token}));
  }
  int next_ = 0;
};

TEST_F(HttpTest, RefusedTokenGetsTheExact401Response) {
  HttpResponse r = Call(port(), "POST", "/api/heartbeat.php", "{}");
  EXPECT_EQ(r.raw,
            "HTTP/1.1 401 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 33\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
            "{\"err\":\"unauthorized\",\"ok\":false}");
}

TEST_F(HttpTest, UnknownPathWithAValidTokenGets404AndRenewsTheSession) {
  std::string token = AddSession(10);
  int64_t before = WallSeconds();
  HttpResponse r = Call(port(), "GET", "/api/nothing.php", "", token);
  EXPECT_EQ(r.raw,
            "HTTP/1.1 404 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 30\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
            "{\"err\":\"not_found\",\"ok\":false}");
  int64_t expires = Expires(token);
  EXPECT_GE(expires, before + 2592000);
  EXPECT_LE(expires, WallSeconds() + 2592000);
}

TEST_F(HttpTest, PublicRoutesNeedNoToken) {
  for (const char* target : {"/", "/status", "/status?refresh=1"}) {
    HttpResponse r = Call(port(), "GET", target);
    EXPECT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.headers["content-type"], "text/html; charset=utf-8") << target;
    EXPECT_EQ(r.headers.count("cache-control"), 0u) << target;
  }
  HttpResponse status = Call(port(), "GET", "/api/status.php?x=1", "", "ignored-token");
  EXPECT_EQ(status.status, 200);
  EXPECT_EQ(status.headers["cache-control"], "no-store");
  EXPECT_EQ(Call(port(), "POST", "/api/register.php", "{}").json()["err"], "invalid_input");
  EXPECT_EQ(Call(port(), "POST", "/api/login.php", "{}").json()["err"], "bad_credentials");
}

TEST_F(HttpTest, EverythingElseGoesThroughTheGate) {
  std::string token = AddSession();
  struct Case {
    const char* method;
    const char* target;
  } cases[] = {
      {"GET", "/status/"},          {"GET", "/Status"},        {"get", "/"},
      {"HEAD", "/"},                {"OPTIONS", "/"},          {"DELETE", "/api/chunk.php"},
      {"GET", "/api/login.php"},    {"GET", "/api/register.php"},
      {"POST", "/api/status.php"},  {"POST", "/"},             {"PUT", "/status"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call(port(), c.method, c.target).status, 401) << c.method << " " << c.target;
    EXPECT_EQ(Call(port(), c.method, c.target, "", token).status, 404)
        << c.method << " " << c.target;
  }
}

TEST_F(HttpTest, GateLengthLookupAndExpiry) {
  std::string live = AddSession();
  std::string upper = live;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    std::string token;
    int status;
  } cases[] = {
      {live, 404},
      {live.substr(0, 63), 401},
      {live + "a", 401},
      {upper, 401},
      {std::string(64, 'f'), 401},  // right length, no session
      {"", 401},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call(port(), "GET", "/x", "", c.token).status, c.status) << c.token;
  }
  // One second in the past is refused; the current second is still accepted.
  std::string past = AddSession(-1);
  EXPECT_EQ(Call(port(), "GET", "/x", "", past).status, 401);
  std::string now = AddSession(0);
  HttpResponse r = Call(port(), "GET", "/x", "", now);
  if (Expires(now) < WallSeconds()) GTEST_SKIP() << "the second turned over meanwhile";
  EXPECT_EQ(r.status, 404);
  EXPECT_GE(Expires(now), WallSeconds() + 2592000 - 2);
  // A negative user id is refused, after the renewal.
  std::string negative = AddSession(100, "-4");
  EXPECT_EQ(Call(port(), "GET", "/x", "", negative).status, 401);
  EXPECT_GE(Expires(negative), WallSeconds() + 2592000 - 2);
}

TEST_F(HttpTest, TokenHeaderSpellings) {
  std::string token = AddSession();
  auto status_with = [&](const std::string& header) {
    return HttpExchange(port(), "GET /x HTTP/1.1\r\n" + header + "\r\n\r\n").status;
  };
  EXPECT_EQ(status_with("x-auth-token: " + token), 404);
  EXPECT_EQ(status_with("X-AUTH-TOKEN: " + token), 404);
  EXPECT_EQ(status_with("x-Auth-Token:" + token), 404);
  EXPECT_EQ(status_with("x-auth-token:     " + token), 404);  // leading blanks go
  EXPECT_EQ(status_with("x-auth-token: " + token + " "), 401);  // trailing blanks stay
  EXPECT_EQ(status_with("x-auth-token : " + token), 401);  // not the header we read
}

TEST_F(HttpTest, HeadAtTheLimitIsServedAndOneByteMoreIsDropped) {
  auto head_of = [](size_t total) {
    std::string start = "GET /api/status.php HTTP/1.1\r\nPad: ";
    return start + std::string(total - start.size() - 4, 'x') + "\r\n\r\n";
  };
  EXPECT_EQ(HttpExchange(port(), head_of(65536)).status, 200);
  HttpResponse over = HttpExchange(port(), head_of(65537));
  EXPECT_FALSE(over.received);
  HttpResponse open = HttpExchange(port(), std::string(65537, 'G'));
  EXPECT_FALSE(open.received);
}

TEST_F(HttpTest, BodyAtTheLimitIsReadAndLargerOrNegativeAreDropped) {
  std::string token = AddSession();
  std::string body(9437184, ' ');
  HttpResponse full = Call(port(), "POST", "/api/heartbeat.php", body, token);
  EXPECT_EQ(full.status, 200);
  EXPECT_EQ(full.json()["ok"], true);
  for (const char* length : {"9437185", "-1"}) {
    HttpResponse r = HttpExchange(
        port(), "POST /api/heartbeat.php HTTP/1.1\r\nx-auth-token: " + token +
                    "\r\nContent-Length: " + length + "\r\n\r\n{}");
    EXPECT_FALSE(r.received) << length;
  }
}

TEST_F(HttpTest, ContentLengthReadsLeadingDigits) {
  std::string token = AddSession();
  std::string chunk = "hello world!";
  Connection c(port());
  ASSERT_TRUE(c.Send("PUT /api/chunk.php?sha256=" + Sha256Hex(chunk) +
                     "&size=12 HTTP/1.1\r\nx-auth-token: " + token +
                     "\r\nContent-Length: 12abc\r\n\r\n"));
  // The server waits for the 12 announced bytes before it answers.
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(c.Send(chunk));
  HttpResponse r = ParseResponse(c.ReadAll(10s));
  EXPECT_EQ(r.body, "{\"ok\":true}");
}

TEST_F(HttpTest, BodyBytesWithoutContentLengthAreTheBody) {
  std::string token = AddSession();
  HttpResponse r = HttpExchange(port(), "PUT /api/chunk.php?sha256=" + Sha256Hex("hello") +
                                            "&size=5 HTTP/1.1\r\nx-auth-token: " + token +
                                            "\r\n\r\nhello");
  EXPECT_EQ(r.body, "{\"ok\":true}");
  // Without body bytes and length, the body is empty.
  HttpResponse empty = HttpExchange(port(), "PUT /api/chunk.php?sha256=" + Sha256Hex("hello") +
                                                "&size=5 HTTP/1.1\r\nx-auth-token: " + token +
                                                "\r\n\r\n");
  EXPECT_EQ(empty.body, "{\"err\":\"size_mismatch\",\"ok\":false}");
}

TEST_F(HttpTest, UnreadableRequestsAreClosedWithoutAReply) {
  for (const char* raw : {"GARBAGE\r\n\r\n", "GET /\r\n\r\n", "GET / HTTP/1.1\r\n"}) {
    HttpResponse r = HttpExchange(port(), raw, 10s, /*half_close=*/true);
    EXPECT_FALSE(r.received) << raw;
  }
  // The server is still serving.
  EXPECT_EQ(Call(port(), "GET", "/api/status.php").status, 200);
}

TEST_F(HttpTest, StatusDocumentOnAFreshServer) {
  HttpResponse r = Call(port(), "GET", "/api/status.php");
  std::regex shape(
      R"(^\{"chunkBytes":0,"chunks":0,"files":0,"ok":true,"serverTime":(\d+),"users":0,)"
      R"("version":"1\.0\.0"\}$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.body, m, shape)) << r.body;
  int64_t server_ms = std::stoll(m[1].str());
  int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_LE(std::abs(now_ms - server_ms), 5000);
  EXPECT_EQ(r.headers["content-length"], std::to_string(r.body.size()));
}

TEST_F(HttpTest, StatusDocumentCountsRows) {
  auto d = db();
  d->Exec("INSERT INTO users(account) VALUES('a'),('b')");
  d->Exec("INSERT INTO files(user_id,path,deleted) VALUES(1,'x',0),(1,'y',1),(2,'x',0)");
  d->Exec("INSERT INTO chunks(sha256,size) VALUES('h1',3000000000),('h2',5)");
  Json s = Call(port(), "GET", "/api/status.php").json();
  EXPECT_EQ(s["users"], 2);
  EXPECT_EQ(s["files"], 2);  // the deleted one is not counted
  EXPECT_EQ(s["chunks"], 2);
  EXPECT_EQ(s["chunkBytes"], 3000000005LL);  // 64-bit sum
}

int RequestCountOnPage(int port) {
  std::string page = Call(port, "GET", "/").body;
  std::smatch m;
  std::regex count("请求 (\\d+)<");
  if (!std::regex_search(page, m, count)) return -1;
  return std::stoi(m[1].str());
}

TEST_F(HttpTest, EveryConnectionIsCountedEvenWithoutARequest) {
  int first = RequestCountOnPage(port());
  ASSERT_GE(first, 1);
  {
    Connection silent(port());
    ASSERT_TRUE(silent.ok());
  }
  HttpExchange(port(), "NOT A REQUEST\r\n\r\n", 10s, true);
  // The page load itself counts too.
  EXPECT_EQ(RequestCountOnPage(port()), first + 3);
}

TEST_F(HttpTest, WrongJsonTypesReadAsDefaults) {
  std::string token = AddSession();
  // "device" given as a number reads as empty: nothing is recorded.
  Json r = PostJson(port(), "/api/heartbeat.php", {{"device", 5}, {"env", 1}}, token);
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["online"], Json::array());
  r = PostJson(port(), "/api/heartbeat.php", {{"device", "pc"}, {"env", nullptr}}, token);
  EXPECT_EQ(r["online"][0]["env"], "other");
  // A body that is not an object reads as no fields at all.
  EXPECT_EQ(Call(port(), "POST", "/api/heartbeat.php", "[{\"device\":\"x\"}]", token)
                .json()["online"]
                .size(),
            1u);
}

TEST_F(HttpTest, InvalidUtf8FromTheDatabaseIsReplaced) {
  std::string token = AddSession();
  db()->Exec("INSERT INTO devices(user_id,name,env,last_seen) VALUES(1,?,'e',1)",
             {std::string("bad\xff")});
  HttpResponse r = Call(port(), "POST", "/api/heartbeat.php", "{}", token);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.json()["online"][0]["name"], "bad\xEF\xBF\xBD");
}

// A client that says nothing is closed after the idle time-out, and many of
// them do not keep anyone else from being served meanwhile.
TEST_F(HttpTest, IdleConnectionsAreClosedAndDoNotBlockOthers) {
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<Connection>(port()));
    ASSERT_TRUE(idle.back()->ok());
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Call(port(), "GET", "/api/status.php").status, 200);
  // Half a head is no better than nothing.
  ASSERT_TRUE(idle[0]->Send("GET /api/status.php HTTP/1.1\r\n"));
  bool closed = false;
  std::string got = idle[0]->ReadAll(40s, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(got, "");
  EXPECT_TRUE(idle[1]->WaitClosed(5s));
}

}  // namespace
}  // namespace kelvra::test
