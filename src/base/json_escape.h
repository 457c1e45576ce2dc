// JSON string escaping for texts assembled from templates.
#pragma once

#include <string>

namespace zq_camera_service {
namespace json {

// The characters of `text` as they stand between the quotes of a JSON string
// (quote, backslash and control characters escaped, as RapidJSON's writer
// escapes them); the quotes themselves are not included.
std::string Escape(const std::string& text);

}  // namespace json
}  // namespace zq_camera_service
