#include "base/json_log_text.h"

#include <rapidjson/prettywriter.h>

namespace zq_camera_service {
namespace json {

namespace {

// Keeps the first `limit` characters written to it.
struct BoundedText {
  typedef char Ch;
  std::string text;
  size_t limit;

  void Put(char c) {
    if (text.size() < limit) text.push_back(c);
  }
  void Flush() {}
  bool Full() const { return text.size() >= limit; }
  size_t Room() const { return Full() ? 0 : limit - text.size(); }
};

using Writer = rapidjson::PrettyWriter<BoundedText>;

// Hands the document's events to the writer with strings and names masked;
// answering false once the text is full ends the walk over the document.
class MaskingHandler {
 public:
  MaskingHandler(Writer& writer, BoundedText& out, const SecretMask& mask) : writer_(writer), out_(out), mask_(mask) {}

  bool Null() { return Go(writer_.Null()); }
  bool Bool(bool b) { return Go(writer_.Bool(b)); }
  bool Int(int i) { return Go(writer_.Int(i)); }
  bool Uint(unsigned u) { return Go(writer_.Uint(u)); }
  bool Int64(int64_t i) { return Go(writer_.Int64(i)); }
  bool Uint64(uint64_t u) { return Go(writer_.Uint64(u)); }
  bool Double(double d) { return Go(writer_.Double(d)); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool copy) {
    return Go(writer_.RawNumber(text, length, copy));
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    // The writer adds at least one character per character given, so more
    // than the room left could never show.
    std::string shown = mask_.Apply(std::string_view(text, length), out_.Room());
    return Go(writer_.String(shown.data(), static_cast<rapidjson::SizeType>(shown.size()), true));
  }
  bool StartObject() { return Go(writer_.StartObject()); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    std::string shown = mask_.Apply(std::string_view(text, length), out_.Room());
    return Go(writer_.Key(shown.data(), static_cast<rapidjson::SizeType>(shown.size()), true));
  }
  bool EndObject(rapidjson::SizeType count) { return Go(writer_.EndObject(count)); }
  bool StartArray() { return Go(writer_.StartArray()); }
  bool EndArray(rapidjson::SizeType count) { return Go(writer_.EndArray(count)); }

 private:
  bool Go(bool written) const { return written && !out_.Full(); }

  Writer& writer_;
  BoundedText& out_;
  const SecretMask& mask_;
};

}  // namespace

std::string LogText(const rapidjson::Value& document, const SecretMask& mask, size_t limit) {
  BoundedText out{std::string(), limit};
  Writer writer(out);
  writer.SetIndent(' ', 4);
  MaskingHandler handler(writer, out, mask);
  document.Accept(handler);
  return std::move(out.text);
}

}  // namespace json
}  // namespace zq_camera_service
