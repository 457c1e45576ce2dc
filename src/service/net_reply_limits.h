// How many received bytes one HTTP exchange may hold. A limit belongs to
// the request: what a peer sends beyond it is never kept.
#pragma once

#include <cstddef>

namespace zq_camera_service {

// JSON replies of the cloud back end, the private cloud's protobuf answer,
// the log collector's reply: a few kilobytes each.
constexpr size_t kMaxJsonReplyBytes = 256u * 1024u;
// The upgrade package: a ZIP archive of the whole program.
constexpr size_t kMaxDownloadReplyBytes = 64u * 1024u * 1024u;

}  // namespace zq_camera_service
