// JSON documents as log lines show them.
#pragma once

#include <cstddef>
#include <string>

#include <rapidjson/document.h>

#include "base/log.h"
#include "base/secret_mask.h"

namespace zq_camera_service {
namespace json {

// `document` pretty-printed as Utils::DocumentToString prints it, with the
// secrets of `mask` hidden in every string and member name (numbers, the
// names' places and the layout stay as the document has them, whatever the
// secrets' texts), cut at `limit` characters. Writing stops once the limit is
// reached, so a large document costs no more than the part a line keeps.
// The document must be one that can be written out (finite numbers, a
// bounded depth: json::ParseWritable).
std::string LogText(const rapidjson::Value& document, const SecretMask& mask, size_t limit = kZqLogTextLimit);

}  // namespace json
}  // namespace zq_camera_service
