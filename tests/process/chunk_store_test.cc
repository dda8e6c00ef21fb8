// The chunk store over real sockets: uploads verified, stored once and
// durably, and downloads streamed byte for byte, with the files on disk and
// the rows in relay.db examined directly.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "common/sha256.h"
#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t MaxChunk = 8388608;
const std::string OkReply = R"({"ok":true})";

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string ErrorReply(const std::string& word) {
  return R"({"err":")" + word + R"(","ok":false})";
}

// PUT /api/chunk.php with a query string of our choosing.
HttpResponse PutChunk(int port, const std::string& token, const std::string& query,
                      const std::string& body) {
  return Call(port, "PUT", "/api/chunk.php" + query, body, token);
}

// Uploads `bytes` under their true hash and size; the raw reply body.
std::string Upload(int port, const std::string& token, const std::string& bytes) {
  return PutChunk(port, token,
                  "?sha256=" + Sha256Hex(bytes) + "&size=" + std::to_string(bytes.size()), bytes)
      .body;
}

HttpResponse Download(int port, const std::string& token, const std::string& sha256) {
  return Call(port, "GET", "/api/chunk.php?sha256=" + sha256, "", token);
}

// Identity and modification time of a file: a rewrite or a replacement
// changes one of them.
struct FileStamp {
  ino_t inode = 0;
  int64_t mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

// Moves a file's modification time far into the past, so that any later
// write shows.
void AgeFile(const std::string& path) {
  timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(path.c_str(), old), 0) << path;
}

class ChunkStoreTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    token_ = Register(port(), "chunk-owner", "laptop");
  }
  void TearDown() override {
    // Whatever a test did, no upload may leave its temp file behind.
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    ServerTest::TearDown();
  }

  std::string ChunkFile(const std::string& sha256) { return dir_ / ("chunks/" + sha256 + ".bin"); }
  std::vector<std::string> TempFiles() { return TempFilesUnder(dir_.path()); }
  std::vector<std::string> ChunkFileNames() {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir_ / "chunks", ignored)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  Database::Rows ChunkRow(const std::string& sha256) {
    return db()->Query("SELECT sha256,size,created_at FROM chunks WHERE sha256=?", {sha256});
  }
  std::string ChunkRowCount() { return db()->Scalar("SELECT COUNT(*) FROM chunks"); }

  std::string token_;
};

TEST_F(ChunkStoreTest, MalformedOrInconsistentUploadsAreRefusedInCheckOrder) {
  const std::string body = "hello chunk";
  const std::string hash = Sha256Hex(body);
  const std::string size = std::to_string(body.size());
  struct Case {
    std::string query;
    std::string body;
    std::string err;
  } cases[] = {
      {"?sha256=" + hash + "&size=0", body, "invalid"},
      {"?sha256=" + hash + "&size=0", "", "invalid"},
      {"?sha256=" + hash + "&size=-1", body, "invalid"},
      {"?sha256=" + hash + "&size=abc", body, "invalid"},
      {"?sha256=" + hash + "&size=8388609", body, "invalid"},
      {"?sha256=" + hash, body, "invalid"},
      {"?size=" + size, body, "invalid"},
      {"?sha256=&size=" + size, body, "invalid"},
      {"?sha256=" + hash.substr(0, 63) + "&size=" + size, body, "invalid"},
      {"?sha256=" + hash + "0&size=" + size, body, "invalid"},
      // The size is checked before the hash: the right hash does not help.
      {"?sha256=" + hash + "&size=" + std::to_string(body.size() + 1), body, "size_mismatch"},
      {"?sha256=" + hash + "&size=" + std::to_string(body.size() - 1), body, "size_mismatch"},
      {"?sha256=" + Sha256Hex(body.substr(1)) + "&size=" + size, body.substr(1) + "!!",
       "size_mismatch"},
      {"?sha256=" + Upper(hash) + "&size=" + size, body, "hash_mismatch"},
      {"?sha256=" + Sha256Hex("another body") + "&size=" + size, body, "hash_mismatch"},
      {"?sha256=" + std::string(64, 'z') + "&size=" + size, body, "hash_mismatch"},
  };
  for (const Case& c : cases) {
    HttpResponse r = PutChunk(port(), token_, c.query, c.body);
    EXPECT_EQ(r.status, 200) << c.query;
    EXPECT_EQ(r.body, ErrorReply(c.err)) << c.query;
  }
  EXPECT_EQ(ChunkRowCount(), "0");
  EXPECT_EQ(ChunkFileNames(), std::vector<std::string>{});
}

