// Hostile and malformed input over real sockets: floods of heads at and past
// the head limit, crowds of idle and dripping connections, deeply nested and
// huge JSON bodies, every request field with every JSON type, tokens of every
// length, and NUL, percent-encoded and non-UTF-8 bytes wherever a client can
// put them. Whatever arrives, the server answers by its rules or closes the
// one connection, keeps serving everyone else, and does not grow without
// bound.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <latch>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "common/sha256.h"
#include "harness.h"
#include "http/limits.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MiB = 1 << 20;
const std::string Unauthorized = R"({"err":"unauthorized","ok":false})";
const std::string NotFound = R"({"err":"not_found","ok":false})";
const std::string InvalidInput = R"({"err":"invalid_input","ok":false})";
const std::string EmptyPush = R"({"accepted":0,"needChunks":[],"ok":true,"skipped":0})";

uint64_t ResidentBytes(pid_t pid) { return ProcStatusBytes(pid, "VmRSS"); }

size_t OpenDescriptors(pid_t pid) {
  std::error_code ignored;
  size_t n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
       it != fs::directory_iterator(); it.increment(ignored)) {
    ++n;
  }
  return n;
}

// True when the server has closed its end or sent something: the socket is
// readable (data or EOF) or broken.
bool ServerSpokeOrClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// `piece` repeated for as long as the text stays within `size` bytes.
std::string Repeated(const std::string& piece, size_t size) {
  std::string text;
  text.reserve(size);
  while (text.size() + piece.size() <= size) text += piece;
  return text;
}

// A change of a push. Built member by member: braced lists of objects are
// ambiguous for the JSON library.
Json Change(const Json& path, const Json& sha256, const Json& size) {
  Json change = Json::object();
  change["path"] = path;
  change["sha256"] = sha256;
  change["size"] = size;
  return change;
}

Json PushDoc(const std::string& device, const std::vector<Json>& changes) {
  Json doc = Json::object();
  doc["device"] = device;
  doc["changes"] = Json::array();
  for (const Json& change : changes) doc["changes"].push_back(change);
  return doc;
}

// One (sorted) set of (name, env) pairs from a device list.
std::set<std::pair<std::string, std::string>> DeviceSet(const Json& list) {
  std::set<std::pair<std::string, std::string>> out;
  if (!list.is_array()) return out;
  for (const Json& d : list) out.insert({d.value("name", "?"), d.value("env", "?")});
  return out;
}

class HostileInputTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    token_ = Register(port(), "hostile-owner", "laptop");
  }

  // The server still runs and answers a public and a protected request.
  void ExpectServing() {
    ASSERT_TRUE(server_.running()) << "the server died";
    EXPECT_EQ(Call(port(), "GET", "/api/status.php").status, 200);
    EXPECT_EQ(PostJson(port(), "/api/heartbeat.php", {{"device", "laptop"}}, token_)["ok"], true);
  }

  HttpResponse Post(const std::string& path, const std::string& body,
                    const std::string& token = "") {
    return Call(port(), "POST", path, body, token);
  }

  Json Manifest() { return Call(port(), "GET", "/api/manifest.php?since=0", "", token_).json(); }

  std::string token_;
};

