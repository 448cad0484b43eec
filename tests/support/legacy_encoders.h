// Test-only encoders for the three legacy methods, written from the format
// descriptions so that round trips over random inputs can reach what
// hand-built streams miss. They favour simplicity over compression.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

// Method 1. Codes widen (escape 256, 1) just before a code needs the next
// width; a partial clear (escape 256, 2) is sent whenever the table is full,
// and after an output code with probability clearChance.
struct ShrinkStats {
    int Clears = 0;
    int MaxWidth = 9;
};
std::vector<uint8_t> ShrinkEncode(const std::vector<uint8_t>& data, double clearChance, std::mt19937& rng,
                                  ShrinkStats* stats = nullptr);

// Methods 2..5 (factor = method - 1). Follower sets hold up to maxSetSize
// of the most frequent followers of each byte.
std::vector<uint8_t> ReduceEncode(const std::vector<uint8_t>& data, int factor, int maxSetSize);

// Method 6 with EntryFlags bit 1 (largeDictionary) and bit 2 (literalTree).
// With randomTrees the code lengths form random complete codes (lengths up to
// 16, so the decoder meets sub-tables); otherwise every length is 8 (literals)
// or 6 (lengths, distances).
struct ImplodeOptions {
    bool LargeDictionary = true;
    bool LiteralTree = true;
    bool RandomTrees = false;
};
std::vector<uint8_t> ImplodeEncode(const std::vector<uint8_t>& data, const ImplodeOptions& options,
                                   std::mt19937& rng);

// Inputs with the structures that exercise these coders: runs, repeats at
// all distances, small alphabets, stretches of random bytes, 0x90 bytes.
std::vector<uint8_t> MakeTestData(std::mt19937& rng, size_t size);
