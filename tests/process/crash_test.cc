// Crash consistency: the server is killed with SIGKILL in the middle of
// uploads and pushes, restarted on the same data directory, and what it left
// on disk is examined. Every upload it answered "ok" must still be there,
// relay.db must be intact, no file may carry a chunk list put together from
// two pushes, and start-up must clear the temp files of dead uploads while
// leaving alone those that a live upload (of another instance) still holds.
//
// The runs are random but seeded; the seed is printed, and reported with any
// failure. KELVRA_TEST_SEED=<number> repeats a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "common/sha256.h"
#include "harness.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string OkReply = R"({"ok":true})";

uint64_t TestSeed() {
  if (const char* text = std::getenv("KELVRA_TEST_SEED")) return std::strtoull(text, nullptr, 10);
  return std::random_device{}();
}

std::string RandomBytes(std::mt19937_64& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Names of the temp files in a chunk directory.
std::vector<std::string> TempFiles(const std::string& data_dir) {
  return TempFilesUnder(data_dir + "/chunks");
}

// True when some process holds the advisory lock an upload takes on its
// temp file.
bool LockedByOther(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return locked;
}

HttpResponse UploadChunk(int port, const std::string& token, const std::string& bytes) {
  return Call(port, "PUT",
              "/api/chunk.php?sha256=" + Sha256Hex(bytes) + "&size=" + std::to_string(bytes.size()),
              bytes, token);
}

struct ChunkRef {
  std::string sha256;
  int64_t size = 0;
  friend bool operator==(const ChunkRef&, const ChunkRef&) = default;
};

void PrintTo(const ChunkRef& chunk, std::ostream* out) {
  *out << chunk.sha256.substr(0, 12) << "../" << chunk.size;
}

// One pushed version of a path. Its number travels as the change's mtime,
// so a files row names its version even when it is a deletion; every chunk
// of a live version carries the path and the number in its bytes, so no two
// versions share a chunk.
struct Version {
  std::string path;
  bool deleted = false;
  std::string sha256;
  int64_t size = 0;
  std::vector<ChunkRef> chunks;
};

// What the writers sent and what the server confirmed, shared by their
// threads.
class Ledger {
 public:
  void AddVersion(int64_t number, Version version) {
    std::lock_guard lock(mutex_);
    versions_[number] = std::move(version);
  }
  void Attempted(const std::string& path, int64_t number) {
    std::lock_guard lock(mutex_);
    attempted_[path] = number;
  }
  void Acknowledged(const std::string& path, int64_t number) {
    std::lock_guard lock(mutex_);
    acknowledged_[path] = number;
  }
  void Uploaded(const std::string& sha256, int64_t size) {
    std::lock_guard lock(mutex_);
    uploads_[sha256] = size;
  }
  // Pushes sent and not yet answered, so that some kills can aim at them.
  std::atomic<int> pushes_in_flight{0};

  void Problem(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (problems_.size() < 20) problems_.push_back(text);
  }

  // Read by the main thread while no writer runs.
  const std::map<int64_t, Version>& versions() const { return versions_; }
  const std::map<std::string, int64_t>& attempted() const { return attempted_; }
  const std::map<std::string, int64_t>& acknowledged() const { return acknowledged_; }
  const std::map<std::string, int64_t>& uploads() const { return uploads_; }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::mutex mutex_;
  std::map<int64_t, Version> versions_;
  std::map<std::string, int64_t> attempted_;     // private path -> last version sent
  std::map<std::string, int64_t> acknowledged_;  // private path -> last version accepted
  std::map<std::string, int64_t> uploads_;       // chunks answered {"ok":true}
  std::vector<std::string> problems_;
};

constexpr int Writers = 4;
constexpr int PrivatePathsPerWriter = 2;
constexpr int SharedPaths = 3;

// One client thread of a round: pushes versions of its own paths (one at a
// time, so each accepted push is the newest of its path) and of paths all
// writers share (concurrently, so pushes of one path race), uploads what
// the pushes report missing, and uploads loose chunks of up to 2 MiB. It
// stops at the first request the server does not answer: the server was
// killed.
class Writer {
 public:
  Writer(int index, uint64_t seed, Ledger* ledger, std::atomic<int64_t>* numbers)
      : index_(index), random_(seed), ledger_(ledger), numbers_(numbers) {}

  void Run(int port, const std::string& token) {
    port_ = port;
    token_ = token;
    for (;;) {
      int roll = static_cast<int>(random_() % 100);
      bool answered = roll < 40 ? PushPrivate() : roll < 65 ? PushShared() : UploadLoose();
      if (!answered) return;
    }
  }

 private:
  std::string PrivatePath(int k) const {
    return "writer" + std::to_string(index_) + "/file" + std::to_string(k) + ".bin";
  }

  // Builds and records a version of `path`, with the bytes of its chunks
  // kept for the uploads.
  Json MakeChange(const std::string& path, int64_t number, bool deleted,
                  std::map<std::string, std::string>* bytes_by_hash) {
    Version version{path, deleted, "", 0, {}};
    Json change = {{"path", path}, {"mtime", number}};
    if (deleted) {
      change["deleted"] = 1;
    } else {
      int count = 1 + static_cast<int>(random_() % 8);
      std::string content;
      Json chunks = Json::array();
      for (int i = 0; i < count; ++i) {
        std::string bytes = "path=" + path + " version=" + std::to_string(number) +
                            " chunk=" + std::to_string(i) + "\n";
        bytes += RandomBytes(random_, random_() % 40000);
        std::string hash = Sha256Hex(bytes);
        version.chunks.push_back({hash, static_cast<int64_t>(bytes.size())});
        chunks.push_back({{"sha256", hash}, {"size", bytes.size()}});
        content += bytes;
        (*bytes_by_hash)[hash] = std::move(bytes);
      }
      version.sha256 = Sha256Hex(content);
      version.size = static_cast<int64_t>(content.size());
      change["sha256"] = version.sha256;
      change["size"] = version.size;
      change["chunks"] = std::move(chunks);
    }
    ledger_->AddVersion(number, std::move(version));
    return change;
  }

  // Pushes `changes`, then uploads every chunk the reply names. Returns
  // false when the server stopped answering; *accepted gets the count.
  bool Push(const Json& changes, const std::map<std::string, std::string>& bytes_by_hash,
            int64_t* accepted) {
    Json doc = {{"device", "writer" + std::to_string(index_)}, {"changes", changes}};
    ledger_->pushes_in_flight.fetch_add(1);
    HttpResponse r = Call(port_, "POST", "/api/push.php", doc.dump(), token_);
    ledger_->pushes_in_flight.fetch_sub(1);
    Json reply = r.json();
    if (!reply.is_object()) return false;
    if (reply.value("ok", false) != true || !reply["needChunks"].is_array()) {
      ledger_->Problem("push refused: " + r.body);
      return true;
    }
    *accepted = reply.value("accepted", int64_t{-1});
    std::set<std::string> uploaded;
    for (const Json& hash : reply["needChunks"]) {
      std::string text = hash.is_string() ? hash.get<std::string>() : "";
      auto found = bytes_by_hash.find(text);
      if (found == bytes_by_hash.end()) {
        ledger_->Problem("needChunks names a chunk this push did not list: " + text);
        continue;
      }
      if (!uploaded.insert(text).second) continue;
      if (!Upload(found->second)) return false;
    }
    return true;
  }

  bool PushPrivate() {
    int changes_count = 1 + static_cast<int>(random_() % 2);
    std::vector<int> paths;
    for (int k = 0; k < PrivatePathsPerWriter; ++k) paths.push_back(k);
    std::shuffle(paths.begin(), paths.end(), random_);
    Json changes = Json::array();
    std::map<std::string, std::string> bytes_by_hash;
    std::vector<std::pair<std::string, int64_t>> sent;
    for (int c = 0; c < changes_count; ++c) {
      std::string path = PrivatePath(paths[c]);
      int64_t number = numbers_->fetch_add(1);
      changes.push_back(MakeChange(path, number, random_() % 8 == 0, &bytes_by_hash));
      ledger_->Attempted(path, number);
      sent.emplace_back(path, number);
    }
    int64_t accepted = -1;
    // An answered push must survive the kill, whether or not its chunks
    // were uploaded before it.
    bool answered = Push(changes, bytes_by_hash, &accepted);
    if (accepted == changes_count) {
      for (const auto& [path, number] : sent) ledger_->Acknowledged(path, number);
    } else if (accepted >= 0) {
      ledger_->Problem("a push of a writer's own paths was not wholly accepted: " +
                       std::to_string(accepted) + " of " + std::to_string(changes_count));
    }
    return answered;
  }

  bool PushShared() {
    std::string path = "shared/file" + std::to_string(random_() % SharedPaths) + ".bin";
    std::map<std::string, std::string> bytes_by_hash;
    Json changes = Json::array();
    changes.push_back(MakeChange(path, numbers_->fetch_add(1), random_() % 8 == 0, &bytes_by_hash));
    int64_t accepted = -1;
    return Push(changes, bytes_by_hash, &accepted);
  }

  bool UploadLoose() {
    size_t size = 1 + random_() % (random_() % 4 == 0 ? 2 * 1024 * 1024 : 100000);
    return Upload(RandomBytes(random_, size));
  }

  bool Upload(const std::string& bytes) {
    HttpResponse r = UploadChunk(port_, token_, bytes);
    if (!r.json().is_object()) return false;
    if (r.body == OkReply) {
      ledger_->Uploaded(Sha256Hex(bytes), static_cast<int64_t>(bytes.size()));
    } else {
      ledger_->Problem("upload refused: " + r.body);
    }
    return true;
  }

  int index_;
  std::mt19937_64 random_;
  Ledger* ledger_;
  std::atomic<int64_t>* numbers_;
  int port_ = 0;
  std::string token_;
};

// The invariants a restarted server's data directory must hold. `verified`
// keeps the chunks whose content was already hashed; later rounds only
// check their size.
class StoreChecker {
 public:
  StoreChecker(const std::string& data_dir, const Ledger& ledger)
      : data_dir_(data_dir), ledger_(ledger) {}

  void Check(int port) {
    std::unique_ptr<Database> db;
    try {
      db = std::make_unique<Database>(data_dir_ + "/relay.db");
    } catch (const std::exception& e) {
      FAIL() << "relay.db does not open: " << e.what();
    }
    EXPECT_EQ(db->Query("PRAGMA integrity_check"), (Database::Rows{{"ok"}}));
    CheckChunkRows(*db);
    CheckAcknowledgedUploads(*db);
    CheckFileRows(*db);
    CheckPrivatePaths(*db);
    EXPECT_EQ(TempFiles(data_dir_), std::vector<std::string>());
    CheckStatusCounts(*db, port);
  }

 private:
  std::string ChunkFile(const std::string& sha256) const {
    return data_dir_ + "/chunks/" + sha256 + ".bin";
  }

  // The file behind a chunk row is complete: its size, and (once) its hash.
  void CheckChunkFile(const std::string& sha256, int64_t size) {
    std::string path = ChunkFile(sha256);
    std::error_code error;
    uintmax_t on_disk = fs::file_size(path, error);
    ASSERT_FALSE(error) << "chunk file missing: " << path;
    ASSERT_EQ(on_disk, static_cast<uintmax_t>(size)) << path;
    if (verified_.count(sha256)) return;
    ASSERT_EQ(Sha256Hex(ReadFile(path)), sha256) << path;
    verified_.insert(sha256);
  }

  void CheckChunkRows(Database& db) {
    for (const auto& row : db.Query("SELECT sha256,size FROM chunks")) {
      CheckChunkFile(row[0], std::atoll(row[1].c_str()));
    }
  }

  void CheckAcknowledgedUploads(Database& db) {
    for (const auto& [sha256, size] : ledger_.uploads()) {
      EXPECT_EQ(db.Scalar("SELECT size FROM chunks WHERE sha256=?", {sha256}), std::to_string(size))
          << "an upload answered ok lost its row: " << sha256;
      CheckChunkFile(sha256, size);
    }
  }

  // Every files row is exactly one pushed version: the row's values and its
  // whole chunk list, never rows of two pushes.
  void CheckFileRows(Database& db) {
    for (const auto& row :
         db.Query("SELECT id,path,size,mtime,sha256,deleted FROM files ORDER BY id")) {
      SCOPED_TRACE("files row " + row[1] + " mtime " + row[3]);
      auto found = ledger_.versions().find(std::atoll(row[3].c_str()));
      ASSERT_NE(found, ledger_.versions().end()) << "a row of no pushed version";
      const Version& version = found->second;
      EXPECT_EQ(row[1], version.path);
      EXPECT_EQ(row[5], version.deleted ? "1" : "0");
      EXPECT_EQ(row[4], version.sha256);
      EXPECT_EQ(row[2], std::to_string(version.size));
      std::vector<ChunkRef> stored;
      int64_t expected_idx = 0;
      for (const auto& chunk : db.Query(
               "SELECT idx,sha256,size FROM file_chunks WHERE file_id=? ORDER BY idx", {row[0]})) {
        EXPECT_EQ(chunk[0], std::to_string(expected_idx++));
        stored.push_back({chunk[1], std::atoll(chunk[2].c_str())});
      }
      EXPECT_EQ(stored, version.chunks) << "the chunk list is not the one of its version";
    }
    EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM file_chunks WHERE file_id NOT IN "
                        "(SELECT id FROM files)"),
              "0");
  }

  // A writer pushes its own paths one after another, so the stored version
  // is at least the last one it was told was accepted and at most the last
  // one it sent.
  void CheckPrivatePaths(Database& db) {
    for (const auto& [path, number] : ledger_.acknowledged()) {
      std::string stored = db.Scalar("SELECT mtime FROM files WHERE path=?", {path});
      ASSERT_FALSE(stored.empty()) << "an accepted push lost its row: " << path;
      EXPECT_GE(std::atoll(stored.c_str()), number) << "an accepted push was undone: " << path;
      EXPECT_LE(std::atoll(stored.c_str()), ledger_.attempted().at(path)) << path;
    }
  }

  // The counts the status document keeps agree with the tables after the
  // crash.
  void CheckStatusCounts(Database& db, int port) {
    Json status = Call(port, "GET", "/api/status.php").json();
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ(status["users"], std::atoll(db.Scalar("SELECT COUNT(*) FROM users").c_str()));
    EXPECT_EQ(status["files"],
              std::atoll(db.Scalar("SELECT COUNT(*) FROM files WHERE deleted=0").c_str()));
    EXPECT_EQ(status["chunks"], std::atoll(db.Scalar("SELECT COUNT(*) FROM chunks").c_str()));
    EXPECT_EQ(status["chunkBytes"],
              std::atoll(db.Scalar("SELECT COALESCE(SUM(size),0) FROM chunks").c_str()));
  }

  std::string data_dir_;
  const Ledger& ledger_;
  std::set<std::string> verified_;
};

