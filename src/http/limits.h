// Every resource limit of the HTTP front end, in one place.
//
// The first four are part of the protocol that clients rely on. The rest
// protect the server from slow, idle or greedy clients; they are documented
// in the README.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {

// Most bytes buffered while the end of the head (CR LF CR LF) is unseen.
inline constexpr size_t MaxHeadBytes = 65536;
// Largest Content-Length accepted (9 MiB).
inline constexpr uint64_t MaxBodyBytes = 9437184;
// Size of one receive while reading the head, and while reading the body.
inline constexpr size_t HeadReadPiece = 4096;
inline constexpr size_t BodyReadPiece = 65536;

inline constexpr int ListenBacklog = 64;

// Open client connections, whether still sending their request or being
// answered. At the bound the server stops accepting; further connections
// wait in the kernel's backlog.
inline constexpr size_t MaxConnections = 2048;
// Threads that run handlers and write replies. Requests are read by the
// accept thread's event loop, so an idle or slow client never holds one.
// Quick requests (a few statements, see RequestWeight in http/router.h)
// have QuickWorkers of their own: since statements run one at a time, more
// would only wait for each other (heartbeats: 17,000 req/s with 64 workers,
// 20,500 with 4). Requests that wait on disk or network share MaxWorkers.
inline constexpr size_t MaxWorkers = 64;
inline constexpr size_t QuickWorkers = 4;

// A client that sends no byte for this long while its request is unfinished
// is closed without a reply.
inline constexpr int IdleTimeoutMs = 15000;
// The head must be complete this long after the connection was accepted,
// so a client dripping one byte at a time cannot keep a connection forever.
inline constexpr int HeadDeadlineMs = 30000;
// The whole request must be read within this time.
inline constexpr int RequestDeadlineMs = 600000;
// A reply that makes no progress for this long is abandoned (the connection
// closed), and no reply may take longer than the deadline. Replies left for
// slow readers may hold at most ReplyBudgetBytes of memory in all; beyond
// it, the reader that stalled longest loses its reply. (Chunk downloads
// stream from their file and hold almost none.)
inline constexpr int SendStallTimeoutMs = 15000;
inline constexpr int ReplyDeadlineMs = 600000;
inline constexpr uint64_t ReplyBudgetBytes = 256ull << 20;

// Bodies above LargeBodyBytes must reserve their Content-Length from
// BodyBudgetBytes before they are read; while the budget is spent, their
// connections wait (unread, their clocks stopped). This caps the memory held
// by request bodies at 64 maximal uploads.
inline constexpr uint64_t LargeBodyBytes = 65536;
inline constexpr uint64_t BodyBudgetBytes = 64 * MaxBodyBytes;

// A JSON body nested deeper than MaxJsonDepth, or with more than
// MaxJsonElements elements (commas and opening brackets outside strings:
// a push of 10,000 changes has about 80,000), reads as unparsable; at most
// LargeParseSlots bodies above LargeParseBytes are parsed at once. A parsed
// value takes up to some 40 times its text, so these bound the memory a
// parse can take.
inline constexpr size_t MaxJsonDepth = 512;
inline constexpr size_t MaxJsonElements = 1000000;
inline constexpr size_t LargeParseBytes = 1 << 20;
inline constexpr int LargeParseSlots = 2;

}  // namespace kelvra
