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
