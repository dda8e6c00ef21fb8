// Push and manifest over real sockets: the rows a push leaves in relay.db,
// what it reports, and what the manifest hands back, member by member.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <map>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "common/sha256.h"
#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

// A distinct 64-hex hash for a label.
std::string Hash(const std::string& label) { return Sha256Hex(label); }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

Json Chunk(const std::string& sha256, int64_t size) { return {{"sha256", sha256}, {"size", size}}; }

// Lists of changes and of chunk entries are std::vectors: a braced list of
// one Json would copy that element instead of making an array of it.
using List = std::vector<Json>;

// A live file change.
Json Live(const std::string& path, const std::string& sha256, const List& chunks,
          int64_t size = 100, int64_t mtime = 1) {
  return {{"path", path},
          {"sha256", sha256},
          {"size", size},
          {"mtime", mtime},
          {"chunks", Json(chunks)}};
}

int64_t WallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class SyncTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    token_ = Register(port(), "sync-owner", "laptop");
    user_ = db()->Scalar("SELECT id FROM users WHERE account='sync-owner'");
  }

  Json Push(const List& changes, const std::string& device = "laptop") {
    return PushAs(token_, changes, device);
  }
  Json PushAs(const std::string& token, const List& changes, const std::string& device) {
    return PostJson(port(), "/api/push.php", {{"device", device}, {"changes", Json(changes)}},
                    token);
  }
  HttpResponse PushBody(const std::string& body) {
    return Call(port(), "POST", "/api/push.php", body, token_);
  }
  HttpResponse Manifest(const std::string& query, const std::string& token = "") {
    return Call(port(), "GET", "/api/manifest.php" + query, "", token.empty() ? token_ : token);
  }
  std::string Upload(const std::string& bytes) {
    return Call(port(), "PUT",
                "/api/chunk.php?sha256=" + Sha256Hex(bytes) +
                    "&size=" + std::to_string(bytes.size()),
                bytes, token_)
        .body;
  }

  // size, mtime, sha256, deleted, origin, updated_at; nothing when absent.
  Database::Rows FileRow(const std::string& path) {
    return db()->Query(
        "SELECT size,mtime,sha256,deleted,origin,updated_at FROM files "
        "WHERE user_id=? AND path=?",
        {user_, path});
  }
  // idx, sha256, size in file order.
  Database::Rows ChunkRows(const std::string& path) {
    return db()->Query(
        "SELECT idx,sha256,size FROM file_chunks WHERE file_id="
        "(SELECT id FROM files WHERE user_id=? AND path=?) ORDER BY idx",
        {user_, path});
  }
  std::string FileCount() {
    return db()->Scalar("SELECT COUNT(*) FROM files WHERE user_id=?", {user_});
  }

  std::string token_;
  std::string user_;
};

// Push

TEST_F(SyncTest, PathsAreNormalisedThenCheckedByTheirRules) {
  const std::string e_acute = "\xc3\xa9";  // two bytes
  auto repeat = [](const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  struct Case {
    std::string sent;
    std::string stored;  // empty: skipped
  } cases[] = {
      {"\\docs\\a.txt", "docs/a.txt"},
      {"///lead.txt", "lead.txt"},
      {"\\/\\mixed.txt", "mixed.txt"},
      {"///", ""},
      {"\\\\", ""},
      {"", ""},
      {"//" + std::string(1000, 'k'), std::string(1000, 'k')},
      {std::string(1001, 'm'), ""},
      {"/" + std::string(1001, 'n'), ""},
      {repeat(e_acute, 500), repeat(e_acute, 500)},  // the limit counts bytes
      {repeat(e_acute, 501), ""},
      {"a..b", ""},
      {"x/../y", ""},
      {"x\\..\\y", ""},
      {"..", ""},
      {"/.../z", ""},
      {"a/.b", "a/.b"},
      {"./a", "./a"},
      {"dir/", "dir/"},
      {"a//b", "a//b"},
      {"C:/x.txt", "C:/x.txt"},
  };
  List changes;
  int accepted = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    changes.push_back(Live(cases[i].sent, Hash("file"), {}, 10, static_cast<int64_t>(i)));
    if (!cases[i].stored.empty()) ++accepted;
  }
  Json reply = Push(changes);
  EXPECT_EQ(reply["accepted"], accepted);
  EXPECT_EQ(reply["skipped"], static_cast<int>(std::size(cases)) - accepted);
  EXPECT_EQ(FileCount(), std::to_string(accepted));
  for (size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].stored.empty()) continue;
    Database::Rows row = FileRow(cases[i].stored);
    ASSERT_EQ(row.size(), 1u) << cases[i].sent.substr(0, 40);
    EXPECT_EQ(row[0][1], std::to_string(i)) << cases[i].sent.substr(0, 40);
  }
}

