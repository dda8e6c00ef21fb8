// Load with verification. Simulated devices (4 per account, 8 accounts by
// default) run against one real server over loopback for a bounded time:
// they register or log in, send heartbeats, push random files split into
// random chunks (some drawn from a pool shared by every account), upload
// exactly the chunks each push reports missing, overwrite and delete their
// files, pull manifests since their own cursor and download the chunks they
// lack. Every device writes only below its own folder ("device-N/"), so the
// last accepted push of a path is that device's own latest change; every
// device reads the whole account.
//
// When the time is up, every device rebuilds every live file of its account
// from a full manifest and the downloaded chunks and compares it byte for
// byte with what its owner pushed last, and the status document's counts are
// compared with what the run made. One summary line goes to stdout; the
// exit code is 0 only when nothing failed (errors) and nothing disagreed
// (mismatches). Details of the first problems go to stderr.
//
// Usage: kelvra_soak [--seconds N] [--seed N] [--port P] [--server PATH]
//   --seconds (or SOAK_SECONDS): length of the load phase, default 60.
//   --seed (or SOAK_SEED): seeds the devices' choices; printed either way.
//   --port: use a server already listening on 127.0.0.1:P instead of
//     starting one on a temporary data directory. Its counts are then
//     compared as differences, so nothing else may write to it meanwhile.
//   --server: the server binary to start (default: the one built with it).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/sha256.h"
#include "harness.h"

namespace kelvra::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int Accounts = 8;
constexpr int DevicesPerAccount = 4;
constexpr int PathsPerDevice = 16;  // names a device reuses, so paths get overwritten
constexpr int MaxChunksPerFile = 6;
constexpr size_t MaxChunkBytes = 256 * 1024;
constexpr int PoolChunks = 48;  // shared by every account
constexpr int DownloadsPerPull = 12;
constexpr const char* Password = "soak-password";
constexpr auto RequestTimeout = std::chrono::seconds(60);
// Past the load phase, the verification gets this long before the run is
// declared hung and ended.
constexpr int VerifyAllowanceSeconds = 240;

struct Options {
  int seconds = 60;
  uint64_t seed = 0;
  int port = 0;
  std::string server = ServerBinary();
};

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  if (const char* text = std::getenv("SOAK_SECONDS")) options.seconds = std::atoi(text);
  options.seed = std::random_device{}();
  if (const char* text = std::getenv("SOAK_SEED")) options.seed = std::strtoull(text, nullptr, 10);
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    std::string value = argv[++i];
    if (name == "--seconds") {
      options.seconds = std::atoi(value.c_str());
    } else if (name == "--seed") {
      options.seed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (name == "--port") {
      options.port = std::atoi(value.c_str());
    } else if (name == "--server") {
      options.server = value;
    } else {
      return std::nullopt;
    }
  }
  if (options.seconds < 1) return std::nullopt;
  return options;
}

struct ChunkRef {
  std::string sha256;
  int64_t size = 0;
  friend bool operator==(const ChunkRef&, const ChunkRef&) = default;
};

// A path's current version as its owner pushed it last.
struct FileModel {
  bool deleted = false;
  std::string content;
  std::string sha256;
  int64_t mtime = 0;
  std::vector<ChunkRef> chunks;
};

std::string RandomBytes(std::mt19937_64& random, size_t size) {
  std::string bytes(size, '\0');
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word = random();
    std::memcpy(&bytes[i], &word, 8);
  }
  for (; i < size; ++i) bytes[i] = static_cast<char>(random());
  return bytes;
}

// Sizes from 1 byte to MaxChunkBytes, spread evenly over their magnitude, so
// that tiny and large chunks both come often.
size_t RandomChunkSize(std::mt19937_64& random) {
  double exponent = std::uniform_real_distribution<double>(0, std::log2(MaxChunkBytes))(random);
  return std::max<size_t>(1, static_cast<size_t>(std::exp2(exponent)));
}

