#pragma once

// The whole values that the stress peer writes in turn and the test expects to read:
// each is one repeated letter, with lengths around 1 MiB that differ, so a read that
// mixes two writes differs from every one of them in content or length.

#include <string>
#include <vector>

namespace kxshmtest {

inline std::vector<std::string> StressPayloads() {
    constexpr size_t kMiB = 1024 * 1024;
    return {std::string(kMiB, 'A'), std::string(kMiB + 4093, 'B'), std::string(kMiB - 65537, 'C')};
}

// Big enough for the largest payload plus the copy made while it grows.
constexpr uint32_t kStressSegmentSize = 4 * 1024 * 1024;

}  // namespace kxshmtest
