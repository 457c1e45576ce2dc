// Masking of secrets in log texts: a line built around the cloud key (a
// signature pre-image, a reply, a composed header) must not carry the key to
// any sink (console, file or collector).
#pragma once

#include <string>

namespace zq_camera_service {

// `text` with every occurrence of `secret`, as it stands and as it reads
// inside a JSON string, replaced by "***". An empty secret masks nothing.
std::string MaskSecret(std::string text, const std::string& secret);

}  // namespace zq_camera_service