// State that all devices share: the run's figures, the problems found, the
// pool of shared chunks and the chunks whose upload was answered "ok".
class Run {
 public:
  Run(int port, uint64_t seed) : port_(port) {
    std::mt19937_64 random(seed ^ 0x5eed5eedULL);
    for (int i = 0; i < PoolChunks; ++i) {
      pool_.push_back(RandomBytes(random, RandomChunkSize(random)));
    }
  }

  int port() const { return port_; }
  const std::vector<std::string>& pool() const { return pool_; }

  // One request to the server, counted as an operation.
  HttpResponse Send(const std::string& method, const std::string& target, const std::string& body,
                    const std::string& token) {
    (verifying_ ? verify_requests_ : operations_).fetch_add(1);
    return HttpExchange(port_, BuildRequest(method, target, body, token), RequestTimeout);
  }

  void Error(const std::string& what) { Report(&errors_, "error", what); }
  void Mismatch(const std::string& what) { Report(&mismatches_, "mismatch", what); }

  void Uploaded(const std::string& sha256, int64_t size) {
    std::lock_guard lock(mutex_);
    uploaded_.emplace(sha256, size);
  }
  bool WasUploaded(const std::string& sha256) {
    std::lock_guard lock(mutex_);
    return uploaded_.count(sha256) != 0;
  }
  // Distinct chunks answered "ok", and their bytes.
  std::pair<int64_t, int64_t> UploadedTotals() {
    std::lock_guard lock(mutex_);
    int64_t bytes = 0;
    for (const auto& [hash, size] : uploaded_) bytes += size;
    return {static_cast<int64_t>(uploaded_.size()), bytes};
  }

  void StartVerifying() { verifying_ = true; }

  std::atomic<uint64_t> pushes{0};
  std::atomic<uint64_t> uploads{0};
  std::atomic<uint64_t> upload_bytes{0};
  std::atomic<uint64_t> downloads{0};
  std::atomic<uint64_t> manifests{0};
  std::atomic<uint64_t> cursor_misses{0};
  std::atomic<uint64_t> files_verified{0};

  uint64_t operations() const { return operations_; }
  uint64_t verify_requests() const { return verify_requests_; }
  uint64_t errors() const { return errors_; }
  uint64_t mismatches() const { return mismatches_; }

 private:
  void Report(std::atomic<uint64_t>* counter, const char* kind, const std::string& what) {
    uint64_t n = counter->fetch_add(1);
    if (n < 20) {
      std::lock_guard lock(mutex_);
      std::cerr << kind << ": " << what << "\n";
    }
  }

  int port_;
  std::vector<std::string> pool_;
  std::mutex mutex_;
  std::map<std::string, int64_t> uploaded_;
  std::atomic<bool> verifying_{false};
  std::atomic<uint64_t> operations_{0};
  std::atomic<uint64_t> verify_requests_{0};
  std::atomic<uint64_t> errors_{0};
  std::atomic<uint64_t> mismatches_{0};
};

std::string Short(const std::string& text) {
  return text.size() <= 200 ? text : text.substr(0, 200) + "...";
}

// One simulated device. Work() and Verify() run on the device's own thread;
// own() is read by the other devices of the account once Work() has ended
// everywhere.
class Device {
 public:
  Device(Run* run, std::string account, int index, uint64_t seed)
      : run_(run),
        account_(std::move(account)),
        name_("device-" + std::to_string(index)),
        random_(seed) {}

  const std::string& name() const { return name_; }
  const std::map<std::string, FileModel>& own() const { return own_; }
  bool registered() const { return registered_; }

  void Work(Clock::time_point until) {
    if (!SignIn()) return;
    while (Clock::now() < until) {
      int roll = static_cast<int>(random_() % 100);
      if (roll < 8) {
        Heartbeat();
      } else if (roll < 10) {
        Login();
      } else if (roll < 13) {
        Status();
      } else if (roll < 55) {
        Push();
      } else {
        Pull();
      }
    }
  }

