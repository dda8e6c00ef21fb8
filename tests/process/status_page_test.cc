// The dashboard served by the real binary: the exact page and its framing,
// the figures and device list read from relay.db, the log panel, the
// routes that reach it, and escaping of client-chosen texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

const std::string MiddleDot = "\xC2\xB7";
const std::string DeviceHeading = "<h3 style='font-size:14px;color:#94a3b8'>在线设备</h3>";
const std::string LogHeading = "<h3 style='font-size:14px;color:#94a3b8'>服务日志</h3><pre>";

int64_t WallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The text between the first `open` and the next `close` after it.
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  size_t start = text.find(open);
  if (start == std::string::npos) return "<missing " + open + ">";
  start += open.size();
  size_t end = text.find(close, start);
  if (end == std::string::npos) return "<missing " + close + ">";
  return text.substr(start, end - start);
}

std::string DeviceList(const std::string& page) { return Between(page, DeviceHeading, "<h3"); }
std::string LogPanel(const std::string& page) { return Between(page, "<pre>", "</pre>"); }

int64_t Requests(const std::string& page) {
  std::smatch m;
  std::regex requests("请求 (\\d+)</div></div>");
  return std::regex_search(page, m, requests) ? std::stoll(m[1].str()) : -1;
}

// The four figure cards as "figure|label".
std::vector<std::string> Cards(const std::string& page) {
  std::vector<std::string> cards;
  std::regex card("<div class='c'><div class='n'>([^<]*)</div><div class='l'>([^<]*)</div></div>");
  for (std::sregex_iterator it(page.begin(), page.end(), card), end; it != end; ++it) {
    cards.push_back((*it)[1].str() + "|" + (*it)[2].str());
  }
  return cards;
}

// The log file's lines (oldest first) as the panel shows them: newest first,
// each followed by a line feed.
std::string NewestFirst(const std::string& log_file) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log_file.size()) {
    size_t end = log_file.find('\n', start);
    if (end == std::string::npos) end = log_file.size();
    lines.push_back(log_file.substr(start, end - start));
    start = end + 1;
  }
  std::string text;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) text += *it + "\n";
  return text;
}

std::string Device(bool on, const std::string& name, const std::string& env) {
  return "<div class='dev'><span class='" + std::string(on ? "on" : "off") + "'></span>" + name +
         " <em>" + env + "</em></div>";
}

class StatusPageTest : public ServerTest {
 protected:
  HttpResponse Page(const std::string& target = "/") {
    HttpResponse r = Call(port(), "GET", target);
    EXPECT_EQ(r.status, 200) << target;
    return r;
  }
  void AddDevice(int user, const std::string& name, int64_t last_seen,
                 const std::string& env = "linux") {
    db()->Exec("INSERT INTO devices(user_id,name,env,last_seen) VALUES(?,?,?,?)",
               {std::to_string(user), name, env, std::to_string(last_seen)});
  }
};

