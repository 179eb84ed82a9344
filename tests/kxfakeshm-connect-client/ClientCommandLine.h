#pragma once

// The client's command line: the transport switches and the tuning options.

#include <string>

#include "kxfakeshm/Tuning.h"

namespace KXClient {

struct TransportFlags {
    bool tcp = false;
    bool ipc = false;
    bool sharedmem = false;
};

// The usage text, exactly as printed (without the final extra newline).
const std::string& UsageText();

// Writes the usage text, one more newline, and flushes standard output.
void PrintUsage();

// Applies argv (argv[0] included) to `flags` and `tuning`. Returns true with
// `helpRequested` set when -h/--help is present; false with the message of the
// first bad parameter in key order. Without TCP and IPC, SharedMem is switched on.
bool ParseClientCommandLine(int argc, const char* const* argv, TransportFlags& flags,
                            KXFakeShm::Tuning& tuning, bool& helpRequested, std::string& error);

// Returns only on success: after --help it prints the usage and exits with 0;
// after a bad parameter it logs the message, prints the usage and exits with 1.
void ParseCommandLineArguments(int argc, const char* const* argv, TransportFlags& flags,
                               KXFakeShm::Tuning& tuning);

// Logs every parsed value.
void PrintCommandLineArguments(const TransportFlags& flags, const KXFakeShm::Tuning& tuning);

}  // namespace KXClient
