// Tokenizer and recursive-descent parser of ZQJson's subset of JSON:
// objects, strings in double or single quotes, numbers and null. Arrays,
// true and false become word tokens, which read as VALUE_NONE. Nothing is
// validated and nothing fails: every text gives a value, malformed text gives
// VALUE_NONE values or misread members.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/zq_json_value.h"

namespace ZQJson {

enum TOKEN_KIND : int32_t {
  TOKEN_WORD = 0,
  TOKEN_STRING = 1,
  TOKEN_NUMBER = 2,
  TOKEN_OBJECT_BEGIN = 4,
  TOKEN_OBJECT_END = 8,
  TOKEN_COMMA = 16,
  TOKEN_COLON = 32,
  TOKEN_NULL = 64,
};

class Parser {
 public:
  struct token {
    // For a string token, the characters between its quotes, escapes undecoded.
    std::string text;
    int32_t kind;
  };

  // Objects nested deeper than this read as VALUE_NONE (and are skipped up
  // to their closing brace), so hostile text cannot exhaust the stack.
  static constexpr int kMaxObjectDepth = 64;

  Parser() = delete;

  // Position of the first white-space character (" \n\r\t") at or after
  // `start` outside every quoted run; the text's length when there is none
  // or when `start` is negative or past the end.
  static int nextWhitespace(const std::string& text, int start);
  static std::vector<token> tokenize(std::string text);
  // Reads the value whose first token stands at `position`; `outPosition`
  // gets the position after it, and is left alone when no value begins
  // there. An object stops after more than `memberBound` members.
  static Value jsonParse(const std::vector<token>& tokens, int position, int& outPosition, int memberBound);
  // Tokenizes and reads the first value, with the text's length as the member bound.
  static Value parse(std::string text);

 private:
  static Value parseValue(const std::vector<token>& tokens, size_t position, size_t& outPosition,
                          int64_t memberBound, int depth);
  static Value parseObject(const std::vector<token>& tokens, size_t position, size_t& outPosition,
                           int64_t memberBound, int depth);
};

}  // namespace ZQJson
