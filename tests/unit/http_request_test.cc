#include <gtest/gtest.h>

#include <string>

#include "http/http_request.h"
#include "http/limits.h"

namespace kelvra {
namespace {

using Step = RequestReader::Step;

// Feeds `bytes` in pieces no larger than the reader asks for, at most
// `piece` at a time, and reports the final step.
Step Feed(RequestReader& reader, const std::string& bytes, size_t piece = 1 << 20) {
  size_t at = 0;
  Step step = Step::NeedMore;
  while (at < bytes.size() && step == Step::NeedMore) {
    size_t n = std::min({piece, reader.NextReadSize(), bytes.size() - at});
    step = reader.Append(bytes.data() + at, n);
    at += n;
  }
  return step;
}

TEST(RequestReader, ParsesRequestLineHeadersAndBodyInOnePiece) {
  RequestReader r;
  ASSERT_EQ(Feed(r, "PUT /api/chunk.php?sha256=ab&size=2 HTTP/1.1\r\nContent-Length: 2\r\n"
                    "X-Auth-Token:   tok en \r\n\r\nhi"),
            Step::Complete);
  HttpRequest req = r.TakeRequest();
  EXPECT_EQ(req.method, "PUT");
  EXPECT_EQ(req.path, "/api/chunk.php");
  EXPECT_EQ(req.query, "sha256=ab&size=2");
  EXPECT_EQ(req.authToken, "tok en ");  // leading blanks go, trailing ones stay
  EXPECT_EQ(req.body, "hi");
}

TEST(RequestReader, HeaderRulesTable) {
  struct Case {
    const char* headers;
    const char* token;
    int64_t length;
  } cases[] = {
      {"content-length: 3\r\n", "", 3},
      {"CONTENT-LENGTH: 3\r\n", "", 3},
      {"Content-Length: 12abc\r\n", "", 12},
      {"Content-Length : 3\r\n", "", 0},  // a blank before the colon: another header
      {"x-Auth-Token: t\r\n", "t", 0},
      {"x-auth-token : t\r\n", "", 0},
      {"x-auth-token: a\r\nx-auth-token: b\r\n", "b", 0},  // the last one counts
      {"Content-Length: 5\r\nContent-Length: 1\r\n", "", 1},
      {"NoColonHere\r\nContent-Length:7\r\n", "", 7},
  };
  for (const Case& c : cases) {
    RequestReader r;
    std::string head = std::string("GET / HTTP/1.1\r\n") + c.headers + "\r\n";
    Step step = Feed(r, head);
    EXPECT_EQ(r.content_length(), c.length) << c.headers;
    EXPECT_EQ(step, c.length == 0 ? Step::Complete : Step::NeedMore) << c.headers;
    if (step == Step::Complete) {
      EXPECT_EQ(r.TakeRequest().authToken, c.token) << c.headers;
    }
  }
}

TEST(RequestReader, TargetWithoutQueryAndRequestLineWithOneBlank) {
  RequestReader plain;
  ASSERT_EQ(Feed(plain, "GET /status HTTP/1.1\r\n\r\n"), Step::Complete);
  HttpRequest req = plain.TakeRequest();
  EXPECT_EQ(req.path, "/status");
  EXPECT_EQ(req.query, "");

  // The second blank is searched in the whole head, so the target runs
  // into the next line.
  RequestReader odd;
  ASSERT_EQ(Feed(odd, "GET /status\r\nHost: a b\r\n\r\n"), Step::Complete);
  EXPECT_EQ(odd.TakeRequest().path, "/status\r\nHost:");

  RequestReader none;
  EXPECT_EQ(Feed(none, "GARBAGE\r\n\r\n"), Step::Abandon);
  RequestReader one;
  EXPECT_EQ(Feed(one, "GET /\r\n\r\n"), Step::Abandon);
}

TEST(RequestReader, HeadLimitIsTestedAfterEveryRead) {
  auto head_of = [](size_t total) {
    std::string start = "GET / HTTP/1.1\r\nPad: ";
    return start + std::string(total - start.size() - 4, 'x') + "\r\n\r\n";
  };
  RequestReader exact;
  EXPECT_EQ(Feed(exact, head_of(MaxHeadBytes)), Step::Complete);
  RequestReader over;
  EXPECT_EQ(Feed(over, head_of(MaxHeadBytes + 1)), Step::Abandon);
  // Still open at 65537 buffered bytes.
  RequestReader open;
  EXPECT_EQ(Feed(open, std::string(MaxHeadBytes + 1, 'a')), Step::Abandon);
  // A read that takes the buffer past the limit abandons the request even
  // when it carried the end of the head.
  RequestReader late;
  std::string bytes = head_of(MaxHeadBytes - 10) + std::string(20, 'b');
  EXPECT_EQ(Feed(late, bytes, HeadReadPiece), Step::Complete);  // found before the limit
  RequestReader stuffed;
  std::string big = std::string("GET / HTTP/1.1\r\nPad: ") + std::string(MaxHeadBytes - 100, 'x');
  ASSERT_EQ(Feed(stuffed, big), Step::NeedMore);
  std::string tail = "\r\n\r\n" + std::string(200, 'b');
  EXPECT_EQ(stuffed.Append(tail.data(), tail.size()), Step::Abandon);
}

TEST(RequestReader, BodyLimitAndLengthRules) {
  struct Case {
    std::string length;
    Step step;
  } cases[] = {
      {"9437184", Step::NeedMore}, {"9437185", Step::Abandon}, {"-1", Step::Abandon},
      {"0", Step::Complete},       {"", Step::Complete},
  };
  for (const Case& c : cases) {
    RequestReader r;
    EXPECT_EQ(Feed(r, "POST /x HTTP/1.1\r\nContent-Length: " + c.length + "\r\n\r\n"), c.step)
        << c.length;
  }
  RequestReader full;
  std::string head = "POST /x HTTP/1.1\r\nContent-Length: 9437184\r\n\r\n";
  ASSERT_EQ(Feed(full, head), Step::NeedMore);
  EXPECT_EQ(full.NextReadSize(), BodyReadPiece);
  EXPECT_EQ(Feed(full, std::string(MaxBodyBytes, 'z')), Step::Complete);
  EXPECT_EQ(full.TakeRequest().body.size(), MaxBodyBytes);
}

TEST(RequestReader, BodyBytesThatCameWithTheHeadStay) {
  RequestReader none;
  ASSERT_EQ(Feed(none, "PUT /x HTTP/1.1\r\n\r\nraw bytes"), Step::Complete);
  EXPECT_EQ(none.TakeRequest().body, "raw bytes");
  RequestReader longer;
  ASSERT_EQ(Feed(longer, "PUT /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcdef"), Step::Complete);
  EXPECT_EQ(longer.TakeRequest().body, "abcdef");
  // After the head, the body is read only up to the declared length.
  RequestReader split;
  ASSERT_EQ(Feed(split, "PUT /x HTTP/1.1\r\nContent-Length: 70000\r\n\r\n"), Step::NeedMore);
  EXPECT_EQ(split.NextReadSize(), BodyReadPiece);
  std::string chunk(BodyReadPiece, 'q');
  ASSERT_EQ(split.Append(chunk.data(), chunk.size()), Step::NeedMore);
  EXPECT_EQ(split.NextReadSize(), 70000u - BodyReadPiece);
}

TEST(QueryParam, FindsTheFirstKeyEqualsAnywhere) {
  struct Case {
    const char* query;
    const char* key;
    const char* value;
  } cases[] = {
      {"a=1&sha256=ff&b=2", "sha256", "ff"},
      {"sha256=", "sha256", ""},
      {"x=%41", "x", "%41"},  // never decoded
      {"q=a+b", "q", "a+b"},
      {"xsince=5&since=7", "since", "5"},  // the match need not start a parameter
      {"", "since", ""},
      {"size", "size", ""},
      {"size=1=2&size=3", "size", "1=2"},
  };
  for (const Case& c : cases) {
    HttpRequest r;
    r.query = c.query;
    EXPECT_EQ(QueryParam(r, c.key), c.value) << c.query;
  }
}

}  // namespace
}  // namespace kelvra
