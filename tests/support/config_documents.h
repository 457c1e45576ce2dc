// The configuration documents tests and fuzz targets install. Nothing here
// depends on GoogleTest, so the fuzz targets can use it too.
#pragma once

#include <string>

namespace zq_test {

// A base configuration whose every URL points at `cloud_url` (loopback).
std::string DefaultBaseConfig(const std::string& cloud_url = "http://127.0.0.1:1");
std::string VersionConfig(int major);

}  // namespace zq_test
