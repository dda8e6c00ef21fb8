// HttpRequest and the reading of one request from the bytes a client sends.
//
// RequestReader is a pure state machine: the caller receives at most
// NextReadSize() bytes at a time and hands them to Append, which says when
// the request is complete or must be abandoned (closed without a reply).
// It applies MaxHeadBytes and MaxBodyBytes exactly: the head-size test
// follows every read, before the search for the end of the head. Not
// thread-safe; one reader per connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvra {

// All fields are bytes from the wire, undecoded.
struct HttpRequest {
  std::string method;
  std::string path;       // the target before its first "?"
  std::string query;      // the target after its first "?"
  std::string authToken;  // last x-auth-token header, leading blanks removed
  std::string body;       // may run past Content-Length (see RequestReader)
};

class RequestReader {
 public:
  enum class Step { NeedMore, Complete, Abandon };

  // How many bytes the next receive may ask for.
  size_t NextReadSize() const;
  // Takes `size` (> 0) received bytes.
  Step Append(const char* data, size_t size);

  bool in_body() const { return in_body_; }
  // The declared body length, once the head has been read.
  int64_t content_length() const { return content_length_; }
  // Bytes held so far, head and body.
  size_t buffered() const { return head_.size() + request_.body.size(); }

  HttpRequest TakeRequest() { return std::move(request_); }

 private:
  Step ParseHead(size_t end);

  std::string head_;
  HttpRequest request_;
  int64_t content_length_ = 0;
  bool in_body_ = false;
};

// The value of `key` in the query: from after the first "key=" anywhere in
// the query to the next "&" or the end; empty when absent. Undecoded.
std::string QueryParam(const HttpRequest& request, std::string_view key);

}  // namespace kelvra
