// Type-checked access to members of JSON documents from files and the wire.
// Every reader of outside JSON goes through these, so a member of the wrong
// type reads as "absent" instead of tripping RapidJSON's assertions.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include <rapidjson/document.h>

#include "base/json_depth.h"
#include "base/json_walk.h"

namespace zq_camera_service {
namespace json {

// Outside text that is itself written on as a document (the upgrade's
// version document): parsed iteratively, so nesting depth cannot grow the
// stack, and refused unless every string is valid UTF-8, since a document
// holding other bytes would be unreadable to strict readers.
constexpr unsigned kOutsideTextFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
// Outside text whose strings are matched, shown or sent back rather than
// stored whole: the cloud's replies, the camera software's IPC replies and
// face lists. Parsed iteratively, strings taken as bytes: peers write texts
// in legacy encodings, and a reply refused for a note nobody stores would
// lose the command or the period beside it (or leave a caller waiting for
// good). A string that is stored is checked where it is stored (ValidUtf8).
constexpr unsigned kOutsideBytesFlags = rapidjson::kParseIterativeFlag;
// Configuration files: white space skipped, text after the first value
// ignored. Their bytes are taken as they are: a file written before texts
// were checked must still load, or the device could no longer authenticate.
constexpr unsigned kConfigFileFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag;

// Whether `length` bytes are UTF-8 as strict readers take it: no stray
// continuation bytes, no overlong forms, no surrogates, nothing past U+10FFFF.
inline bool ValidUtf8(const char* text, size_t length) {
  // RapidJSON's validator takes up to three bytes after a lead byte without
  // looking for the end: past it this stream gives NUL, which no sequence
  // continues with.
  struct Bytes {
    const char* at;
    const char* end;
    char Take() { return at < end ? *at++ : '\0'; }
  } bytes{text, text + length};
  struct Discard {
    void Put(char) {}
  } discard;
  while (bytes.at < bytes.end) {
    if (!rapidjson::UTF8<>::Validate(bytes, discard)) return false;
  }
  return true;
}

// The checks a parsed outside document must pass, in one walk: every number
// finite (RapidJSON refuses 1e400 but reads some other numbers beyond the
// double range, 24E308, as infinity, which no writer can spell: a document
// holding one would be written back cut short); with `utf8_strings`, every
// string and name valid UTF-8 (escapes decode to bytes the encoding check of
// the parser never saw: "\uDC00" alone becomes a surrogate); with a
// `depth_limit` above 0, no array or object deeper than it.
inline bool PassesOutsideChecks(const rapidjson::Value& value, bool utf8_strings, int depth_limit) {
  return EveryValue(value, [utf8_strings, depth_limit](const rapidjson::Value& next, int level) {
    if (next.IsDouble()) return std::isfinite(next.GetDouble());
    if (next.IsString()) return !utf8_strings || ValidUtf8(next.GetString(), next.GetStringLength());
    return depth_limit <= 0 || LevelWithinDepth(next, level, depth_limit);
  });
}

// Parses `length` bytes (no terminating NUL needed) with the given flags;
// false for text that is not JSON or holds a number beyond the double range,
// and, when the flags validate the encoding, for text whose strings are not
// valid UTF-8 once their escapes are decoded.
template <unsigned Flags>
bool Parse(rapidjson::Document& document, const char* data, size_t length) {
  document.Parse<Flags>(data, length);
  constexpr bool kUtf8 = (Flags & rapidjson::kParseValidateEncodingFlag) != 0;
  return !document.HasParseError() && PassesOutsideChecks(document, kUtf8, 0);
}

// Parse for a document that will be written back out as text (a file, the
// staged version document, a log line): also false when it nests deeper than
// kMaxOutsideDepth, since RapidJSON's writers recurse once per level.
template <unsigned Flags>
bool ParseWritable(rapidjson::Document& document, const char* data, size_t length) {
  document.Parse<Flags>(data, length);
  constexpr bool kUtf8 = (Flags & rapidjson::kParseValidateEncodingFlag) != 0;
  return !document.HasParseError() && PassesOutsideChecks(document, kUtf8, kMaxOutsideDepth);
}

// The member `name` of `object`, or null when `object` is not an object or has no such member.
inline const rapidjson::Value* Find(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

inline rapidjson::Value* Find(rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

inline bool GetString(const rapidjson::Value& object, const char* name, std::string* out) {
  const rapidjson::Value* value = Find(object, name);
  if (value == nullptr || !value->IsString()) return false;
  out->assign(value->GetString(), value->GetStringLength());
  return true;
}

inline bool GetInt(const rapidjson::Value& object, const char* name, int* out) {
  const rapidjson::Value* value = Find(object, name);
  if (value == nullptr || !value->IsInt()) return false;
  *out = value->GetInt();
  return true;
}

inline bool GetInt64(const rapidjson::Value& object, const char* name, int64_t* out) {
  const rapidjson::Value* value = Find(object, name);
  if (value == nullptr || !value->IsInt64()) return false;
  *out = value->GetInt64();
  return true;
}

inline const rapidjson::Value* GetObject(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = Find(object, name);
  return value != nullptr && value->IsObject() ? value : nullptr;
}

inline const rapidjson::Value* GetArray(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = Find(object, name);
  return value != nullptr && value->IsArray() ? value : nullptr;
}

// Sets (or adds) the member `name` of `object` to `value`.
template <typename T>
void Set(rapidjson::Document& document, rapidjson::Value& object, const char* name, T&& value) {
  rapidjson::Value* existing = Find(object, name);
  rapidjson::Value v(std::forward<T>(value));
  if (existing != nullptr) {
    *existing = v;
  } else {
    object.AddMember(rapidjson::Value(name, document.GetAllocator()), v, document.GetAllocator());
  }
}

inline void SetString(rapidjson::Document& document, rapidjson::Value& object, const char* name,
                      const std::string& text) {
  rapidjson::Value value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), document.GetAllocator());
  rapidjson::Value* existing = Find(object, name);
  if (existing != nullptr) {
    *existing = value;
  } else {
    object.AddMember(rapidjson::Value(name, document.GetAllocator()), value, document.GetAllocator());
  }
}

}  // namespace json
}  // namespace zq_camera_service
