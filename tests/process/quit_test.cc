// Quitting the real binary with its quit signals while it is busy: uploads
// half sent and uploads being stored, pushes writing their transactions,
// and idle clients holding connections. The process must still end with
// exit code 0, leave relay.db consistent and free its port at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/sha256.h"
#include "harness.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr size_t LargeChunk = 8388608;  // the largest chunk an upload may carry

std::string UploadHead(const std::string& sha256, size_t size, const std::string& token) {
  return "PUT /api/chunk.php?sha256=" + sha256 + "&size=" + std::to_string(size) +
         " HTTP/1.1\r\nx-auth-token: " + token + "\r\nContent-Length: " + std::to_string(size) +
         "\r\n\r\n";
}

// A chunk of `size` bytes that no other (tag, serial) pair produces.
std::string DistinctChunk(size_t size, int tag, int serial) {
  std::string bytes(size, static_cast<char>('a' + tag));
  std::string mark = std::to_string(tag) + ":" + std::to_string(serial) + ":";
  bytes.replace(0, mark.size(), mark);
  return bytes;
}

// An upload writes its chunk under a temporary name and renames it when it
// is complete, so such a file shows that an upload handler is running.
bool UploadBeingStored(const std::string& chunk_dir) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(chunk_dir, ignored)) {
    if (entry.path().extension() == ".tmp") return true;
  }
  return false;
}

std::string PushBody(int serial) {
  Json changes = Json::array();
  for (int i = 0; i < 50; ++i) {
    std::string sha = Sha256Hex(std::to_string(serial) + "/" + std::to_string(i));
    changes.push_back({{"path", "dir/file" + std::to_string(i)},
                       {"size", 10},
                       {"mtime", serial},
                       {"sha256", sha},
                       {"chunks", Json::array({{{"sha256", sha}, {"size", 10}}})}});
  }
  return Json{{"device", "pc"}, {"changes", changes}}.dump();
}

// Runs `body` on a thread until told to stop; `body` gets a serial number.
class Looper {
 public:
  explicit Looper(std::function<void(int)> body)
      : thread_([this, body] {
          for (int serial = 0; !stop_; ++serial) body(serial);
        }) {}
  ~Looper() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class QuitTest : public ::testing::TestWithParam<int> {};

TEST_P(QuitTest, QuitsCleanlyWhileUploadsRunAndIdleClientsWait) {
  TempDir dir;
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  int port = server.port();
  std::string token = Register(port, "quitter", "pc");
  ASSERT_FALSE(token.empty());

  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 50; ++i) {
    idle.push_back(std::make_unique<Connection>(port));
    ASSERT_TRUE(idle.back()->ok());
  }

  // An upload whose body is still on its way: an eighth of it sent.
  std::string pending = DistinctChunk(LargeChunk, 9, 0);
  Connection half_sent(port);
  ASSERT_TRUE(half_sent.Send(UploadHead(Sha256Hex(pending), LargeChunk, token) +
                             pending.substr(0, LargeChunk / 8)));

  // Complete uploads and pushes, one after another on each thread.
  std::atomic<int> stored{0};
  std::vector<std::unique_ptr<Looper>> load;
  for (int tag = 0; tag < 2; ++tag) {
    load.push_back(std::make_unique<Looper>([&, tag](int serial) {
      std::string chunk = DistinctChunk(LargeChunk, tag, serial);
      HttpResponse r =
          HttpExchange(port, UploadHead(Sha256Hex(chunk), chunk.size(), token) + chunk, 20s);
      if (r.json().is_object() && r.json().value("ok", false)) ++stored;
      if (!r.received) std::this_thread::sleep_for(2ms);  // the server is gone
    }));
  }
  load.push_back(std::make_unique<Looper>([&](int serial) {
    HttpResponse r = Call(port, "POST", "/api/push.php", PushBody(serial), token);
    if (!r.received) std::this_thread::sleep_for(2ms);
  }));

  // Quit once uploads demonstrably go through, preferably while one of
  // them is writing its file.
  for (int i = 0; i < 3000 && stored == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GT(stored.load(), 0) << "no upload completed";
  std::string chunk_dir = dir / "chunks";
  bool mid_write = false;
  for (auto until = std::chrono::steady_clock::now() + 10s;
       !mid_write && std::chrono::steady_clock::now() < until;) {
    mid_write = UploadBeingStored(chunk_dir);
  }
  server.Signal(GetParam());
  std::optional<int> exit_code = server.WaitExit(15s);
  for (auto& l : load) l->Stop();
  ASSERT_EQ(exit_code, std::optional<int>(0));
  if (!mid_write) std::cout << "note: no upload was caught writing its file\n";

  // Nothing of the server outlives it: idle clients see their end.
  EXPECT_TRUE(idle.front()->WaitClosed(5s));
  EXPECT_TRUE(half_sent.WaitClosed(5s));

  {
    Database db(dir / "relay.db");
    EXPECT_EQ(db.Query("PRAGMA integrity_check"), (Database::Rows{{"ok"}}));
    // A chunk row is written only once its file is complete.
    Database::Rows chunks = db.Query("SELECT sha256,size FROM chunks");
    EXPECT_GE(chunks.size(), 1u);
    for (const auto& row : chunks) {
      std::string path = chunk_dir + "/" + row[0] + ".bin";
      ASSERT_TRUE(fs::exists(path)) << path;
      EXPECT_EQ(std::to_string(fs::file_size(path)), row[1]) << path;
    }
  }

  // The port is free again at once, and the next start clears what an
  // interrupted upload left behind.
  ServerProcess again;
  again.Spawn({dir.path(), std::to_string(port)});
  ASSERT_TRUE(again.WaitReady()) << again.LogText();
  EXPECT_EQ(Call(port, "GET", "/api/status.php").status, 200);
  EXPECT_FALSE(UploadBeingStored(chunk_dir));
  EXPECT_EQ(again.LogText().find("绑定失败"), std::string::npos);
  EXPECT_EQ(again.Stop(), std::optional<int>(0));
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

}  // namespace
}  // namespace kelvra::test
