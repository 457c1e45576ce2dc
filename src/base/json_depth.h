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

// Whether no array or object in `value` lies more than `limit` levels deep
// (the root is level 1). Walks without recursion, and never deeper than
// `limit` + 1 levels, whatever the document's own depth.
inline bool WithinDepth(const rapidjson::Value& value, int limit = kMaxOutsideDepth) {
  return EveryValue(value, [limit](const rapidjson::Value& next, int level) {
    return (!next.IsArray() && !next.IsObject()) || level <= limit;
  });
}

}  // namespace json
}  // namespace zq_camera_service
