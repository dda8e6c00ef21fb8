#include "http/reply.h"

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
  return JsonTextResponse(SerializeReply(reply), status);
}

std::string JsonTextResponse(std::string_view body, int status) {
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

Response JsonReply(const ReplyDocument& reply, int status) {
  return Response{JsonResponse(reply, status), {}};
}

Response JsonTextReply(std::string_view body, int status) {
  return Response{JsonTextResponse(body, status), {}};
}

Response HtmlReply(std::string_view page) { return Response{HtmlResponse(page), {}}; }

ResponseWriter::Status ResponseWriter::WriteSome(platform::Socket s) {
  bool file_follows = response_.file.ok();
  while (sent_ < response_.bytes.size()) {
    platform::SendResult r = platform::SendSome(s, response_.bytes.data() + sent_,
                                                response_.bytes.size() - sent_, file_follows);
    if (r.failed) return Status::Failed;
    if (r.would_block) return Status::Blocked;
    sent_ += r.bytes;
  }
  while (file_follows && file_sent_ < response_.file.size()) {
    platform::SendResult r = platform::SendFileSome(s, response_.file.descriptor(), &file_sent_,
                                                    response_.file.size() - file_sent_);
    if (r.failed) return Status::Failed;
    if (r.would_block) return Status::Blocked;
  }
  // The memory of a finished response is given back at once.
  std::string().swap(response_.bytes);
  sent_ = 0;
  return Status::Done;
}

}  // namespace kelvra