TEST_F(SyncTest, DeletionLeavesAnEmptyVersionWithoutChunkRows) {
  for (const char* path : {"d1", "d2", "d3"}) {
    Push({Live(path, Hash(path), {Chunk(Hash("c1"), 5), Chunk(Hash("c2"), 6)}, 11, 3)});
  }
  std::string d1_id = db()->Scalar("SELECT id FROM files WHERE path='d1'");
  List deletions = {
      {{"path", "d1"}, {"deleted", 1}, {"mtime", 71}},
      {{"path", "d2"}, {"deleted", true}, {"mtime", 72}, {"sha256", "short"}},
      {{"path", "d3"},
       {"deleted", 2.7},
       {"mtime", 73},
       {"size", 999},
       {"sha256", Hash("d3")},
       {"chunks", {Chunk(Hash("never stored"), 9)}}},
      {{"path", "never-pushed"}, {"deleted", 1}, {"mtime", 74}},
  };
  Json reply = Push(deletions, "phone");
  EXPECT_EQ(reply["accepted"], 4);
  EXPECT_EQ(reply["skipped"], 0);
  EXPECT_EQ(reply["needChunks"], Json::array());
  const char* paths[] = {"d1", "d2", "d3", "never-pushed"};
  for (int i = 0; i < 4; ++i) {
    Database::Rows row = FileRow(paths[i]);
    ASSERT_EQ(row.size(), 1u) << paths[i];
    EXPECT_EQ(row[0],
              (std::vector<std::string>{"0", std::to_string(71 + i), "", "1", "phone", row[0][5]}))
        << paths[i];
    EXPECT_EQ(ChunkRows(paths[i]), Database::Rows{}) << paths[i];
  }
  EXPECT_EQ(db()->Scalar("SELECT COUNT(*) FROM file_chunks"), "0");

  // A deleted path keeps its row, which a later push turns live again.
  Push({Live("d1", Hash("back"), {Chunk(Hash("c3"), 7)}, 7, 80)});
  EXPECT_EQ(db()->Scalar("SELECT id FROM files WHERE path='d1'"), d1_id);
  EXPECT_EQ(FileRow("d1")[0][3], "0");
  EXPECT_EQ(ChunkRows("d1"), (Database::Rows{{"0", Hash("c3"), "7"}}));
}

TEST_F(SyncTest, LiveFileNeedsAHashOfExactly64Bytes) {
  struct Case {
    Json sha256;
    bool accepted;
  } cases[] = {
      {std::string(63, 'a'), false},
      {std::string(65, 'a'), false},
      {"", false},
      {nullptr, false},              // absent
      {123, false},                  // not text: read as empty text
      {std::string(64, 'Z'), true},  // only the length is tested
      {std::string(64, '-'), true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string path = "h" + std::to_string(i);
    Json change = {{"path", path}, {"size", 4}, {"chunks", Json::array()}};
    if (!cases[i].sha256.is_null()) change["sha256"] = cases[i].sha256;
    Json reply = Push({change});
    EXPECT_EQ(reply["accepted"], cases[i].accepted ? 1 : 0) << cases[i].sha256;
    EXPECT_EQ(reply["skipped"], cases[i].accepted ? 0 : 1) << cases[i].sha256;
    Database::Rows row = FileRow(path);
    ASSERT_EQ(row.size(), cases[i].accepted ? 1u : 0u) << cases[i].sha256;
    if (cases[i].accepted) {
      EXPECT_EQ(row[0][2], cases[i].sha256.get<std::string>());
    }
  }
}

TEST_F(SyncTest, TwoChangesOfOnePathInOnePushAreBothAcceptedAndTheLaterStays) {
  Json first = Live("same.txt", Hash("v1"), {Chunk(Hash("a"), 10), Chunk(Hash("b"), 20)}, 30, 1);
  Json second = Live("same.txt", Hash("v2"), {Chunk(Hash("c"), 5)}, 5, 2);
  Json reply = Push({first, second});
  EXPECT_EQ(reply["accepted"], 2);
  EXPECT_EQ(reply["skipped"], 0);
  EXPECT_EQ(reply["needChunks"], Json::array({Hash("a"), Hash("b"), Hash("c")}));
  Database::Rows row = FileRow("same.txt");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0][0], "5");
  EXPECT_EQ(row[0][1], "2");
  EXPECT_EQ(row[0][2], Hash("v2"));
  EXPECT_EQ(ChunkRows("same.txt"), (Database::Rows{{"0", Hash("c"), "5"}}));
}

