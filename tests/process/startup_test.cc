// Start-up and shut-down of the real binary.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string StartupLine(int port) {
  return "Kelvra 同步服务端 v1.0.0 启动, 端口 " + std::to_string(port);
}

// Name, size and modification time of everything under a directory.
std::string Snapshot(const std::string& dir) {
  std::string out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    out += entry.path().string();
    if (entry.is_regular_file()) {
      out += " " + std::to_string(entry.file_size()) + " " +
             std::to_string(entry.last_write_time().time_since_epoch().count());
    }
    out += "\n";
  }
  return out;
}

TEST(Startup, FreshStartCreatesSchemaAndLogsTheStartupLine) {
  TempDir dir;
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  EXPECT_TRUE(fs::is_directory(dir / "chunks"));
  ASSERT_EQ(server.Stop(), std::optional<int>(0));

  Database db(dir / "relay.db");
  EXPECT_EQ(db.Scalar("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(db.Query("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE "
                     "'sqlite_%' ORDER BY name"),
            (Database::Rows{{"chunks"}, {"devices"}, {"file_chunks"}, {"files"},
                            {"relay_counts"}, {"sessions"}, {"users"}}));
  EXPECT_EQ(db.Query("SELECT name FROM sqlite_master WHERE type='index' AND name NOT LIKE "
                     "'sqlite_%' ORDER BY name"),
            (Database::Rows{{"ix_fc_sha"}, {"ix_files_pull"}}));

  std::vector<std::string> lines = LogLines(server.LogText());
  ASSERT_EQ(lines.size(), 1u);
  std::regex format("^\\[[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\] (.*)$");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, format)) << lines[0];
  EXPECT_EQ(m[1].str(), StartupLine(server.port()));
}

TEST(Startup, SecondStartOnTheSameDatabaseChangesNothing) {
  TempDir dir;
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  ASSERT_EQ(server.Stop(), std::optional<int>(0));
  const char* dump = "SELECT type,name,tbl_name,sql FROM sqlite_master ORDER BY name";
  Database::Rows schema = Database(dir / "relay.db").Query(dump);
  ASSERT_TRUE(server.Start(dir.path()));
  ASSERT_EQ(server.Stop(), std::optional<int>(0));
  EXPECT_EQ(Database(dir / "relay.db").Query(dump), schema);
  std::string log = server.LogText();
  EXPECT_EQ(log.find("SQL错误"), std::string::npos) << log;
  EXPECT_EQ(LogLines(log).size(), 2u);
}

TEST(Startup, SecondInstanceOnTheSamePortExitsZeroAndWritesNothing) {
  TempDir dir;
  ServerProcess first;
  ASSERT_TRUE(first.Start(dir.path()));
  std::string before = Snapshot(dir.path());

  ServerProcess second;
  second.Spawn({dir.path(), std::to_string(first.port())});
  EXPECT_EQ(second.WaitExit(), std::optional<int>(0));
  EXPECT_EQ(Snapshot(dir.path()), before);

  // The guard is per port: another port on the same directory runs.
  ServerProcess third;
  ASSERT_TRUE(third.Start(dir.path()));
  EXPECT_EQ(Call(third.port(), "GET", "/api/status.php").status, 200);
  EXPECT_EQ(third.Stop(), std::optional<int>(0));
  EXPECT_EQ(first.Stop(), std::optional<int>(0));
}

TEST(Startup, GuardOfAKilledServerIsReleased) {
  TempDir dir;
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  int port = server.port();
  server.Kill();
  ServerProcess again;
  again.Spawn({dir.path(), std::to_string(port)});
  EXPECT_TRUE(again.WaitReady());
  EXPECT_EQ(again.Stop(), std::optional<int>(0));
}

TEST(Startup, PortHeldByAnotherListenerGivesTheBindFailureLine) {
  int port = PickFreePort();
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(holder, 1), 0);

  TempDir dir;
  ServerProcess server;
  server.Spawn({dir.path(), std::to_string(port)});
  EXPECT_EQ(server.WaitExit(), std::optional<int>(1));
  close(holder);
  std::vector<std::string> lines = LogLines(server.LogText());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(11), StartupLine(port));
  EXPECT_EQ(lines[1].substr(11), "端口 " + std::to_string(port) + " 绑定失败");
}

TEST(Startup, PortAbove65535IsRefused) {
  TempDir dir;
  ServerProcess server;
  server.Spawn({dir.path(), "70000"});
  EXPECT_EQ(server.WaitExit(), std::optional<int>(1));
  EXPECT_EQ(LogLines(server.LogText()).at(0).substr(11),
            "端口 70000 无效 (必须在 1 到 65535 之间)");
}

TEST(Startup, UnopenableDatabaseIsLoggedAndTheServerKeepsServing) {
  TempDir dir;
  fs::create_directories(dir / "relay.db");
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path()));
  HttpResponse status = Call(server.port(), "GET", "/api/status.php");
  EXPECT_EQ(status.status, 200);
  EXPECT_EQ(status.json()["users"], 0);
  EXPECT_EQ(Call(server.port(), "POST", "/api/heartbeat.php", "{}", std::string(64, 'a')).status,
            401);
  std::vector<std::string> lines = LogLines(server.LogText());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(11), "无法打开 relay.db");
  EXPECT_EQ(lines[1].substr(11), StartupLine(server.port()));
  EXPECT_EQ(server.Stop(), std::optional<int>(0));
}

TEST(Startup, DataDirectoryWithTrailingSeparatorWorks) {
  TempDir dir;
  ServerProcess server;
  ASSERT_TRUE(server.Start(dir.path() + "/"));
  std::string token = Register(server.port(), "trail", "dev");
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(server.Stop(), std::optional<int>(0));
  EXPECT_TRUE(fs::exists(dir / "relay.db"));
  EXPECT_TRUE(fs::is_directory(dir / "chunks"));
}

// Waits until the log file at `path` has a line, then quits the server.
std::vector<std::string> FirstLogLines(ServerProcess& server, const std::string& path) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadFile(path).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server.Stop();
  return LogLines(ReadFile(path));
}

// Both cases use port 18260, so they run one after the other in one test.
// Whether 18260 is free on this machine or not, the start-up line names it.
TEST(Startup, DefaultsAreTheProgramDirectoryAndPort18260) {
  TempDir dir;
  std::string binary = dir / "kelvra-sync-server";
  fs::copy_file(ServerBinary(), binary);
  fs::permissions(binary, fs::perms::owner_all);
  ServerProcess bare;
  bare.Spawn({}, "", binary);
  std::vector<std::string> lines = FirstLogLines(bare, dir / "logs/KelvraSyncServer.log");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].substr(11), StartupLine(18260));
  EXPECT_TRUE(fs::exists(dir / "relay.db"));

  TempDir data;
  ServerProcess dir_only;
  dir_only.Spawn({data.path()});
  lines = FirstLogLines(dir_only, data / "logs/KelvraSyncServer.log");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].substr(11), StartupLine(18260));
}

TEST(Startup, SigintAndSigtermBothQuitWithExitCodeZero) {
  for (int sig : {SIGINT, SIGTERM}) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.Start(dir.path()));
    server.Signal(sig);
    EXPECT_EQ(server.WaitExit(), std::optional<int>(0)) << sig;
    // Shut-down closed the database cleanly: no write-ahead log is left over.
    EXPECT_FALSE(fs::exists(dir / "relay.db-wal"));
  }
}

}  // namespace
}  // namespace kelvra::test
