// How much memory the server holds under the heaviest legal load: many
// clients sending the largest bodies at once. Request bodies are the only
// memory a client can make the server hold in proportion to what it sends,
// so they are capped by a shared budget (BodyBudgetBytes); bodies beyond it
// wait unread in the kernel's socket buffers. The peak resident size of the
// server process (VmHWM) must therefore stay within that budget plus a
// constant, however many clients send at once.
//
// Under a sanitizer the figures are the sanitizer allocator's (shadow
// memory, quarantine), so these tests only run in ordinary builds.
#include <gtest/gtest.h>

#include <cstdio>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/sha256.h"
#include "harness.h"
#include "http/limits.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t MiB = 1 << 20;
// What a server holds besides request bodies: code, SQLite's page cache,
// thread stacks in use, per-connection buffers, allocator slack.
constexpr uint64_t ConstantSlackBytes = 256 * MiB;

// A field of /proc/<pid>/status in bytes ("VmRSS", "VmHWM"); 0 if absent.
class MemoryBoundTest : public ServerTest {
 protected:
  void SetUp() override {
    if (SanitizedBuild) GTEST_SKIP() << "resident sizes under a sanitizer are the sanitizer's";
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    token_ = Register(port(), "memory-owner", "laptop");
  }

  // Sends `clients` requests at once, each with `body`, and returns how many
  // were answered with `expected_body`.
  int SendAtOnce(int clients, const std::string& head, const std::string& body,
                 const std::string& expected_body) {
    std::latch start(clients);
    std::vector<int> answered(clients, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        Connection c(port());
        start.arrive_and_wait();
        if (!c.ok() || !c.Send(head) || !c.Send(body)) return;
        HttpResponse r = ParseResponse(c.ReadAll(120s));
        answered[i] = r.body == expected_body ? 1 : 0;
      });
    }
    for (std::thread& t : threads) t.join();
    int total = 0;
    for (int a : answered) total += a;
    return total;
  }

  void Report(const char* what, uint64_t idle, uint64_t peak) {
    std::printf("[memory] %s: idle VmRSS %.1f MiB, peak VmHWM %.1f MiB, bound %.1f MiB\n", what,
                idle / double(MiB), peak / double(MiB),
                (BodyBudgetBytes + ConstantSlackBytes) / double(MiB));
    RecordProperty(std::string(what) + "_idle_rss_kib", std::to_string(idle / 1024));
    RecordProperty(std::string(what) + "_peak_hwm_kib", std::to_string(peak / 1024));
  }

  std::string token_;
};

// 100 clients send 9 MiB upload bodies at once: 64 bodies fit the budget,
// the other 36 wait for a share. The body is one byte over the largest
// chunk, so each is read in full and then refused without a disk write:
// what is measured is the holding of bodies, not the file system.
TEST_F(MemoryBoundTest, PeakResidentSizeWithManyMaximalUploadsStaysWithinTheBodyBudget) {
  constexpr int Clients = 100;
  const std::string body(MaxBodyBytes, 'u');
  const std::string head = "PUT /api/chunk.php?sha256=" + Sha256Hex(body) +
                           "&size=" + std::to_string(body.size()) +
                           " HTTP/1.1\r\nx-auth-token: " + token_ +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  uint64_t idle = ProcStatusBytes(server_.pid(), "VmRSS");
  ASSERT_GT(idle, 0u);

  EXPECT_EQ(SendAtOnce(Clients, head, body, R"({"err":"invalid","ok":false})"), Clients);
  uint64_t peak = ProcStatusBytes(server_.pid(), "VmHWM");
  Report("uploads", idle, peak);
  EXPECT_LE(peak, BodyBudgetBytes + ConstantSlackBytes);
  // Not every body was held at once, or the budget did not bind.
  EXPECT_LT(peak, Clients * MaxBodyBytes);
  EXPECT_EQ(Call(port(), "GET", "/api/status.php").status, 200);
}

// The same with real maximal chunks that are hashed and written: 80 clients
// upload the same 8 MiB chunk (one file on disk, one row).
TEST_F(MemoryBoundTest, PeakResidentSizeWithManyLargestChunkUploadsStaysWithinTheBodyBudget) {
  constexpr int Clients = 80;
  std::string body(8 * MiB, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::string head = "PUT /api/chunk.php?sha256=" + Sha256Hex(body) +
                           "&size=" + std::to_string(body.size()) +
                           " HTTP/1.1\r\nx-auth-token: " + token_ +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  uint64_t idle = ProcStatusBytes(server_.pid(), "VmRSS");

  EXPECT_EQ(SendAtOnce(Clients, head, body, R"({"ok":true})"), Clients);
  uint64_t peak = ProcStatusBytes(server_.pid(), "VmHWM");
  Report("chunk_uploads", idle, peak);
  EXPECT_LE(peak, BodyBudgetBytes + ConstantSlackBytes);
  EXPECT_EQ(db()->Scalar("SELECT COUNT(*) FROM chunks"), "1");
}

// JSON bodies count against the same budget, but parsing one can take many
// times the size of its text: a 9 MiB push whose "changes" are three million
// empty objects took some 350 MiB to parse, and four at once peaked above a
// gigabyte. Such a body now has more elements than a document may have and
// reads as no document; one just within the limit is parsed. With a handful
// of each at once the peak must stay within the body budget plus the constant.
TEST_F(MemoryBoundTest, PeakResidentSizeWithConcurrentMaximalJsonBodiesStaysWithinTheBound) {
  constexpr int Clients = 4;
  auto push_of = [](size_t max_bytes, size_t max_elements, size_t* walked) {
    std::string body = "{\"changes\":[0";
    *walked = 1;
    // The object and the array: two brackets; each further element a comma
    // and the object's bracket.
    while (body.size() + 6 <= max_bytes && 2 + 2 * *walked <= max_elements) {
      body += ",{}";
      ++*walked;
    }
    return body + "]}";
  };
  size_t too_many = 0, within = 0;
  std::string refused = push_of(MaxBodyBytes, SIZE_MAX, &too_many);
  std::string parsed = push_of(MaxBodyBytes, MaxJsonElements, &within);
  ASSERT_GT(too_many * 2, MaxJsonElements);
  auto head = [&](const std::string& body) {
    return "POST /api/push.php HTTP/1.1\r\nx-auth-token: " + token_ +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  };
  // No element is a change with a path: every walked one is skipped.
  auto reply = [](size_t skipped) {
    return R"({"accepted":0,"needChunks":[],"ok":true,"skipped":)" + std::to_string(skipped) +
           "}";
  };
  uint64_t idle = ProcStatusBytes(server_.pid(), "VmRSS");
  EXPECT_EQ(SendAtOnce(Clients, head(refused), refused, reply(0)), Clients);
  EXPECT_EQ(SendAtOnce(Clients, head(parsed), parsed, reply(within)), Clients);
  uint64_t peak = ProcStatusBytes(server_.pid(), "VmHWM");
  uint64_t after = ProcStatusBytes(server_.pid(), "VmRSS");
  Report("json_objects", idle, peak);
  std::printf("[memory] json_objects: VmRSS once answered %.1f MiB\n", after / double(MiB));
  EXPECT_LE(peak, BodyBudgetBytes + ConstantSlackBytes);
  // Freed parse memory goes back to the system.
  EXPECT_LE(after, idle + 128 * MiB);
}

}  // namespace
}  // namespace kelvra::test
