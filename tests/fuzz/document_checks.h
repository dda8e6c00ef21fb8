// Checks the parse step and field reading of one request against their
// contracts in http/request_document.h: a body reads as a document exactly
// when the request is a POST and the body is one strict JSON text nested at
// most MaxJsonDepth deep with at most MaxJsonElements elements, and every
// field the handlers read (registration, login, heartbeat, push with its
// changes and their chunk lists) follows its kind. Aborts through FUZZ_CHECK
// on a broken invariant; touches no database or file.
#pragma once

#include <string_view>

namespace kelvra::fuzz {

void CheckRequestDocument(std::string_view method, std::string_view body);

}  // namespace kelvra::fuzz
