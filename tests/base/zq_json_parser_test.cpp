#include "base/zq_json_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using ZQJson::Parser;
using ZQJson::Value;
using ZQJson::VALUE_TYPE;

using TokenList = std::vector<std::pair<int32_t, std::string>>;

TokenList Tokens(const std::string& text) {
  TokenList list;
  for (const Parser::token& token : Parser::tokenize(text)) list.emplace_back(token.kind, token.text);
  return list;
}

TEST(ZQJsonParser, NextWhitespaceSkipsQuotedRuns) {
  struct Case {
    std::string text;
    int start;
    int expected;
  };
  const std::string sample = "ab \"c d\" e";
  const int length = static_cast<int>(sample.size());
  const Case cases[] = {
      {sample, 0, 2},
      {sample, 3, 8},
      {sample, 2, 2},
      {sample, length, length},
      {sample, length + 5, length},
      {sample, -1, length},
      {"'x y'z w", 0, 6},
      {"\"a\\\" b\" c", 0, 7},  // an escaped quote keeps the run open
      {"\"open run", 0, 9},
      {"a\tb", 0, 1},
      {"a\vb\fc", 0, 5},  // vertical tab and form feed are not white space
      {"a\xa0 b", 0, 2},  // nor is a byte above 0x7f
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Parser::nextWhitespace(c.text, c.start)) << "'" << c.text << "' from " << c.start;
  }
}

TEST(ZQJsonParser, TokenizeCutsChunksIntoTokens) {
  using ZQJson::TOKEN_COLON;
  using ZQJson::TOKEN_COMMA;
  using ZQJson::TOKEN_NULL;
  using ZQJson::TOKEN_NUMBER;
  using ZQJson::TOKEN_OBJECT_BEGIN;
  using ZQJson::TOKEN_OBJECT_END;
  using ZQJson::TOKEN_STRING;
  using ZQJson::TOKEN_WORD;
  struct Case {
    std::string text;
    TokenList tokens;
  };
  const Case cases[] = {
      {"{\"a\":1,\"b\":null}",
       {{TOKEN_OBJECT_BEGIN, "{"},
        {TOKEN_STRING, "a"},
        {TOKEN_COLON, ":"},
        {TOKEN_NUMBER, "1"},
        {TOKEN_COMMA, ","},
        {TOKEN_STRING, "b"},
        {TOKEN_COLON, ":"},
        {TOKEN_NULL, "null"},
        {TOKEN_OBJECT_END, "}"}}},
      {"'b c'", {{TOKEN_STRING, "b c"}}},
      {"\"a\\\"b\"", {{TOKEN_STRING, "a\\\"b"}}},
      {"\"abc", {{TOKEN_STRING, "abc "}}},
      {"nullx", {{TOKEN_NULL, "null"}, {TOKEN_WORD, "x"}}},
      {"nul", {{TOKEN_WORD, "nul"}}},
      {"n", {{TOKEN_WORD, "n"}}},
      {"-", {{TOKEN_NUMBER, "-"}}},
      {"+", {{TOKEN_NUMBER, "+"}}},
      {"1-2", {{TOKEN_NUMBER, "1-2"}}},
      {"-1.5e+3}", {{TOKEN_NUMBER, "-1.5e+3"}, {TOKEN_OBJECT_END, "}"}}},
      {"12ab", {{TOKEN_NUMBER, "12"}, {TOKEN_WORD, "ab"}}},
      {"{\"a\": true, \"b\": 1}",
       {{TOKEN_OBJECT_BEGIN, "{"},
        {TOKEN_STRING, "a"},
        {TOKEN_COLON, ":"},
        {TOKEN_WORD, "true,"},
        {TOKEN_STRING, "b"},
        {TOKEN_COLON, ":"},
        {TOKEN_NUMBER, "1"},
        {TOKEN_OBJECT_END, "}"}}},
      {"[1,2]", {{TOKEN_WORD, "[1,2]"}}},
      {"a\"b c\"", {{TOKEN_WORD, "a\"b c\""}}},
      {"{'it\"s':1}",
       {{TOKEN_OBJECT_BEGIN, "{"}, {TOKEN_STRING, "it\"s"}, {TOKEN_COLON, ":"}, {TOKEN_NUMBER, "1"}, {TOKEN_OBJECT_END, "}"}}},
      {" \r\n\t1\t\t2 ", {{TOKEN_NUMBER, "1"}, {TOKEN_NUMBER, "2"}}},
      {"\v1", {{TOKEN_WORD, "\v1"}}},
      {"\xa0", {{TOKEN_WORD, "\xa0"}}},
      {"", {}},
      {" \n\r\t ", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.tokens, Tokens(c.text)) << "'" << c.text << "'";
  }
}

// The parse table compares the type of the result and its written text,
// which shows every member's key, kind and content in order.
struct ParseCase {
  std::string text;
  VALUE_TYPE type;
  std::string written;
};