// A large body is written out while it is hashed. A mismatch must still
// leave no file, temp file or row, and a body claiming a stored chunk's
// hash must leave that chunk as it was.
TEST_F(ChunkStoreTest, LargeMismatchedUploadsLeaveNothingAndTouchNoStoredChunk) {
  const std::string stored = RandomBytes(2 << 20, 3);
  ASSERT_EQ(Upload(port(), token_, stored), OkReply);
  const std::string other = RandomBytes(stored.size(), 4);
  const std::string size = std::to_string(other.size());
  for (const std::string& claimed : {Sha256Hex("not the body"), Sha256Hex(stored)}) {
    EXPECT_EQ(PutChunk(port(), token_, "?sha256=" + claimed + "&size=" + size, other).body,
              ErrorReply("hash_mismatch"));
  }
  EXPECT_EQ(ChunkFileNames(), std::vector<std::string>{Sha256Hex(stored) + ".bin"});
  EXPECT_TRUE(ReadFile(ChunkFile(Sha256Hex(stored))) == stored);
  EXPECT_EQ(ChunkRowCount(), "1");
}

TEST_F(ChunkStoreTest, UploadWithoutASessionIsRefusedAndStoresNothing) {
  const std::string body = "no session";
  for (const std::string& token : {std::string(), std::string(64, 'f')}) {
    HttpResponse r = PutChunk(
        port(), token, "?sha256=" + Sha256Hex(body) + "&size=" + std::to_string(body.size()), body);
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body, ErrorReply("unauthorized"));
  }
  EXPECT_EQ(ChunkRowCount(), "0");
  EXPECT_EQ(ChunkFileNames(), std::vector<std::string>{});
}

TEST_F(ChunkStoreTest, SizeTextIsReadByItsLeadingNumber) {
  const std::string body = "12345";
  const std::string hash = Sha256Hex(body);
  for (const char* size : {"5", "+5", "005", "5abc", "5&size=9"}) {
    EXPECT_EQ(PutChunk(port(), token_, "?sha256=" + hash + "&size=" + size, body).body, OkReply)
        << size;
  }
  EXPECT_EQ(db()->Scalar("SELECT size FROM chunks WHERE sha256=?", {hash}), "5");
  EXPECT_EQ(ChunkRowCount(), "1");
}

TEST_F(ChunkStoreTest, LargestChunkIsStoredWithItsRow) {
  std::string bytes = RandomBytes(MaxChunk, 1);
  std::string hash = Sha256Hex(bytes);
  int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_EQ(Upload(port(), token_, bytes), OkReply);
  EXPECT_TRUE(ReadFile(ChunkFile(hash)) == bytes);
  Database::Rows row = ChunkRow(hash);
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0][1], "8388608");
  EXPECT_GE(std::stoll(row[0][2]), before);
  EXPECT_EQ(ChunkFileNames(), std::vector<std::string>{hash + ".bin"});
}

TEST_F(ChunkStoreTest, ReuploadWritesNothingAndKeepsTheFirstCreatedAt) {
  std::string bytes = RandomBytes(70000, 2);
  std::string hash = Sha256Hex(bytes);
  ASSERT_EQ(Upload(port(), token_, bytes), OkReply);
  AgeFile(ChunkFile(hash));
  FileStamp stored = StampOf(ChunkFile(hash));
  // A recognisable first-upload time, which a replacing insert would lose.
  db()->Exec("UPDATE chunks SET created_at=12345 WHERE sha256=?", {hash});

  EXPECT_EQ(Upload(port(), token_, bytes), OkReply);
  EXPECT_EQ(StampOf(ChunkFile(hash)), stored);
  EXPECT_EQ(ChunkRow(hash), (Database::Rows{{hash, "70000", "12345"}}));
}

