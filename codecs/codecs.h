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

// ---- decoders, one per file ----
ExtractResult Inflate();                 // method 8 (inflate.cpp)
ExtractResult Explode();                 // method 6 (explode.cpp)
int16_t Unshrink();                      // method 1 (unshrink.cpp)
ExtractResult Unreduce(uint16_t method); // methods 2..5 (unreduce.cpp)