  // Rebuilds every file of the account from a full manifest and compares it
  // with the model of the device that owns its folder.
  void Verify(const std::vector<const Device*>& account_devices) {
    if (token_.empty()) return;
    std::map<std::string, std::pair<const FileModel*, const Device*>> expected;
    for (const Device* device : account_devices) {
      for (const auto& [path, model] : device->own()) expected[path] = {&model, device};
    }
    std::optional<Json> manifest = Manifest("-1");
    if (!manifest) return;
    std::map<std::string, const Json*> entries;
    for (const Json& entry : (*manifest)["files"]) {
      std::string path = entry.value("path", "");
      if (!entries.emplace(path, &entry).second) Mismatch("manifest lists twice: " + path);
      if (!expected.count(path)) Mismatch("manifest lists a path no device pushed: " + path);
    }
    std::map<std::string, std::string> have;  // chunks downloaded in this pass
    for (const auto& [path, owner] : expected) {
      auto found = entries.find(path);
      if (found == entries.end()) {
        Mismatch("manifest lacks " + path);
        continue;
      }
      const Json& entry = *found->second;
      const FileModel& model = *owner.first;
      CompareEntry(entry, model, owner.second->name(), path);
      // A version the device's cursor passed without the device seeing it.
      int64_t updated = entry.value("updatedAt", int64_t{0});
      auto seen = seen_.find(path);
      if (updated <= cursor_ && (seen == seen_.end() || seen->second != updated)) {
        run_->cursor_misses.fetch_add(1);
      }
      if (model.deleted) continue;
      std::string rebuilt;
      for (const Json& chunk : entry["chunks"]) {
        std::string hash = chunk.value("sha256", "");
        if (!have.count(hash)) {
          std::optional<std::string> bytes = Download(hash, /*must_exist=*/true);
          if (!bytes) break;
          have[hash] = std::move(*bytes);
        }
        rebuilt += have[hash];
      }
      if (rebuilt != model.content) {
        Mismatch(path + " rebuilt from the server differs from what " + owner.second->name() +
                 " pushed last");
      }
      run_->files_verified.fetch_add(1);
    }
  }

 private:
  void Error(const std::string& what) { run_->Error(Who() + what); }
  void Mismatch(const std::string& what) { run_->Mismatch(Who() + what); }
  std::string Who() const { return account_ + "/" + name_ + ": "; }

  // The JSON reply of a request, when it came with status 200 and "ok" true.
  std::optional<Json> JsonCall(const std::string& method, const std::string& target,
                               const std::string& body, const char* what) {
    HttpResponse r = run_->Send(method, target, body, token_);
    if (!r.received) {
      Error(std::string(what) + ": no reply");
      return std::nullopt;
    }
    Json reply = r.json();
    if (r.status != 200 || !reply.is_object() || reply.value("ok", false) != true) {
      Error(std::string(what) + ": " + Short(r.status_line + " " + r.body));
      return std::nullopt;
    }
    return reply;
  }

  Json Credentials() const {
    return {{"account", account_}, {"password", Password}, {"device", name_}, {"env", "soak"}};
  }

  // Every device of an account tries to register it; those that lose the
  // race log in.
  bool SignIn() {
    HttpResponse r = run_->Send("POST", "/api/register.php", Credentials().dump(), "");
    Json reply = r.json();
    if (reply.is_object() && reply.value("ok", false) == true) {
      registered_ = true;
      token_ = reply.value("token", "");
      return !token_.empty();
    }
    if (!reply.is_object() || reply.value("err", "") != "account_exists") {
      Error("register: " + Short(r.status_line + " " + r.body));
      return false;
    }
    return Login();
  }

  bool Login() {
    std::optional<Json> reply = JsonCall("POST", "/api/login.php", Credentials().dump(), "login");
    if (!reply) return false;
    bool listed = false;
    for (const Json& device : (*reply)["devices"]) listed |= device.value("name", "") == name_;
    if (!listed) Mismatch("login's device list lacks this device");
    token_ = reply->value("token", "");
    return !token_.empty();
  }