TEST_F(ChunkStoreTest, FileOfTheWrongLengthIsRepairedOneOfTheRightLengthIsLeftAlone) {
  ASSERT_TRUE(fs::is_directory(dir_ / "chunks"));
  std::string damaged = RandomBytes(4096, 3);
  std::string intact = RandomBytes(4096, 4);
  WriteFile(ChunkFile(Sha256Hex(damaged)), damaged.substr(0, 100));
  // Same length as the chunk, other content: the store trusts the length.
  std::string stand_in(intact.size(), 'x');
  WriteFile(ChunkFile(Sha256Hex(intact)), stand_in);
  AgeFile(ChunkFile(Sha256Hex(intact)));
  FileStamp untouched = StampOf(ChunkFile(Sha256Hex(intact)));

  EXPECT_EQ(Upload(port(), token_, damaged), OkReply);
  EXPECT_EQ(Upload(port(), token_, intact), OkReply);

  EXPECT_EQ(ReadFile(ChunkFile(Sha256Hex(damaged))), damaged);
  EXPECT_EQ(ReadFile(ChunkFile(Sha256Hex(intact))), stand_in);
  EXPECT_EQ(StampOf(ChunkFile(Sha256Hex(intact))), untouched);
  EXPECT_EQ(ChunkRowCount(), "2");
}

TEST_F(ChunkStoreTest, ChunkDirectoryDeletedWhileRunningIsCreatedAgain) {
  std::string first = RandomBytes(1000, 5);
  ASSERT_EQ(Upload(port(), token_, first), OkReply);
  fs::remove_all(dir_ / "chunks");

  std::string second = RandomBytes(1000, 6);
  EXPECT_EQ(Upload(port(), token_, second), OkReply);
  EXPECT_EQ(ReadFile(ChunkFile(Sha256Hex(second))), second);
  // The first chunk's file went with the directory; its row says it is
  // there, so the length test is what brings it back.
  EXPECT_EQ(Upload(port(), token_, first), OkReply);
  EXPECT_EQ(ReadFile(ChunkFile(Sha256Hex(first))), first);
}

// Ways to make storing a chunk fail. Each returns an undo action; chmod is
// only a failure for a user the permission bits bind (not root).
struct StoreBreaker {
  const char* name;
  bool needs_non_root;
  void (*apply)(const std::string& data_dir, const std::string& chunk_file);
  void (*undo)(const std::string& data_dir, const std::string& chunk_file);
};

const StoreBreaker Breakers[] = {
    {"chunk directory is a plain file", false,
     [](const std::string& d, const std::string&) {
       fs::remove_all(d + "/chunks");
       WriteFile(d + "/chunks", "not a directory");
     },
     [](const std::string& d, const std::string&) { fs::remove(d + "/chunks"); }},
    {"a directory stands at the chunk's path", false,
     [](const std::string&, const std::string& f) { fs::create_directory(f); },
     [](const std::string&, const std::string& f) { fs::remove(f); }},
    {"chunk directory is read-only", true,
     [](const std::string& d, const std::string&) {
       fs::permissions(d + "/chunks", fs::perms(0555));
     },
     [](const std::string& d, const std::string&) {
       fs::permissions(d + "/chunks", fs::perms(0755));
     }},
};

TEST_F(ChunkStoreTest, UnwritableStoreAnswersIoAndLeavesNoRowAndNoTempFile) {
  for (const StoreBreaker& breaker : Breakers) {
    SCOPED_TRACE(breaker.name);
    if (breaker.needs_non_root && geteuid() == 0) continue;  // root ignores mode bits
    std::string bytes = RandomBytes(5000, 7);
    std::string hash = Sha256Hex(bytes);
    breaker.apply(dir_.path(), ChunkFile(hash));

    EXPECT_EQ(Upload(port(), token_, bytes), ErrorReply("io"));
    EXPECT_EQ(ChunkRow(hash), Database::Rows{});
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});

    breaker.undo(dir_.path(), ChunkFile(hash));
    EXPECT_EQ(Upload(port(), token_, bytes), OkReply);
    EXPECT_EQ(ReadFile(ChunkFile(hash)), bytes);
    db()->Exec("DELETE FROM chunks");
    fs::remove(ChunkFile(hash));
  }
}