TEST_F(SyncTest, StoredLaterVersionMakesTheChangeSkipAndStaysAsItWas) {
  Push({Live("future.txt", Hash("v1"), {Chunk(Hash("a"), 10)}, 10, 1)});
  db()->Exec("UPDATE files SET updated_at=updated_at+100000000 WHERE path='future.txt'");
  Database::Rows row = FileRow("future.txt");
  Database::Rows chunks = ChunkRows("future.txt");

  Json reply = Push({Live("future.txt", Hash("v2"), {Chunk(Hash("b"), 20)}, 20, 2)}, "phone");
  EXPECT_EQ(reply["accepted"], 0);
  EXPECT_EQ(reply["skipped"], 1);
  EXPECT_EQ(reply["needChunks"], Json::array());
  EXPECT_EQ(FileRow("future.txt"), row);
  EXPECT_EQ(ChunkRows("future.txt"), chunks);

  // A deletion is held back the same way.
  EXPECT_EQ(Push({{{"path", "future.txt"}, {"deleted", 1}}})["skipped"], 1);
  EXPECT_EQ(FileRow("future.txt"), row);
}

TEST_F(SyncTest, InvalidChunkEntryStopsTheWalkAndWhatCameBeforeStays) {
  const std::string a = Hash("a"), b = Hash("b"), d = Hash("d");
  const Json invalid_entries[] = {
      Chunk(Hash("x"), 0),
      Chunk(Hash("x"), -1),
      {{"sha256", Hash("x")}},
      {{"sha256", Hash("x")}, {"size", "5"}},
      Chunk(Hash("x").substr(1), 5),
      Chunk(Hash("x") + "0", 5),
      {{"size", 5}},
      7,
  };
  for (const Json& invalid : invalid_entries) {
    SCOPED_TRACE(invalid.dump());
    // Invalid first: the file row is written, with no chunk rows at all
    // (the earlier version's rows go too).
    Push({Live("first.bin", Hash("old"), {Chunk(a, 1), Chunk(b, 2)})});
    Json reply = Push({Live("first.bin", Hash("new"), {invalid, Chunk(d, 4)}, 77)});
    EXPECT_EQ(reply["accepted"], 0);
    EXPECT_EQ(reply["skipped"], 1);
    EXPECT_EQ(reply["needChunks"], Json::array());
    EXPECT_EQ(FileRow("first.bin")[0][2], Hash("new"));
    EXPECT_EQ(FileRow("first.bin")[0][0], "77");
    EXPECT_EQ(ChunkRows("first.bin"), Database::Rows{});

    // Invalid in the middle: the entries before it are kept and reported.
    reply = Push({Live("middle.bin", Hash("m"), {Chunk(a, 1), Chunk(b, 2), invalid, Chunk(d, 4)})});
    EXPECT_EQ(reply["accepted"], 0);
    EXPECT_EQ(reply["skipped"], 1);
    EXPECT_EQ(reply["needChunks"], Json::array({a, b}));
    EXPECT_EQ(ChunkRows("middle.bin"), (Database::Rows{{"0", a, "1"}, {"1", b, "2"}}));
  }
}

