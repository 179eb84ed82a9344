#include "kxcommon/Process.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

namespace KXCommon {

bool ProcessExists(int id) {
    return id > 0 && (kill(id, 0) == 0 || errno == EPERM);
}

ThreadActivity ActivityOf(int tid) {
    if (tid <= 0) {
        return ThreadActivity::Gone;
    }
    // /proc/<tid> exists for every thread, though only leaders are listed.
    std::ifstream file("/proc/" + std::to_string(tid) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    // "tid (name) S ...": the name may hold any character, so the state follows
    // the last parenthesis.
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) {
        return ThreadActivity::Gone;
    }
    switch (stat[close + 2]) {
        case 'R':
        case 'D':
        case 'W':
            return ThreadActivity::Working;
        case 'T':
        case 't':
            return ThreadActivity::Stopped;
        case 'Z':
        case 'X':
        case 'x':
            return ThreadActivity::Gone;
        default:
            return ThreadActivity::Waiting;
    }
}

}  // namespace KXCommon