void ExpectParses(const ParseCase& c) {
  const Value value = Parser::parse(c.text);
  EXPECT_EQ(c.type, value.getType()) << "'" << c.text << "'";
  EXPECT_EQ(c.written, value.getContentStr()) << "'" << c.text << "'";
}

TEST(ZQJsonParser, ParsesTheSubset) {
  using ZQJson::VALUE_NONE;
  using ZQJson::VALUE_NULL;
  using ZQJson::VALUE_NUMBER;
  using ZQJson::VALUE_OBJECT;
  using ZQJson::VALUE_STRING;
  const ParseCase cases[] = {
      {"{\"a\":1,\"b\":\"x\"}", VALUE_OBJECT, "{\"a\": 1,\"b\": \"x\"}"},
      {"{'a' : 'b c'}", VALUE_OBJECT, "{\"a\": \"b c\"}"},
      {"{\"a\": {\"b\": null}}", VALUE_OBJECT, "{\"a\": {\"b\": null}}"},
      {"{}", VALUE_OBJECT, "{}"},
      {"{ }", VALUE_OBJECT, "{}"},
      {"\"abc\"", VALUE_STRING, "\"abc\""},
      {"12", VALUE_NUMBER, "12"},
      {"null", VALUE_NULL, "null"},
      {"true", VALUE_NONE, ""},
      {"[1,2]", VALUE_NONE, ""},
      {"-1.5e+3", VALUE_NUMBER, "-1.5e+3"},
      {"1-2", VALUE_NUMBER, "1-2"},
      {"-", VALUE_NUMBER, "-"},
      {"nullx", VALUE_NULL, "null"},
      {"{\"a\":1 \"b\":2}", VALUE_OBJECT, "{\"a\": 1,\"b\": 2}"},
      {"{\"a\":1,\"a\":2}", VALUE_OBJECT, "{\"a\": 1,\"a\": 2}"},
      {"{1:2}", VALUE_OBJECT, "{\"1\": 2}"},
      {"{\"a\" 1}", VALUE_OBJECT, "{\"a\": }"},
      {"\"abc", VALUE_STRING, "\"abc \""},
      {"{\"a\": true, \"b\": 1}", VALUE_OBJECT, "{\"a\": ,\"true,\": ,\":\": }"},
      // Only the first value counts.
      {"1 2", VALUE_NUMBER, "1"},
      {"{} {\"a\":1}", VALUE_OBJECT, "{}"},
      // Tokens that begin no value.
      {":", VALUE_NONE, ""},
      {"}", VALUE_NONE, ""},
      {",", VALUE_NONE, ""},
      // The resolver's cache file, with the comma after its last member.
      {"{\n\"BeginTime\":\"1600000000\",\n\"TTL\":\"300\",\n\"IpList\":\"a;b\",\n}", VALUE_OBJECT,
       "{\"BeginTime\": \"1600000000\",\"TTL\": \"300\",\"IpList\": \"a;b\"}"},
  };
  for (const ParseCase& c : cases) ExpectParses(c);

  const Value duplicate = Parser::parse("{\"a\":1,\"a\":2}");
  EXPECT_EQ("2", duplicate["a"].asString());
  EXPECT_EQ(VALUE_NUMBER, duplicate["a"].getType());
  const Value numeric_key = Parser::parse("{1:2}");
  EXPECT_EQ(VALUE_NUMBER, numeric_key["1"].getType());
  EXPECT_EQ(2, numeric_key["1"].asInt64());
}

TEST(ZQJsonParser, TextsThatEndEarlyGiveNone) {
  using ZQJson::VALUE_NONE;
  using ZQJson::VALUE_NUMBER;
  using ZQJson::VALUE_OBJECT;
  using ZQJson::VALUE_STRING;
  struct Case {
    std::string text;
    VALUE_TYPE type;
    // The members that were read before the tokens ran out, as written text
    // of an object holding them.
    std::string members;
  };
  const Case cases[] = {
      {"", VALUE_NONE, "{}"},
      {" \t\r\n", VALUE_NONE, "{}"},
      {"{", VALUE_NONE, "{}"},
      {"{\"a\"", VALUE_NONE, "{\"a\": }"},
      {"{\"a\":", VALUE_NONE, "{\"a\": }"},
      {"{\"a\":1", VALUE_NONE, "{\"a\": 1}"},
      {"{\"a\":1,", VALUE_NONE, "{\"a\": 1}"},
      {"{\"a\":1 \"b\"", VALUE_NONE, "{\"a\": 1,\"b\": }"},
      {"{\"a\":{\"b\":1}", VALUE_NONE, "{\"a\": {\"b\": 1}}"},
      {"{\"a\":{\"b\":1", VALUE_NONE, "{\"a\": }"},
      {"{\"a\":{", VALUE_NONE, "{\"a\": }"},
      {"'", VALUE_STRING, ""},
  };
  for (const Case& c : cases) {
    Value value = Parser::parse(c.text);
    EXPECT_EQ(c.type, value.getType()) << "'" << c.text << "'";
    if (c.type == VALUE_NONE) {
      EXPECT_EQ("", value.getContentStr()) << "'" << c.text << "'";
      value.setType(VALUE_OBJECT);
      EXPECT_EQ(c.members, value.getContentStr()) << "'" << c.text << "'";
    }
  }
  // An unterminated quote keeps the space that tokenizing appends.
  EXPECT_EQ(" ", Parser::parse("'").asString());
  // The inner object that lacks its brace keeps what it read.
  const Value inner = Parser::parse("{\"a\":{\"b\":1")["a"];
  EXPECT_EQ(VALUE_NONE, inner.getType());
  EXPECT_EQ(VALUE_NUMBER, inner["b"].getType());
}

