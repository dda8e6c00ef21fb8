#include "http/reply.h"

#include "http/limits.h"
#include "platform/process.h"

namespace kelvra {

ReplyDocument FailureReply(std::string_view error_word) {
  ReplyDocument reply = ReplyDocument::object();
  reply["err"] = error_word;
  reply["ok"] = false;
  return reply;
}

std::string SerializeReply(const ReplyDocument& reply) {
  return reply.dump(-1, ' ', false, ReplyDocument::error_handler_t::replace);
}

std::string JsonResponse(const ReplyDocument& reply, int status) {
  std::string body = SerializeReply(reply);
  std::string out;
  out.reserve(body.size() + 160);
  out.append("HTTP/1.1 ").append(std::to_string(status));
  out.append(" OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ");
  out.append(std::to_string(body.size()));
  out.append("\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
  out.append(body);
  return out;
}

std::string HtmlResponse(std::string_view page) {
  std::string out;
  out.reserve(page.size() + 120);
  out.append("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ");
  out.append(std::to_string(page.size()));
  out.append("\r\nConnection: close\r\n\r\n");
  out.append(page);
  return out;
}

std::string OctetStreamHead(uint64_t length) {
  std::string out = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: ";
  out.append(std::to_string(length));
  out.append("\r\nConnection: close\r\n\r\n");
  return out;
}

int64_t ReplyDeadline() { return platform::MonotonicMillis() + ReplyDeadlineMs; }

bool SendJsonReply(platform::Socket s, const ReplyDocument& reply, int status) {
  std::string bytes = JsonResponse(reply, status);
  return platform::SendAll(s, bytes.data(), bytes.size(), ReplyDeadline());
}

bool SendHtmlPage(platform::Socket s, std::string_view page) {
  std::string bytes = HtmlResponse(page);
  return platform::SendAll(s, bytes.data(), bytes.size(), ReplyDeadline());
}

}  // namespace kelvra
