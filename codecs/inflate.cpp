// Inflate: ZIP method 8, the deflate format of RFC 1951.
//
// The data is a sequence of blocks, each opened by 3 bits: the last-block
// flag and the block type (0 stored, 1 fixed codes, 2 codes carried in the
// block's header, 3 invalid). A stored block is byte-aligned LEN, NLEN (its
// complement) and LEN raw bytes. A coded block is a stream of literal/length
// codes: literals 0..255, the end-of-block code 256, and lengths 257..285,
// each length followed by its extra bits and a distance code with its own
// extra bits, which copies `length` bytes from `distance` bytes back. A
// dynamic header sends the code lengths of both alphabets themselves coded
// with a small code-length code whose 3-bit lengths come first, in the
// CodeLengthOrder order.
//
// OutputWindow is the 32 KiB dictionary and the output staging area at once:
// bytes are decoded into it at WindowPos, and each time it is full it goes to
// FlushOutput whole and is written over from index 0 again, so that the last
// 32768 bytes are always in it, at their position modulo 32768.
//
// Bounds: WindowPos stays in 0..32768 and is reset to 0 as soon as it
// reaches 32768, so a stored byte always lands inside the window. A match
// source is taken modulo 32768, and each copied chunk ends at the window's
// end or earlier on both sides. Lengths are at most 258 and distances at most
// 32768 (the largest base plus its extra bits). Codes that have no base value
// (lengths 286 and 287, distances 30 and 31) carry the extra-bit count 99,
// which the table builder turns into invalid entries.
//
// This file is the exact decoder, the state machine that follows the format
// bit by bit on the shared reader. While a block's codes have a fast form,
// the stretches between the edges (a refill, a flush, the end of the block)
// go to the fast loop of inflate_fast.cpp, which leaves every piece of state
// as this loop would have.
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/inflate_internal.h"
#include "engine/engine.h"

namespace {

// The root widths of the literal/length and distance tables of a dynamic
// block: codes up to that many bits are found with one look-up.
constexpr int32_t LiteralLookupBits = 9;
constexpr int32_t DistanceLookupBits = 6;

// The order in which a dynamic header gives the code-length code's lengths.
constexpr uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length codes 257..287: base length and extra bits.
constexpr uint16_t LengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                     35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr uint16_t LengthExtraBits[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,  2,
                                          3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};

// Distance codes 0..31: base distance and extra bits. Codes 30 and 31 are
// not part of the format; a dynamic header may still give them lengths (up
// to 32 distance lengths), and their entries then come out invalid.
constexpr uint16_t DistanceBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25, 33,
                                       49,   65,   97,   129,  193,  257,   385,   513,   769, 1025, 1537,
                                       2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 0,   0};
constexpr uint16_t DistanceExtraBits[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                            7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 99, 99};

// Each range of a base and its extra bits ends where the next begins; the
// last length is 258 (code 285, no extra bits, also reachable as 284 + 31),
// the longest distance 32768, the size of the window.
constexpr bool RangesAreContiguous(const uint16_t* base, const uint16_t* extra, int count) {
    for (int i = 0; i + 1 < count; i++)
        if (base[i] + (1 << extra[i]) != base[i + 1]) return false;
    return true;
}
static_assert(RangesAreContiguous(LengthBase, LengthExtraBits, 28) && LengthBase[27] + 31 == 258);
static_assert(RangesAreContiguous(DistanceBase, DistanceExtraBits, 30));
static_assert(DistanceBase[29] + (1 << DistanceExtraBits[29]) - 1 == OutputWindowSize);

// The bounds the fast loop's margins are computed from.
constexpr int MostOf(const uint16_t* values, int count) {
    int most = 0;
    for (int i = 0; i < count; i++)
        if (values[i] > most) most = values[i];
    return most;
}
static_assert(MostOf(LengthExtraBits, 29) == MaxLengthExtraBits);
static_assert(MostOf(DistanceExtraBits, 30) == MaxDistanceExtraBits);
static_assert(LengthBase[28] == MaxMatchLength);

constexpr int32_t FixedLiteralBits = 7;
constexpr int32_t FixedDistanceBits = 5;
constexpr int32_t CodeLengthBits = 7;
constexpr int LiteralLengthCodes = 288;
constexpr int DistanceCodes = 32;

