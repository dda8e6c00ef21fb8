#include <gtest/gtest.h>

#include "http/reply.h"

namespace kelvra {
namespace {

TEST(Reply, FailureReplyFraming) {
  EXPECT_EQ(JsonResponse(FailureReply("unauthorized"), 401),
            "HTTP/1.1 401 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 33\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
            "{\"err\":\"unauthorized\",\"ok\":false}");
}

TEST(Reply, MembersSerialiseInByteOrderOfNames) {
  ReplyDocument reply = ReplyDocument::object();
  reply["ok"] = true;
  reply["token"] = "t";
  reply["serverTime"] = 5;
  reply["chunks"] = 1;
  reply["chunkBytes"] = 2;
  EXPECT_EQ(SerializeReply(reply),
            R"({"chunkBytes":2,"chunks":1,"ok":true,"serverTime":5,"token":"t"})");
}

TEST(Reply, TextIsRawUtf8AndLengthCountsBytes) {
  ReplyDocument reply = ReplyDocument::object();
  reply["name"] = "设备/\x01\"\\\n";
  std::string body = SerializeReply(reply);
  EXPECT_EQ(body, "{\"name\":\"设备/\\u0001\\\"\\\\\\n\"}");
  std::string response = JsonResponse(reply, 200);
  EXPECT_NE(response.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
}

TEST(Reply, InvalidUtf8IsReplacedNotFatal) {
  ReplyDocument reply = ReplyDocument::object();
  reply["path"] = std::string("a\xff" "b");
  EXPECT_EQ(SerializeReply(reply), "{\"path\":\"a\xEF\xBF\xBD" "b\"}");
}

TEST(Reply, OtherFramings) {
  EXPECT_EQ(HtmlResponse("<p>é</p>"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 9\r\n"
            "Connection: close\r\n\r\n<p>é</p>");
  EXPECT_EQ(OctetStreamHead(65537),
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 65537"
            "\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace kelvra
