// Reply documents and the three response framings.
//
// A ReplyDocument is a JSON object whose members serialise in ascending byte
// order of their names (nlohmann's default object is a sorted map). It is
// written compactly with raw UTF-8; a string holding invalid UTF-8 (which
// only a database edited by hand could supply) has those bytes replaced by
// U+FFFD rather than failing the reply.
//
// Every response ends with "Connection: close"; the status line always
// carries the reason phrase "OK". A handler's Response is complete before a
// byte is written; ResponseWriter then writes it without ever blocking, so
// whoever drives it (a worker, then the event loop for a slow reader) can
// resume it later. Thread-safe: everything touches only its arguments.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fs.h"
#include "platform/net.h"

namespace kelvra {

using ReplyDocument = nlohmann::json;

// {"err":word,"ok":false}
ReplyDocument FailureReply(std::string_view error_word);

std::string SerializeReply(const ReplyDocument& reply);
// Whole responses as bytes (exposed for tests and benchmarks).
std::string JsonResponse(const ReplyDocument& reply, int status);
// The same framing around an already serialised reply document.
std::string JsonTextResponse(std::string_view body, int status);
std::string HtmlResponse(std::string_view page);
std::string OctetStreamHead(uint64_t length);

// A complete response: `bytes` (the head, and the body of JSON and HTML
// replies), then the content of `file` when it is open. A Response with
// neither means: close the connection without a reply.
struct Response {
  std::string bytes;
  platform::ReadableFile file;
};

Response JsonReply(const ReplyDocument& reply, int status);
Response JsonTextReply(std::string_view body, int status);
Response HtmlReply(std::string_view page);

class ResponseWriter {
 public:
  enum class Status { Done, Blocked, Failed };

  explicit ResponseWriter(Response response) : response_(std::move(response)) {}

  // Sends as much as the socket takes now, without blocking: Done once
  // everything went out, Blocked when the socket is full, Failed when the
  // client is gone (or the file could not be read to its end).
  Status WriteSome(platform::Socket s);
  // Bytes of the response still held in memory, unsent.
  size_t unsent_bytes() const { return response_.bytes.size() - sent_; }
  bool empty() const { return response_.bytes.empty() && !response_.file.ok(); }

 private:
  Response response_;
  size_t sent_ = 0;
  uint64_t file_sent_ = 0;
};

}  // namespace kelvra
