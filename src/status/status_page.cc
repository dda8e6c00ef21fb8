#include "status/status_page.h"

#include <chrono>
#include <cstdio>

#include "common/clock.h"
#include "common/numbers.h"
#include "common/process_state.h"
#include "db/relay_db.h"
#include "log/service_log.h"

namespace kelvra {

namespace {

constexpr int64_t NanosPerDay = 86400000000000;
constexpr int64_t NanosPerSecond = 1000000000;
constexpr int64_t BytesPerMebibyte = 1048576;

constexpr const char* PageStart =
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
    // U+1F6F0 SATELLITE, then the title.
    "<h1>\xF0\x9F\x9B\xB0 Kelvra 同步服务端 <small style='color:#64748b;font-size:12px'>v";

// U+00B7 MIDDLE DOT between the heading's parts.
constexpr const char* PortLabel = " \u00b7 端口 ";
constexpr const char* UptimeLabel = " \u00b7 已运行 ";

void AppendCard(std::string& page, const std::string& figure, const char* label) {
  page.append("<div class='c'><div class='n'>").append(figure);
  page.append("</div><div class='l'>").append(label).append("</div></div>");
}

void AppendDevices(std::string& page, const std::vector<StatusPageDevice>& devices) {
  if (devices.empty()) {
    page.append("<div class='dev'>暂无</div>");
    return;
  }
  for (const StatusPageDevice& d : devices) {
    page.append("<div class='dev'><span class='").append(d.online ? "on" : "off");
    page.append("'></span>").append(HtmlEscape(d.name));
    page.append(" <em>").append(HtmlEscape(d.env)).append("</em></div>");
  }
}

std::vector<StatusPageDevice> RecentDevices() {
  std::vector<StatusPageDevice> devices;
  for (const DbRow& row :
       DbQuery("SELECT name,env,last_seen FROM devices ORDER BY last_seen DESC LIMIT 20")) {
    // The clock is read afresh for each row.
    bool online = NowMillis() - ParseLeadingInt64(row[2]) < OnlineWindowMs;
    devices.push_back({row[0], row[1], online});
  }
  return devices;
}

}  // namespace

std::string FormatUptime(int64_t uptime_ns) {
  long long days = uptime_ns / NanosPerDay;
  long long seconds = uptime_ns / NanosPerSecond;
  long long hours = (seconds % 86400) / 3600;
  long long minutes = (seconds % 3600) / 60;
  char text[96];
  std::snprintf(text, sizeof(text), "%lld天 %lld时 %lld分", days, hours, minutes);
  return text;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out.append("&amp;"); break;
      case '<': out.append("&lt;"); break;
      case '>': out.append("&gt;"); break;
      case '"': out.append("&quot;"); break;
      case '\'': out.append("&#39;"); break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string BuildStatusPage(const StatusPageData& data) {
  std::string page;
  page.reserve(4096 + data.log_text.size() * 2);
  page.append(PageStart).append(ServerVersion);
  page.append(PortLabel).append(std::to_string(data.port));
  page.append(UptimeLabel).append(FormatUptime(data.uptime_ns));
  page.append("</small></h1><div class='g'>");
  AppendCard(page, std::to_string(data.counts.users), "账号");
  AppendCard(page, std::to_string(data.counts.files), "同步文件");
  AppendCard(page, std::to_string(data.counts.chunks), "分块 (去重)");
  AppendCard(page, std::to_string(data.counts.chunk_bytes / BytesPerMebibyte) + " MB",
             ("存储量 \u00b7 请求 " + std::to_string(data.requests)).c_str());
  page.append("</div><h3 style='font-size:14px;color:#94a3b8'>在线设备</h3>");
  AppendDevices(page, data.devices);
  page.append("<h3 style='font-size:14px;color:#94a3b8'>服务日志</h3><pre>");
  page.append(HtmlEscape(data.log_text));
  page.append("</pre></body></html>");
  return page;
}

StatusPageData GatherStatusPage() {
  StatusPageData data;
  data.counts = ReadStatusCounts();
  data.uptime_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now() - StartInstant)
                       .count();
  data.devices = RecentDevices();
  data.log_text = RecentLogText();
  data.requests = RequestCount.load();
  data.port = ListenPort;
  return data;
}

std::string StatusPage() { return BuildStatusPage(GatherStatusPage()); }

}  // namespace kelvra