  void Heartbeat() {
    Json body = {{"device", name_}, {"env", "soak"}};
    std::optional<Json> reply = JsonCall("POST", "/api/heartbeat.php", body.dump(), "heartbeat");
    if (!reply) return;
    bool listed = false;
    for (const Json& device : (*reply)["online"]) listed |= device.value("name", "") == name_;
    if (!listed) Mismatch("heartbeat's device list lacks this device");
  }

  void Status() { JsonCall("GET", "/api/status.php", "", "status"); }

  std::string Path(int k) const { return name_ + "/file" + std::to_string(k) + ".bin"; }

  std::string NextChunk() {
    int roll = static_cast<int>(random_() % 100);
    if (roll < 25) return run_->pool()[random_() % run_->pool().size()];
    if (roll < 35 && !recent_.empty()) return recent_[random_() % recent_.size()];
    std::string bytes = RandomBytes(random_, RandomChunkSize(random_));
    if (recent_.size() < 16) {
      recent_.push_back(bytes);
    } else {
      recent_[random_() % recent_.size()] = bytes;
    }
    return bytes;
  }

  // A new version of `path`: a live file of fresh chunks, or its deletion.
  Json MakeChange(const std::string& path, bool deleted, FileModel* model,
                  std::map<std::string, std::string>* bytes_by_hash) {
    model->deleted = deleted;
    model->mtime = ++mtime_;
    Json change = {{"path", path}, {"mtime", model->mtime}};
    if (deleted) {
      change["deleted"] = 1;
      return change;
    }
    int count = 1 + static_cast<int>(random_() % MaxChunksPerFile);
    Json chunks = Json::array();
    for (int i = 0; i < count; ++i) {
      std::string bytes = NextChunk();
      std::string hash = Sha256Hex(bytes);
      model->chunks.push_back({hash, static_cast<int64_t>(bytes.size())});
      chunks.push_back({{"sha256", hash}, {"size", bytes.size()}});
      model->content += bytes;
      (*bytes_by_hash)[hash] = std::move(bytes);
    }
    model->sha256 = Sha256Hex(model->content);
    change["sha256"] = model->sha256;
    change["size"] = model->content.size();
    change["chunks"] = std::move(chunks);
    return change;
  }

  // One push of 1 to 3 changes on distinct paths of the device's folder:
  // new files, overwrites (deleted paths come back to life) and deletions;
  // then the upload of every chunk the reply names.
  void Push() {
    std::vector<int> names(PathsPerDevice);
    for (int k = 0; k < PathsPerDevice; ++k) names[k] = k;
    std::shuffle(names.begin(), names.end(), random_);
    int count = 1 + static_cast<int>(random_() % 3);
    Json changes = Json::array();
    std::map<std::string, FileModel> pushed;
    std::map<std::string, std::string> bytes_by_hash;
    for (int c = 0; c < count; ++c) {
      std::string path = Path(names[c]);
      auto current = own_.find(path);
      bool live = current != own_.end() && !current->second.deleted;
      bool deleted = live && random_() % 4 == 0;
      changes.push_back(MakeChange(path, deleted, &pushed[path], &bytes_by_hash));
    }
    // Chunks stored before the push was sent may never be reported missing.
    std::set<std::string> stored_before;
    for (const auto& [hash, bytes] : bytes_by_hash) {
      if (run_->WasUploaded(hash)) stored_before.insert(hash);
    }
    run_->pushes.fetch_add(1);
    Json body = {{"device", name_}, {"changes", changes}};
    std::optional<Json> reply = JsonCall("POST", "/api/push.php", body.dump(), "push");
    if (!reply) return;
    if (reply->value("accepted", -1) != count || reply->value("skipped", -1) != 0) {
      Error("push of the device's own paths not wholly accepted: " + Short(reply->dump()));
      return;
    }
    for (auto& [path, model] : pushed) own_[path] = std::move(model);
    std::set<std::string> sent;
    for (const Json& need : (*reply)["needChunks"]) {
      std::string hash = need.is_string() ? need.get<std::string>() : "";
      auto found = bytes_by_hash.find(hash);
      if (found == bytes_by_hash.end()) {
        Mismatch("needChunks names a chunk the push did not list: " + hash);
        continue;
      }
      if (stored_before.count(hash)) Mismatch("needChunks names a stored chunk: " + hash);
      if (sent.insert(hash).second) Upload(found->second);
    }
  }

