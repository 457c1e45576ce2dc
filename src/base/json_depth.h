// Nesting depth of JSON documents read from outside. Parsing is iterative,
// but writing a document back out as text (the log shows replies that way)
// recurses once per level, so a reply nested some hundred thousand levels
// deep would overflow the stack. Readers that print outside documents
// refuse such documents as malformed.
#pragma once

#include <utility>
#include <vector>

#include <rapidjson/document.h>

namespace zq_camera_service {
namespace json {

// Far deeper than any reply of the cloud or the camera software, far
// shallower than what the stack can take.
constexpr int kMaxOutsideDepth = 64;

// Whether no array or object in `value` lies more than `limit` levels deep
// (the root is level 1). Walks without recursion.
inline bool WithinDepth(const rapidjson::Value& value, int limit = kMaxOutsideDepth) {
  std::vector<std::pair<const rapidjson::Value*, int>> pending{{&value, 1}};
  while (!pending.empty()) {
    const rapidjson::Value* next = pending.back().first;
    int depth = pending.back().second;
    pending.pop_back();
    if (!next->IsArray() && !next->IsObject()) continue;
    if (depth > limit) return false;
    if (next->IsArray()) {
      for (const rapidjson::Value& item : next->GetArray()) pending.emplace_back(&item, depth + 1);
    } else {
      for (const auto& member : next->GetObject()) pending.emplace_back(&member.value, depth + 1);
    }
  }
  return true;
}

}  // namespace json
}  // namespace zq_camera_service
