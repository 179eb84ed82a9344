#include "kxcommon/StringUtils.h"

namespace KXCommon::StringUtils {

uint64_t ParseUInt64(std::string_view text) noexcept {
    constexpr uint64_t kLimitDiv10 = 1844674407370955161ULL;  // UINT64_MAX / 10
    constexpr unsigned kLimitLastDigit = 5;                   // UINT64_MAX % 10
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            break;
        }
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > kLimitDiv10 || (value == kLimitDiv10 && digit > kLimitLastDigit)) {
            return 0;
        }
        value = value * 10 + digit;
    }
    if (i == 0 || i != text.size()) {
        return 0;
    }
    return value;
}

}  // namespace KXCommon::StringUtils
