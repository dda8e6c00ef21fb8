// Reply documents and the three response framings.
//
// A ReplyDocument is a JSON object whose members serialise in ascending byte
// order of their names (nlohmann's default object is a sorted map). It is
// written compactly with raw UTF-8; a string holding invalid UTF-8 (which
// only a database edited by hand could supply) has those bytes replaced by
// U+FFFD rather than failing the reply.
//
// Every response ends with "Connection: close"; the status line always
// carries the reason phrase "OK". The Send functions write everything,
// continuing after partial sends, and report whether it all went out.
// Thread-safe: they touch only their arguments.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/net.h"

namespace kelvra {

using ReplyDocument = nlohmann::json;

// {"err":word,"ok":false}
ReplyDocument FailureReply(std::string_view error_word);

std::string SerializeReply(const ReplyDocument& reply);
// Whole responses as bytes (exposed for tests and benchmarks).
std::string JsonResponse(const ReplyDocument& reply, int status);
std::string HtmlResponse(std::string_view page);
std::string OctetStreamHead(uint64_t length);

// Deadline (steady-clock milliseconds) for a reply that starts now.
int64_t ReplyDeadline();

bool SendJsonReply(platform::Socket s, const ReplyDocument& reply, int status);
bool SendHtmlPage(platform::Socket s, std::string_view page);

}  // namespace kelvra
