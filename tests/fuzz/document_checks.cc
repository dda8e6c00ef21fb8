#include "document_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "http/limits.h"
#include "http/request_document.h"

namespace kelvra::fuzz {

namespace {

using nlohmann::json;

// A second fallback that no handler uses: a field gives its default exactly
// when a reading with another fallback gives that other fallback.
constexpr const char* OtherText = "\x01 other fallback";
constexpr int32_t OtherFlag = 0x5eed;
constexpr int64_t OtherInteger = -0x5eed5eed5eedLL;

// The member a handler would read, looked up without the reader's code.
const json* Find(const json& doc, const std::string& name) {
  if (!doc.is_object() || !doc.contains(name)) return nullptr;
  return &doc.at(name);
}

// Truncation toward zero where the value fits T; beyond T's range only the
// sign is checked (the reading saturates, and must not wrap around).
template <typename T>
void CheckTruncated(double value, T got) {
  double truncated = std::trunc(value);
  if (truncated > static_cast<double>(std::numeric_limits<T>::min()) &&
      truncated < static_cast<double>(std::numeric_limits<T>::max())) {
    FUZZ_CHECK(got == static_cast<T>(truncated));
  } else {
    FUZZ_CHECK((truncated < 0) == (got < 0));
  }
}

std::string CheckText(const json& doc, const std::string& name, const char* fallback) {
  std::string got = FieldText(doc, name, fallback);
  std::string other = FieldText(doc, name, OtherText);
  const json* member = Find(doc, name);
  if (member != nullptr && member->is_string()) {
    FUZZ_CHECK(got == member->get_ref<const std::string&>());
    FUZZ_CHECK(other == got);
  } else {
    FUZZ_CHECK(got == fallback);
    FUZZ_CHECK(other == OtherText);
  }
  return got;
}

int32_t CheckFlag(const json& doc, const std::string& name, int32_t fallback) {
  int32_t got = FieldFlag(doc, name, fallback);
  int32_t other = FieldFlag(doc, name, OtherFlag);
  const json* member = Find(doc, name);
  if (member == nullptr || !(member->is_boolean() || member->is_number())) {
    FUZZ_CHECK(got == fallback);
    FUZZ_CHECK(other == OtherFlag);
    return got;
  }
  FUZZ_CHECK(other == got);
  if (member->is_boolean()) {
    FUZZ_CHECK(got == (member->get<bool>() ? 1 : 0));
  } else if (member->is_number_unsigned()) {
    FUZZ_CHECK(static_cast<uint32_t>(got) == (member->get<uint64_t>() & 0xffffffffu));
  } else if (member->is_number_integer()) {
    uint64_t bits = static_cast<uint64_t>(member->get<int64_t>());
    FUZZ_CHECK(static_cast<uint32_t>(got) == (bits & 0xffffffffu));
  } else {
    CheckTruncated<int32_t>(member->get<double>(), got);
  }
  return got;
}

int64_t CheckInteger(const json& doc, const std::string& name, int64_t fallback) {
  int64_t got = FieldInteger(doc, name, fallback);
  int64_t other = FieldInteger(doc, name, OtherInteger);
  const json* member = Find(doc, name);
  // A boolean is no integer.
  if (member == nullptr || !member->is_number()) {
    FUZZ_CHECK(got == fallback);
    FUZZ_CHECK(other == OtherInteger);
    return got;
  }
  FUZZ_CHECK(other == got);
  if (member->is_number_unsigned()) {
    FUZZ_CHECK(static_cast<uint64_t>(got) == member->get<uint64_t>());
  } else if (member->is_number_integer()) {
    FUZZ_CHECK(got == member->get<int64_t>());
  } else {
    CheckTruncated<int64_t>(member->get<double>(), got);
  }
  return got;
}

const json& CheckList(const json& doc, const std::string& name) {
  const json& got = FieldList(doc, name);
  const json* member = Find(doc, name);
  if (member != nullptr) {
    FUZZ_CHECK(&got == member);
  } else {
    FUZZ_CHECK(got.is_array() && got.empty());
  }
  return got;
}

// Unsigned byte order, as memcmp compares.
bool ByteLess(const std::string& a, const std::string& b) {
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return c != 0 ? c < 0 : a.size() < b.size();
}

// What a walk must yield: an array's elements in order, an object's member
// values in byte order of their keys, nothing for null, a scalar once.
std::vector<const json*> ExpectedWalk(const json& list) {
  std::vector<const json*> out;
  if (list.is_array()) {
    for (const json& element : list) out.push_back(&element);
  } else if (list.is_object()) {
    std::vector<std::pair<std::string, const json*>> members;
    for (const auto& item : list.items()) members.emplace_back(item.key(), &item.value());
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return ByteLess(a.first, b.first); });
    for (const auto& member : members) out.push_back(member.second);
  } else if (!list.is_null()) {
    out.push_back(&list);
  }
  return out;
}

