// Fuzz target: reading one request from the bytes a client sends, then the
// query parameters and the parse step, as a connection does before routing.
//
// Input: four control bytes, then the bytes the client sends.
//   [0] how the bytes arrive: bits 0-1 choose the piece sizes (0: as much as
//       the reader asks for, 1: one byte at a time, 2: random sizes up to
//       what it asks for, 3: random sizes of 1 to 16 bytes); bit 2 set: when
//       the input ends inside the body, blanks complete it, so a
//       Content-Length up to MaxBodyBytes can be reached by a short input.
//   [1] seed of the random piece sizes.
//   [2..3] pad length (little-endian): that many 'p' bytes are sent just
//       before the first CR LF CR LF (or at the end when there is none), so
//       heads at MaxHeadBytes are reachable by a short input.
// Each step of the reader is checked against a plain reading of the rules
// (head limit after every read, then request line, headers, body extent).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "document_checks.h"
#include "fuzz_check.h"
#include "http/http_request.h"
#include "http/limits.h"

namespace kelvra::fuzz {
namespace {

using Step = RequestReader::Step;

constexpr size_t ControlBytes = 4;

struct Arrival {
  int mode = 0;
  bool fill = false;
  uint32_t state = 1;

  size_t NextPiece(size_t asked) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    switch (mode) {
      case 1:
        return 1;
      case 2:
        return 1 + state % asked;
      case 3:
        return std::min<size_t>(asked, 1 + state % 16);
      default:
        return asked;
    }
  }
};

// What the reader must find in a head, read straight from the rules.
struct ExpectedHead {
  bool has_request_line = false;
  HttpRequest request;  // all but the body
  int64_t content_length = 0;
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

ExpectedHead ReadHeadByRules(const std::string& head) {
  ExpectedHead e;
  size_t first = head.find(' ');
  size_t second = first == std::string::npos ? first : head.find(' ', first + 1);
  if (second == std::string::npos) return e;
  e.has_request_line = true;
  e.request.method = head.substr(0, first);
  std::string target = head.substr(first + 1, second - first - 1);
  size_t question = target.find('?');
  e.request.path = target.substr(0, question);
  if (question != std::string::npos) e.request.query = target.substr(question + 1);

  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t stop = head.find("\r\n", start);
    lines.push_back(head.substr(start, stop == std::string::npos ? stop : stop - start));
    if (stop == std::string::npos) break;
    start = stop + 2;
  }
  for (const std::string& line : lines) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = Lower(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (name == "x-auth-token") e.request.authToken = value;
    // atoll's reading; strtoll saturates where atoll would overflow.
    if (name == "content-length") e.content_length = std::strtoll(value.c_str(), nullptr, 10);
  }
  return e;
}

void CheckQueryParam(const HttpRequest& request, const std::string& key) {
  std::string value = QueryParam(request, key);
  FUZZ_CHECK(value.find('&') == std::string::npos);
  size_t at = request.query.find(key + "=");
  if (at == std::string::npos) {
    FUZZ_CHECK(value.empty());
    return;
  }
  size_t start = at + key.size() + 1;
  FUZZ_CHECK(request.query.compare(start, value.size(), value) == 0);
  size_t stop = start + value.size();
  FUZZ_CHECK(stop == request.query.size() || request.query[stop] == '&');
}

void CheckComplete(HttpRequest request, const ExpectedHead& expected, const std::string& sent,
                   size_t body_start, bool read_in_body) {
  FUZZ_CHECK(request.method == expected.request.method);
  FUZZ_CHECK(request.path == expected.request.path);
  FUZZ_CHECK(request.query == expected.request.query);
  FUZZ_CHECK(request.authToken == expected.request.authToken);
  FUZZ_CHECK(request.body.size() >= static_cast<uint64_t>(expected.content_length));
  // Reads after the head ask only for what is missing, so only bytes that
  // came with the head can run past the Content-Length.
  if (read_in_body) {
    FUZZ_CHECK(request.body.size() == static_cast<uint64_t>(expected.content_length));
  }
  FUZZ_CHECK(sent.compare(body_start, std::string::npos, request.body) == 0);

  for (const char* key : {"sha256", "size", "since"}) CheckQueryParam(request, key);
  // A key taken from the query itself: the part before its first "=".
  CheckQueryParam(request, request.query.substr(0, request.query.find('=')));

  CheckRequestDocument(request.method, request.body);
}

void ReadRequest(const uint8_t* data, size_t size) {
  if (size < ControlBytes) return;
  Arrival arrival;
  arrival.mode = data[0] & 3;
  arrival.fill = (data[0] & 4) != 0;
  arrival.state = 0x9e3779b9u ^ data[1];
  size_t pad = data[2] | (size_t{data[3]} << 8);
  std::string stream(reinterpret_cast<const char*>(data) + ControlBytes, size - ControlBytes);
  stream.insert(std::min(stream.find("\r\n\r\n"), stream.size()), pad, 'p');
  const size_t end_of_head = stream.find("\r\n\r\n");

  RequestReader reader;
  std::string sent;  // every byte handed to the reader, blanks of the fill included
  bool head_read = false;
  bool read_in_body = false;
  ExpectedHead expected;
  for (;;) {
    size_t asked = reader.NextReadSize();
    FUZZ_CHECK(asked > 0);
    FUZZ_CHECK(asked <= (reader.in_body() ? BodyReadPiece : HeadReadPiece));
    std::string piece;
    if (sent.size() < stream.size()) {
      piece = stream.substr(sent.size(), arrival.NextPiece(asked));
    } else if (arrival.fill && reader.in_body()) {
      piece.assign(asked, ' ');
    } else {
      return;  // the client closes: the request is abandoned
    }
    if (head_read) read_in_body = true;
    sent += piece;
    Step step = reader.Append(piece.data(), piece.size());

    if (!head_read) {
      // The size test follows every read, before the search for the end.
      if (sent.size() > MaxHeadBytes) {
        FUZZ_CHECK(step == Step::Abandon);
        return;
      }
      if (end_of_head == std::string::npos || sent.size() < end_of_head + 4) {
        FUZZ_CHECK(step == Step::NeedMore && !reader.in_body());
        FUZZ_CHECK(reader.buffered() == sent.size());
        continue;
      }
      head_read = true;
      expected = ReadHeadByRules(stream.substr(0, end_of_head));
      if (!expected.has_request_line ||
          static_cast<uint64_t>(expected.content_length) > MaxBodyBytes) {
        FUZZ_CHECK(step == Step::Abandon);
        return;
      }
      FUZZ_CHECK(reader.content_length() == expected.content_length);
      bool whole =
          sent.size() - (end_of_head + 4) >= static_cast<uint64_t>(expected.content_length);
      FUZZ_CHECK(step == (whole ? Step::Complete : Step::NeedMore));
      FUZZ_CHECK(whole || reader.in_body());
    } else {
      FUZZ_CHECK(step != Step::Abandon);
    }
    if (step == Step::Complete) {
      CheckComplete(reader.TakeRequest(), expected, sent, end_of_head + 4, read_in_body);
      return;
    }
  }
}

}  // namespace
}  // namespace kelvra::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvra::fuzz::ReadRequest(data, size);
  return 0;
}