// Many clients at once send heads of exactly the limit and one byte over it
// (with and without an end of head). The first kind is served, the second
// closed without a byte of reply, and neither kind disturbs the other.
TEST_F(HostileInputTest, FloodOfHeadsAtAndBeyondTheLimitServesOnlyThoseWithinIt) {
  auto head_of = [](size_t total) {
    std::string start = "GET /api/status.php HTTP/1.1\r\nPad: ";
    return start + std::string(total - start.size() - 4, 'x') + "\r\n\r\n";
  };
  const std::string at_limit = head_of(MaxHeadBytes);
  const std::string over_limit = head_of(MaxHeadBytes + 1);
  const std::string never_ending(MaxHeadBytes + 1, 'G');
  constexpr int PerKind = 40;
  const std::string* kinds[] = {&at_limit, &over_limit, &never_ending};
  constexpr int Clients = 3 * PerKind;

  std::latch start(Clients);
  std::vector<HttpResponse> replies(Clients);
  std::vector<std::thread> threads;
  for (int i = 0; i < Clients; ++i) {
    threads.emplace_back([&, i] {
      Connection c(port());
      start.arrive_and_wait();
      c.Send(*kinds[i % 3]);  // the server may cut an over-long head short
      replies[i] = ParseResponse(c.ReadAll(30s));
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < Clients; ++i) {
    if (i % 3 == 0) {
      EXPECT_EQ(replies[i].status, 200) << i;
      EXPECT_EQ(replies[i].json()["ok"], true) << i;
    } else {
      EXPECT_FALSE(replies[i].received) << i << ": " << replies[i].raw.substr(0, 80);
    }
  }
  ExpectServing();
}

// A thousand connections that never send a byte are all held open while 50
// ordinary requests are answered; the idle ones are not closed to make room.
TEST_F(HostileInputTest, ThousandIdleConnectionsDoNotKeepOthersFromBeingServed) {
  constexpr size_t Idle = 1000;
  constexpr size_t Batch = 50;
  const size_t before = OpenDescriptors(server_.pid());
  std::vector<std::unique_ptr<Connection>> idle;
  // In batches that the server has accepted before the next one connects,
  // so the listen backlog never overflows into slow SYN retries.
  while (idle.size() < Idle) {
    for (size_t i = 0; i < Batch; ++i) {
      idle.push_back(std::make_unique<Connection>(port()));
      ASSERT_TRUE(idle.back()->ok()) << idle.size();
    }
    auto until = Clock::now() + 20s;
    while (OpenDescriptors(server_.pid()) < before + idle.size() && Clock::now() < until) {
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_GE(OpenDescriptors(server_.pid()), before + idle.size());
  }

  for (int i = 0; i < 50; ++i) {
    switch (i % 5) {
      case 0:
        EXPECT_EQ(Call(port(), "GET", "/api/status.php").json()["ok"], true) << i;
        break;
      case 1:
        EXPECT_EQ(Call(port(), "GET", "/").status, 200) << i;
        break;
      case 2:
        Register(port(), "crowd-" + std::to_string(i), "phone");
        break;
      case 3:
        EXPECT_EQ(PostJson(port(), "/api/heartbeat.php", {{"device", "pc"}}, token_)["ok"], true);
        break;
      default:
        EXPECT_EQ(Manifest()["ok"], true) << i;
    }
  }
  size_t closed = 0;
  for (const auto& c : idle) closed += ServerSpokeOrClosed(c->fd()) ? 1 : 0;
  EXPECT_EQ(closed, 0u) << "idle connections were dropped to serve others";
}

// Clients that send their head one byte at a time keep nobody else waiting,
// and are closed without a reply once the head deadline has passed, although
// they never fall silent long enough for the idle time-out.
TEST_F(HostileInputTest, DrippingClientsDoNotHoldUpOthersAndAreClosedAtTheHeadDeadline) {
  constexpr int Drippers = 10;
  const std::string endless = "GET /api/status.php HTTP/1.1\r\nX-Slow: " + std::string(4000, 's');
  std::vector<std::unique_ptr<Connection>> drip;
  for (int i = 0; i < Drippers; ++i) drip.push_back(std::make_unique<Connection>(port()));
  std::vector<size_t> sent(Drippers, 0);
  std::vector<bool> closed(Drippers, false);
  std::vector<std::string> got(Drippers);
  std::atomic<bool> others_done{false};
  std::atomic<int> closed_before_others_done{0};

  // A jthread: joined even when a failed check ends the test early.
  std::jthread dripper([&] {
    auto until = Clock::now() + 60s;  // the deadline is 30 s; this only bounds the test
    int open = Drippers;
    while (open > 0 && Clock::now() < until) {
      for (int i = 0; i < Drippers; ++i) {
        if (closed[i]) continue;
        if (ServerSpokeOrClosed(drip[i]->fd())) {
          got[i] = drip[i]->ReadAll(1s, nullptr);
          closed[i] = true;
          --open;
          if (!others_done.load()) ++closed_before_others_done;
          continue;
        }
        if (sent[i] < endless.size() && drip[i]->Send(endless.substr(sent[i], 1))) ++sent[i];
      }
      std::this_thread::sleep_for(100ms);
    }
  });

  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Call(port(), "GET", "/api/status.php").status, 200) << i;
    EXPECT_EQ(PostJson(port(), "/api/heartbeat.php", {{"device", "pc"}}, token_)["ok"], true);
  }
  others_done.store(true);
  dripper.join();

  EXPECT_EQ(closed_before_others_done.load(), 0) << "others waited for the drippers";
  for (int i = 0; i < Drippers; ++i) {
    EXPECT_TRUE(closed[i]) << "dripper " << i << " was never closed";
    EXPECT_EQ(got[i], "") << "a dripper got a reply";
    EXPECT_LT(sent[i], MaxHeadBytes);
    EXPECT_GT(sent[i], 0u);
  }
  ExpectServing();
}

// Bodies that nest without end, or far deeper than any request needs, read
// as documents without fields on every route that parses its body.
TEST_F(HostileInputTest, DeeplyNestedBodiesReadAsDocumentsWithoutFields) {
  const std::string nested_closed = std::string(100000, '[') + std::string(100000, ']');
  std::string at_depth_limit;
  for (size_t i = 0; i < MaxJsonDepth; ++i) at_depth_limit += "{\"a\":";
  at_depth_limit += "1" + std::string(MaxJsonDepth, '}');
  const std::string bodies[] = {
      Repeated("[", MaxBodyBytes),
      Repeated("{\"a\":", MaxBodyBytes),
      nested_closed,
      at_depth_limit,
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body.substr(0, 12) + "... of " + std::to_string(body.size()) + " bytes");
    EXPECT_EQ(Post("/api/register.php", body).body, InvalidInput);
    EXPECT_EQ(Post("/api/login.php", body).body, R"({"err":"bad_credentials","ok":false})");
    EXPECT_EQ(Post("/api/push.php", body, token_).body, EmptyPush);
    Json beat = Post("/api/heartbeat.php", body, token_).json();
    EXPECT_EQ(beat["ok"], true);
    EXPECT_EQ(DeviceSet(beat["online"]),
              (std::set<std::pair<std::string, std::string>>{{"laptop", "other"}}));
    ASSERT_TRUE(server_.running());
  }
  ExpectServing();
}