  void Upload(const std::string& bytes) {
    std::string hash = Sha256Hex(bytes);
    run_->uploads.fetch_add(1);
    run_->upload_bytes.fetch_add(bytes.size());
    if (JsonCall("PUT", "/api/chunk.php?sha256=" + hash + "&size=" + std::to_string(bytes.size()),
                 bytes, "upload")) {
      run_->Uploaded(hash, static_cast<int64_t>(bytes.size()));
    }
  }

  std::optional<Json> Manifest(const std::string& since) {
    run_->manifests.fetch_add(1);
    std::optional<Json> reply = JsonCall("GET", "/api/manifest.php?since=" + since, "", "manifest");
    if (reply && !(*reply)["files"].is_array()) {
      Error("manifest without a files list");
      return std::nullopt;
    }
    return reply;
  }

  // The chunk's bytes, checked against its hash. A chunk whose upload was
  // not answered yet may be missing (404); one that was must be there.
  std::optional<std::string> Download(const std::string& hash, bool must_exist) {
    must_exist = must_exist || run_->WasUploaded(hash);
    run_->downloads.fetch_add(1);
    HttpResponse r = run_->Send("GET", "/api/chunk.php?sha256=" + hash, "", token_);
    if (!r.received) {
      Error("download: no reply");
      return std::nullopt;
    }
    if (r.status == 404 && !must_exist) return std::nullopt;
    if (r.status != 200) {
      Mismatch("download of " + hash + ": " + Short(r.status_line + " " + r.body));
      return std::nullopt;
    }
    if (r.headers["content-length"] != std::to_string(r.body.size()) || Sha256Hex(r.body) != hash) {
      Mismatch("download of " + hash + " came back with other bytes");
      return std::nullopt;
    }
    return std::move(r.body);
  }

  // The checks one manifest entry must pass against its owner's model.
  void CompareEntry(const Json& entry, const FileModel& model, const std::string& owner,
                    const std::string& path) {
    std::vector<ChunkRef> chunks;
    for (const Json& chunk : entry["chunks"]) {
      chunks.push_back({chunk.value("sha256", ""), chunk.value("size", int64_t{0})});
    }
    bool same = entry.value("deleted", -1) == (model.deleted ? 1 : 0) &&
                entry.value("origin", "") == owner &&
                entry.value("mtime", int64_t{-1}) == model.mtime &&
                entry.value("sha256", "?") == model.sha256 &&
                entry.value("size", int64_t{-1}) == static_cast<int64_t>(model.content.size()) &&
                chunks == model.chunks;
    if (!same) {
      Mismatch(path + ": manifest entry is not " + owner + "'s last push: " + Short(entry.dump()));
    }
  }