// Walks `list`, checks the walk against its contract (also when stopped
// after the first element, as push stops at an invalid chunk), and reads
// every element with `each`.
template <typename Each>
void CheckedWalk(const json& list, Each each) {
  std::vector<const json*> seen;
  WalkList(list, [&](const json& element) {
    seen.push_back(&element);
    return true;
  });
  std::vector<const json*> expected = ExpectedWalk(list);
  FUZZ_CHECK(seen == expected);
  size_t calls = 0;
  WalkList(list, [&](const json&) {
    ++calls;
    return false;
  });
  FUZZ_CHECK(calls == std::min<size_t>(expected.size(), 1));
  for (const json* element : seen) each(*element);
}

void ReadChunk(const json& entry) {
  CheckText(entry, "sha256", "");
  CheckInteger(entry, "size", 0);
}

// Push reads "chunks" only for live files; here every change's list is
// read, so the walk sees more shapes.
void ReadChange(const json& change) {
  CheckText(change, "path", "");
  CheckFlag(change, "deleted", 0);
  CheckText(change, "sha256", "");
  CheckInteger(change, "size", 0);
  CheckInteger(change, "mtime", 0);
  CheckedWalk(CheckList(change, "chunks"), ReadChunk);
}

void ReadDocumentFields(const RequestDocument& doc) {
  for (const char* name : {"account", "password", "device"}) CheckText(doc, name, "");
  CheckText(doc, "env", "other");
  CheckedWalk(CheckList(doc, "changes"), ReadChange);
}

// Nesting depth of a parsed value, and its elements as the text spells them
// (an opening bracket per array or object, a comma between members), walked
// without recursion.
struct Shape {
  size_t depth = 0;
  size_t elements = 0;
};
Shape ShapeOf(const json& root) {
  Shape shape;
  std::vector<std::pair<const json*, size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [value, depth] = stack.back();
    stack.pop_back();
    if (!value->is_structured()) continue;
    shape.depth = std::max(shape.depth, depth + 1);
    shape.elements += std::max<size_t>(value->size(), 1);
    for (const json& child : *value) stack.emplace_back(&child, depth + 1);
  }
  return shape;
}

// The document a body must read as, by the plain rules.
json ExpectedDocument(std::string_view method, std::string_view body) {
  if (method != "POST" || body.empty()) return nullptr;
  // Strict: no comments, nothing but white space after the value. The
  // library's parser stops at a NUL byte as if the text ended there, but
  // no JSON text holds one.
  if (body.find('\0') != std::string_view::npos) return nullptr;
  // White space may always end the text; dropping it keeps the check cheap
  // for the large blank-filled bodies of the request target.
  body = body.substr(0, body.find_last_not_of(" \t\n\r") + 1);
  json parsed = json::parse(body.begin(), body.end(), nullptr, false, false);
  if (parsed.is_discarded()) return nullptr;
  Shape shape = ShapeOf(parsed);
  if (shape.depth > MaxJsonDepth || shape.elements > MaxJsonElements) return nullptr;
  return parsed;
}

}  // namespace

void CheckRequestDocument(std::string_view method, std::string_view body) {
  RequestDocument doc = ParseRequestDocument(method, body);
  FUZZ_CHECK(doc == ExpectedDocument(method, body));
  ReadDocumentFields(doc);
}

}  // namespace kelvra::fuzz