constexpr int Kills = 30;

TEST(CrashConsistency, KillsDuringUploadsAndPushesLoseNothingAnsweredAndMixNoVersions) {
  uint64_t seed = TestSeed();
  std::cout << "seed " << seed << "\n";
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);

  TempDir dir;
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  std::string token = Register(server.port(), "crash-owner", "writer0");
  ASSERT_FALSE(token.empty());

  Ledger ledger;
  StoreChecker checker(dir.path(), ledger);
  std::atomic<int64_t> numbers{1};
  std::vector<Writer> writers;
  writers.reserve(Writers);
  for (int i = 0; i < Writers; ++i) writers.emplace_back(i, random(), &ledger, &numbers);

  int temp_files_left = 0;
  int kills_done = 0;
  for (int kill = 1; kill <= Kills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    std::vector<std::thread> threads;
    for (Writer& writer : writers) {
      threads.emplace_back([&writer, port = server.port(), &token] { writer.Run(port, token); });
    }
    // A third of the kills fall at a random moment; after a random delay,
    // a third wait for a temp file (a chunk being written) and a third for
    // a push in flight, so that both are among the moments hit.
    auto random_moment = Clock::now() + std::chrono::milliseconds(20 + random() % 300);
    while (Clock::now() < random_moment) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto give_up = Clock::now() + std::chrono::milliseconds(500);
    while (kill % 3 != 0 && Clock::now() < give_up) {
      if (kill % 3 == 1 ? !TempFiles(dir.path()).empty() : ledger.pushes_in_flight > 0) break;
      std::this_thread::yield();
    }
    server.Kill();
    ++kills_done;
    for (std::thread& t : threads) t.join();
    if (!TempFiles(dir.path()).empty()) ++temp_files_left;

    ASSERT_TRUE(server.Start(dir.path())) << "no restart after the kill";
    checker.Check(server.port());
    ASSERT_EQ(ledger.problems(), std::vector<std::string>());
    if (HasFailure()) break;
  }
  std::cout << kills_done << " kills, " << ledger.versions().size() << " versions pushed, "
            << ledger.uploads().size() << " uploads answered ok, " << temp_files_left
            << " kills left temp files\n";
  EXPECT_GT(ledger.uploads().size(), 0u);
  EXPECT_GT(ledger.acknowledged().size(), 0u);
  EXPECT_EQ(server.Stop(), std::optional<int>(0));
}