TEST_F(SyncTest, NeedChunksKeepsDuplicatesAndNeverListsAStoredChunk) {
  std::string stored_bytes = "stored chunk";
  std::string stored = Sha256Hex(stored_bytes);
  ASSERT_EQ(Upload(stored_bytes), R"({"ok":true})");
  std::string missing = Hash("missing"), other = Hash("other");
  Json reply = Push({
      Live("one", Hash("one"), {Chunk(missing, 1), Chunk(stored, 12), Chunk(missing, 1)}),
      Live("two", Hash("two"), {Chunk(stored, 12), Chunk(missing, 1), Chunk(other, 3)}),
      // Hashes are compared as exact text: this is not the stored chunk.
      Live("three", Hash("three"), {Chunk(Upper(stored), 12)}),
  });
  EXPECT_EQ(reply["accepted"], 3);
  EXPECT_EQ(reply["needChunks"], Json::array({missing, missing, missing, other, Upper(stored)}));
}

TEST_F(SyncTest, EveryChangeWalkedIsCountedAcceptedOrSkipped) {
  auto live = [](const std::string& path, int64_t mtime) {
    return Live(path, Hash(path), {}, 1, mtime).dump();
  };
  struct Case {
    std::string body;
    int accepted;
    int skipped;
  } cases[] = {
      {"", 0, 0},
      {"{", 0, 0},
      {"[]", 0, 0},
      {R"({"changes":null})", 0, 0},
      {R"({"changes":[]})", 0, 0},
      {R"({"changes":5})", 0, 1},
      {R"({"changes":"a.txt"})", 0, 1},
      {R"({"changes":[1,"x",null,[],true]})", 0, 5},
      {R"({"changes":[{"path":5,"sha256":")" + Hash("p") + R"("}]})", 0, 1},
      // A lone change object is a list too: its member values are walked.
      {R"({"changes":)" + live("single", 1) + "}", 0, 5},
      {R"({"changes":[)" + live("m1", 1) + R"(,{"path":"a..b"},{"path":"m2","sha256":"ab"},)" +
           Live("m3", Hash("m3"), {Chunk(Hash("c"), 0)}).dump() + "]}",
       1, 3},
      // An object is walked by its member values in key order, so "b" is
      // the later change of the path.
      {R"({"changes":{"b":)" + live("obj", 2) + R"(,"a":)" + live("obj", 1) +
           R"(,"c":{"path":"../x"}}})",
       2, 1},
  };
  for (const Case& c : cases) {
    HttpResponse r = PushBody(c.body);
    EXPECT_EQ(r.status, 200) << c.body;
    Json reply = r.json();
    EXPECT_EQ(reply["ok"], true) << c.body;
    EXPECT_EQ(reply["accepted"], c.accepted) << c.body;
    EXPECT_EQ(reply["skipped"], c.skipped) << c.body;
  }
  EXPECT_EQ(FileRow("obj")[0][1], "2");
  EXPECT_EQ(FileRow("single").size(), 0u);
}

TEST_F(SyncTest, PushReplyMembersComeInNameOrder) {
  std::string need = Hash("need");
  List changes = {Live("r", Hash("r"), {Chunk(need, 3), Chunk(need, 3)}), {{"path", "///"}}};
  HttpResponse r = PushBody(Json{{"device", "laptop"}, {"changes", Json(changes)}}.dump());
  EXPECT_EQ(r.body, R"({"accepted":1,"needChunks":[")" + need + R"(",")" + need +
                        R"("],"ok":true,"skipped":1})");
}

