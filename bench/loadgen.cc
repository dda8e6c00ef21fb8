// A small HTTP load generator for the requests wrk handles poorly (large
// bodies, distinct bodies per request) and for holding idle connections.
//
// N threads each repeat: connect to 127.0.0.1, send one request, read the
// whole response until the server closes, close. Counts requests, errors
// (no reply, or a status other than 2xx, or a missing expected text),
// bytes, and per-request latency; prints one JSON line.
//
//   loadgen --port P --threads N (--requests R | --seconds S) --method M --target T
//           [--token TOK] [--body-file F] [--expect TEXT]
//   loadgen ... --distinct-bodies SIZE --target '/api/chunk.php?sha256={sha}&size={size}'
//           (each request carries its own SIZE-byte body; {sha}, {size}, {i} are filled in)
//   loadgen --port P --idle N --hold-seconds S   (opens N connections that send nothing)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int port = 0;
  int threads = 1;
  long requests = 0;
  double seconds = 0;
  std::string method = "GET";
  std::string target = "/";
  std::string token;
  std::string body;
  std::string expect;
  size_t distinct_size = 0;
  int idle = 0;
  double hold_seconds = 0;
};

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  return out;
}

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  return text;
}

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

bool SendAll(int s, iovec* parts, int count) {
  while (count > 0) {
    ssize_t n = writev(s, parts, count);
    if (n <= 0) return false;
    while (count > 0 && static_cast<size_t>(n) >= parts->iov_len) {
      n -= static_cast<ssize_t>(parts->iov_len);
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + n;
      parts->iov_len -= static_cast<size_t>(n);
    }
  }
  return true;
}

// Distinct bodies: a shared random base whose first 16 bytes are replaced by
// a per-run salt and the request number, so every body (and hash) differs.
class DistinctBodies {
 public:
  DistinctBodies(size_t size, long count) : base_(size) {
    std::mt19937_64 random(std::random_device{}());
    for (auto& b : base_) b = static_cast<char>(random());
    salt_ = random();
    for (long i = 0; i < count; ++i) hashes_.push_back(Hash(i));
  }
  const std::string& sha(long i) const { return hashes_[static_cast<size_t>(i)]; }
  void Prefix(long i, char out[16]) const {
    uint64_t n = static_cast<uint64_t>(i);
    std::memcpy(out, &salt_, 8);
    std::memcpy(out + 8, &n, 8);
  }
  const char* rest() const { return base_.data() + 16; }
  size_t size() const { return base_.size(); }

 private:
  std::string Hash(long i) const {
    char prefix[16];
    Prefix(i, prefix);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    EVP_DigestUpdate(ctx, prefix, 16);
    EVP_DigestUpdate(ctx, base_.data() + 16, base_.size() - 16);
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    return Hex(digest, 32);
  }
  std::vector<char> base_;
  uint64_t salt_ = 0;
  std::vector<std::string> hashes_;
};

struct Totals {
  std::mutex lock;
  std::vector<double> latencies_ms;
  long errors = 0;
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
};

std::string Head(const Options& o, const std::string& target, size_t body_size) {
  std::string head = o.method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!o.token.empty()) head += "x-auth-token: " + o.token + "\r\n";
  head += "Content-Length: " + std::to_string(body_size) + "\r\nConnection: close\r\n\r\n";
  return head;
}

// One request; returns false on any failure.
bool OneRequest(const Options& o, const DistinctBodies* bodies, long i, uint64_t* in,
                uint64_t* out) {
  int s = Connect(o.port);
  if (s < 0) return false;
  std::string target = o.target;
  char prefix[16];
  std::vector<iovec> parts;
  std::string head;
  if (bodies != nullptr) {
    target = Replace(Replace(Replace(target, "{sha}", bodies->sha(i)), "{size}",
                             std::to_string(bodies->size())),
                     "{i}", std::to_string(i));
    head = Head(o, target, bodies->size());
    bodies->Prefix(i, prefix);
    parts = {{head.data(), head.size()},
             {prefix, 16},
             {const_cast<char*>(bodies->rest()), bodies->size() - 16}};
  } else {
    head = Head(o, target, o.body.size());
    parts = {{head.data(), head.size()}, {const_cast<char*>(o.body.data()), o.body.size()}};
  }
  for (const iovec& p : parts) *out += p.iov_len;
  bool sent = SendAll(s, parts.data(), static_cast<int>(parts.size()));
  // The start of the response (status line, head, the start of the body)
  // and its last bytes are kept for the checks.
  std::string start, tail;
  char buffer[1 << 16];
  for (ssize_t n; (n = recv(s, buffer, sizeof(buffer), 0)) > 0;) {
    *in += static_cast<uint64_t>(n);
    if (start.size() < 4096) start.append(buffer, std::min<size_t>(n, 4096 - start.size()));
    tail.append(buffer, static_cast<size_t>(n));
    if (tail.size() > 8192) tail.erase(0, tail.size() - 4096);
  }
  close(s);
  // Any 2xx: nginx answers a WebDAV PUT with 201 Created.
  if (!sent || start.compare(0, 10, "HTTP/1.1 2") != 0) return false;
  return o.expect.empty() || start.find(o.expect) != std::string::npos ||
         tail.find(o.expect) != std::string::npos;
}

