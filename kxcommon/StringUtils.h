#pragma once

#include <cstdint>
#include <string_view>

namespace KXCommon::StringUtils {

// Strict decimal parse: digits only, the whole text, within uint64. Anything
// else (empty, sign, blank, trailing letter, overflow) yields 0. Never throws.
uint64_t ParseUInt64(std::string_view text) noexcept;

}  // namespace KXCommon::StringUtils