// Strings of almost 9 MiB in every text field a client sends, answered by
// the ordinary rules: too long where a limit applies, stored where none does.
TEST_F(HostileInputTest, NineMebibyteStringsInFieldsAreAnsweredByTheRules) {
  // Bodies and replies this size are built and searched as text: the test's
  // own JSON handling would dominate the run time otherwise.
  const std::string huge(MaxBodyBytes - 200, 'h');
  auto post = [&](const std::string& path, const std::string& body, const std::string& token = "") {
    EXPECT_LE(body.size(), MaxBodyBytes);
    HttpResponse r = Post(path, body, token);
    EXPECT_EQ(r.status, 200) << path;
    return r.body;
  };
  auto text = [](const std::string& name, const std::string& value) {
    return "\"" + name + "\":\"" + value + "\"";
  };
  const std::string password = text("password", "secret-password");
  EXPECT_EQ(post("/api/register.php",
                 "{" + text("account", huge) + "," + password + "," + text("device", "d") + "}"),
            InvalidInput);
  EXPECT_EQ(post("/api/login.php", "{" + text("account", huge) + "," + password + "}"),
            R"({"err":"bad_credentials","ok":false})");
  // No upper limit on passwords and environments.
  EXPECT_NE(post("/api/register.php", "{" + text("account", "long-password") + "," +
                                          text("password", huge) + "," + text("device", "d") + "}")
                .find(R"("ok":true)"),
            std::string::npos);
  EXPECT_NE(post("/api/login.php",
                 "{" + text("account", "long-password") + "," + text("password", huge) + "}")
                .find(R"("ok":true)"),
            std::string::npos);
  EXPECT_NE(post("/api/register.php", "{" + text("account", "long-env") + "," + password + "," +
                                          text("device", "d") + "," + text("env", huge) + "}")
                .find(R"("ok":true)"),
            std::string::npos);
  EXPECT_EQ(db()->Scalar("SELECT length(env) FROM devices WHERE env LIKE 'hhh%'"),
            std::to_string(huge.size()));

  // A device name of that size is stored and comes back in the reply, and
  // the status page shows it escaped.
  const std::string device = "<big>" + huge.substr(5);
  std::string beat = post("/api/heartbeat.php", "{" + text("device", device) + "}", token_);
  EXPECT_NE(beat.find(R"("name":")" + device + R"(")"), std::string::npos);
  std::string page = Call(port(), "GET", "/").body;
  EXPECT_NE(page.find("&lt;big&gt;hhhhhhhh"), std::string::npos);
  EXPECT_EQ(page.find("<big>"), std::string::npos);

  // Paths beyond their limit and chunk hashes of the wrong length are
  // skipped; a device of that size pushing a file is stored as its origin.
  const std::string sha = text("sha256", std::string(64, 'c'));
  const std::string one_skipped = R"({"accepted":0,"needChunks":[],"ok":true,"skipped":1})";
  EXPECT_EQ(post("/api/push.php",
                 R"({"changes":[{)" + text("path", huge) + "," + sha + R"(,"size":1}]})", token_),
            one_skipped);
  EXPECT_EQ(post("/api/push.php",
                 R"({"changes":[{"path":"ok.txt",)" + sha + R"(,"size":1,"chunks":[{)" +
                     text("sha256", huge) + R"(,"size":1}]}]})",
                 token_),
            one_skipped);
  EXPECT_EQ(post("/api/push.php",
                 "{" + text("device", huge) + R"(,"changes":[{"path":"far.txt",)" + sha +
                     R"(,"size":1}]})",
                 token_),
            R"({"accepted":1,"needChunks":[],"ok":true,"skipped":0})");
  std::string listed = Call(port(), "GET", "/api/manifest.php?since=0", "", token_).body;
  EXPECT_NE(listed.find(R"("origin":")" + huge + R"(","path":"far.txt")"), std::string::npos);
  ExpectServing();
}

