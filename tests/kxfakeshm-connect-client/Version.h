#pragma once

// What `--version` prints in every program of this tree: the program, its version
// and git revision, and the versions of the libraries it was built with.

#include <string>

namespace KXClient {

// Two lines, each ending in '\n', e.g.
//   kxfakeshm-core-peer 1.0.0-1a2b3c4
//   NNG 1.5.2, FlatBuffers 2.0.8, Boost 1.74.0, FTXUI 5.0.0
std::string VersionText(const std::string& program);

// True when `--version` is among the arguments after the program name.
bool VersionRequested(int argc, const char* const* argv);

}  // namespace KXClient
