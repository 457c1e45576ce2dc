// A walk over every value of a JSON document without recursion: the nesting
// depth of outside text is the sender's choice, the stack's size is not.
#pragma once

#include <utility>
#include <vector>

#include <rapidjson/document.h>

namespace zq_camera_service {
namespace json {

// Whether `accept(value, level)` holds for every value under `root`, the
// root itself at level 1, members' values and array items one level below
// their container. Stops at the first value it does not accept.
template <typename Accept>
bool EveryValue(const rapidjson::Value& root, Accept accept) {
  std::vector<std::pair<const rapidjson::Value*, int>> pending{{&root, 1}};
  while (!pending.empty()) {
    const rapidjson::Value* next = pending.back().first;
    int level = pending.back().second;
    pending.pop_back();
    if (!accept(*next, level)) return false;
    if (next->IsArray()) {
      for (const rapidjson::Value& item : next->GetArray()) pending.emplace_back(&item, level + 1);
    } else if (next->IsObject()) {
      for (const auto& member : next->GetObject()) pending.emplace_back(&member.value, level + 1);
    }
  }
  return true;
}

}  // namespace json
}  // namespace zq_camera_service