// Reads one code through a table of root width `rootBits` and drops its bits.
// Returns its final entry, or null for an invalid code or an empty table.
const DecodeEntry* ReadCode(const DecodeEntry* table, int32_t rootBits) {
    if (table == nullptr) return nullptr;
    EnsureBits(static_cast<uint8_t>(rootBits));
    const DecodeEntry* entry = &table[EngineState.BitBuffer & BitMaskTable[rootBits]];
    while (entry->Op > OpLiteral) {
        if (entry->Op == OpInvalid) return nullptr;
        // A link: its table is 2^(Op - 16) entries, Op - 16 <= 15.
        DropBits(entry->Bits);
        uint8_t subBits = static_cast<uint8_t>(entry->Op - 16);
        EnsureBits(subBits);
        entry = &entry->SubTable[EngineState.BitBuffer & BitMaskTable[subBits]];
    }
    DropBits(entry->Bits);
    return entry;
}

// Passes a full window on and starts it over.
bool FlushFullWindow() {
    if (!FlushOutput(static_cast<uint16_t>(OutputWindowSize))) return false;
    EngineState.WindowPos = 0;
    return true;
}

// Copies `length` bytes from `source` (any 16-bit value; taken modulo the
// window size) to WindowPos.
bool CopyMatch(uint16_t source, uint16_t length) {
    EngineStateRecord& e = EngineState;
    int32_t left = length;
    while (left > 0) {
        int32_t from = source & (OutputWindowSize - 1);
        int32_t to = e.WindowPos;  // 0..32767 here: a full window is flushed at once
        // Split at the window's end, on whichever side reaches it first.
        int32_t chunk = OutputWindowSize - (from > to ? from : to);
        if (chunk > left) chunk = left;
        left -= chunk;
        CopyInWindow(e.OutputWindow, to, from, chunk);
        e.WindowPos = static_cast<uint16_t>(to + chunk);
        source = static_cast<uint16_t>(from + chunk);
        if (e.WindowPos == OutputWindowSize && !FlushFullWindow()) return false;
    }
    return true;
}

ExtractResult DecodeSymbols(const BlockCodes& codes) {
    EngineStateRecord& e = EngineState;
    for (;;) {
        if (e.CancelRequested || e.InputExhausted) return e.CancelRequested ? Cancelled : InputFailed;

        if (FastPathsEnabled && codes.FastCells != nullptr) {
            ExtractResult fast = DecodeFast(codes);
            if (fast != FastStretchEnded) return fast;
        }

        // One code near the end of the input buffer or of the window.
        const DecodeEntry* entry = ReadCode(codes.Literals, codes.LiteralBits);
        if (entry == nullptr) return ArchiveDamaged;
        if (entry->Op == OpLiteral) {
            e.OutputWindow[e.WindowPos] = static_cast<uint8_t>(entry->Value);
            e.WindowPos = static_cast<uint16_t>(e.WindowPos + 1);
            if (e.WindowPos == OutputWindowSize && !FlushFullWindow()) return OutputFailed;
            continue;
        }
        if (entry->Op == OpEndOfBlock) return Ok;

        // A length: Op is its extra-bit count (0..5), the sum at most 258.
        uint16_t length = static_cast<uint16_t>(entry->Value + TakeBits(entry->Op));

        const DecodeEntry* distance = ReadCode(codes.Distances, codes.DistanceBits);
        if (distance == nullptr) return ArchiveDamaged;
        // Extra bits 0..13; the distance is at most 32768.
        uint32_t extra = TakeBits(distance->Op);
        uint16_t source = static_cast<uint16_t>(e.WindowPos - distance->Value - extra);
        if (!CopyMatch(source, length)) return OutputFailed;
    }
}

int32_t LongestCode(const uint16_t* lengths, int32_t count) {
    int32_t longest = 0;
    for (int32_t i = 0; i < count; i++)
        if (lengths[i] > longest) longest = lengths[i];
    return longest;
}

