// RequestDocument: the JSON value of a POST body, and the reading of its
// fields by name, kind and default.
//
// Only a POST with a non-empty body is parsed, strictly (no comments, only
// white space after the value, valid UTF-8, no NUL byte). A body that does
// not parse, is beyond the size limits of JsonWithinLimits, or is absent
// reads as null, a document without members.
//
// Field kinds: text (strings only), flag (bool, integer: low 32 bits,
// float: truncated), integer (integer, unsigned read as signed 64 bits,
// float: truncated; no bool), list (any value, walked by WalkList). A member
// of a type its kind does not accept reads as the default, exactly like an
// absent member; so does every field read from a value that is not an
// object. Pure functions; documents are never shared between threads.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kelvra {

using RequestDocument = nlohmann::json;

RequestDocument ParseRequestDocument(std::string_view method, std::string_view body);

// True when a JSON text nests at most MaxJsonDepth deep and has at most
// MaxJsonElements elements (see http/limits.h); strings are skipped.
bool JsonWithinLimits(std::string_view text);

std::string FieldText(const nlohmann::json& doc, const std::string& name,
                      std::string_view fallback);
int32_t FieldFlag(const nlohmann::json& doc, const std::string& name, int32_t fallback);
int64_t FieldInteger(const nlohmann::json& doc, const std::string& name, int64_t fallback);
// The member itself (no copy), or an empty array when absent.
const nlohmann::json& FieldList(const nlohmann::json& doc, const std::string& name);

// Calls `each(element)` for every element of a list: an array's elements in
// order, an object's member values in key byte order, nothing for null, and
// any other value once. `each` returns false to stop the walk early.
template <typename Each>
void WalkList(const nlohmann::json& list, Each&& each) {
  if (list.is_null()) return;
  if (list.is_array() || list.is_object()) {
    for (const auto& element : list) {
      if (!each(element)) return;
    }
    return;
  }
  each(list);
}

}  // namespace kelvra
