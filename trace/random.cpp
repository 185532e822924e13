#include "trace/random.h"

#include <cstdlib>

float vyxRandomTable[vyxRandomTableSize];
std::atomic<uint32_t> vyxRandomCursor{0};
std::atomic<bool> vyxRandomTableFilled{false};

void vyxFillRandomTable() {
    if (vyxRandomTableFilled.load(std::memory_order_acquire))
        return;
    for (uint32_t i = 0; i < vyxRandomTableSize; i++)
        vyxRandomTable[i] = static_cast<float>(rand()) / static_cast<float>(RAND_MAX);
    // Release: a worker that sees the flag also sees the numbers.
    vyxRandomTableFilled.store(true, std::memory_order_release);
}