TEST_F(ChunkStoreTest, SimultaneousUploadsOfOneChunkLeaveOneCompleteFileAndReadersSeeNoTornChunk) {
  constexpr int Uploaders = 8;
  constexpr int Readers = 4;
  for (uint32_t round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::string bytes = RandomBytes(1 << 20, 100 + round);
    std::string hash = Sha256Hex(bytes);
    std::vector<std::string> replies(Uploaders);
    std::vector<HttpResponse> reads(Readers);
    std::latch start(Uploaders + Readers);
    std::vector<std::thread> threads;
    for (int i = 0; i < Uploaders; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        replies[i] = Upload(port(), token_, bytes);
      });
    }
    for (int i = 0; i < Readers; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        reads[i] = Download(port(), token_, hash);
      });
    }
    for (std::thread& t : threads) t.join();

    for (const std::string& reply : replies) EXPECT_EQ(reply, OkReply);
    for (const HttpResponse& read : reads) {
      // Either not there yet, or all of it.
      if (read.status == 404) continue;
      EXPECT_EQ(read.status, 200);
      EXPECT_TRUE(read.body == bytes) << "torn download of " << read.body.size() << " bytes";
    }
    EXPECT_TRUE(ReadFile(ChunkFile(hash)) == bytes);
    EXPECT_EQ(ChunkRow(hash).size(), 1u);
    EXPECT_EQ(ChunkFileNames().size(), round + 1);
  }
  EXPECT_EQ(ChunkRowCount(), "3");
}

TEST_F(ChunkStoreTest, UploadedChunkIsNoLongerNeededAndCountsOnceInTheStatus) {
  std::string bytes = RandomBytes(3000, 8);
  std::string hash = Sha256Hex(bytes);
  Json change = {{"path", "a.bin"},
                 {"size", 3000},
                 {"sha256", hash},
                 {"chunks", {{{"sha256", hash}, {"size", 3000}}}}};
  Json push = {{"device", "laptop"}, {"changes", {change}}};
  EXPECT_EQ(PostJson(port(), "/api/push.php", push, token_)["needChunks"], Json::array({hash}));

  ASSERT_EQ(Upload(port(), token_, bytes), OkReply);
  ASSERT_EQ(Upload(port(), Register(port(), "second-owner", "phone"), bytes), OkReply);

  EXPECT_EQ(PostJson(port(), "/api/push.php", push, token_)["needChunks"], Json::array());
  Json status = Call(port(), "GET", "/api/status.php").json();
  EXPECT_EQ(status["chunks"], 1);
  EXPECT_EQ(status["chunkBytes"], 3000);
}

TEST_F(ChunkStoreTest, TempFilesOfADeadServerAreRemovedAtStartButLiveOnesAreKept) {
  std::string stale = ChunkFile(std::string(64, 'a')) + ".4242-0.tmp";
  WriteFile(stale, "half a chunk");
  std::string busy = ChunkFile(std::string(64, 'b')) + ".4243-0.tmp";
  WriteFile(busy, "being written");
  // Held the way a live upload holds its temp file.
  std::unique_ptr<FILE, int (*)(FILE*)> holder(fopen(busy.c_str(), "r"), fclose);
  ASSERT_TRUE(holder);
  ASSERT_EQ(flock(fileno(holder.get()), LOCK_EX), 0);

  Restart();
  EXPECT_FALSE(PathExists(stale));
  EXPECT_TRUE(PathExists(busy));
  holder.reset();
  fs::remove(busy);
}

// Downloads

std::string OctetStreamResponse(const std::string& bytes) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(bytes.size()) + "\r\nConnection: close\r\n\r\n" + bytes;
}

const std::string NotFoundResponse =
    "HTTP/1.1 404 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Content-Length: 30\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
    "{\"err\":\"not_found\",\"ok\":false}";

