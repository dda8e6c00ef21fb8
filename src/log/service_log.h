// ServiceLog: the server's sparse record of notable events.
//
// LogMessage turns a message into "[HH:MM:SS] message" (local time), keeps it
// in a buffer of the 300 most recent lines (each cut to RecentLineBytes, so
// that clients choosing huge names cannot fill memory through it; the file
// keeps the whole line) and appends it to
// DataDir/logs/KelvraSyncServer.log, re-creating the logs directory each
// time. The file is opened and closed per line, outside the buffer's lock;
// a file that cannot be written is skipped silently. The line is also echoed
// to standard error for whoever runs the server in a terminal.
//
// Thread-safe: any thread may log once DataDir is set. RecentLogText copies
// the buffer under the same lock.
#pragma once

#include <string>
#include <string_view>

namespace kelvra {

inline constexpr size_t RecentLineLimit = 300;
inline constexpr size_t RecentLineBytes = 1024;

void LogMessage(std::string_view message);

// The buffered lines from newest to oldest, each followed by "\n"; empty
// when nothing has been logged.
std::string RecentLogText();

// Formats one line for the given time of day (exposed for tests).
std::string FormatLogLine(int hour, int minute, int second, std::string_view message);
// `line` cut to at most RecentLineBytes bytes at a UTF-8 character boundary,
// followed by "…" when anything was cut.
std::string ShortenedLine(std::string_view line);

}  // namespace kelvra