// Every field of every route, given each JSON type in turn. A value of a type
// its kind does not take must read exactly like the member being absent: the
// reply, the devices recorded and the file written are the same. Values of
// an accepted type need only a well-formed reply.
TEST_F(HostileInputTest, EveryFieldGivenEveryJsonTypeIsAnsweredAndWrongTypesReadAsAbsent) {
  enum class Kind { Text, Flag, Integer, List };
  auto accepts = [](Kind kind, const Json& v) {
    switch (kind) {
      case Kind::Text:
        return v.is_string();
      case Kind::Flag:
        return v.is_boolean() || v.is_number();
      case Kind::Integer:
        return v.is_number();
      case Kind::List:
        return true;
    }
    return true;
  };
  const Json values[] = {nullptr, true, 1, -1, 1.5, "x", Json::array(), Json::object()};
  struct Field {
    const char* route;
    const char* pointer;
    Kind kind;
  };
  const Field fields[] = {
      {"/api/register.php", "/account", Kind::Text},
      {"/api/register.php", "/password", Kind::Text},
      {"/api/register.php", "/device", Kind::Text},
      {"/api/register.php", "/env", Kind::Text},
      {"/api/login.php", "/account", Kind::Text},
      {"/api/login.php", "/password", Kind::Text},
      {"/api/login.php", "/device", Kind::Text},
      {"/api/login.php", "/env", Kind::Text},
      {"/api/heartbeat.php", "/device", Kind::Text},
      {"/api/heartbeat.php", "/env", Kind::Text},
      {"/api/push.php", "/device", Kind::Text},
      {"/api/push.php", "/changes", Kind::List},
      {"/api/push.php", "/changes/0/path", Kind::Text},
      {"/api/push.php", "/changes/0/deleted", Kind::Flag},
      {"/api/push.php", "/changes/0/sha256", Kind::Text},
      {"/api/push.php", "/changes/0/size", Kind::Integer},
      {"/api/push.php", "/changes/0/mtime", Kind::Integer},
      {"/api/push.php", "/changes/0/chunks", Kind::List},
      {"/api/push.php", "/changes/0/chunks/0/sha256", Kind::Text},
      {"/api/push.php", "/changes/0/chunks/0/size", Kind::Integer},
  };
  Register(port(), "typed-user", "dev");
  int serial = 0;
  for (const Field& f : fields) {
    for (const Json& value : values) {
      SCOPED_TRACE(std::string(f.route) + " " + f.pointer + " = " + value.dump());
      ++serial;
      const std::string path = "typed/file-" + std::to_string(serial);
      Json base;
      std::string route = f.route;
      if (route == "/api/register.php") {
        base = {{"account", "typed-" + std::to_string(serial)},
                {"password", "secret-password"},
                {"device", "dev"},
                {"env", "lab"}};
      } else if (route == "/api/login.php") {
        base = {{"account", "typed-user"},
                {"password", "secret-password"},
                {"device", "dev"},
                {"env", "lab"}};
      } else if (route == "/api/heartbeat.php") {
        base = {{"device", "typed-device"}, {"env", "lab"}};
      } else {
        Json change = Change(path, std::string(64, 'f'), 10);
        change["deleted"] = 0;
        change["mtime"] = 5;
        Json chunk = Json::object();
        chunk["sha256"] = std::string(64, 'e');
        chunk["size"] = 10;
        change["chunks"] = Json::array();
        change["chunks"].push_back(chunk);
        base = PushDoc("dev", {change});
      }
      Json::json_pointer pointer(f.pointer);
      Json given = base;
      given[pointer] = value;
      Json absent = base;
      absent[pointer.parent_pointer()].erase(pointer.back());
      if (route == "/api/register.php" && std::string(f.pointer) != "/account") {
        absent["account"] = "typed-absent-" + std::to_string(serial);
      }

      // What a reply and the state it leaves say, minus tokens and clocks.
      auto outcome = [&](const Json& doc) {
        std::string token = route == "/api/register.php" || route == "/api/login.php" ? "" : token_;
        HttpResponse r = Post(f.route, doc.dump(), token);
        EXPECT_EQ(r.status, 200);
        Json reply = r.json();
        EXPECT_TRUE(reply.is_object() && reply.contains("ok") && reply["ok"].is_boolean())
            << r.body;
        if (!reply.is_object()) return Json{{"unreadable", r.raw}};
        Json seen = {{"ok", reply.value("ok", false)}, {"err", reply.value("err", "")}};
        if (reply.contains("devices")) seen["devices"] = DeviceSet(reply["devices"]);
        if (reply.contains("online")) seen["online"] = DeviceSet(reply["online"]);
        for (const char* member : {"accepted", "skipped", "needChunks"}) {
          if (reply.contains(member)) seen[member] = reply[member];
        }
        if (route == "/api/push.php") {
          Json manifest = Manifest();
          for (Json file : manifest["files"]) {
            if (file["path"] != path) continue;
            file.erase("updatedAt");
            seen["file"] = file;
          }
        }
        return seen;
      };
      Json with_value = outcome(given);
      if (!accepts(f.kind, value)) {
        EXPECT_EQ(with_value, outcome(absent));
      }
    }
    ASSERT_TRUE(server_.running()) << f.route << " " << f.pointer;
  }
  ExpectServing();
}