TEST_F(StatusPageTest, FreshServerServesTheExactPage) {
  HttpResponse r = Page();
  int64_t requests = Requests(r.body);
  ASSERT_GE(requests, 1);  // this request included
  std::string log = NewestFirst(server_.LogText());
  ASSERT_TRUE(std::regex_match(log, std::regex("\\[\\d\\d:\\d\\d:\\d\\d\\] [^\n]*\n"))) << log;
  EXPECT_NE(log.find("] Kelvra 同步服务端 v1.0.0 启动, 端口 " + std::to_string(port()) + "\n"),
            std::string::npos);
  std::string expected =
      "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Kelvra 同步服务端</title>"
      "<meta http-equiv='refresh' content='5'><style>"
      "body{font-family:'Microsoft YaHei',sans-serif;background:#0b1220;color:#e2e8f0;"
      "max-width:880px;margin:40px auto;padding:0 20px}"
      "h1{font-size:20px}.g{display:grid;grid-template-columns:repeat(4,1fr);gap:14px;"
      "margin:20px 0}"
      ".c{background:#0f172a;border:1px solid #1e293b;border-radius:14px;padding:16px}"
      ".n{font-size:24px;font-weight:700;color:#3b82f6}.l{font-size:11px;color:#94a3b8}"
      ".dev{padding:8px 0;font-size:14px}.dev em{color:#94a3b8;font-style:normal;"
      "margin-left:8px;font-size:12px}"
      ".on,.off{display:inline-block;width:9px;height:9px;border-radius:50%;margin-right:8px}"
      ".on{background:#22c55e}.off{background:#475569}"
      "pre{background:#0f172a;border:1px solid #1e293b;border-radius:14px;padding:16px;"
      "font:12px/1.7 Consolas,monospace;color:#94a3b8;height:280px;overflow:auto;"
      "white-space:pre-wrap}"
      "</style></head><body>"
      "<h1>\xF0\x9F\x9B\xB0 Kelvra 同步服务端 <small style='color:#64748b;font-size:12px'>v"
      "1.0.0";
  expected += " " + MiddleDot + " 端口 " + std::to_string(port());
  expected += " " + MiddleDot + " 已运行 0天 0时 0分</small></h1><div class='g'>";
  expected += "<div class='c'><div class='n'>0</div><div class='l'>账号</div></div>";
  expected += "<div class='c'><div class='n'>0</div><div class='l'>同步文件</div></div>";
  expected += "<div class='c'><div class='n'>0</div><div class='l'>分块 (去重)</div></div>";
  expected += "<div class='c'><div class='n'>0 MB</div><div class='l'>存储量 " + MiddleDot +
              " 请求 " + std::to_string(requests) + "</div></div>";
  expected += "</div>" + DeviceHeading + "<div class='dev'>暂无</div>";
  expected += LogHeading + log + "</pre></body></html>";
  EXPECT_EQ(r.body, expected);
}

