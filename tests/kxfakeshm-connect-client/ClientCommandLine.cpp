#include "tests/kxfakeshm-connect-client/ClientCommandLine.h"

#include <cstdlib>
#include <iostream>

#include "kxcommon/CommandLine.h"
#include "kxlog/KXLog.h"
#include "tests/kxfakeshm-connect-client/TuningOptions.h"

namespace KXClient {

const std::string& UsageText() {
    static const std::string usage = std::string(
                                         "\n"
                                         "    Usage:\n"
                                         "      kxfakeshm-connect-client [options]\n"
                                         "\n"
                                         "    Options:\n"
                                         "      --help or -h\n"
                                         "\n"
                                         "      --tcp <yes|no>\n"
                                         "      --ipc <yes|no>\n"
                                         "      --sharedmem <yes|no>\n") +
                                     TuningUsage();
    return usage;
}

void PrintUsage() {
    std::cout << UsageText() << '\n' << std::flush;
}

bool ParseClientCommandLine(int argc, const char* const* argv, TransportFlags& flags,
                            KXFakeShm::Tuning& tuning, bool& helpRequested, std::string& error) {
    KXCommon::CommandLineOptions options(kUnknownArgumentMessage);
    options
        .AddYesNo("tcp", &flags.tcp,
                  "Invalid value for --tcp: '{}'; please specify either 'yes' or 'no'!")
        .AddYesNo("ipc", &flags.ipc,
                  "Invalid value for --ipc: '{}'; please specify either 'yes' or 'no'!")
        .AddYesNo("sharedmem", &flags.sharedmem,
                  "Invalid value for --sharedmem: '{}'; please specify either 'yes' or 'no'!");
    AddTuningOptions(options, tuning);
    if (!options.Parse(argc, argv, helpRequested, error)) {
        return false;
    }
    if (!helpRequested && !flags.tcp && !flags.ipc) {
        flags.sharedmem = true;
    }
    return true;
}

void ParseCommandLineArguments(int argc, const char* const* argv, TransportFlags& flags,
                               KXFakeShm::Tuning& tuning) {
    bool helpRequested = false;
    std::string error;
    if (!ParseClientCommandLine(argc, argv, flags, tuning, helpRequested, error)) {
        KXLOG_ERROR("{}", error);
        PrintUsage();
        std::exit(1);
    }
    if (helpRequested) {
        PrintUsage();
        std::exit(0);
    }
    KXLOG_INFO("Command-line arguments has been parsed successfully!");
}

void PrintCommandLineArguments(const TransportFlags& flags, const KXFakeShm::Tuning& tuning) {
    KXLOG_INFO("Parsed command-line arguments:");
    KXLOG_INFO(" - tcp => {}", flags.tcp);
    KXLOG_INFO(" - ipc => {}", flags.ipc);
    KXLOG_INFO(" - sharedmem => {}", flags.sharedmem);
    LogTuningOptions(tuning);
}

}  // namespace KXClient
