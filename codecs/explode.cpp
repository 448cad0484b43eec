// Explode: compression method 6 (imploding), a sliding dictionary of 4 or 8
// KiB whose literals, match lengths and high distance bits are coded with
// Shannon-Fano prefix codes.
//
// The data opens with two or three byte-aligned code-length lists: literals
// (256 symbols, only with EntryFlags bit 2), lengths (64), distances (64). A
// list is a byte N and N + 1 bytes, each a repeat count - 1 (high nibble) and
// a code length - 1 (low nibble) for the next symbols; the counts must add up
// to the tree's size exactly. The codes are the canonical codes of those
// lengths with every bit inverted, so each table is indexed with the
// complement of the buffered bits. Then, least significant bit first, tokens
// until UncompressedSize bytes exist: a flag bit (1 literal, 0 match); a
// literal is a literal code or 8 plain bits; a match is 6 or 7 plain low
// distance bits (4 or 8 KiB, EntryFlags bit 1), a distance code, a length
// code and, for length symbol 63, 8 more plain bits added to the length.
//
// Bounds. Only complete code sets are accepted, so every table lookup lands
// on a symbol (an invalid entry, should the builder leave one, ends the data
// as damaged). The ring (history_ring.h) is the whole 32 KiB OutputWindow,
// four times the longest distance (8192); it keeps every copy inside itself,
// and positions before the start of the output read as zero.
//
// Fast paths: while InputBuffer holds a word more, whole tokens are decoded
// on the fast bit reader of fast_bits.h, which records the plain route's
// read widths and so gives back what the plain reader would not have taken;
// a token never looks at more bits than a refill loads (checked per entry
// from the tables' depths), and the plain route takes over near the end of
// each block, where FillInput may run.
#include <array>

#include "codecs/codecs.h"
#include "codecs/fast_bits.h"
#include "codecs/history_ring.h"

