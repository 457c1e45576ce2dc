// Builds ZQJson values for the tests of the value and the writer.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "base/zq_json_value.h"

namespace zq_test {

// A value of `type` whose content text is `content`.
ZQJson::Value Scalar(ZQJson::VALUE_TYPE type, const std::string& content);
// An object with `members`, in their order.
ZQJson::Value Object(std::initializer_list<std::pair<std::string, ZQJson::Value>> members);

}  // namespace zq_test
