// The dashboard page as pure text: its pieces in order, the device list, the
// storage figure in whole mebibytes, the uptime text and HTML escaping.
#include "status/status_page.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "database_test.h"
#include "harness.h"

namespace kelvra {
namespace {

// U+1F6F0 SATELLITE and U+00B7 MIDDLE DOT, spelled as bytes so that the
// expectation does not depend on how the server's source writes them.
const std::string Satellite = "\xF0\x9F\x9B\xB0";
const std::string MiddleDot = "\xC2\xB7";

struct ExpectedFacts {
  std::string port;
  std::string uptime;
  std::string accounts, files, chunks, megabytes, requests;
  std::string device_list;  // piece 25, already in its final form
  std::string log_text;     // piece 27, already in its final form
};

// The page written out piece by piece, independently of the server's code.
std::string ExpectedPage(const ExpectedFacts& f) {
  std::vector<std::string> pieces = {
      "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Kelvra 同步服务端</title>",
      "<meta http-equiv='refresh' content='5'><style>",
      "body{font-family:'Microsoft YaHei',sans-serif;background:#0b1220;color:#e2e8f0;"
      "max-width:880px;margin:40px auto;padding:0 20px}",
      "h1{font-size:20px}.g{display:grid;grid-template-columns:repeat(4,1fr);gap:14px;"
      "margin:20px 0}",
      ".c{background:#0f172a;border:1px solid #1e293b;border-radius:14px;padding:16px}",
      ".n{font-size:24px;font-weight:700;color:#3b82f6}.l{font-size:11px;color:#94a3b8}",
      ".dev{padding:8px 0;font-size:14px}.dev em{color:#94a3b8;font-style:normal;"
      "margin-left:8px;font-size:12px}",
      ".on,.off{display:inline-block;width:9px;height:9px;border-radius:50%;margin-right:8px}",
      ".on{background:#22c55e}.off{background:#475569}",
      "pre{background:#0f172a;border:1px solid #1e293b;border-radius:14px;padding:16px;"
      "font:12px/1.7 Consolas,monospace;color:#94a3b8;height:280px;overflow:auto;"
      "white-space:pre-wrap}",
      "</style></head><body>",
      "<h1>" + Satellite + " Kelvra 同步服务端 <small style='color:#64748b;font-size:12px'>v",
      "1.0.0",
      " " + MiddleDot + " 端口 ",
      f.port,
      " " + MiddleDot + " 已运行 ",
      f.uptime,
      "</small></h1>",
      "<div class='g'>",
      "<div class='c'><div class='n'>" + f.accounts + "</div><div class='l'>账号</div></div>",
      "<div class='c'><div class='n'>" + f.files + "</div><div class='l'>同步文件</div></div>",
      "<div class='c'><div class='n'>" + f.chunks + "</div><div class='l'>分块 (去重)</div></div>",
      "<div class='c'><div class='n'>" + f.megabytes + " MB</div><div class='l'>存储量 " +
          MiddleDot + " 请求 " + f.requests + "</div></div>",
      "</div><h3 style='font-size:14px;color:#94a3b8'>在线设备</h3>",
      f.device_list,
      "<h3 style='font-size:14px;color:#94a3b8'>服务日志</h3><pre>",
      f.log_text,
      "</pre>",
      "</body></html>",
  };
  EXPECT_EQ(pieces.size(), 29u);
  std::string page;
  for (const std::string& p : pieces) page += p;
  return page;
}

constexpr int64_t Second = 1000000000;

StatusPageData SampleData() {
  StatusPageData data;
  data.counts = {3, 7, 11, 5 * 1048576 + 17};
  data.uptime_ns = (86400 + 2 * 3600 + 3 * 60 + 59) * Second;
  data.devices = {{"laptop", "linux", true}, {"phone", "android", false}};
  data.log_text = "[10:00:01] second\n[10:00:00] first\n";
  data.requests = 42;
  data.port = 18261;
  return data;
}

ExpectedFacts SampleFacts() {
  ExpectedFacts f;
  f.port = "18261";
  f.uptime = "1天 2时 3分";
  f.accounts = "3";
  f.files = "7";
  f.chunks = "11";
  f.megabytes = "5";
  f.requests = "42";
  f.device_list =
      "<div class='dev'><span class='on'></span>laptop <em>linux</em></div>"
      "<div class='dev'><span class='off'></span>phone <em>android</em></div>";
  f.log_text = "[10:00:01] second\n[10:00:00] first\n";
  return f;
}

TEST(StatusPage, PageIsThePiecesInOrder) {
  EXPECT_EQ(BuildStatusPage(SampleData()), ExpectedPage(SampleFacts()));
}

TEST(StatusPage, NoDevicesShowsThePlaceholder) {
  StatusPageData data = SampleData();
  data.devices.clear();
  data.log_text.clear();
  ExpectedFacts facts = SampleFacts();
  facts.device_list = "<div class='dev'>暂无</div>";
  facts.log_text = "";
  EXPECT_EQ(BuildStatusPage(data), ExpectedPage(facts));
}

TEST(StatusPage, StorageFigureIsWholeMebibytes) {
  struct Case {
    int64_t bytes;
    const char* megabytes;
  } cases[] = {
      {0, "0"},
      {1048575, "0"},
      {1048576, "1"},
      {2097151, "1"},
      {2097152, "2"},
      {3000000005LL, "2861"},
      {INT64_MAX, "8796093022207"},
  };
  for (const Case& c : cases) {
    StatusPageData data = SampleData();
    data.counts.chunk_bytes = c.bytes;
    ExpectedFacts facts = SampleFacts();
    facts.megabytes = c.megabytes;
    EXPECT_EQ(BuildStatusPage(data), ExpectedPage(facts)) << c.bytes;
  }
}

TEST(StatusPage, LargeFiguresAreWrittenInPlainDecimal) {
  StatusPageData data = SampleData();
  data.counts.users = INT32_MAX;
  data.counts.files = 1234567;
  data.requests = UINT64_MAX;
  data.port = 65535;
  ExpectedFacts facts = SampleFacts();
  facts.accounts = "2147483647";
  facts.files = "1234567";
  facts.requests = "18446744073709551615";
  facts.port = "65535";
  EXPECT_EQ(BuildStatusPage(data), ExpectedPage(facts));
}

TEST(StatusPage, UptimeTextDropsTheSeconds) {
  struct Case {
    int64_t nanoseconds;
    const char* text;
  } cases[] = {
      {0, "0天 0时 0分"},
      {59 * Second + 999999999, "0天 0时 0分"},
      {60 * Second, "0天 0时 1分"},
      {(86400 + 2 * 3600 + 3 * 60 + 59) * Second, "1天 2时 3分"},
      {86399 * Second + 999999999, "0天 23时 59分"},
      {86400 * Second, "1天 0时 0分"},
      {(400 * 86400 + 23 * 3600 + 59 * 60 + 59) * Second + 999999999, "400天 23时 59分"},
      {INT64_MAX, "106751天 23时 47分"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatUptime(c.nanoseconds), c.text) << c.nanoseconds;
}

TEST(StatusPage, HtmlEscapeCoversTheFiveMarkupCharacters) {
  EXPECT_EQ(HtmlEscape("&<>\"'"), "&amp;&lt;&gt;&quot;&#39;");
  EXPECT_EQ(HtmlEscape("&amp;"), "&amp;amp;");  // escaped once more, never taken as done
  EXPECT_EQ(HtmlEscape(""), "");
  // Other bytes, multi-byte UTF-8 and line breaks pass unchanged.
  EXPECT_EQ(HtmlEscape("设备 a/b=c\n\t"), "设备 a/b=c\n\t");
}

// Client-chosen texts (device names, environments, log lines that carry an
// account name) must never reach the page as markup.
TEST(StatusPage, ClientTextsAreEscaped) {
  StatusPageData data = SampleData();
  data.devices = {{"<script>alert(1)</script>", "x' onmouseover='y", true}};
  data.log_text = "[10:00:00] 注册账号: <b>x</b> 设备: a&b\n";
  ExpectedFacts facts = SampleFacts();
  facts.device_list =
      "<div class='dev'><span class='on'></span>&lt;script&gt;alert(1)&lt;/script&gt; "
      "<em>x&#39; onmouseover=&#39;y</em></div>";
  facts.log_text = "[10:00:00] 注册账号: &lt;b&gt;x&lt;/b&gt; 设备: a&amp;b\n";
  std::string page = BuildStatusPage(data);
  EXPECT_EQ(page, ExpectedPage(facts));
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
}

class GatherStatusPageTest : public test::DatabaseTest {};

// In-process the clock often has not moved on between the write and the
// read, so this exercises the boundary itself: seen exactly 90000 ms ago is
// already "off". (Over the wire some milliseconds always pass.)
TEST_F(GatherStatusPageTest, DeviceSeenExactly90000MsAgoIsOff) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    DbRun("DELETE FROM devices");
    int64_t now = NowMillis();
    DbRun("INSERT INTO devices(user_id,name,env,last_seen) VALUES(1,'edge','e',?)",
          {std::to_string(now - 90000)});
    DbRun("INSERT INTO devices(user_id,name,env,last_seen) VALUES(1,'inside','e',?)",
          {std::to_string(now - 85000)});
    StatusPageData data = GatherStatusPage();
    if (NowMillis() - now >= 5000) continue;  // too slow to say anything of 85 s
    ASSERT_EQ(data.devices.size(), 2u);
    EXPECT_EQ(data.devices[0].name, "inside");
    EXPECT_TRUE(data.devices[0].online);
    EXPECT_EQ(data.devices[1].name, "edge");
    EXPECT_FALSE(data.devices[1].online);
  }
}

}  // namespace
}  // namespace kelvra
