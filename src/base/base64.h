// Base64 with the RFC 4648 standard alphabet and "=" padding.
#pragma once

#include <string>

std::string base64_encode(const unsigned char* bytes, unsigned int length);
// Decodes up to the first "=" or the first character outside the alphabet.
std::string base64_decode(const std::string& text);