TEST(ZQJsonParser, JsonParseHonoursTheMemberBoundAndOutPosition) {
  const std::vector<Parser::token> one = Parser::tokenize("{\"a\":1}");
  const std::vector<Parser::token> empty = Parser::tokenize("{}");
  const std::vector<Parser::token> three = Parser::tokenize("{\"a\":1,\"b\":2,\"c\":3}");
  const std::vector<Parser::token> two = Parser::tokenize("{\"a\":1,\"b\":2}");

  int out = -7;
  Value value = Parser::jsonParse(one, 0, out, -1);
  EXPECT_EQ(ZQJson::VALUE_NONE, value.getType());
  EXPECT_EQ(2, out);
  value = Parser::jsonParse(empty, 0, out, -1);
  EXPECT_EQ(ZQJson::VALUE_OBJECT, value.getType());
  EXPECT_EQ(0, value.size());
  EXPECT_EQ(2, out);

  value = Parser::jsonParse(one, 0, out, 10);
  EXPECT_EQ("{\"a\": 1}", value.getContentStr());
  EXPECT_EQ(5, out);

  // Bound 1 lets a second member be read; the object stays whole only when
  // its closing brace stands right there.
  value = Parser::jsonParse(two, 0, out, 1);
  EXPECT_EQ(ZQJson::VALUE_OBJECT, value.getType());
  EXPECT_EQ("{\"a\": 1,\"b\": 2}", value.getContentStr());
  EXPECT_EQ(9, out);
  value = Parser::jsonParse(three, 0, out, 1);
  EXPECT_EQ(ZQJson::VALUE_NONE, value.getType());
  EXPECT_EQ(2u, value.getProperties().size());
  EXPECT_EQ(10, out);
  value = Parser::jsonParse(three, 0, out, 0);
  EXPECT_EQ(ZQJson::VALUE_NONE, value.getType());
  EXPECT_EQ(1u, value.getProperties().size());
  EXPECT_EQ(6, out);

  // A member value read on its own.
  value = Parser::jsonParse(three, 3, out, 10);
  EXPECT_EQ("1", value.getContentStr());
  EXPECT_EQ(4, out);

  // No value begins: the out-position is left alone.
  out = -7;
  for (int position : {2, 4, 100, -1}) {
    value = Parser::jsonParse(three, position, out, 10);
    EXPECT_EQ(ZQJson::VALUE_NONE, value.getType()) << position;
    EXPECT_EQ(-7, out) << position;
  }
  value = Parser::jsonParse({}, 0, out, 10);
  EXPECT_EQ(ZQJson::VALUE_NONE, value.getType());
  EXPECT_EQ(-7, out);
}

std::string Nested(int depth, const std::string& innermost) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"k\":";
  text += innermost;
  for (int i = 0; i < depth; ++i) text += "}";
  return text;
}

std::string NestedWritten(int depth, const std::string& innermost) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"k\": ";
  text += innermost;
  for (int i = 0; i < depth; ++i) text += "}";
  return text;
}

TEST(ZQJsonParser, ObjectsDeeperThanTheLimitReadAsNone) {
  ASSERT_EQ(64, Parser::kMaxObjectDepth);
  // 64 nested objects, the innermost empty, are read in full.
  EXPECT_EQ(NestedWritten(63, "{}"), Parser::parse(Nested(63, "{}")).getContentStr());
  // One more level: the 65th object is no value.
  const Value deep = Parser::parse(Nested(64, "{}"));
  EXPECT_EQ(ZQJson::VALUE_OBJECT, deep.getType());
  EXPECT_EQ(NestedWritten(64, ""), deep.getContentStr());
  // The too-deep object is skipped to its own closing brace, so the members
  // after it are still read.
  const Value sibling = Parser::parse(Nested(63, "{\"deep\":{\"x\":{\"y\":1}},\"after\":2}"));
  EXPECT_EQ(NestedWritten(63, "{\"deep\": ,\"after\": 2}"), sibling.getContentStr());
}

}  // namespace
