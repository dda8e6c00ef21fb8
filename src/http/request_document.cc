#include "http/request_document.h"

#include <cmath>
#include <limits>
#include <semaphore>

#include "http/limits.h"

namespace kelvra {

namespace {

const nlohmann::json* Member(const nlohmann::json& doc, const std::string& name) {
  if (!doc.is_object()) return nullptr;
  auto found = doc.find(name);
  return found == doc.end() ? nullptr : &*found;
}

// Truncates toward zero and saturates at the bounds of T; NaN reads 0.
template <typename T>
T TruncateDouble(double value) {
  if (std::isnan(value)) return 0;
  double truncated = std::trunc(value);
  if (truncated <= static_cast<double>(std::numeric_limits<T>::min())) {
    return std::numeric_limits<T>::min();
  }
  if (truncated >= static_cast<double>(std::numeric_limits<T>::max())) {
    return std::numeric_limits<T>::max();
  }
  return static_cast<T>(truncated);
}

std::counting_semaphore<LargeParseSlots>& LargeParseGate() {
  static std::counting_semaphore<LargeParseSlots> gate(LargeParseSlots);
  return gate;
}

RequestDocument ParseStrict(std::string_view body) {
  // The JSON library takes a NUL byte as the end of the text, so a body
  // like {"a":1} NUL garbage would parse. No JSON text holds a raw NUL.
  if (body.find('\0') != std::string_view::npos) return nullptr;
  if (!JsonWithinLimits(body)) return nullptr;
  try {
    return nlohmann::json::parse(body.begin(), body.end(), nullptr, true, false);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

bool JsonWithinLimits(std::string_view text) {
  size_t depth = 0;
  size_t elements = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MaxJsonDepth || ++elements > MaxJsonElements) return false;
    } else if (c == ',') {
      if (++elements > MaxJsonElements) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

RequestDocument ParseRequestDocument(std::string_view method, std::string_view body) {
  if (method != "POST" || body.empty()) return nullptr;
  if (body.size() <= LargeParseBytes) return ParseStrict(body);
  // A large body can take many times its size while it is parsed; only a
  // few such parses run at once.
  LargeParseGate().acquire();
  RequestDocument doc = ParseStrict(body);
  LargeParseGate().release();
  return doc;
}

std::string FieldText(const nlohmann::json& doc, const std::string& name,
                      std::string_view fallback) {
  const nlohmann::json* member = Member(doc, name);
  if (member == nullptr || !member->is_string()) return std::string(fallback);
  return member->get_ref<const std::string&>();
}

int32_t FieldFlag(const nlohmann::json& doc, const std::string& name, int32_t fallback) {
  const nlohmann::json* member = Member(doc, name);
  if (member == nullptr) return fallback;
  if (member->is_boolean()) return member->get<bool>() ? 1 : 0;
  if (member->is_number_unsigned()) {
    return static_cast<int32_t>(static_cast<uint32_t>(member->get<uint64_t>()));
  }
  if (member->is_number_integer()) {
    return static_cast<int32_t>(static_cast<uint32_t>(member->get<int64_t>()));
  }
  if (member->is_number_float()) return TruncateDouble<int32_t>(member->get<double>());
  return fallback;
}

int64_t FieldInteger(const nlohmann::json& doc, const std::string& name, int64_t fallback) {
  const nlohmann::json* member = Member(doc, name);
  if (member == nullptr) return fallback;
  if (member->is_number_unsigned()) return static_cast<int64_t>(member->get<uint64_t>());
  if (member->is_number_integer()) return member->get<int64_t>();
  if (member->is_number_float()) return TruncateDouble<int64_t>(member->get<double>());
  return fallback;
}

const nlohmann::json& FieldList(const nlohmann::json& doc, const std::string& name) {
  static const nlohmann::json empty = nlohmann::json::array();
  const nlohmann::json* member = Member(doc, name);
  return member == nullptr ? empty : *member;
}

}  // namespace kelvra