void Load(const Options& o) {
  long planned = o.requests > 0 ? o.requests : 1L << 40;
  std::unique_ptr<DistinctBodies> bodies;
  if (o.distinct_size > 0) bodies = std::make_unique<DistinctBodies>(o.distinct_size, planned);
  std::atomic<long> next{0};
  Totals totals;
  auto start = Clock::now();
  auto until = start + std::chrono::duration<double>(o.seconds > 0 ? o.seconds : 1e9);
  std::vector<std::thread> threads;
  for (int t = 0; t < o.threads; ++t) {
    threads.emplace_back([&] {
      std::vector<double> mine;
      long errors = 0;
      uint64_t in = 0, out = 0;
      for (long i; (i = next.fetch_add(1)) < planned && Clock::now() < until;) {
        auto begin = Clock::now();
        if (!OneRequest(o, bodies.get(), i, &in, &out)) ++errors;
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      }
      std::lock_guard<std::mutex> hold(totals.lock);
      totals.latencies_ms.insert(totals.latencies_ms.end(), mine.begin(), mine.end());
      totals.errors += errors;
      totals.bytes_in += in;
      totals.bytes_out += out;
    });
  }
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double>& l = totals.latencies_ms;
  std::sort(l.begin(), l.end());
  auto pct = [&](double p) { return l.empty() ? 0.0 : l[static_cast<size_t>(p * (l.size() - 1))]; };
  double moved = static_cast<double>(std::max(totals.bytes_in, totals.bytes_out));
  std::printf(
      "{\"requests\":%zu,\"errors\":%ld,\"seconds\":%.3f,\"rps\":%.1f,\"mbps\":%.1f,"
      "\"p50_ms\":%.3f,\"p99_ms\":%.3f,\"bytes_in\":%llu,\"bytes_out\":%llu}\n",
      l.size(), totals.errors, seconds, l.size() / seconds, moved / seconds / 1e6, pct(0.5),
      pct(0.99), static_cast<unsigned long long>(totals.bytes_in),
      static_cast<unsigned long long>(totals.bytes_out));
}

void HoldIdle(const Options& o) {
  std::vector<int> sockets;
  for (int i = 0; i < o.idle; ++i) {
    int s = Connect(o.port);
    if (s >= 0) sockets.push_back(s);
  }
  std::printf("{\"idle\":%zu}\n", sockets.size());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(o.hold_seconds));
  for (int s : sockets) close(s);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i], value = argv[i + 1];
    if (key == "--port") o.port = std::atoi(value.c_str());
    else if (key == "--threads") o.threads = std::atoi(value.c_str());
    else if (key == "--requests") o.requests = std::atol(value.c_str());
    else if (key == "--seconds") o.seconds = std::atof(value.c_str());
    else if (key == "--method") o.method = value;
    else if (key == "--target") o.target = value;
    else if (key == "--token") o.token = value;
    else if (key == "--expect") o.expect = value;
    else if (key == "--distinct-bodies") o.distinct_size = std::strtoul(value.c_str(), nullptr, 10);
    else if (key == "--idle") o.idle = std::atoi(value.c_str());
    else if (key == "--hold-seconds") o.hold_seconds = std::atof(value.c_str());
    else if (key == "--body-file") {
      std::ifstream in(value, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      o.body = text.str();
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      std::exit(2);
    }
  }
  if (o.port <= 0 || (o.idle == 0 && o.requests <= 0 && o.seconds <= 0)) {
    std::fprintf(stderr, "usage: see the comment at the top of bench/loadgen.cc\n");
    std::exit(2);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = Parse(argc, argv);
  if (o.idle > 0) {
    HoldIdle(o);
  } else {
    Load(o);
  }
  return 0;
}
