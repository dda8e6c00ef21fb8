// GET "/" and "/status": the self-refreshing HTML dashboard for whoever runs
// the server: version, port, uptime, the four figures with the request
// count, the 20 most recently seen devices with on/off marks, and the
// recent service log, newest first.
//
// Device names, environments and log lines come from clients (a device name
// or an account name in the registration line), so they are escaped for
// HTML; everything else on the page is fixed text or numbers.
//
// BuildStatusPage and FormatUptime are pure; GatherStatusPage reads the
// database, clocks, log and counter. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "status/status_counts.h"

namespace kelvra {

// A device counts as online when seen less than this long ago.
inline constexpr int64_t OnlineWindowMs = 90000;

struct StatusPageDevice {
  std::string name;
  std::string env;
  bool online = false;
};

struct StatusPageData {
  StatusCounts counts;
  int64_t uptime_ns = 0;
  std::vector<StatusPageDevice> devices;
  std::string log_text;
  uint64_t requests = 0;
  int port = 0;
};

// "%lld天 %lld时 %lld分": days, hours of the day, minutes of the hour.
std::string FormatUptime(int64_t uptime_ns);
// Escapes & < > " ' for use in element content and attribute values.
std::string HtmlEscape(std::string_view text);
std::string BuildStatusPage(const StatusPageData& data);

StatusPageData GatherStatusPage();
// The page as it stands now.
std::string StatusPage();

}  // namespace kelvra
