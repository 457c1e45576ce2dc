// A walk over every value of a JSON document without recursion: the nesting
// depth of outside text is the sender's choice, the stack's size is not.
// The walk keeps one position per array or object it is inside of, so its
// memory grows with the depth it has reached, never with the number of
// values: a reply holding a million numbers costs one position.
#pragma once

#include <vector>

#include <rapidjson/document.h>

namespace zq_camera_service {
namespace json {

// Whether `accept(value, level)` holds for every value under `root`, the
// root itself at level 1, members' values and array items one level below
// their container. Member names are visited too, each just before its value
// and at the same level. Values are visited in document order; the walk
// stops at the first one not accepted, and it descends into an array or
// object only after accepting it, so a visitor that refuses containers past
// some level also bounds the walk's own memory by that level.
template <typename Accept>
bool EveryValue(const rapidjson::Value& root, Accept accept) {
  // The container being walked and the index of its next child.
  struct Position {
    const rapidjson::Value* container;
    rapidjson::SizeType next;
  };
  auto has_children = [](const rapidjson::Value& value) {
    return (value.IsArray() && !value.Empty()) || (value.IsObject() && !value.ObjectEmpty());
  };

  if (!accept(root, 1)) return false;
  std::vector<Position> open;
  if (has_children(root)) open.push_back({&root, 0});
  while (!open.empty()) {
    Position& top = open.back();
    const int level = static_cast<int>(open.size()) + 1;  // of the children of `top`
    const rapidjson::Value* child = nullptr;
    if (top.container->IsArray()) {
      if (top.next == top.container->Size()) {
        open.pop_back();
        continue;
      }
      child = &(*top.container)[top.next++];
    } else {
      if (top.next == top.container->MemberCount()) {
        open.pop_back();
        continue;
      }
      const auto& member = top.container->MemberBegin()[top.next++];
      if (!accept(member.name, level)) return false;
      child = &member.value;
    }
    if (!accept(*child, level)) return false;
    if (has_children(*child)) open.push_back({child, 0});  // `top` is not used past this point
  }
  return true;
}

}  // namespace json
}  // namespace zq_camera_service
