#pragma once
// The process-wide table of random numbers that ambient occlusion walks through, and its
// shared cursor. The frame dispatch fills the table once; any thread may then advance
// the cursor (atomically) and read the table.

#include <atomic>
#include <cstdint>

constexpr uint32_t vyxRandomTableSize = 2048; // a power of two: indices are masked
extern float vyxRandomTable[vyxRandomTableSize];
extern std::atomic<uint32_t> vyxRandomCursor;
extern std::atomic<bool> vyxRandomTableFilled;

// Fills the table from rand() / RAND_MAX (values in [0, 1]) unless it is filled already.
// Main thread only.
void vyxFillRandomTable();

// One step of the 64-bit multiply-xorshift generator splitmix64: advances state and
// returns the next 64 random bits. Any state is valid, 0 included.
inline uint64_t vyxSplitMix64(uint64_t& state) {
    state += 0x9e3779b97f4a7c15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}