TEST_F(SyncTest, ConcurrentPushesOfOnePathNeverLeaveAMixedChunkList) {
  constexpr int Pushers = 6;
  constexpr int Rounds = 12;
  // Push t of a round names the file hash FileHash(round, t) and a chunk
  // list of its own length, so the stored row tells which push won.
  auto file_hash = [](int round, int t) {
    return Hash("file " + std::to_string(round) + " " + std::to_string(t));
  };
  auto chunk_list = [](int round, int t) {
    List chunks;
    for (int i = 0; i < 4 + 5 * t; ++i) {
      chunks.push_back(Chunk(Hash("chunk " + std::to_string(round) + " " + std::to_string(t) + " " +
                                  std::to_string(i)),
                             1000 + t));
    }
    return chunks;
  };
  for (int round = 0; round < Rounds; ++round) {
    SCOPED_TRACE(round);
    std::vector<Json> replies(Pushers);
    std::latch start(Pushers);
    std::vector<std::thread> threads;
    for (int t = 0; t < Pushers; ++t) {
      threads.emplace_back([&, t] {
        Json change = Live("race.bin", file_hash(round, t), chunk_list(round, t));
        start.arrive_and_wait();
        replies[t] = Push({change}, "device-" + std::to_string(t));
      });
    }
    for (std::thread& th : threads) th.join();

    for (int t = 0; t < Pushers; ++t) {
      // Whole or nothing: an accepted push reports its own list, a skipped
      // one reports nothing.
      if (replies[t]["accepted"] == 1) {
        std::vector<std::string> own;
        for (const Json& c : chunk_list(round, t)) own.push_back(c["sha256"].get<std::string>());
        EXPECT_EQ(replies[t]["needChunks"], Json(own)) << t;
      } else {
        EXPECT_EQ(replies[t]["skipped"], 1) << t;
        EXPECT_EQ(replies[t]["needChunks"], Json::array()) << t;
      }
    }
    std::string stored = FileRow("race.bin")[0][2];
    int winner = -1;
    for (int t = 0; t < Pushers; ++t) {
      if (file_hash(round, t) == stored) winner = t;
    }
    ASSERT_NE(winner, -1) << "the stored version is from no push of this round";
    EXPECT_EQ(replies[winner]["accepted"], 1);
    Database::Rows expected;
    int idx = 0;
    for (const Json& c : chunk_list(round, winner)) {
      expected.push_back(
          {std::to_string(idx++), c["sha256"].get<std::string>(), std::to_string(1000 + winner)});
    }
    EXPECT_EQ(ChunkRows("race.bin"), expected) << "winner " << winner;
  }
}

// Manifest

// The paths of a manifest reply's entries, in order.
std::vector<std::string> Paths(const HttpResponse& r) {
  std::vector<std::string> paths;
  Json reply = r.json();
  for (const Json& file : reply["files"]) paths.push_back(file["path"].get<std::string>());
  return paths;
}

TEST_F(SyncTest, ManifestSinceIsExclusiveAndReadLikeALeadingInteger) {
  Push({Live("p", Hash("p"), {})});
  std::string stamp = FileRow("p")[0][5];
  EXPECT_EQ(Paths(Manifest("?since=" + stamp)), std::vector<std::string>{});
  EXPECT_EQ(Paths(Manifest("?since=" + std::to_string(std::stoll(stamp) - 1))),
            std::vector<std::string>{"p"});

  // Fixed stamps to read the parsing by.
  Push({Live("old", Hash("old"), {}), Live("new", Hash("new"), {})});
  db()->Exec("UPDATE files SET updated_at=1000 WHERE path='old'");
  db()->Exec("UPDATE files SET updated_at=2000 WHERE path='new'");
  db()->Exec("DELETE FROM files WHERE path='p'");
  using PathList = std::vector<std::string>;
  struct Case {
    std::string query;
    PathList paths;
  } cases[] = {
      {"", {"old", "new"}},
      {"?since=", {"old", "new"}},
      {"?since=-1", {"old", "new"}},
      {"?since=999", {"old", "new"}},
      {"?since=1000", {"new"}},
      {"?since=1999", {"new"}},
      {"?since=2000", {}},
      {"?since=12abc", {"old", "new"}},
      {"?since=1000abc", {"new"}},
      {"?since=+1000", {"new"}},
      {"?since=abc", {"old", "new"}},
      {"?other=1&since=1500&since=0", {"new"}},
      {"?since=-99999999999999999999999", {"old", "new"}},
      {"?since=99999999999999999999999", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Paths(Manifest(c.query)), c.paths) << c.query;
}

TEST_F(SyncTest, ManifestEntriesHaveExactMembersTypesAndOrder) {
  Push({Live("dir/f.txt", Hash("f"), {Chunk(Hash("c0"), 5), Chunk(Hash("c1"), 7)}, 12,
             1700000000123)},
       "laptop");
  Push({{{"path", "gone"}, {"deleted", 1}, {"mtime", -5}}}, "phone");
  // Distinct stamps, so that the order of the two entries is fixed.
  db()->Exec("UPDATE files SET updated_at=1000 WHERE path='dir/f.txt'");
  db()->Exec("UPDATE files SET updated_at=2000 WHERE path='gone'");
  const std::string f_stamp = "1000", gone_stamp = "2000";
  int64_t before = WallMillis();
  HttpResponse r = Manifest("?since=0");
  int64_t after = WallMillis();
  std::string files = R"({"files":[{"chunks":[{"sha256":")" + Hash("c0") +
                      R"(","size":5},{"sha256":")" + Hash("c1") +
                      R"(","size":7}],"deleted":0,"mtime":1700000000123,"origin":"laptop",)"
                      R"("path":"dir/f.txt","sha256":")" +
                      Hash("f") + R"(","size":12,"updatedAt":)" + f_stamp +
                      R"(},{"chunks":[],"deleted":1,"mtime":-5,"origin":"phone","path":"gone",)"
                      R"("sha256":"","size":0,"updatedAt":)" +
                      gone_stamp + R"(}],"ok":true,"serverTime":)";
  ASSERT_EQ(r.status, 200);
  ASSERT_EQ(r.body.substr(0, files.size()), files);
  std::smatch tail;
  std::string rest = r.body.substr(files.size());
  ASSERT_TRUE(std::regex_match(rest, tail, std::regex(R"((\d+)\})"))) << rest;
  int64_t server_time = std::stoll(tail[1]);
  EXPECT_GE(server_time, before);
  EXPECT_LE(server_time, after);
}