TEST_F(StatusPageTest, FramedAsHtmlWithoutCacheControl) {
  HttpResponse r = Page("/status");
  EXPECT_EQ(r.raw.substr(0, r.raw.find("\r\n\r\n") + 4),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(r.headers.count("cache-control"), 0u);
  EXPECT_EQ(r.body.substr(r.body.size() - 14), "</body></html>");
}

TEST_F(StatusPageTest, FiguresCountRowsAndStorageIsWholeMebibytes) {
  auto d = db();
  d->Exec("INSERT INTO users(account) VALUES('a'),('b')");
  d->Exec("INSERT INTO files(user_id,path,deleted) VALUES(1,'x',0),(1,'y',1),(2,'x',0)");
  struct Case {
    std::vector<int64_t> chunk_sizes;
    const char* megabytes;
  } cases[] = {
      {{1048575}, "0"},
      {{1048000, 576}, "1"},  // the figure is of the sum
      {{2097151}, "1"},
      {{1048576, 1048576}, "2"},
  };
  for (const Case& c : cases) {
    d->Exec("DELETE FROM chunks");
    for (size_t i = 0; i < c.chunk_sizes.size(); ++i) {
      d->Exec("INSERT INTO chunks(sha256,size,created_at) VALUES(?,?,1)",
              {std::string(63, 'a') + std::to_string(i), std::to_string(c.chunk_sizes[i])});
    }
    std::string page = Page().body;
    std::vector<std::string> cards = Cards(page);
    ASSERT_EQ(cards.size(), 4u) << page;
    EXPECT_EQ(cards[0], "2|账号");
    EXPECT_EQ(cards[1], "2|同步文件");  // the deleted file is not counted
    EXPECT_EQ(cards[2], std::to_string(c.chunk_sizes.size()) + "|分块 (去重)");
    EXPECT_EQ(cards[3], std::string(c.megabytes) + " MB|存储量 " + MiddleDot + " 请求 " +
                            std::to_string(Requests(page)))
        << c.chunk_sizes[0];
  }
}

// The server reads its clock after this test reads its own, so a device
// written as seen exactly 90000 ms ago is at least that old when the row is
// handled: "off". One written 89000 ms ago stays under 90000 as long as the
// page arrives within a second, which the test checks rather than assumes.
TEST_F(StatusPageTest, OnlineMeansSeenLessThan90SecondsAgo) {
  int64_t before = WallMillis();
  AddDevice(1, "future", before + 60000);
  AddDevice(1, "recent", before - 89000);
  AddDevice(2, "boundary", before - 90000);
  AddDevice(2, "stale", before - 3600000);
  std::string page = Page().body;
  if (WallMillis() - before >= 1000) GTEST_SKIP() << "page took a second; 89 s became 90 s";
  EXPECT_EQ(DeviceList(page), Device(true, "future", "linux") + Device(true, "recent", "linux") +
                                  Device(false, "boundary", "linux") +
                                  Device(false, "stale", "linux"));
}

TEST_F(StatusPageTest, ListsOnlyThe20MostRecentlySeenDevicesOfAllAccounts) {
  int64_t now = WallMillis();
  // Device i was seen i * 10 s ago and belongs to account i % 5; written in a
  // shuffled order so that neither insertion order nor account groups it.
  std::vector<int> order(25);
  for (int i = 0; i < 25; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  {
    auto d = db();
    for (int i : order) {
      d->Exec("INSERT INTO devices(user_id,name,env,last_seen) VALUES(?,?,?,?)",
              {std::to_string(i % 5 + 1), "dev" + std::to_string(i), "env" + std::to_string(i),
               std::to_string(now - i * 10000)});
    }
  }
  std::string expected;
  for (int i = 0; i < 20; ++i) {
    // 80 s ago is well inside the window, 90 s ago is outside it.
    expected += Device(i < 9, "dev" + std::to_string(i), "env" + std::to_string(i));
  }
  EXPECT_EQ(DeviceList(Page().body), expected);
}

TEST_F(StatusPageTest, LogPanelShowsTheNewestLineFirst) {
  Register(port(), "alice", "pc-a");
  Register(port(), "bob", "pc-b");
  std::string panel = LogPanel(Page().body);
  EXPECT_EQ(panel, NewestFirst(server_.LogText()));
  std::regex order(
      "\\[[^\n]*\\] 注册账号: bob 设备: pc-b\n"
      "\\[[^\n]*\\] 注册账号: alice 设备: pc-a\n"
      "\\[[^\n]*\\] Kelvra 同步服务端 v1\\.0\\.0 启动, 端口 \\d+\n");
  EXPECT_TRUE(std::regex_match(panel, order)) << panel;
}

TEST_F(StatusPageTest, RootAndStatusServeTheSamePage) {
  Register(port(), "carol", "tablet");
  auto normalized = [&](const std::string& target) {
    std::string page = Page(target).body;
    page = std::regex_replace(page, std::regex("已运行 \\d+天 \\d+时 \\d+分<"), "已运行 U<");
    return std::regex_replace(page, std::regex("请求 \\d+<"), "请求 N<");
  };
  std::string root = normalized("/");
  EXPECT_NE(root.find("tablet"), std::string::npos);
  for (const char* target : {"/status", "/status?x=1", "/?refresh"}) {
    EXPECT_EQ(normalized(target), root) << target;
  }
  HttpResponse slash = Call(port(), "GET", "/status/");
  EXPECT_EQ(slash.status, 401);
  EXPECT_EQ(slash.body, "{\"err\":\"unauthorized\",\"ok\":false}");
}

TEST_F(StatusPageTest, RequestCountGrowsWithEachPageLoad) {
  int64_t previous = Requests(Page().body);
  ASSERT_GE(previous, 1);
  for (int i = 0; i < 5; ++i) {
    int64_t count = Requests(Page(i % 2 ? "/" : "/status").body);
    EXPECT_EQ(count, previous + 1);
    previous = count;
  }
}

TEST_F(StatusPageTest, ClientChosenNamesAreEscaped) {
  std::string token = Register(port(), "<b>x</b>", "<script>alert(1)</script>");
  Json beat =
      PostJson(port(), "/api/heartbeat.php",
               {{"device", "<script>alert(1)</script>"}, {"env", "<i>\"linux'</i>"}}, token);
  ASSERT_EQ(beat.value("ok", false), true) << beat.dump();
  std::string page = Page().body;
  EXPECT_EQ(DeviceList(page), Device(true, "&lt;script&gt;alert(1)&lt;/script&gt;",
                                     "&lt;i&gt;&quot;linux&#39;&lt;/i&gt;"));
  std::string panel = LogPanel(page);
  std::string first_line = panel.substr(0, panel.find('\n'));
  EXPECT_EQ(first_line.substr(10),
            " 注册账号: &lt;b&gt;x&lt;/b&gt; 设备: &lt;script&gt;alert(1)&lt;/script&gt;");
  for (const char* raw : {"<script", "<b>", "<i>", "alert(1)</"}) {
    EXPECT_EQ(page.find(raw), std::string::npos) << raw;
  }
}

}  // namespace
}  // namespace kelvra::test
