// Nesting depth of JSON documents read from outside. Parsing is iterative,
// but writing a document back out as text (the log shows replies that way)
// recurses once per level, so a reply nested some hundred thousand levels
// deep would overflow the stack. Readers that print outside documents
// refuse such documents as malformed.
#pragma once

#include <rapidjson/document.h>

#include "base/json_walk.h"

namespace zq_camera_service {
namespace json {

// Far deeper than any reply of the cloud or the camera software, far
// shallower than what the stack can take.
constexpr int kMaxOutsideDepth = 64;

// Whether `value`, met at `level` of a walk (the root is level 1), lies
// within `limit` levels: only arrays and objects have a depth to check.
inline bool LevelWithinDepth(const rapidjson::Value& value, int level, int limit) {
  return (!value.IsArray() && !value.IsObject()) || level <= limit;
}

// Whether no array or object in `value` lies more than `limit` levels deep.
// Walks without recursion, and never deeper than `limit` + 1 levels,
// whatever the document's own depth.
inline bool WithinDepth(const rapidjson::Value& value, int limit = kMaxOutsideDepth) {
  return EveryValue(value,
                    [limit](const rapidjson::Value& next, int level) { return LevelWithinDepth(next, level, limit); });
}

}  // namespace json
}  // namespace zq_camera_service