// Uploads 8 MiB chunks until one is caught with its temp file on disk and
// locked, and stops the server there (SIGSTOP): a live upload, frozen. The
// thread of the upload is returned; it ends once the server goes on or dies.
struct FrozenUpload {
  std::thread client;
  std::string bytes;
  std::string temp;
  HttpResponse reply;
  std::atomic<bool> done{false};
};

bool FreezeMidUpload(ServerProcess& server, const std::string& token, std::mt19937_64& random,
                     FrozenUpload* frozen) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    frozen->bytes = RandomBytes(random, 8 * 1024 * 1024);
    frozen->done = false;
    frozen->client = std::thread([port = server.port(), token, frozen] {
      frozen->reply = UploadChunk(port, token, frozen->bytes);
      frozen->done = true;
    });
    while (!frozen->done) {
      std::vector<std::string> temps = TempFiles(server.data_dir());
      if (temps.empty()) continue;
      server.Signal(SIGSTOP);
      temps = TempFiles(server.data_dir());
      if (temps.size() == 1 && LockedByOther(temps[0])) {
        frozen->temp = temps[0];
        return true;
      }
      server.Signal(SIGCONT);  // caught between create and lock, or after the rename
      break;
    }
    frozen->client.join();
  }
  return false;
}

TEST(CrashConsistency, StartupKeepsTempFilesOfLiveUploadsAndRemovesThoseOfKilledOnes) {
  uint64_t seed = TestSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  TempDir dir;
  ServerProcess first;
  ASSERT_TRUE(first.Start(dir.path()));
  std::string token = Register(first.port(), "temp-owner", "laptop");

  // A second instance on another port starting beside a live upload of the
  // first leaves its temp file alone; the upload then completes.
  FrozenUpload live;
  ASSERT_TRUE(FreezeMidUpload(first, token, random, &live)) << "no upload caught mid-write";
  {
    ServerProcess second;
    ASSERT_TRUE(second.Start(dir.path()));
    EXPECT_TRUE(PathExists(live.temp)) << "start-up removed the temp file of a live upload";
    EXPECT_EQ(second.Stop(), std::optional<int>(0));
  }
  first.Signal(SIGCONT);
  live.client.join();
  EXPECT_EQ(live.reply.body, OkReply);
  std::string hash = Sha256Hex(live.bytes);
  EXPECT_EQ(Sha256Hex(ReadFile(dir / ("chunks/" + hash + ".bin"))), hash);
  EXPECT_EQ(TempFiles(dir.path()), std::vector<std::string>());

  // An upload killed mid-write leaves its temp file behind and no row; the
  // next start-up removes the file, and the chunk can be uploaded again.
  FrozenUpload killed;
  ASSERT_TRUE(FreezeMidUpload(first, token, random, &killed)) << "no upload caught mid-write";
  first.Kill();
  killed.client.join();
  EXPECT_FALSE(killed.reply.received);
  EXPECT_TRUE(PathExists(killed.temp));
  ASSERT_TRUE(first.Start(dir.path()));
  EXPECT_FALSE(PathExists(killed.temp));
  EXPECT_EQ(TempFiles(dir.path()), std::vector<std::string>());
  hash = Sha256Hex(killed.bytes);
  EXPECT_EQ(Database(dir / "relay.db").Scalar("SELECT COUNT(*) FROM chunks WHERE sha256=?", {hash}),
            "0");
  EXPECT_EQ(UploadChunk(first.port(), token, killed.bytes).body, OkReply);
  EXPECT_EQ(Sha256Hex(ReadFile(dir / ("chunks/" + hash + ".bin"))), hash);
  EXPECT_EQ(first.Stop(), std::optional<int>(0));
}

}  // namespace
}  // namespace kelvra::test
