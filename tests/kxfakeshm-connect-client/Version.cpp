#include "Version.h"

#include <flatbuffers/base.h>
#include <fmt/format.h>
#include <nng/nng.h>
#include <boost/version.hpp>

#include <string_view>

#ifndef KX_VERSION_STRING
#define KX_VERSION_STRING "unknown"
#endif
#ifndef KX_FTXUI_VERSION
#define KX_FTXUI_VERSION "unknown"
#endif

namespace KXClient {

std::string VersionText(const std::string& program) {
    // NNG is asked at run time: the shared library in use may differ from the headers.
    return fmt::format("{} {}\nNNG {}, FlatBuffers {}.{}.{}, Boost {}.{}.{}, FTXUI {}\n", program,
                       KX_VERSION_STRING, nng_version(), FLATBUFFERS_VERSION_MAJOR,
                       FLATBUFFERS_VERSION_MINOR, FLATBUFFERS_VERSION_REVISION,
                       BOOST_VERSION / 100000, BOOST_VERSION / 100 % 1000, BOOST_VERSION % 100,
                       KX_FTXUI_VERSION);
}

bool VersionRequested(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--version") {
            return true;
        }
    }
    return false;
}

}  // namespace KXClient
