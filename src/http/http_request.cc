#include "http/http_request.h"

#include <algorithm>

#include "common/numbers.h"
#include "http/limits.h"

namespace kelvra {

namespace {

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

size_t RequestReader::NextReadSize() const {
  if (!in_body_) return HeadReadPiece;
  uint64_t missing = static_cast<uint64_t>(content_length_) - request_.body.size();
  return static_cast<size_t>(std::min<uint64_t>(BodyReadPiece, missing));
}

RequestReader::Step RequestReader::Append(const char* data, size_t size) {
  if (in_body_) {
    request_.body.append(data, size);
    return request_.body.size() >= static_cast<uint64_t>(content_length_) ? Step::Complete
                                                                           : Step::NeedMore;
  }
  size_t searched = head_.size() >= 3 ? head_.size() - 3 : 0;
  head_.append(data, size);
  // The size test comes first: a read that takes the buffer past the limit
  // abandons the request even when it carried the end of the head.
  if (head_.size() > MaxHeadBytes) return Step::Abandon;
  size_t end = head_.find("\r\n\r\n", searched);
  if (end == std::string::npos) return Step::NeedMore;
  return ParseHead(end);
}

RequestReader::Step RequestReader::ParseHead(size_t end) {
  std::string_view head(head_.data(), end);
  // Both blanks are searched in the whole head, not only its first line.
  size_t first = head.find(' ');
  if (first == std::string_view::npos) return Step::Abandon;
  size_t second = head.find(' ', first + 1);
  if (second == std::string_view::npos) return Step::Abandon;
  request_.method.assign(head.substr(0, first));
  std::string_view target = head.substr(first + 1, second - first - 1);
  size_t question = target.find('?');
  request_.path.assign(target.substr(0, question));
  if (question != std::string_view::npos) request_.query.assign(target.substr(question + 1));

  content_length_ = 0;
  size_t line_start = 0;
  while (line_start <= head.size()) {
    size_t line_end = head.find("\r\n", line_start);
    if (line_end == std::string_view::npos) line_end = head.size();
    std::string_view line = head.substr(line_start, line_end - line_start);
    line_start = line_end + 2;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = LowerAscii(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
    if (name == "x-auth-token") {
      request_.authToken.assign(value);
    } else if (name == "content-length") {
      content_length_ = ParseLeadingInt64(value);
    }
  }
  // Unsigned comparison: a negative length is abandoned too.
  if (static_cast<uint64_t>(content_length_) > MaxBodyBytes) return Step::Abandon;

  request_.body.assign(head_, end + 4, std::string::npos);
  std::string().swap(head_);
  if (request_.body.size() >= static_cast<uint64_t>(content_length_)) return Step::Complete;
  in_body_ = true;
  request_.body.reserve(static_cast<size_t>(content_length_));
  return Step::NeedMore;
}

std::string QueryParam(const HttpRequest& request, std::string_view key) {
  std::string pattern(key);
  pattern.push_back('=');
  size_t at = request.query.find(pattern);
  if (at == std::string::npos) return std::string();
  size_t start = at + pattern.size();
  size_t stop = request.query.find('&', start);
  return request.query.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}

}  // namespace kelvra
