#include "base/json_escape.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace zq_camera_service {
namespace json {

std::string Escape(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  // The writer produces "...": strip the two quotes.
  return std::string(buffer.GetString() + 1, buffer.GetSize() - 2);
}

}  // namespace json
}  // namespace zq_camera_service