namespace {

constexpr int LiteralSymbols = 256;
constexpr int LengthSymbols = 64;
constexpr int DistanceSymbols = 64;
constexpr int32_t LargeEntryCompressedSize = 200000;
constexpr uint8_t LengthExtraBits = 8;  // after length symbol 63

template <uint16_t First, uint16_t Step>
constexpr std::array<uint16_t, 64> ArithmeticTable() {
    std::array<uint16_t, 64> t{};
    for (int s = 0; s < 64; s++) t[s] = static_cast<uint16_t>(First + Step * s);
    return t;
}

constexpr std::array<uint16_t, 64> ImplodeLengthBase3 = ArithmeticTable<3, 1>();
constexpr std::array<uint16_t, 64> ImplodeLengthBase2 = ArithmeticTable<2, 1>();
constexpr std::array<uint16_t, 64> ImplodeDistanceBase8K = ArithmeticTable<1, 128>();
constexpr std::array<uint16_t, 64> ImplodeDistanceBase4K = ArithmeticTable<1, 64>();
constexpr std::array<uint16_t, 64> ImplodeLengthExtra = [] {
    std::array<uint16_t, 64> t{};
    t[63] = LengthExtraBits;
    return t;
}();
static_assert(ImplodeDistanceBase8K[63] == 8065 && ImplodeLengthBase3[63] == 66);

// Finds the next symbol in a table of root width `width`, following links
// into sub-tables; null for an invalid code.
const DecodeEntry* DecodeSymbol(const DecodeEntry* root, int32_t width) {
    EngineStateRecord& e = EngineState;
    EnsureBits(static_cast<uint8_t>(width));
    const DecodeEntry* entry = &root[~e.BitBuffer & BitMaskTable[width]];
    while (entry->Op > OpLiteral) {
        if (entry->Op == OpInvalid) return nullptr;
        DropBits(entry->Bits);
        uint8_t subWidth = static_cast<uint8_t>(entry->Op - OpLiteral);
        EnsureBits(subWidth);
        entry = &entry->SubTable[~e.BitBuffer & BitMaskTable[subWidth]];
    }
    DropBits(entry->Bits);
    return entry;
}

// The fast paths' DecodeSymbol: the same walk and the same would-be
// EnsureBits widths, on the local bit reader.
inline const DecodeEntry* FastSymbol(FastBits& f, const DecodeEntry* root, uint32_t width) {
    const DecodeEntry* entry = &root[~FastPeek(f, width) & BitMaskTable[width]];
    while (entry->Op > OpLiteral) {
        if (entry->Op == OpInvalid) return nullptr;
        FastDrop(f, entry->Bits);
        uint32_t subWidth = static_cast<uint32_t>(entry->Op - OpLiteral);
        entry = &entry->SubTable[~FastPeek(f, subWidth) & BitMaskTable[subWidth]];
    }
    FastDrop(f, entry->Bits);
    return entry;
}

// The most bits that decoding one symbol of a table can look at, counted
// from where the symbol starts.
uint32_t MaxSymbolBits(const DecodeEntry* table, uint32_t width) {
    uint32_t most = width;
    for (uint32_t i = 0; i < (1u << width); i++) {
        const DecodeEntry& entry = table[i];
        if (entry.Op > OpLiteral && entry.Op != OpInvalid) {
            uint32_t deeper = entry.Bits + MaxSymbolBits(entry.SubTable, static_cast<uint32_t>(entry.Op - OpLiteral));
            if (deeper > most) most = deeper;
        }
    }
    return most;
}

// Result of a fast stretch that leaves the rest to the plain route.
constexpr ExtractResult GoOnPlain = -100;

// The tables and widths of one entry.
struct ImplodeTables {
    const DecodeEntry* Literal;
    const DecodeEntry* Length;
    const DecodeEntry* Distance;
    uint32_t LiteralBits;
    uint32_t LengthBits;
    uint32_t DistanceBits;
    uint32_t TokenBits;  // the most bits one token can look at
};

// Tokens on the local bit reader for as long as InputBuffer holds enough
// bytes for a whole token, with the plain route's outputs, flushes and
// reader state. The loop conditions CancelRequested and InputExhausted
// cannot change here: only FillInput changes them, and it does not run.
template <bool HasLiteralTable, uint8_t LowDistanceBits>
ExtractResult FastTokens(HistoryRing& ring, int32_t& remaining, const ImplodeTables& t) {
    FastBits f = BeginFastBits();
    ExtractResult result = GoOnPlain;
    while (remaining > 0) {
        if (f.Count < t.TokenBits && !FastRefill(f)) break;
        if (FastTake(f, 1) == 1) {
            remaining--;
            uint8_t b;
            if constexpr (HasLiteralTable) {
                const DecodeEntry* literal = FastSymbol(f, t.Literal, t.LiteralBits);
                if (literal == nullptr) {
                    result = ArchiveDamaged;
                    break;
                }
                b = static_cast<uint8_t>(literal->Value);
            } else {
                b = static_cast<uint8_t>(FastTake(f, 8));
            }
            if (!RingPut(ring, b)) {
                result = OutputFailed;
                break;
            }
        } else {
            uint16_t low = static_cast<uint16_t>(FastTake(f, LowDistanceBits));
            const DecodeEntry* distance = FastSymbol(f, t.Distance, t.DistanceBits);
            if (distance == nullptr) {
                result = ArchiveDamaged;
                break;
            }
            uint16_t src = static_cast<uint16_t>(ring.WritePos - low - distance->Value);
            const DecodeEntry* lengthCode = FastSymbol(f, t.Length, t.LengthBits);
            if (lengthCode == nullptr) {
                result = ArchiveDamaged;
                break;
            }
            uint32_t length = lengthCode->Value;
            if (lengthCode->Op != 0) length += FastTake(f, LengthExtraBits);
            remaining -= static_cast<int32_t>(length);
            if (!RingCopyFast(ring, src, length)) {
                result = OutputFailed;
                break;
            }
        }
    }
    SyncFastBits(f);
    return result;
}

// The token loop, one instance per variant: literals from a literal table or
// as plain bytes, and 6 or 7 plain low distance bits.
template <bool HasLiteralTable, uint8_t LowDistanceBits>
ExtractResult DecodeVariant(const DecodeEntry* literalTable, const DecodeEntry* lengthTable,
                            const DecodeEntry* distanceTable, int32_t literalBits, int32_t lengthBits,
                            int32_t distanceBits) {
    EngineStateRecord& e = EngineState;
    e.BitBuffer = 0;
    e.BitCount = 0;
    HistoryRing ring{e.OutputWindow, static_cast<uint16_t>(OutputWindowSize), 0, true};
    int32_t remaining = e.UncompressedSize;

    // The fast paths need every token to fit the bits of a refill.
    ImplodeTables t = {literalTable, lengthTable, distanceTable, static_cast<uint32_t>(literalBits),
                       static_cast<uint32_t>(lengthBits), static_cast<uint32_t>(distanceBits), 0};
    bool fast = FastPathsEnabled && remaining > 0;
    if (fast) {
        uint32_t literal = HasLiteralTable ? MaxSymbolBits(literalTable, t.LiteralBits) : 8;
        uint32_t match = LowDistanceBits + MaxSymbolBits(distanceTable, t.DistanceBits) +
                         MaxSymbolBits(lengthTable, t.LengthBits) + LengthExtraBits;
        t.TokenBits = 1 + (literal > match ? literal : match);
        fast = t.TokenBits <= FastRefillMinBits;
    }

    while (remaining > 0 && !e.CancelRequested && !e.InputExhausted) {
        if (fast) {
            ExtractResult result = FastTokens<HasLiteralTable, LowDistanceBits>(ring, remaining, t);
            if (result != GoOnPlain) return result;
            if (remaining <= 0) break;
        }
        // One token on the plain route; near the end of InputBuffer the fast
        // paths come here too, until FillInput has brought the next block.
        if (TakeBits(1) == 1) {
            remaining--;
            uint8_t b;
            if constexpr (HasLiteralTable) {
                const DecodeEntry* literal = DecodeSymbol(literalTable, literalBits);
                if (literal == nullptr) return ArchiveDamaged;
                b = static_cast<uint8_t>(literal->Value);
            } else {
                (void)literalTable;
                (void)literalBits;
                b = static_cast<uint8_t>(TakeBits(8));
            }
            if (!RingPut(ring, b)) return OutputFailed;
        } else {
            uint16_t low = static_cast<uint16_t>(TakeBits(LowDistanceBits));
            const DecodeEntry* distance = DecodeSymbol(distanceTable, distanceBits);
            if (distance == nullptr) return ArchiveDamaged;
            uint16_t src = static_cast<uint16_t>(ring.WritePos - low - distance->Value);
            const DecodeEntry* lengthCode = DecodeSymbol(lengthTable, lengthBits);
            if (lengthCode == nullptr) return ArchiveDamaged;
            uint32_t length = lengthCode->Value;
            if (lengthCode->Op != 0) length += TakeBits(LengthExtraBits);
            remaining -= static_cast<int32_t>(length);  // all of it, even past the expected size
            if (!RingCopy(ring, src, length)) return OutputFailed;
        }
    }

    if (e.CancelRequested) return Cancelled;
    if (!FlushOutput(ring.WritePos)) return OutputFailed;
    return e.InputExhausted ? InputFailed : Ok;
}

// Reads one compressed code-length list; 0, or ArchiveDamaged when its
// repeat counts do not add up to expectedCount exactly.
ExtractResult ReadTreeLengths(uint16_t* lengths, uint16_t expectedCount) {
    uint8_t n;
    ReadInputByte(n);
    int filled = 0;
    for (int i = 0; i <= n; i++) {
        uint8_t b;
        ReadInputByte(b);
        int length = (b & 15) + 1;
        int repeat = (b >> 4) + 1;
        if (filled + repeat > expectedCount) return ArchiveDamaged;
        for (int r = 0; r < repeat; r++) lengths[filled++] = static_cast<uint16_t>(length);
    }
    return filled == expectedCount ? 0 : ArchiveDamaged;
}

// Reads a list and builds its table; false (with nothing left to free) unless
// the code set is complete.
bool ReadTree(uint16_t* lengths, uint16_t count, uint16_t simpleCount, const uint16_t* baseTable,
              const uint16_t* extraTable, DecodeEntry** table, int32_t* lookupBits) {
    *table = nullptr;
    if (ReadTreeLengths(lengths, count) != 0) return false;
    TableResult built = BuildDecodeTable(lengths, count, simpleCount, baseTable, extraTable, table, lookupBits);
    if (built == TableIncomplete) FreeDecodeTable(*table);
    if (built != TableComplete) {
        *table = nullptr;
        return false;
    }
    return true;
}

// Runs the variant that EntryFlags selects: a literal table (bit 2) or plain
// literal bytes, and 7 low distance bits for the 8 KiB dictionary (bit 1) or
// 6 for the 4 KiB one.
ExtractResult DecodeImplodedData(const DecodeEntry* literalTable, const DecodeEntry* lengthTable,
                                 const DecodeEntry* distanceTable, int32_t literalBits, int32_t lengthBits,
                                 int32_t distanceBits) {
    bool largeDictionary = (EngineState.EntryFlags & 2) != 0;
    if (literalTable != nullptr) {
        if (largeDictionary)
            return DecodeVariant<true, 7>(literalTable, lengthTable, distanceTable, literalBits, lengthBits,
                                          distanceBits);
        return DecodeVariant<true, 6>(literalTable, lengthTable, distanceTable, literalBits, lengthBits,
                                      distanceBits);
    }
    if (largeDictionary)
        return DecodeVariant<false, 7>(nullptr, lengthTable, distanceTable, literalBits, lengthBits, distanceBits);
    return DecodeVariant<false, 6>(nullptr, lengthTable, distanceTable, literalBits, lengthBits, distanceBits);
}

}  // namespace