// Only the exact 64-byte token of a live session passes the gate; any other
// length, and any 64 bytes that are not that token, get 401.
TEST_F(HostileInputTest, TokensOfEveryLengthButTheSessionsOwnAreRefused) {
  ASSERT_EQ(token_.size(), 64u);
  const std::string long_text = token_ + token_ + token_;
  for (size_t length = 0; length <= 130; ++length) {
    std::string token = long_text.substr(0, length);
    HttpResponse r =
        HttpExchange(port(), "POST /api/heartbeat.php HTTP/1.1\r\nx-auth-token: " + token +
                                 "\r\nContent-Length: 2\r\n\r\n{}");
    if (length == 64) {
      EXPECT_EQ(r.status, 200);
      EXPECT_EQ(r.json()["ok"], true);
    } else {
      EXPECT_EQ(r.status, 401) << length;
      EXPECT_EQ(r.body, Unauthorized) << length;
    }
  }
  std::string upper = token_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string with_nul = token_;
  with_nul[10] = '\0';
  std::string with_ff = token_;
  with_ff[63] = '\xff';
  for (const std::string& wrong : {upper, with_nul, with_ff, std::string(64, '0')}) {
    if (wrong == token_) continue;
    EXPECT_EQ(Call(port(), "POST", "/api/heartbeat.php", "{}", wrong).body, Unauthorized);
  }
  ExpectServing();
}

