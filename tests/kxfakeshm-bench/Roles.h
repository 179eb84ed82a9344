#pragma once

// The helper processes of the benchmark, all run by this program with --role:
//   connect    the Connect peer: the library on one transport; mode stream (the
//              client's write worker), paced (one payload every 2 ms) or idle;
//              --alive-poll-ms N > 0 adds its link's alive->dead count
//              ("alive_drops", liveness sampled every N ms) to each report
//   raw-send   NNG pair0 listener sending size-byte messages with blocking sends
//   raw-recv   NNG pair0 dialer receiving them with blocking receives
//   raw-ping   NNG pair0 listener timing round trips of size-byte messages; its
//              last line has the exact p50/p99 and the URL it listened on
//   raw-echo   NNG pair0 dialer sending every message back
//   raw-shm    the store's write on every call: open the 20 MiB segment, find the
//              object, assign, close
// Each prints one JSON object per line (every 100 ms) and ends on SIGINT/SIGTERM.

#include <map>
#include <string>

namespace KXBench {

// `parameters` are the split command line (name without dashes -> value); the
// exit code of the process.
int RunRole(const std::string& role, std::map<std::string, std::string> parameters);

// The segment and object the store's users write ("TestBlock", "TestAddress").
extern const char* const kStoreBlock;
extern const char* const kStoreAddress;
constexpr unsigned kStoreSegmentSize = 20971520;  // 20 MiB

}  // namespace KXBench
