// The decompressors and the prefix-code tables two of them share.
//
// Every decoder works on EngineState: it reads the entry's compressed data
// through the reader of engine.h, stages its output in OutputWindow, hands
// every filled stretch to FlushOutput and returns an ExtractResult.
#pragma once

#include <cstdint>

#include "engine/engine.h"

// ---- prefix-code tables (decode_table.cpp) ----

// One table cell. Op: 0..14 extra-bit count of a symbol at or above
// simpleCount, 15 end of block, 16 literal, 17.. link to a sub-table of
// 2^(Op-16) entries, 99 invalid.
struct DecodeEntry {
    uint8_t Op;
    uint8_t Bits;
    uint16_t Value;
    DecodeEntry* SubTable;
};

constexpr uint8_t OpEndOfBlock = 15;
constexpr uint8_t OpLiteral = 16;
constexpr uint8_t OpInvalid = 99;

using TableResult = int32_t;
constexpr TableResult TableComplete = 0;
constexpr TableResult TableIncomplete = 1;
constexpr TableResult TableBadLengths = 2;
constexpr TableResult TableNoMemory = 3;

TableResult BuildDecodeTable(const uint16_t* lengths, uint16_t count, uint16_t simpleCount, const uint16_t* baseTable,
                             const uint16_t* extraTable, DecodeEntry** tableOut, int32_t* lookupBits);
void FreeDecodeTable(DecodeEntry* table);

// The reading rule applied to `bits`, the next input bits (first in bit 0,
// as many as the longest code): the final entry (null for an empty table),
// the code bits dropped before it (Depth: where an invalid code stops the
// reader) and how far beyond the code's start the reader's EnsureBits calls
// reached (Reach: the depth plus the width of the last table looked at).
struct CodeWalk {
    const DecodeEntry* Entry;
    int32_t Depth;
    int32_t Reach;
};
CodeWalk WalkCode(const DecodeEntry* table, int32_t rootBits, uint32_t bits);

// ---- packed tables for inflate's fast loop (fast_table.cpp) ----

// A cell: bits 0-5 the bits to drop (code and extra bits), 8-11 the code
// length (where the extra bits start) or, in a link, the sub-table's index
// width, 12-15 the kind, 16-31 the literal byte, the length or its base, the
// base distance or, in a link, the sub-table's offset in Cells. A cell
// without a kind bit is a length or a distance, by its table; its value
// plus the bits between the code length and the bits to drop is the length
// or the distance (a length resolved with its extra bits in the cell has
// nothing there, the two being equal).
constexpr uint32_t FastLiteral = 1u << 12;
constexpr uint32_t FastEndOfBlock = 1u << 13;
constexpr uint32_t FastLink = 1u << 14;
constexpr uint32_t FastInvalid = 1u << 15;
constexpr int32_t FastLiteralBits = 11;  // root width for literal/length codes
constexpr int32_t FastDistanceBits = 8;  // and for distance codes

// Both codes of a block: the distance root at 0, the literal/length root
// at FastLiteralRoot, then the sub-tables.
constexpr uint32_t FastLiteralRoot = 1u << FastDistanceBits;
struct FastTable {
    uint32_t* Cells;
    int32_t MaxOverreach;  // the largest Reach minus code length of a valid code
};

// Builds the fast form of a block's exact tables (with their root widths and
// longest code lengths; no distance table for a block without distance
// codes, whose distance cells are then all invalid). False, with nothing
// allocated, when there is no literal/length table, an exact root is wider
// than the fast one or memory is short; the caller then decodes without it.
bool BuildFastTable(const DecodeEntry* literals, int32_t literalBits, int32_t literalLongest,
                    const DecodeEntry* distances, int32_t distanceBits, int32_t distanceLongest, FastTable& out);
void FreeFastTable(FastTable& table);

// ---- decoders, one per file ----
ExtractResult Inflate();                 // method 8 (inflate.cpp)
ExtractResult Explode();                 // method 6 (explode.cpp)
int16_t Unshrink();                      // method 1 (unshrink.cpp)
ExtractResult Unreduce(uint16_t method); // methods 2..5 (unreduce.cpp)