TEST_F(ChunkStoreTest, DownloadSendsExactlyTheStoredBytesWithOctetStreamFraming) {
  // Around the 65536-byte transfer block, and the largest chunk.
  for (size_t size : {size_t{1}, size_t{65536}, size_t{65537}, size_t{MaxChunk}}) {
    SCOPED_TRACE(size);
    std::string bytes = RandomBytes(size, static_cast<uint32_t>(size));
    std::string hash = Sha256Hex(bytes);
    ASSERT_EQ(Upload(port(), token_, bytes), OkReply);
    HttpResponse r = Download(port(), token_, hash);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.header_lines, (std::vector<std::string>{"Content-Type: application/octet-stream",
                                                        "Content-Length: " + std::to_string(size),
                                                        "Connection: close"}));
    EXPECT_TRUE(r.raw == OctetStreamResponse(bytes));
    EXPECT_EQ(Sha256Hex(r.body), hash);
  }
}

TEST_F(ChunkStoreTest, DownloadServesWhatTheDirectoryHoldsWhateverTheRows) {
  std::string bytes = RandomBytes(777, 9);
  std::string hash = Sha256Hex(bytes);
  WriteFile(ChunkFile(hash), bytes);
  EXPECT_TRUE(Download(port(), token_, hash).raw == OctetStreamResponse(bytes));
}

TEST_F(ChunkStoreTest, AnythingButAStoredLowerCaseHashIsNotFound) {
  std::string bytes = RandomBytes(64, 10);
  std::string hash = Sha256Hex(bytes);
  ASSERT_EQ(Upload(port(), token_, bytes), OkReply);
  // Files a traversing name would reach, outside the chunk directory.
  std::string outside = std::string(61, 'a');
  WriteFile(dir_ / (outside + ".bin"), "secret");
  WriteFile(dir_ / ("chunks/" + std::string(62, 'c') + ".bin"), "not a chunk");
  WriteFile(dir_ / ("chunks/" + std::string(54, 'e') + ".bin"), "not a chunk");
  fs::create_directory(dir_ / ("chunks/" + std::string(64, 'd') + ".bin"));

  const std::string targets[] = {
      "/api/chunk.php?sha256=" + Sha256Hex("never uploaded"),
      "/api/chunk.php?sha256=" + hash.substr(0, 63),
      "/api/chunk.php?sha256=" + hash + "0",
      "/api/chunk.php?sha256=",
      "/api/chunk.php",
      "/api/chunk.php?size=64",
      "/api/chunk.php?sha256=" + Upper(hash),
      "/api/chunk.php?sha256=" + std::string(64, 'g'),
      "/api/chunk.php?sha256=../" + outside,
      "/api/chunk.php?sha256=./" + std::string(62, 'c'),
      "/api/chunk.php?sha256=../chunks/" + std::string(54, 'e'),
      "/api/chunk.php?sha256=%2e%2e%2f" + outside.substr(0, 55),
      "/api/chunk.php?sha256=" + std::string(64, 'd'),  // a directory, not a chunk
  };
  for (const std::string& target : targets) {
    EXPECT_EQ(Call(port(), "GET", target, "", token_).raw, NotFoundResponse) << target;
  }
}

TEST_F(ChunkStoreTest, AnyAccountFetchesAnyChunkButNobodyWithoutASession) {
  std::string bytes = RandomBytes(2048, 11);
  std::string hash = Sha256Hex(bytes);
  ASSERT_EQ(Upload(port(), token_, bytes), OkReply);
  std::string stranger = Register(port(), "stranger", "tablet");
  EXPECT_TRUE(Download(port(), stranger, hash).raw == OctetStreamResponse(bytes));

  for (const std::string& token : {std::string(), std::string(64, 'f')}) {
    for (const std::string& sha256 : {hash, Sha256Hex("unknown")}) {
      HttpResponse r = Download(port(), token, sha256);
      EXPECT_EQ(r.status, 401) << token << " " << sha256;
      EXPECT_EQ(r.body, ErrorReply("unauthorized"));
    }
  }
}

}  // namespace
}  // namespace kelvra::test