  // Pulls what changed since the cursor, checks each entry, and downloads
  // some of the chunks this device lacks.
  void Pull() {
    std::optional<Json> reply = Manifest(std::to_string(cursor_));
    if (!reply) return;
    int downloads = 0;
    for (const Json& entry : (*reply)["files"]) {
      std::string path = entry.value("path", "");
      int64_t updated = entry.value("updatedAt", int64_t{0});
      cursor_ = std::max(cursor_, updated);
      seen_[path] = updated;
      std::string folder = path.substr(0, path.find('/'));
      if (folder != entry.value("origin", "")) {
        Mismatch("a path outside its pusher's folder: " + Short(entry.dump()));
      }
      // The device's own pushes were all answered, so its own paths must
      // show exactly its last push.
      if (folder == name_) {
        auto model = own_.find(path);
        if (model == own_.end()) {
          Mismatch("manifest shows an own path never pushed: " + path);
        } else {
          CompareEntry(entry, model->second, name_, path);
        }
      }
      int64_t total = 0;
      for (const Json& chunk : entry["chunks"]) {
        total += chunk.value("size", int64_t{0});
        std::string hash = chunk.value("sha256", "");
        if (have_.count(hash) || downloads >= DownloadsPerPull) continue;
        ++downloads;
        if (Download(hash, /*must_exist=*/false)) have_.insert(hash);
      }
      if (entry.value("deleted", 0) == 0 && total != entry.value("size", int64_t{-1})) {
        Mismatch("chunk sizes do not add up to the file size: " + Short(entry.dump()));
      }
    }
  }

  Run* run_;
  std::string account_;
  std::string name_;
  std::mt19937_64 random_;
  std::string token_;
  bool registered_ = false;
  int64_t mtime_ = 0;
  int64_t cursor_ = 0;
  std::map<std::string, FileModel> own_;
  std::map<std::string, int64_t> seen_;  // path -> updatedAt last pulled
  std::set<std::string> have_;
  std::vector<std::string> recent_;  // own chunks to reuse in later files
};

struct StatusFigures {
  int64_t users = 0;
  int64_t files = 0;
  int64_t chunks = 0;
  int64_t chunk_bytes = 0;
};

std::optional<StatusFigures> ReadStatus(int port) {
  Json doc = HttpExchange(port, BuildRequest("GET", "/api/status.php"), RequestTimeout).json();
  if (!doc.is_object() || doc.value("ok", false) != true) return std::nullopt;
  return StatusFigures{doc.value("users", int64_t{-1}), doc.value("files", int64_t{-1}),
                       doc.value("chunks", int64_t{-1}), doc.value("chunkBytes", int64_t{-1})};
}

std::atomic<pid_t> ServerPid{-1};

// Ends a run that stopped making progress, so that it never hangs.
void StartWatchdog(int seconds) {
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::cout << "soak: hung: no result within " << seconds << " s" << std::endl;
    if (ServerPid > 0) kill(ServerPid, SIGKILL);
    std::_Exit(2);
  }).detach();
}

