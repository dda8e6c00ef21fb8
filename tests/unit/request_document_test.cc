#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/limits.h"
#include "http/request_document.h"

namespace kelvra {
namespace {

using nlohmann::json;

TEST(ParseRequestDocument, OnlyNonEmptyPostBodiesAreParsed) {
  EXPECT_TRUE(ParseRequestDocument("POST", "").is_null());
  EXPECT_TRUE(ParseRequestDocument("PUT", "{\"a\":1}").is_null());
  EXPECT_TRUE(ParseRequestDocument("GET", "{\"a\":1}").is_null());
  EXPECT_TRUE(ParseRequestDocument("post", "{\"a\":1}").is_null());
  EXPECT_EQ(ParseRequestDocument("POST", "{\"a\":1}")["a"], 1);
}

TEST(ParseRequestDocument, UnreadableBodiesReadAsNoDocument) {
  const char* bodies[] = {
      "{",                      // incomplete
      "{\"a\":1} // comment",   // comments are not allowed
      "{\"a\":1} x",            // only white space may follow
      "{\"a\":\"\xff\"}",       // invalid UTF-8 in a string
      "1e400",                  // a number beyond double
      "{\"a\":1}{\"b\":2}",
  };
  for (const char* body : bodies) EXPECT_TRUE(ParseRequestDocument("POST", body).is_null()) << body;
  // Valid JSON that is not an object parses, but has no members.
  json array = ParseRequestDocument("POST", "[1,2]");
  EXPECT_TRUE(array.is_array());
  EXPECT_EQ(FieldText(array, "device", "d"), "d");
}

// The JSON library stops at a NUL byte, which let garbage after it through.
TEST(ParseRequestDocument, BodyWithNulAfterObjectReadsAsNoDocument) {
  EXPECT_TRUE(ParseRequestDocument("POST", std::string("{\"a\":1}\0x", 9)).is_null());
  EXPECT_TRUE(ParseRequestDocument("POST", std::string("{\"a\":1}\0", 8)).is_null());
}

TEST(ParseRequestDocument, DeepNestingReadsAsUnparsable) {
  std::string ok = std::string(MaxJsonDepth, '[') + std::string(MaxJsonDepth, ']');
  EXPECT_TRUE(ParseRequestDocument("POST", ok).is_array());
  std::string deep = std::string(MaxJsonDepth + 1, '[') + std::string(MaxJsonDepth + 1, ']');
  EXPECT_TRUE(ParseRequestDocument("POST", deep).is_null());
  // Brackets inside strings do not count.
  std::string quoted = "{\"a\":\"" + std::string(5000, '[') + "\\\"[\"}";
  EXPECT_TRUE(ParseRequestDocument("POST", quoted).is_object());
  EXPECT_TRUE(ParseRequestDocument("POST", std::string(MaxBodyBytes, '[')).is_null());
}

// Three bytes of text per empty object took some 120 bytes each once parsed:
// a 9 MiB body cost hundreds of megabytes. Element counts are bounded.
TEST(ParseRequestDocument, BodiesWithTooManyElementsReadAsUnparsable) {
  auto array_of = [](size_t n) {
    std::string text = "[";
    for (size_t i = 0; i < n; ++i) text += i == 0 ? "{}" : ",{}";
    return text + "]";
  };
  // n objects: one bracket for the array, one per object, n - 1 commas.
  size_t fits = MaxJsonElements / 2;
  EXPECT_TRUE(ParseRequestDocument("POST", array_of(fits)).is_array());
  EXPECT_TRUE(ParseRequestDocument("POST", array_of(fits + 1)).is_null());
  // Commas inside strings are text, not elements.
  std::string quoted = "{\"a\":\"" + std::string(MaxJsonElements + 5, ',') + "\"}";
  EXPECT_TRUE(ParseRequestDocument("POST", quoted).is_object());
}

TEST(FieldReading, KindsConvertAsDocumented) {
  json doc = ParseRequestDocument(
      "POST",
      R"({"t":"x","empty":"","yes":true,"no":false,"f":2.7,"neg":-2.7,"big":18446744073709551615,
          "wide":4294967297,"m3":-3,"s129":12.9,"null":null,"str":"12","arr":[1],
          "dup":1,"dup":2,"huge":1e300})");
  ASSERT_TRUE(doc.is_object());
  struct TextCase {
    const char* name;
    const char* value;
  } texts[] = {{"t", "x"}, {"empty", ""}, {"absent", "def"}, {"null", "def"},
               {"f", "def"}, {"arr", "def"}};
  for (const TextCase& c : texts) EXPECT_EQ(FieldText(doc, c.name, "def"), c.value) << c.name;

  struct FlagCase {
    const char* name;
    int32_t value;
  } flags[] = {{"yes", 1},   {"no", 0},    {"f", 2},   {"neg", -2},  {"big", -1},
               {"wide", 1},  {"m3", -3},   {"absent", 9}, {"null", 9}, {"str", 9},
               {"huge", INT32_MAX}};
  for (const FlagCase& c : flags) EXPECT_EQ(FieldFlag(doc, c.name, 9), c.value) << c.name;

  struct IntegerCase {
    const char* name;
    int64_t value;
  } integers[] = {{"s129", 12},  {"big", -1},   {"m3", -3},    {"f", 2},
                  {"yes", 7},    {"str", 7},    {"null", 7},   {"absent", 7},
                  {"dup", 2},    {"huge", INT64_MAX}};
  for (const IntegerCase& c : integers) {
    EXPECT_EQ(FieldInteger(doc, c.name, 7), c.value) << c.name;
  }
}

std::vector<json> Walk(const json& list) {
  std::vector<json> seen;
  WalkList(list, [&](const json& e) {
    seen.push_back(e);
    return true;
  });
  return seen;
}

TEST(FieldReading, ListsWalkArraysObjectsNullAndScalars) {
  json doc = json::parse(R"({"a":[1,2],"o":{"b":2,"a":1,"B":0},"n":null,"s":"x"})");
  EXPECT_EQ(Walk(FieldList(doc, "a")), (std::vector<json>{1, 2}));
  // Object member values in the byte order of their keys: "B" < "a" < "b".
  EXPECT_EQ(Walk(FieldList(doc, "o")), (std::vector<json>{0, 1, 2}));
  EXPECT_TRUE(Walk(FieldList(doc, "n")).empty());
  EXPECT_EQ(Walk(FieldList(doc, "s")), (std::vector<json>{"x"}));
  EXPECT_TRUE(Walk(FieldList(doc, "absent")).empty());
  EXPECT_TRUE(Walk(FieldList(json(nullptr), "a")).empty());
  // Fields read from an element that is not an object give their defaults.
  EXPECT_EQ(FieldText(json(5), "path", ""), "");
  EXPECT_EQ(FieldInteger(json("x"), "size", 0), 0);
  int visited = 0;
  WalkList(json::parse("[1,2,3]"), [&](const json&) { return ++visited < 2; });
  EXPECT_EQ(visited, 2);
}

}  // namespace
}  // namespace kelvra