// Cells edited by hand are read like leading integers, as every cell is;
// only the canonical text SQLite writes for an integer passes as it stands.
TEST_F(SyncTest, ManifestReadsHandEditedNumberCellsLikeLeadingIntegers) {
  Push({Live("odd", Hash("odd"), {Chunk(Hash("a"), 5), Chunk(Hash("b"), 6)})});
  db()->Exec("UPDATE files SET size='12abc', mtime=1.5, deleted=3000000000 WHERE path='odd'");
  db()->Exec("UPDATE file_chunks SET size='0042z' WHERE idx=0");
  db()->Exec("UPDATE file_chunks SET size='-0x' WHERE idx=1");
  Json entry = Json::parse(Manifest("?since=0").body)["files"][0];
  EXPECT_EQ(entry["size"], 12);
  EXPECT_EQ(entry["mtime"], 1);
  EXPECT_EQ(entry["deleted"], 2147483647);  // an int32 member, clamped
  EXPECT_EQ(entry["chunks"][0]["size"], 42);
  EXPECT_EQ(entry["chunks"][1]["size"], 0);
  EXPECT_EQ(Manifest("?since=0").body.find("-0"), std::string::npos);
}

TEST_F(SyncTest, ManifestShowsEveryDevicesPushesIncludingTheAskersOwn) {
  Json login =
      PostJson(port(), "/api/login.php",
               {{"account", "sync-owner"}, {"password", "secret-password"}, {"device", "phone"}});
  ASSERT_EQ(login["ok"], true);
  std::string phone = login["token"].get<std::string>();
  Push({Live("from-laptop", Hash("l"), {})}, "laptop");
  PushAs(phone, {Live("from-phone", Hash("p"), {})}, "phone");

  for (const std::string& token : {token_, phone}) {
    std::map<std::string, std::string> origins;
    Json files = Manifest("?since=0", token).json()["files"];
    for (const Json& file : files) {
      origins[file["path"].get<std::string>()] = file["origin"].get<std::string>();
    }
    EXPECT_EQ(origins, (std::map<std::string, std::string>{{"from-laptop", "laptop"},
                                                           {"from-phone", "phone"}}));
  }
}

