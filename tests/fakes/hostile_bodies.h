// Reply texts a hostile or broken peer sends: large, cheap to make, and
// shaped to cost the receiver as much as possible (many tiny JSON values,
// one huge string, a run of one character, padding around a valid reply).
// Every builder returns exactly the number of bytes asked for (or the text
// it pads when that is already longer), so figures can be stated per byte.
//
//   cloud.server().QueueReply("POST", CloudBackendFake::kHeartbeatPath,
//                             HttpReply::Json(zq_test::ZeroArrayText(4 << 20)));
//   cloud.QueueAuthReply(HttpReply::Json(zq_test::PaddedResponse(cloud.ErrorReplyBody(), 8 << 20)));
#pragma once

#include <cstddef>
#include <string>

namespace zq_test {

// "[0,0,...,0]" of `bytes` bytes (at least "[0]"); an even length ends in
// " ]". Half a value per byte: the costliest JSON there is to hold parsed.
std::string ZeroArrayText(size_t bytes);

// A JSON string of `bytes` bytes: '"', `fill` repeated, '"'.
std::string JsonStringText(size_t bytes, char fill = 's');

// `bytes` bytes of `fill`: not JSON at all.
std::string RepeatedText(size_t bytes, char fill);

// `body`, a reply envelope starting with {"Response":{, with a member
// "Padding" holding a ZeroArrayText put first inside "Response", so the
// whole text is `bytes` long. The reply means what `body` means; it is only
// larger.
std::string PaddedResponse(const std::string& body, size_t bytes);

// The same with "Padding" a JSON string of `fill`: one long text value, the
// costliest kind for code that searches or masks inside strings.
std::string PaddedResponseString(const std::string& body, size_t bytes, char fill);

}  // namespace zq_test