// Bytes are bytes: names with NUL are kept whole and told apart from their
// prefixes, percent-encoding is never decoded, raw 0xff in the request target
// is just an unknown route or a chunk that is not there, and whatever a
// client named comes back escaped in JSON and HTML.
TEST_F(HostileInputTest, NulPercentAndNonUtf8BytesAreKeptAsBytesAndShownEscaped) {
  const std::string account("nul\0name", 8);
  const std::string device("dev\0ice<b>", 10);
  Json doc = {{"account", account}, {"password", "secret-password"}, {"device", device}};
  ASSERT_EQ(PostJson(port(), "/api/register.php", doc)["ok"], true);
  // The body carried \u0000 escapes, not raw NUL bytes.
  EXPECT_NE(doc.dump().find("\\u0000"), std::string::npos);
  EXPECT_EQ(db()->Scalar("SELECT account FROM users WHERE account LIKE 'nul%'"), account);
  EXPECT_EQ(db()->Scalar("SELECT COUNT(*) FROM devices WHERE name=?", {device}), "1");
  Json prefix_login =
      PostJson(port(), "/api/login.php", {{"account", "nul"}, {"password", "secret-password"}});
  EXPECT_EQ(prefix_login["err"], "bad_credentials");
  Register(port(), "nul", "plain");  // the prefix is another account
  Json login =
      PostJson(port(), "/api/login.php",
               {{"account", account}, {"password", "secret-password"}, {"device", device}});
  ASSERT_EQ(login["ok"], true);
  EXPECT_TRUE(DeviceSet(login["devices"]).count({device, "other"}));

  std::string log = server_.LogText();
  EXPECT_NE(log.find("注册账号: " + account + " 设备: " + device + "\n"), std::string::npos);
  std::string page = Call(port(), "GET", "/status").body;
  const std::string shown = std::string("dev\0ice&lt;b&gt;", 16);
  EXPECT_NE(page.find(shown + " <em>other</em>"), std::string::npos) << "device list";
  EXPECT_NE(page.find("注册账号: nul" + std::string(1, '\0') + "name 设备: " + shown),
            std::string::npos)
      << "log lines";
  EXPECT_EQ(page.find("<b>"), std::string::npos);

  // Raw bytes in the request target.
  EXPECT_EQ(Call(port(), "GET", "/api/\xff\xfe.php", "", token_).body, NotFound);
  EXPECT_EQ(Call(port(), "GET", "/api/\xff\xfe.php").status, 401);
  EXPECT_EQ(Call(port(), "GET", std::string("/status?\xff\0x", 11)).status, 200);
  EXPECT_EQ(Call(port(), "GET", "/st%61tus").status, 401);  // not decoded into /status
  // Chunk names that try to leave the store, encoded or not, or are not hex.
  const std::string escapes[] = {
      "%2e%2e%2f%2e%2e%2frelay.db" + std::string(64 - 26, '0'),
      "../../relay.db" + std::string(64 - 14, '0'),
      "..%2F..%2Frelay.db" + std::string(64 - 18, 'a'),
      std::string(63, 'a') + "\xff",
      std::string(60, 'a') + "%00a",
  };
  for (const std::string& sha : escapes) {
    ASSERT_EQ(sha.size(), 64u);
    HttpResponse r = Call(port(), "GET", "/api/chunk.php?sha256=" + sha, "", token_);
    EXPECT_EQ(r.status, 404) << sha;
    EXPECT_EQ(r.body, NotFound) << sha;
    EXPECT_EQ(Call(port(), "PUT", "/api/chunk.php?sha256=" + sha + "&size=1", "x", token_).body,
              R"({"err":"hash_mismatch","ok":false})");
  }

  // Paths and devices of a push are stored as sent, and so listed.
  const std::string nul_path("dir/a\0b.txt", 11);
  const std::string sha(64, 'd');
  Json push = PostJson(port(), "/api/push.php",
                       PushDoc(device, {Change("%2e%2e/secret.txt", sha, 1),
                                        Change(nul_path, sha, 1), Change("..%2fup.txt", sha, 1)}),
                       token_);
  EXPECT_EQ(push["accepted"], 2);
  EXPECT_EQ(push["skipped"], 1);  // ".." stays ".." whatever follows it
  // Invalid UTF-8 inside a JSON string makes the body unreadable.
  EXPECT_EQ(
      Call(port(), "POST", "/api/push.php",
           "{\"changes\":[{\"path\":\"\xff\xfe\",\"sha256\":\"" + sha + "\",\"size\":1}]}", token_)
          .body,
      EmptyPush);
  HttpResponse manifest = Call(port(), "GET", "/api/manifest.php?since=%31%30", "", token_);
  std::set<std::string> paths;
  Json listed = manifest.json();
  for (const Json& file : listed["files"]) {
    paths.insert(file["path"].get<std::string>());
    EXPECT_EQ(file["origin"], device);
  }
  EXPECT_EQ(paths, (std::set<std::string>{"%2e%2e/secret.txt", nul_path})) << manifest.raw;
  EXPECT_NE(manifest.body.find("dir/a\\u0000b.txt"), std::string::npos);
  ExpectServing();
}

