#include "base/zq_json_parser.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace ZQJson {

namespace {

// Kind reported for a position past the last token: matches no token kind,
// so a text that ends early reads like one whose next token begins nothing.
constexpr int32_t kNoToken = -1;

// Exactly these four count as white space; other control characters and
// bytes above 0x7f belong to the tokens.
bool IsWhitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsNumberCharacter(char c) { return IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+'; }

// Position of the quote closing the run opened at `open`: the next `quote`
// whose preceding character is not a backslash (so an escaped backslash
// before a quote still keeps the run open), or `end` when there is none.
size_t ClosingQuote(const char* data, size_t open, size_t end, char quote) {
  for (size_t c = open + 1; c < end; ++c) {
    if (data[c] == quote && data[c - 1] != '\\') return c;
  }
  return end;
}

size_t NextWhitespaceFrom(const std::string& text, size_t start) {
  const size_t length = text.size();
  if (start >= length) return length;
  size_t p = start;
  while (true) {
    if (text[p] == '"') p = ClosingQuote(text.data(), p, length, '"');
    if (p < length && text[p] == '\'') p = ClosingQuote(text.data(), p, length, '\'');
    if (p < length && IsWhitespace(text[p])) return p;
    ++p;
    if (p >= length) return length;
  }
}

size_t SkipWhitespace(const std::string& text, size_t position) {
  while (position < text.size() && IsWhitespace(text[position])) ++position;
  return position;
}

int ClampToInt(size_t position) { return static_cast<int>(std::min<size_t>(position, INT_MAX)); }

// Cuts one chunk (text between white space outside quoted runs) into tokens.
void TokenizeChunk(const char* chunk, size_t length, std::vector<Parser::token>& tokens) {
  size_t q = 0;
  while (q < length) {
    const char c = chunk[q];
    if (c == '"' || c == '\'') {
      const size_t close = ClosingQuote(chunk, q, length, c);
      tokens.push_back({std::string(chunk + q + 1, close - q - 1), TOKEN_STRING});
      q = close + 1;
    } else if (c == ',') {
      tokens.push_back({",", TOKEN_COMMA});
      ++q;
    } else if (c == 'n' && q + 3 < length && std::memcmp(chunk + q, "null", 4) == 0) {
      tokens.push_back({"null", TOKEN_NULL});
      q += 4;
    } else if (c == '}') {
      tokens.push_back({"}", TOKEN_OBJECT_END});
      ++q;
    } else if (c == '{') {
      tokens.push_back({"{", TOKEN_OBJECT_BEGIN});
      ++q;
    } else if (c == ':') {
      tokens.push_back({":", TOKEN_COLON});
      ++q;
    } else if (c == '-' || c == '+' || IsDigit(c)) {
      size_t end = IsDigit(c) ? q : q + 1;
      while (end < length && IsNumberCharacter(chunk[end])) ++end;
      tokens.push_back({std::string(chunk + q, end - q), TOKEN_NUMBER});
      q = end;
    } else {
      // A word takes the rest of the chunk.
      tokens.push_back({std::string(chunk + q, length - q), TOKEN_WORD});
      q = length;
    }
  }
}

int32_t KindAt(const std::vector<Parser::token>& tokens, size_t position) {
  return position < tokens.size() ? tokens[position].kind : kNoToken;
}

// Position after the closing brace that matches the "{" at `open`, counting
// braces only, or the end of the tokens when it never closes.
size_t SkipObject(const std::vector<Parser::token>& tokens, size_t open) {
  size_t level = 0;
  for (size_t p = open; p < tokens.size(); ++p) {
    if (tokens[p].kind == TOKEN_OBJECT_BEGIN) {
      ++level;
    } else if (tokens[p].kind == TOKEN_OBJECT_END) {
      --level;
      if (level == 0) return p + 1;
    }
  }
  return tokens.size();
}

}  // namespace

int Parser::nextWhitespace(const std::string& text, int start) {
  if (start < 0) return ClampToInt(text.size());
  return ClampToInt(NextWhitespaceFrom(text, static_cast<size_t>(start)));
}

std::vector<Parser::token> Parser::tokenize(std::string text) {
  std::vector<token> tokens;
  // The appended space ends the last chunk; a string without its closing
  // quote keeps it.
  text.push_back(' ');
  size_t start = SkipWhitespace(text, 0);
  while (start < text.size()) {
    const size_t end = NextWhitespaceFrom(text, start);
    TokenizeChunk(text.data() + start, end - start, tokens);
    start = SkipWhitespace(text, end);
  }
  return tokens;
}

Value Parser::jsonParse(const std::vector<token>& tokens, int position, int& outPosition, int memberBound) {
  if (position < 0) return Value();
  const size_t start = static_cast<size_t>(position);
  // Every value that begins moves the position past its first token, so an
  // unchanged position means that nothing was read.
  size_t next = start;
  Value result = parseValue(tokens, start, next, memberBound, 0);
  if (next != start) outPosition = ClampToInt(next);
  return result;
}

Value Parser::parse(std::string text) {
  const int64_t memberBound = static_cast<int64_t>(text.size());
  const std::vector<token> tokens = tokenize(std::move(text));
  size_t next = 0;
  return parseValue(tokens, 0, next, memberBound, 0);
}

Value Parser::parseValue(const std::vector<token>& tokens, size_t position, size_t& outPosition,
                         int64_t memberBound, int depth) {
  switch (KindAt(tokens, position)) {
    case TOKEN_STRING: {
      Value value(VALUE_STRING);
      value.setContent(tokens[position].text);
      outPosition = position + 1;
      return value;
    }
    case TOKEN_NUMBER: {
      Value value(VALUE_NUMBER);
      value.setContent(tokens[position].text);
      outPosition = position + 1;
      return value;
    }
    case TOKEN_NULL: {
      Value value(VALUE_NULL);
      value.setContent("null");
      outPosition = position + 1;
      return value;
    }
    case TOKEN_OBJECT_BEGIN:
      return parseObject(tokens, position, outPosition, memberBound, depth);
    default:
      // Words, separators, a closing brace and the end of the tokens begin
      // no value and consume nothing.
      return Value();
  }
}

Value Parser::parseObject(const std::vector<token>& tokens, size_t position, size_t& outPosition,
                          int64_t memberBound, int depth) {
  const size_t count = tokens.size();
  if (depth >= kMaxObjectDepth) {
    outPosition = SkipObject(tokens, position);
    return Value();
  }
  Value result(VALUE_OBJECT);
  if (memberBound < 0) {
    outPosition = std::min(position + 2, count);
    if (KindAt(tokens, position + 1) != TOKEN_OBJECT_END) result.setType(VALUE_NONE);
    return result;
  }
  if (KindAt(tokens, position + 1) == TOKEN_OBJECT_END) {
    outPosition = position + 2;
    return result;
  }
  size_t k = position + 1;
  int64_t members = 0;
  while (true) {
    if (k >= count) {
      // The tokens ended before the closing brace: like an object that the
      // member bound stops, it keeps its members and reads as no value.
      result.setType(VALUE_NONE);
      outPosition = count;
      return result;
    }
    // The key is the token's text whatever its kind; the token after it
    // stands where the colon belongs and is passed over unread.
    std::string key = tokens[k].text;
    size_t next = k + 2;
    Value member = parseValue(tokens, k + 2, next, memberBound, depth + 1);
    result.addProperty(std::move(key), std::move(member));
    k = std::min(next, count);
    if (KindAt(tokens, k) == TOKEN_COMMA) ++k;
    ++members;
    if (members > memberBound) {
      outPosition = std::min(k + 1, count);
      if (KindAt(tokens, k) != TOKEN_OBJECT_END) result.setType(VALUE_NONE);
      return result;
    }
    if (KindAt(tokens, k) == TOKEN_OBJECT_END) {
      outPosition = k + 1;
      return result;
    }
  }
}

}  // namespace ZQJson