ExtractResult CopyStoredBlock() {
    EngineStateRecord& e = EngineState;
    DropBits(e.BitCount & 7);  // to the byte boundary; whole bytes held are used next
    uint32_t length = TakeBits(16);
    EnsureBits(16);
    if (length != (~e.BitBuffer & 0xFFFF)) return ArchiveDamaged;
    DropBits(16);

    while (length > 0 && !e.CancelRequested && !e.InputExhausted) {
        if (FastPathsEnabled && e.BitCount == 0 && e.InputPos <= e.InputLast) {
            // A run straight from InputBuffer, up to the end of its bytes or
            // of the window: byte for byte what the loop below does, which
            // refills only when InputBuffer is used up (the flags change only
            // then) and flushes only a full window.
            uint32_t run = length;
            if (run > static_cast<uint32_t>(e.InputLast + 1 - e.InputPos))
                run = static_cast<uint32_t>(e.InputLast + 1 - e.InputPos);
            if (run > static_cast<uint32_t>(OutputWindowSize - e.WindowPos))
                run = static_cast<uint32_t>(OutputWindowSize - e.WindowPos);
            std::memcpy(e.OutputWindow + e.WindowPos, e.InputBuffer + e.InputPos, run);
            e.InputPos = static_cast<int16_t>(e.InputPos + static_cast<int32_t>(run));
            e.WindowPos = static_cast<uint16_t>(e.WindowPos + run);
            length -= run;
            if (e.WindowPos == OutputWindowSize && !FlushFullWindow()) {
                // The loop below fails with the last byte still in the bit
                // buffer.
                e.BitBuffer = e.OutputWindow[OutputWindowSize - 1];
                e.BitCount = 8;
                return OutputFailed;
            }
            continue;
        }
        length--;
        EnsureBits(8);
        e.OutputWindow[e.WindowPos] = static_cast<uint8_t>(e.BitBuffer);
        e.WindowPos = static_cast<uint16_t>(e.WindowPos + 1);
        if (e.WindowPos == OutputWindowSize && !FlushFullWindow()) return OutputFailed;
        DropBits(8);
    }
    if (e.CancelRequested) return Cancelled;
    if (e.InputExhausted) return InputFailed;
    return Ok;
}

ExtractResult DecodeFixedBlock() {
    uint16_t lengths[LiteralLengthCodes];
    int s = 0;
    for (; s < 144; s++) lengths[s] = 8;
    for (; s < 256; s++) lengths[s] = 9;
    for (; s < 280; s++) lengths[s] = 7;
    for (; s < 288; s++) lengths[s] = 8;

    DecodeEntry* literalTable = nullptr;
    int32_t literalBits = FixedLiteralBits;
    TableResult built =
        BuildDecodeTable(lengths, 288, 257, LengthBase, LengthExtraBits, &literalTable, &literalBits);
    if (built != TableComplete) {
        // Only TableNoMemory can happen here; its number reads as InputFailed.
        if (built == TableIncomplete) FreeDecodeTable(literalTable);
        return built;
    }

    for (s = 0; s < 30; s++) lengths[s] = 5;
    DecodeEntry* distanceTable = nullptr;
    int32_t distanceBits = FixedDistanceBits;
    // Always incomplete: the codes of 30 and 31 are left unused.
    built = BuildDecodeTable(lengths, 30, 0, DistanceBase, DistanceExtraBits, &distanceTable, &distanceBits);
    if (built != TableComplete && built != TableIncomplete) {
        FreeDecodeTable(literalTable);
        return ArchiveDamaged;
    }

    BlockCodes codes = {literalTable, distanceTable, literalBits, distanceBits, nullptr};
    if (FastPathsEnabled) {
        // The fixed codes' fast table is made once, from the first fixed
        // block's tables, and kept for the process like any constant table.
        static FastTable fixedCodes = {nullptr, 0};
        if (fixedCodes.Cells == nullptr)
            BuildFastTable(literalTable, literalBits, 9, distanceTable, distanceBits, 5, fixedCodes);
        AttachFastTable(codes, fixedCodes);
    }
    ExtractResult result = DecodeSymbols(codes);
    FreeDecodeTable(literalTable);
    FreeDecodeTable(distanceTable);
    return result;
}