// Registration is open to anyone and has no limit on the device name, which
// also goes into the service log. The log lines the status page shows are
// kept in memory, so the memory they take must not follow what clients
// send: a run of registrations with 4 MiB device names may not leave the
// server holding those names. (The same run with 4 MiB environments, which
// are stored but not logged, leaves the resident size where it was.)
TEST_F(HostileInputTest, HugeDeviceNamesInRegistrationsDoNotPileUpInMemory) {
  if (SanitizedBuild) GTEST_SKIP() << "resident sizes under a sanitizer are the sanitizer's";
  const std::string huge(4 * MiB, 'n');
  // Warm the allocator with requests of the same size that keep nothing.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Post("/api/heartbeat.php", R"({"device":")" + huge + R"("})", token_).status, 200);
  }
  const uint64_t before = ResidentBytes(server_.pid());
  // Kept whole, the lines would add 96 MiB; the allocator's own caching of
  // freed buffers and SQLite's page cache stay well below half of that.
  constexpr int Registrations = 24;
  for (int i = 0; i < Registrations; ++i) {
    std::string n = std::to_string(i);
    HttpResponse r = Post("/api/register.php", R"({"account":"big-device-)" + n +
                                                   R"(","password":"secret-password","device":")" +
                                                   huge + n + R"("})");
    ASSERT_NE(r.body.find(R"("ok":true)"), std::string::npos) << r.body;
  }
  const uint64_t after = ResidentBytes(server_.pid());
  std::printf("[memory] %d registrations with 4 MiB device names: VmRSS %.1f -> %.1f MiB\n",
              Registrations, before / double(MiB), after / double(MiB));
  EXPECT_LT(after, before + 48 * MiB) << "the names stayed in memory";
  ExpectServing();
}

// The same hostile mix, run again and again, must settle: after the first
// round has warmed the allocator, later rounds add nothing that stays.
TEST_F(HostileInputTest, RepeatedHostileRunsReturnToASteadyResidentSize) {
  const std::string nested = Repeated("[", MaxBodyBytes);
  const std::string objects = Repeated("{\"a\":", 2 * MiB);
  const std::string big(4 * MiB, 'q');
  const std::string big_account =
      R"({"account":")" + big + R"(","password":"secret-password","device":"d"})";
  const std::string big_device = R"({"device":")" + big + R"("})";
  const std::string big_path =
      R"({"changes":[{"path":")" + big + R"(","sha256":")" + std::string(64, 'a') + R"("}]})";
  const Json wrong_types[] = {nullptr, true, 1.5, Json::array(), Json::object()};
  auto round = [&] {
    EXPECT_EQ(Post("/api/register.php", nested).body, InvalidInput);
    EXPECT_EQ(Post("/api/push.php", objects, token_).body, EmptyPush);
    EXPECT_EQ(Post("/api/register.php", big_account).body, InvalidInput);
    EXPECT_EQ(Post("/api/heartbeat.php", big_device, token_).status, 200);
    EXPECT_EQ(Post("/api/push.php", big_path, token_).body,
              R"({"accepted":0,"needChunks":[],"ok":true,"skipped":1})");
    for (size_t length = 0; length <= 130; length += 13) {
      EXPECT_EQ(Post("/api/heartbeat.php", "{}", std::string(length, 'a')).status, 401);
    }
    for (int i = 0; i < 20; ++i) {
      Connection c(port());
      c.Send(i % 2 ? std::string(MaxHeadBytes + 1, 'x') : "GET / HTTP/1.1\r\nX: ");
    }
    for (const Json& v : wrong_types) {
      EXPECT_EQ(PostJson(port(), "/api/push.php", PushDoc("pc", {Change(v, v, v)}), token_)["ok"],
                true);
      EXPECT_EQ(PostJson(port(), "/api/login.php", {{"account", v}, {"password", v}})["ok"], false);
    }
    EXPECT_EQ(Call(port(), "GET", "/status").status, 200);
  };
  // The resident size swings by tens of MiB from round to round, as work
  // lands on threads whose allocator arenas were or were not used before;
  // what must not happen is a climb. Compare the highest value of the first
  // rounds with the highest of the later ones.
  const uint64_t idle = ResidentBytes(server_.pid());
  constexpr int WarmRounds = 2;
  constexpr int LaterRounds = 3;
  uint64_t warm = 0;
  uint64_t later = 0;
  for (int i = 0; i < WarmRounds + LaterRounds; ++i) {
    round();
    uint64_t now = ResidentBytes(server_.pid());
    uint64_t& peak = i < WarmRounds ? warm : later;
    peak = std::max(peak, now);
  }
  std::printf(
      "[memory] hostile rounds: idle %.1f MiB, highest after %d rounds %.1f MiB, "
      "highest in the %d rounds after %.1f MiB\n",
      idle / double(MiB), WarmRounds, warm / double(MiB), LaterRounds, later / double(MiB));
  if (!SanitizedBuild) {
    EXPECT_LT(later, warm + 64 * MiB) << "resident size kept growing";
  }
  ExpectServing();
}

