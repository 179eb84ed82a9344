#pragma once

#include <string>

namespace KXCommon {

// The per-user folder that holds the library's files: the user's documents
// folder plus "/Kelvanorix". Computed afresh on each call; not created here.
std::string DataDirectory();

// The path separator used to join the data directory and a file name.
constexpr char kPathSeparator = '/';

// Creates the directory that will hold `filePath` (with parents, 0700 for
// directories it makes). Returns false with the system's reason otherwise.
bool EnsureParentDirectory(const std::string& filePath, std::string& error);

}  // namespace KXCommon

namespace KXCommon {

// The per-user runtime directory for local sockets: $XDG_RUNTIME_DIR, else "/tmp".
std::string RuntimeDirectory();

}  // namespace KXCommon