TEST_F(SyncTest, OnePushOfMoreThan5000ChangesGivesAt5000EntriesAndNoMoreAfterItsStamp) {
  List changes;
  for (int i = 0; i < 5003; ++i) {
    changes.push_back(Live("bulk/" + std::to_string(i), Hash("bulk"), {}, i, i));
  }
  Json reply = Push(changes);
  ASSERT_EQ(reply["accepted"], 5003);
  std::string stamp = FileRow("bulk/0")[0][5];
  EXPECT_EQ(db()->Scalar("SELECT COUNT(DISTINCT updated_at) FROM files"), "1");

  Json first = Manifest("?since=0").json();
  ASSERT_EQ(first["files"].size(), 5000u);
  std::set<std::string> seen;
  for (const Json& file : first["files"]) {
    EXPECT_EQ(std::to_string(file["updatedAt"].get<int64_t>()), stamp);
    seen.insert(file["path"].get<std::string>());
  }
  EXPECT_EQ(seen.size(), 5000u);
  EXPECT_EQ(Manifest("?since=" + stamp).json()["files"], Json::array());
}

TEST_F(SyncTest, ManifestReadDuringPushesShowsEachEntryAsOneVersion) {
  constexpr int PathCount = 500;
  constexpr int Rewrites = 20;
  // Version v of path p has its own file hash and its own chunk list, of a
  // length that changes from version to version.
  std::map<std::string, Json> chunks_of_file;
  auto version = [&](int p, int v) {
    std::string tag = std::to_string(p) + " " + std::to_string(v);
    List chunks;
    for (int i = 0; i <= v % 3; ++i) {
      chunks.push_back(Chunk(Hash(tag + " " + std::to_string(i)), 1 + i));
    }
    chunks_of_file[Hash("file " + tag)] = Json(chunks);
    return Live("p" + std::to_string(p), Hash("file " + tag), chunks);
  };
  List all;
  for (int p = 0; p < PathCount; ++p) all.push_back(version(p, 0));
  ASSERT_EQ(Push(all)["accepted"], PathCount);
  // Later versions of every tenth path, rewritten while manifests are read.
  std::vector<List> rewrites(Rewrites);
  for (int v = 1; v <= Rewrites; ++v) {
    for (int p = 0; p < PathCount; p += 10) rewrites[v - 1].push_back(version(p, v));
  }

  std::atomic<bool> done{false};
  std::thread pusher([&] {
    for (const List& push : rewrites) EXPECT_EQ(Push(push)["accepted"], PathCount / 10);
    done = true;
  });
  int reads = 0;
  int mixed = 0;
  while (!done && reads < 200) {
    Json files = Manifest("?since=0").json()["files"];
    EXPECT_EQ(files.size(), size_t{PathCount});
    for (const Json& file : files) {
      if (file["chunks"] != chunks_of_file.at(file["sha256"].get<std::string>())) ++mixed;
    }
    ++reads;
  }
  pusher.join();
  EXPECT_EQ(mixed, 0) << "entries whose chunk list belongs to another version, in " << reads
                      << " reads";
}

TEST_F(SyncTest, UserWithoutRowsGetsAnEmptyList) {
  HttpResponse r = Manifest("?since=0");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(
      std::regex_match(r.body, std::regex(R"(\{"files":\[\],"ok":true,"serverTime":\d+\})")))
      << r.body;
}

TEST_F(SyncTest, ManifestNeverShowsAnotherAccountsFiles) {
  std::string other = Register(port(), "other-owner", "desk");
  Push({Live("shared/name.txt", Hash("mine"), {Chunk(Hash("m"), 1)})});
  PushAs(other,
         {Live("shared/name.txt", Hash("theirs"), {Chunk(Hash("t"), 2)}),
          Live("theirs-only", Hash("x"), {})},
         "desk");

  Json mine = Manifest("?since=0").json()["files"];
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0]["sha256"], Hash("mine"));
  EXPECT_EQ(mine[0]["chunks"], Json::array({Chunk(Hash("m"), 1)}));
  Json theirs = Manifest("?since=0", other).json()["files"];
  ASSERT_EQ(theirs.size(), 2u);
  for (const Json& file : theirs) EXPECT_EQ(file["origin"], "desk");
  EXPECT_EQ(Manifest("?since=0", std::string(64, '0')).status, 401);
}

}  // namespace
}  // namespace kelvra::test