// Clients that ask for large replies and then stop reading hold a reply
// that cannot be sent. As many of them as there are workers must not keep a
// small request from being answered while they stall: the status request
// must be answered before the test lets the stalled clients read again (it
// holds them for up to 10 s, well inside the server's send-stall time-out),
// and each stalled download then still arrives whole.
TEST_F(HostileInputTest, ClientsThatStopReadingLargeRepliesDoNotKeepOthersWaiting) {
  std::string chunk(8 * MiB, '\0');
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7 + (i >> 9));
  const std::string sha = Sha256Hex(chunk);
  ASSERT_EQ(
      Call(port(), "PUT", "/api/chunk.php?sha256=" + sha + "&size=" + std::to_string(chunk.size()),
           chunk, token_)
          .body,
      R"({"ok":true})");

  std::vector<int> stalled;
  for (size_t i = 0; i < MaxWorkers; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    timeval bounded{60, 0};  // only so that a hung server cannot hang the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bounded, sizeof(bounded));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port()));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::string request = BuildRequest("GET", "/api/chunk.php?sha256=" + sha, "", token_);
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    stalled.push_back(fd);
  }
  // Every download has begun (its head is on the way) before the check.
  for (int fd : stalled) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1);
  }

  // Which came first: the status reply, or the test giving in.
  std::atomic<int> order{0};
  std::atomic<int> answered_at{0};
  HttpResponse status;
  std::jthread asker([&] {
    status = HttpExchange(port(), BuildRequest("GET", "/api/status.php"), 90s);
    answered_at.store(++order);
  });
  for (auto until = Clock::now() + 10s; answered_at.load() == 0 && Clock::now() < until;) {
    std::this_thread::sleep_for(10ms);
  }
  const int released_at = ++order;

  // All stalled clients read again at once: read one after the other, the
  // last would stay silent long enough (in a slow sanitizer build) for the
  // server's stall time-out to drop them, rightly.
  std::vector<std::string> got(stalled.size());
  std::vector<pollfd> open;
  for (int fd : stalled) open.push_back({fd, POLLIN, 0});
  char buffer[65536];
  for (size_t left = open.size(); left > 0;) {
    ASSERT_GT(poll(open.data(), open.size(), 60000), 0) << "downloads stopped arriving";
    for (size_t i = 0; i < open.size(); ++i) {
      if (open[i].fd < 0 || open[i].revents == 0) continue;
      ssize_t n = recv(open[i].fd, buffer, sizeof(buffer), 0);
      if (n > 0) {
        got[i].append(buffer, static_cast<size_t>(n));
        continue;
      }
      close(open[i].fd);
      open[i].fd = -1;  // poll skips it from now on
      --left;
    }
  }
  size_t whole = 0;
  for (const std::string& response : got) whole += ParseResponse(response).body == chunk ? 1 : 0;
  asker.join();
  EXPECT_EQ(status.status, 200);
  EXPECT_LT(answered_at.load(), released_at)
      << "the status request was answered only once the stalled clients read again";
  EXPECT_EQ(whole, stalled.size()) << "stalled downloads were cut off";
  ExpectServing();
}

}  // namespace
}  // namespace kelvra::test
