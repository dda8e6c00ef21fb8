#include "log/service_log.h"

#include <cstdio>
#include <deque>
#include <mutex>

#include "common/process_state.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace kelvra {

namespace {

std::mutex LogLock;
std::deque<std::string> RecentLines;  // guarded by LogLock; oldest at the front

}  // namespace

std::string FormatLogLine(int hour, int minute, int second, std::string_view message) {
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d", hour, minute, second);
  std::string line;
  line.reserve(message.size() + 12);
  line.append("[").append(stamp).append("] ").append(message);
  return line;
}

std::string ShortenedLine(std::string_view line) {
  if (line.size() <= RecentLineBytes) return std::string(line);
  size_t cut = RecentLineBytes;
  // Back off continuation bytes (10xxxxxx) so no character is split.
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return std::string(line.substr(0, cut)) + "\u2026";
}

void LogMessage(std::string_view message) {
  platform::TimeOfDay now = platform::LocalTimeOfDay();
  std::string line = FormatLogLine(now.hour, now.minute, now.second, message);
  std::string recent = ShortenedLine(line);
  {
    std::lock_guard<std::mutex> hold(LogLock);
    RecentLines.push_back(std::move(recent));
    if (RecentLines.size() > RecentLineLimit) RecentLines.pop_front();
  }
  // Line and line end go out in one write, so concurrent appends never
  // interleave inside a line.
  line.push_back('\n');
  std::string directory = DataDir + "/logs";
  platform::MakeDirectory(directory);
  if (std::FILE* file = std::fopen((directory + "/KelvraSyncServer.log").c_str(), "a")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string RecentLogText() {
  std::lock_guard<std::mutex> hold(LogLock);
  std::string text;
  for (auto it = RecentLines.rbegin(); it != RecentLines.rend(); ++it) {
    text.append(*it).push_back('\n');
  }
  return text;
}

}  // namespace kelvra
