#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace kelvra::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kelvra-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  char* made = mkdtemp(buffer.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Undo permission changes a test made, so that removal can proceed.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored)) fs::permissions(it->path(), fs::perms::owner_all,
                                                   fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool PathExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

int PickFreePort() {
  static std::mt19937 random(static_cast<unsigned>(getpid()) * 7919u +
                             static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 200; ++attempt) {
    int port = 20000 + static_cast<int>(random() % 12000);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(s);
    if (free) return port;
  }
  throw std::runtime_error("no free port");
}

uint64_t ProcStatusBytes(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::stoull(line.substr(field.size() + 1)) * 1024;  // given in kB
    }
  }
  return 0;
}

std::vector<std::string> TempFilesUnder(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(dir, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->path().extension() == ".tmp") found.push_back(it->path().string());
  }
  return found;
}

int64_t WallSeconds() {
  using namespace std::chrono;
  return floor<seconds>(system_clock::now()).time_since_epoch().count();
}

std::string ServerBinary() { return KELVRA_SERVER_BINARY; }

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !exit_code_) Kill();
}

void ServerProcess::Spawn(const std::vector<std::string>& args, const std::string& stderr_path,
                          const std::string& binary) {
  exit_code_.reset();
  data_dir_ = args.empty() ? "" : args[0];
  port_ = args.size() >= 2 ? std::atoi(args[1].c_str()) : 18260;
  std::vector<std::string> argv_text{binary};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    std::string err = stderr_path.empty() ? "/dev/null" : stderr_path;
    int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) dup2(fd, 2);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
}

bool ServerProcess::Start(const std::string& data_dir) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    Spawn({data_dir, std::to_string(PickFreePort())});
    if (WaitReady()) return true;
    if (running()) return false;  // up but never listening: a real failure
  }
  return false;
}

bool ServerProcess::WaitReady(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  while (Clock::now() < until) {
    if (!running()) return false;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    bool up = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(s);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<int> ServerProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (exit_code_) return exit_code_;
  if (pid_ <= 0) return std::nullopt;
  auto until = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exit_code_;
    }
    if (Clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<int> ServerProcess::Stop(std::chrono::milliseconds timeout) {
  if (running()) Signal(SIGTERM);
  return WaitExit(timeout);
}

void ServerProcess::Signal(int signal) {
  if (pid_ > 0 && !exit_code_) kill(pid_, signal);
}

void ServerProcess::Kill() {
  Signal(SIGKILL);
  WaitExit(std::chrono::seconds(30));
}

bool ServerProcess::running() {
  if (pid_ <= 0 || exit_code_) return false;
  return !WaitExit(std::chrono::milliseconds(0));
}

std::string ServerProcess::LogText() const {
  return ReadFile(data_dir_ + "/logs/KelvraSyncServer.log");
}

Json HttpResponse::json() const { return Json::parse(body, nullptr, false); }

HttpResponse ParseResponse(const std::string& raw) {
  HttpResponse r;
  r.raw = raw;
  r.received = !raw.empty();
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  std::string head = raw.substr(0, end);
  r.body = raw.substr(end + 4);
  size_t pos = 0;
  bool first = true;
  while (pos <= head.size()) {
    size_t eol = head.find("\r\n", pos);
    if (eol == std::string::npos) eol = head.size();
    std::string line = head.substr(pos, eol - pos);
    pos = eol + 2;
    if (first) {
      r.status_line = line;
      if (line.size() >= 12) r.status = std::atoi(line.c_str() + 9);
      first = false;
      continue;
    }
    r.header_lines.push_back(line);
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t v = line.find_first_not_of(' ', colon + 1);
    r.headers[name] = v == std::string::npos ? "" : line.substr(v);
  }
  return r;
}

Connection::Connection(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

Connection::~Connection() {
  if (fd_ >= 0) close(fd_);
}

bool Connection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string Connection::ReadAll(std::chrono::milliseconds timeout, bool* closed) {
  std::string out;
  auto until = Clock::now() + timeout;
  if (closed) *closed = false;
  char buffer[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return out;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      if (closed) *closed = true;
      return out;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

bool Connection::WaitClosed(std::chrono::milliseconds timeout) {
  bool closed = false;
  ReadAll(timeout, &closed);
  return closed;
}

HttpResponse HttpExchange(int port, const std::string& request, std::chrono::milliseconds timeout,
                          bool half_close) {
  Connection c(port);
  if (!c.ok()) return HttpResponse{};
  c.Send(request);
  if (half_close) shutdown(c.fd(), SHUT_WR);
  return ParseResponse(c.ReadAll(timeout));
}

std::string BuildRequest(const std::string& method, const std::string& target,
                         const std::string& body, const std::string& token) {
  std::string r = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!token.empty()) r += "x-auth-token: " + token + "\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return r;
}

HttpResponse Call(int port, const std::string& method, const std::string& target,
                  const std::string& body, const std::string& token) {
  return HttpExchange(port, BuildRequest(method, target, body, token));
}

Json PostJson(int port, const std::string& path, const Json& doc, const std::string& token) {
  return Call(port, "POST", path, doc.dump(), token).json();
}

std::string Register(int port, const std::string& account, const std::string& device,
                     const std::string& password) {
  Json reply = PostJson(port, "/api/register.php",
                        {{"account", account}, {"password", password}, {"device", device}});
  EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
  return reply.value("token", "");
}

Database::Database(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    throw std::runtime_error("cannot open " + path);
  }
  sqlite3_busy_timeout(db_, 10000);
}

Database::~Database() { sqlite3_close(db_); }

Database::Rows Database::Query(const std::string& sql, const std::vector<std::string>& params) {
  Rows rows;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare: ") + sqlite3_errmsg(db_) + ": " + sql);
  }
  for (size_t i = 0; i < params.size(); ++i) {
    sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].data(),
                      static_cast<int>(params[i].size()), SQLITE_TRANSIENT);
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
      row.emplace_back(text ? std::string(text, sqlite3_column_bytes(stmt, c)) : "");
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw std::runtime_error(std::string("step: ") + sqlite3_errmsg(db_));
  return rows;
}

std::string Database::Scalar(const std::string& sql, const std::vector<std::string>& params) {
  Rows rows = Query(sql, params);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

void Database::Exec(const std::string& sql, const std::vector<std::string>& params) {
  Query(sql, params);
}

}  // namespace kelvra::test
