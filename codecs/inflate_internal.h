// What inflate's two halves share: the exact state machine (inflate.cpp)
// and the fast loop it hands a block's codes to (inflate_fast.cpp).
#pragma once

#include <cstdint>
#include <cstring>

#include "codecs/codecs.h"
#include "engine/engine.h"

// Bounds of the format (RFC 1951): the longest code, the most extra bits of
// a length and of a distance, the longest match. inflate.cpp checks them
// against its tables.
constexpr int32_t MaxDeflateCodeBits = 15;
constexpr int32_t MaxLengthExtraBits = 5;
constexpr int32_t MaxDistanceExtraBits = 13;
constexpr int32_t MaxMatchLength = 258;

// The two codes of a block: the exact tables with the root widths they were
// built with, and their fast forms when the block has them.
struct BlockCodes {
    const DecodeEntry* Literals;
    const DecodeEntry* Distances;
    int32_t LiteralBits;
    int32_t DistanceBits;
    const uint32_t* FastCells;  // their fast table; null: the exact loop alone decodes the block
};

// Sets codes.FastCells to the table's cells unless a code of the block reads
// further ahead than the fast loop's give-back allows.
void AttachFastTable(BlockCodes& codes, const FastTable& table);

// Decodes the block's codes on the fast reader for as long as the input and
// the window have room for a whole round, and leaves the shared reader as
// the exact loop would. Returns the block's result (Ok at its end,
// ArchiveDamaged), or FastStretchEnded when the exact loop is to go on.
constexpr ExtractResult FastStretchEnded = -100;
ExtractResult DecodeFast(const BlockCodes& codes);

// Copies n bytes inside the window from `from` to `to`, both ranges inside
// it, as if byte by byte in ascending order.
inline void CopyInWindow(uint8_t* window, int32_t to, int32_t from, int32_t n) {
    if (to - from >= n) {
        // The source ends before the destination starts.
        std::memcpy(window + to, window + from, static_cast<size_t>(n));
    } else if (to > from) {
        // A source just behind the destination repeats the bytes written:
        // [from, to) has period to - from and stays so as it grows, so it
        // can be copied onward in doubling pieces that never overlap.
        while (n > 0) {
            int32_t piece = to - from < n ? to - from : n;
            std::memcpy(window + to, window + from, static_cast<size_t>(piece));
            to += piece;
            n -= piece;
        }
    } else {
        // A source ahead of the destination (older bytes from the window's
        // far end): ascending order reads every byte before it is written.
        std::memmove(window + to, window + from, static_cast<size_t>(n));
    }
}
