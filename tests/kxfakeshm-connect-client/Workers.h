#pragma once

// Payload generators (one per transport slot) keep a random payload of the
// selected size ready; write workers push it through the library while the
// transport's peer is alive.

#include <cstddef>
#include <cstdint>
#include <string>

namespace KXClient {

// The data-store names every worker writes to.
extern const std::string kTestBlock;    // "TestBlock"
extern const std::string kTestAddress;  // "TestAddress"

// The 62 characters a payload is made of.
inline constexpr char kPayloadAlphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The generator's random source: xorshift64* seeded from the steady clock.
uint64_t SeedRandomState(uint64_t nanoseconds);
uint64_t NextRandom(uint64_t& state);  // advances `state`, returns the draw

// Seeds this thread's random state explicitly (the generators seed themselves
// from the clock on first use).
void SetThreadRandomState(uint64_t state);

// `length` alphabet characters, 8 per draw from `state`.
std::string RandomPayload(size_t length, uint64_t& state);

// A payload of the currently selected size from this thread's random state.
std::string GenerateRandomPayload();

void IpcPayloadGenerator();
void SharedMemPayloadGenerator();
void TcpPayloadGenerator();

void WriteMessageWorker_Ipc();
void WriteMessageWorker_SharedMem();
void WriteMessageWorker_Tcp();

}  // namespace KXClient