ExtractResult DecodeDynamicBlock() {
    const int32_t literalCount = static_cast<int32_t>(TakeBits(5)) + 257;   // HLIT, up to 288
    const int32_t distanceCount = static_cast<int32_t>(TakeBits(5)) + 1;    // HDIST, up to 32
    const int32_t codeLengthCount = static_cast<int32_t>(TakeBits(4)) + 4;  // HCLEN
    const int32_t total = literalCount + distanceCount;

    // Literal/length and distance lengths in one sequence: a repeat may run
    // from the one into the other.
    uint16_t lengths[LiteralLengthCodes + DistanceCodes] = {};
    for (int32_t i = 0; i < codeLengthCount; i++) lengths[CodeLengthOrder[i]] = static_cast<uint16_t>(TakeBits(3));

    DecodeEntry* codeLengthTable = nullptr;
    int32_t codeLengthBits = CodeLengthBits;
    TableResult built = BuildDecodeTable(lengths, 19, 19, nullptr, nullptr, &codeLengthTable, &codeLengthBits);
    if (built != TableComplete) {
        if (built == TableIncomplete) FreeDecodeTable(codeLengthTable);
        return ArchiveDamaged;
    }

    // The code lengths. The code-length code's lengths are at most 7 bits and
    // the root is at least as wide as its longest code: one level. A 1-bit
    // code-length code may leave its other pattern unused; meeting it, like
    // any lookup in an empty table, is damage.
    ExtractResult result = Ok;
    uint16_t previous = 0;
    for (int32_t i = 0; i < total;) {
        const DecodeEntry* entry = ReadCode(codeLengthTable, codeLengthBits);
        if (entry == nullptr) {
            result = ArchiveDamaged;
            break;
        }
        uint16_t symbol = entry->Value;
        if (symbol < 16) {
            lengths[i++] = symbol;
            previous = symbol;
            continue;
        }
        int32_t repeat;
        uint16_t value;
        if (symbol == 16) {
            repeat = static_cast<int32_t>(TakeBits(2)) + 3;
            value = previous;
        } else if (symbol == 17) {
            repeat = static_cast<int32_t>(TakeBits(3)) + 3;
            value = 0;
        } else {
            repeat = static_cast<int32_t>(TakeBits(7)) + 11;
            value = 0;
        }
        if (i + repeat > total) {
            // Codes 16 and 17 report this overrun with 1, code 18 as damage.
            result = symbol == 18 ? ArchiveDamaged : ChecksumMismatch;
            break;
        }
        while (repeat-- > 0) lengths[i++] = value;
        previous = value;
    }
    FreeDecodeTable(codeLengthTable);
    if (result != Ok) return result;

    DecodeEntry* literalTable = nullptr;
    int32_t literalBits = LiteralLookupBits;
    built = BuildDecodeTable(lengths, static_cast<uint16_t>(literalCount), 257, LengthBase, LengthExtraBits,
                             &literalTable, &literalBits);
    if (built != TableComplete) {
        if (built == TableIncomplete) FreeDecodeTable(literalTable);
        return ArchiveDamaged;
    }

    DecodeEntry* distanceTable = nullptr;
    int32_t distanceBits = DistanceLookupBits;
    built = BuildDecodeTable(lengths + literalCount, static_cast<uint16_t>(distanceCount), 0, DistanceBase,
                             DistanceExtraBits, &distanceTable, &distanceBits);
    if (built != TableComplete && built != TableIncomplete) {
        FreeDecodeTable(literalTable);
        return ArchiveDamaged;
    }

    BlockCodes codes = {literalTable, distanceTable, literalBits, distanceBits, nullptr};
    FastTable fast = {nullptr, 0};
    if (FastPathsEnabled &&
        BuildFastTable(literalTable, literalBits, LongestCode(lengths, literalCount), distanceTable, distanceBits,
                       LongestCode(lengths + literalCount, distanceCount), fast))
        AttachFastTable(codes, fast);
    result = DecodeSymbols(codes);
    FreeFastTable(fast);
    FreeDecodeTable(literalTable);
    FreeDecodeTable(distanceTable);
    return result;
}

ExtractResult DecodeNextBlock(bool& lastBlock) {
    lastBlock = TakeBits(1) != 0;
    switch (TakeBits(2)) {
        case 0:
            return CopyStoredBlock();
        case 1:
            return DecodeFixedBlock();
        case 2:
            return DecodeDynamicBlock();
        default:
            return ArchiveDamaged;
    }
}

}  // namespace

ExtractResult Inflate() {
    EngineStateRecord& e = EngineState;
    e.InputPos = 0;
    e.InputLast = -1;
    e.WindowPos = 0;
    e.BitCount = 0;
    e.BitBuffer = 0;

    bool lastBlock = false;
    do {
        ExtractResult result = DecodeNextBlock(lastBlock);
        if (result != Ok) return result;
    } while (!lastBlock);

    // What follows the final block stays in BitBuffer and InputBuffer: a data
    // descriptor is read from there.
    return FlushOutput(e.WindowPos) ? Ok : OutputFailed;
}