ExtractResult Explode() {
    EngineStateRecord& e = EngineState;
    e.InputPos = 0;
    e.InputLast = -1;

    int32_t literalBits = 9;
    int32_t lengthBits = 7;
    int32_t distanceBits = e.CompressedSize > LargeEntryCompressedSize ? 8 : 7;
    bool threeTrees = (e.EntryFlags & 4) != 0;
    const uint16_t* distanceBase =
        (e.EntryFlags & 2) != 0 ? ImplodeDistanceBase8K.data() : ImplodeDistanceBase4K.data();

    uint16_t lengths[LiteralSymbols];
    DecodeEntry* literalTable = nullptr;
    DecodeEntry* lengthTable = nullptr;
    DecodeEntry* distanceTable = nullptr;
    ExtractResult result = ArchiveDamaged;
    if ((!threeTrees || ReadTree(lengths, LiteralSymbols, LiteralSymbols, nullptr, nullptr, &literalTable,
                                 &literalBits)) &&
        ReadTree(lengths, LengthSymbols, 0, threeTrees ? ImplodeLengthBase3.data() : ImplodeLengthBase2.data(),
                 ImplodeLengthExtra.data(), &lengthTable, &lengthBits) &&
        ReadTree(lengths, DistanceSymbols, 0, distanceBase, ImplodeLengthExtra.data(), &distanceTable,
                 &distanceBits)) {
        result = DecodeImplodedData(literalTable, lengthTable, distanceTable, literalBits, lengthBits, distanceBits);
    }
    FreeDecodeTable(distanceTable);
    FreeDecodeTable(lengthTable);
    FreeDecodeTable(literalTable);
    return result;
}
