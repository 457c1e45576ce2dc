#include "fakes/hostile_bodies.h"

#include <cstdio>
#include <cstdlib>

namespace zq_test {

namespace {

const std::string kEnvelopeHead = "{\"Response\":{";

}  // namespace

std::string ZeroArrayText(size_t bytes) {
  if (bytes < 3) bytes = 3;
  std::string text;
  text.reserve(bytes);
  text += "[0";
  // "[0" + ",0" * n + "]" is odd; an even length puts a blank before "]".
  while (text.size() + 3 <= bytes) text += ",0";
  if (text.size() + 2 == bytes) text += ' ';
  text += ']';
  return text;
}

std::string JsonStringText(size_t bytes, char fill) {
  if (bytes < 2) bytes = 2;
  std::string text(bytes, fill);
  text.front() = '"';
  text.back() = '"';
  return text;
}

std::string RepeatedText(size_t bytes, char fill) { return std::string(bytes, fill); }

namespace {

// `body` with the member "Padding" put first inside "Response", its value
// `value_of(length)` sized so the whole text is `bytes` long.
template <typename ValueOf>
std::string WithPaddingMember(const std::string& body, size_t bytes, size_t shortest, ValueOf value_of) {
  if (body.compare(0, kEnvelopeHead.size(), kEnvelopeHead) != 0) {
    fprintf(stderr, "hostile_bodies: not a reply envelope: %.80s\n", body.c_str());
    abort();
  }
  const std::string name = "\"Padding\":";
  // The padding member is followed by a comma unless "Response" was empty.
  const bool empty_response = body.compare(kEnvelopeHead.size(), 1, "}") == 0;
  const size_t fixed = body.size() + name.size() + (empty_response ? 0 : 1);
  const size_t value = bytes > fixed + shortest ? bytes - fixed : shortest;
  std::string text;
  text.reserve(fixed + value);
  text += kEnvelopeHead;
  text += name;
  text += value_of(value);
  if (!empty_response) text += ',';
  text.append(body, kEnvelopeHead.size(), std::string::npos);
  return text;
}

}  // namespace

std::string PaddedResponse(const std::string& body, size_t bytes) {
  return WithPaddingMember(body, bytes, 3, [](size_t length) { return ZeroArrayText(length); });
}

std::string PaddedResponseString(const std::string& body, size_t bytes, char fill) {
  return WithPaddingMember(body, bytes, 2, [fill](size_t length) { return JsonStringText(length, fill); });
}

}  // namespace zq_test
