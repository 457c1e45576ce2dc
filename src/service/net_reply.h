// How the bytes libcurl delivers become the reply a caller gets.
#pragma once

#include <cstddef>
#include <string>

#include "service/received_text.h"

namespace zq_camera_service {

// libcurl write callback: appends size * count bytes to `out` and returns that
// number; returns a short count (a write error for libcurl, which ends the
// transfer) when `out` is null or the text would grow past its limit, so no
// peer can make the device hold more than the request allows.
size_t writer(char* bytes, size_t size, size_t count, ReceivedText* out);

// Reduces the received text of a "post" transfer (status line, headers, body)
// in place to its reply: the body when the status is 200, otherwise the
// status digits; empty when the text holds no status line. Interim 1xx
// header blocks that may precede the final answer are skipped.
void cutString(ReceivedText& text);

}  // namespace zq_camera_service
