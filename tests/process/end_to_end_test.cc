// One file's whole journey between two devices of an account, through the
// real server: push, upload of exactly what it lacks, manifest, download,
// and the file rebuilt byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <vector>

#include "common/sha256.h"
#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A file as a client cuts it: its bytes and its chunks in file order.
struct ClientFile {
  std::string path;
  std::vector<std::string> chunks;
  std::string Bytes() const {
    std::string all;
    for (const std::string& c : chunks) all += c;
    return all;
  }
  Json Change() const {
    Json list = Json::array();
    for (const std::string& c : chunks) {
      list.push_back({{"sha256", Sha256Hex(c)}, {"size", c.size()}});
    }
    std::string bytes = Bytes();
    return {{"path", path},
            {"size", bytes.size()},
            {"mtime", 1700000000},
            {"sha256", Sha256Hex(bytes)},
            {"chunks", list}};
  }
};

using EndToEndTest = ServerTest;

TEST_F(EndToEndTest, FilePushedByOneDeviceIsRebuiltExactlyByAnother) {
  std::string shared = RandomBytes(1 << 20, 1);
  ClientFile report{"docs\\report.bin", {RandomBytes(3 << 20, 2), shared, RandomBytes(12345, 3)}};
  ClientFile copy{"docs/copy.bin", {shared, RandomBytes(777, 4)}};

  // Device A: register, push both files, upload what the server lacks.
  std::string laptop = Register(port(), "alice", "laptop");
  Json push = {{"device", "laptop"}, {"changes", {report.Change(), copy.Change()}}};
  Json reply = PostJson(port(), "/api/push.php", push, laptop);
  ASSERT_EQ(reply["accepted"], 2);
  std::vector<std::string> need = reply["needChunks"].get<std::vector<std::string>>();
  // Every chunk of both files, in order; the shared one twice.
  std::vector<std::string> expected_need;
  for (const ClientFile* f : {&report, &copy}) {
    for (const std::string& c : f->chunks) expected_need.push_back(Sha256Hex(c));
  }
  EXPECT_EQ(need, expected_need);

  std::set<std::string> uploaded;
  for (const ClientFile* f : {&report, &copy}) {
    for (const std::string& c : f->chunks) {
      if (!uploaded.insert(Sha256Hex(c)).second) continue;
      HttpResponse r = Call(
          port(), "PUT",
          "/api/chunk.php?sha256=" + Sha256Hex(c) + "&size=" + std::to_string(c.size()), c, laptop);
      ASSERT_EQ(r.body, R"({"ok":true})");
    }
  }
  EXPECT_EQ(uploaded.size(), 4u);
  EXPECT_EQ(PostJson(port(), "/api/push.php", push, laptop)["needChunks"], Json::array());

  // Device B: log in to the same account, pull, fetch and rebuild.
  Json login =
      PostJson(port(), "/api/login.php",
               {{"account", "alice"}, {"password", "secret-password"}, {"device", "phone"}});
  ASSERT_EQ(login["ok"], true);
  std::string phone = login["token"].get<std::string>();
  Json manifest = Call(port(), "GET", "/api/manifest.php?since=0", "", phone).json();
  ASSERT_EQ(manifest["files"].size(), 2u);
  std::map<std::string, std::string> rebuilt;
  for (const Json& file : manifest["files"]) {
    EXPECT_EQ(file["origin"], "laptop");
    EXPECT_EQ(file["deleted"], 0);
    std::string bytes;
    for (const Json& chunk : file["chunks"]) {
      HttpResponse r = Call(
          port(), "GET", "/api/chunk.php?sha256=" + chunk["sha256"].get<std::string>(), "", phone);
      ASSERT_EQ(r.status, 200);
      ASSERT_EQ(r.body.size(), chunk["size"].get<size_t>());
      bytes += r.body;
    }
    EXPECT_EQ(bytes.size(), file["size"].get<size_t>());
    EXPECT_EQ(Sha256Hex(bytes), file["sha256"]);
    rebuilt[file["path"].get<std::string>()] = std::move(bytes);
  }
  EXPECT_TRUE(rebuilt["docs/report.bin"] == report.Bytes());
  EXPECT_TRUE(rebuilt["docs/copy.bin"] == copy.Bytes());

  // The shared chunk is stored once, for both files.
  size_t stored = 0;
  for (const auto& entry : fs::directory_iterator(dir_ / "chunks")) {
    (void)entry;
    ++stored;
  }
  EXPECT_EQ(stored, 4u);
  Json status = Call(port(), "GET", "/api/status.php").json();
  EXPECT_EQ(status["chunks"], 4);
  EXPECT_EQ(status["files"], 2);
  EXPECT_EQ(status["chunkBytes"], (4 << 20) + 12345 + 777);
}

}  // namespace
}  // namespace kelvra::test