int RunSoak(const Options& options) {
  std::unique_ptr<TempDir> dir;
  ServerProcess server;
  int port = options.port;
  if (port == 0) {
    dir = std::make_unique<TempDir>();
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
      int candidate = PickFreePort();
      server.Spawn({dir->path(), std::to_string(candidate)}, *dir / "server.stderr",
                   options.server);
      ServerPid = server.pid();
      if (server.WaitReady()) {
        port = candidate;
      } else if (server.running()) {
        server.Kill();
      }
    }
    if (port == 0) {
      std::cout << "soak: the server did not start (" << options.server << ")" << std::endl;
      return 2;
    }
  }
  std::optional<StatusFigures> before = ReadStatus(port);
  if (!before) {
    std::cout << "soak: no status document on port " << port << std::endl;
    return 2;
  }

  Run run(port, options.seed);
  std::mt19937_64 seeds(options.seed);
  // Names unique to this run, so that a run against a given server does not
  // meet accounts of an earlier one.
  std::string prefix =
      "soak-" + std::to_string(options.seed % 1000000) + "-" + std::to_string(getpid()) + "-";
  std::vector<std::vector<std::unique_ptr<Device>>> accounts(Accounts);
  for (int a = 0; a < Accounts; ++a) {
    for (int d = 0; d < DevicesPerAccount; ++d) {
      accounts[a].push_back(
          std::make_unique<Device>(&run, prefix + "account-" + std::to_string(a), d, seeds()));
    }
  }

  auto start = Clock::now();
  auto until = start + std::chrono::seconds(options.seconds);
  {
    std::vector<std::thread> threads;
    for (auto& devices : accounts) {
      for (auto& device : devices) threads.emplace_back([&device, until] { device->Work(until); });
    }
    for (std::thread& t : threads) t.join();
  }
  double load_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t load_operations = run.operations();

  run.StartVerifying();
  {
    std::vector<std::thread> threads;
    for (auto& devices : accounts) {
      std::vector<const Device*> peers;
      for (auto& device : devices) peers.push_back(device.get());
      for (auto& device : devices) {
        threads.emplace_back([&device, peers] { device->Verify(peers); });
      }
    }
    for (std::thread& t : threads) t.join();
  }
  double verify_seconds =
      std::chrono::duration<double>(Clock::now() - start).count() - load_seconds;

  // The status document counts what the run made: its accounts, its live
  // files, and the distinct chunks it uploaded with their bytes.
  StatusFigures expected = *before;
  for (auto& devices : accounts) {
    int registered = 0;
    for (auto& device : devices) {
      registered += device->registered();
      for (const auto& [path, model] : device->own()) expected.files += !model.deleted;
    }
    if (registered != 1) {
      run.Mismatch(std::to_string(registered) + " devices registered one account");
    }
    expected.users += 1;
  }
  auto [chunks, chunk_bytes] = run.UploadedTotals();
  expected.chunks += chunks;
  expected.chunk_bytes += chunk_bytes;
  std::optional<StatusFigures> after = ReadStatus(port);
  if (!after) {
    run.Error("no status document after the run");
  } else {
    auto compare = [&run](const char* name, int64_t got, int64_t want) {
      if (got != want) {
        run.Mismatch(std::string("status ") + name + " is " + std::to_string(got) +
                     ", the run made " + std::to_string(want));
      }
    };
    compare("users", after->users, expected.users);
    compare("files", after->files, expected.files);
    compare("chunks", after->chunks, expected.chunks);
    compare("chunkBytes", after->chunk_bytes, expected.chunk_bytes);
  }

  if (options.port == 0) {
    std::optional<int> exit_code = server.Stop(std::chrono::seconds(30));
    if (exit_code != std::optional<int>(0)) run.Error("the server did not quit cleanly");
    if (run.errors() + run.mismatches() > 0) {
      std::cerr << "server log:\n" << server.LogText() << ReadFile(*dir / "server.stderr");
    }
  }

  std::ostringstream line;
  line.setf(std::ios::fixed);
  line.precision(1);
  line << "soak: operations=" << load_operations << " errors=" << run.errors()
       << " mismatches=" << run.mismatches() << " throughput=" << load_operations / load_seconds
       << " ops/s seconds=" << load_seconds << " devices=" << Accounts * DevicesPerAccount
       << " accounts=" << Accounts << " pushes=" << run.pushes.load()
       << " uploads=" << run.uploads.load() << " uploadBytes=" << run.upload_bytes.load()
       << " distinctChunks=" << chunks << " chunkBytes=" << chunk_bytes
       << " downloads=" << run.downloads.load() << " manifests=" << run.manifests.load()
       << " filesVerified=" << run.files_verified.load()
       << " cursorMisses=" << run.cursor_misses.load()
       << " verifyRequests=" << run.verify_requests() << " verifySeconds=" << verify_seconds
       << " seed=" << options.seed;
  std::cout << line.str() << std::endl;
  return run.errors() == 0 && run.mismatches() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kelvra::test

int main(int argc, char** argv) {
  std::optional<kelvra::test::Options> options = kelvra::test::ParseOptions(argc, argv);
  if (!options) {
    std::cerr << "usage: kelvra_soak [--seconds N] [--seed N] [--port P] [--server PATH]\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  kelvra::test::StartWatchdog(options->seconds + kelvra::test::VerifyAllowanceSeconds);
  return kelvra::test::RunSoak(*options);
}
