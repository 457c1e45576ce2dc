// How the bytes libcurl delivers become the reply a caller gets.
#pragma once

#include <cstddef>
#include <string>

namespace zq_camera_service {

// Largest received text of one transfer. Past it the write callback stops
// the transfer, which then fails with an empty reply: no peer can make the
// device hold more than this in memory.
constexpr size_t kMaxReplyBytes = 64u * 1024u * 1024u;

// libcurl write callback: appends size * count bytes to `out` and returns that
// number; returns a short count (a write error for libcurl, which ends the
// transfer) when `out` is null or the text would grow past kMaxReplyBytes.
size_t writer(char* bytes, size_t size, size_t count, std::string* out);

// Reduces the received text of a "post" transfer (status line, headers, body)
// to its reply: the body when the status is 200, otherwise the status digits;
// "" when the text holds no status line. Interim 1xx header blocks that may
// precede the final answer are skipped.
std::string cutString(std::string& text);

}  // namespace zq_camera_service
