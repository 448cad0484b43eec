// Lookup tables for canonical prefix codes (the codes of RFC 1951, 3.2.2):
// a code set is given by one length per symbol; shorter codes come first,
// codes of one length are consecutive in symbol order, the first is all 0.
//
// The bit reader delivers a code's first bit in bit 0, so every table is
// indexed with the bits in arrival order. The root table is looked up with
// `lookupBits` bits; a longer code meets a link there and continues in a
// sub-table indexed by the next bits, and so on. A code shorter than its
// table's width fills every index whose low bits are the code.
//
// Memory: each table of 2^b entries is one zeroed heap block of 2^b + 1
// cells. The first cell is a header whose Value is 2^b and whose SubTable is
// the next block of the chain (allocation order, the root first); callers
// only ever see the cell after it. FreeDecodeTable walks that chain.
//
// Bounds: the code-space check below guarantees that every code fits the
// table it lands in: an entry is stored at `code >> depth`, which is below
// 2^(L - depth), and a level is opened until L - depth <= its width. No table
// is 2^16 entries or wider, so the 16-bit count in its header holds it.
#include <cstring>
#include <new>

#include "codecs/codecs.h"

namespace {

constexpr int MaxCodeLength = 16;
constexpr int MaxSymbols = 288;
// A header cell counts its table's entries in 16 bits.
constexpr int MaxTableBits = 15;

// One open table level of the walk in BuildDecodeTable.
struct TableLevel {
    DecodeEntry* Table;  // first entry (the cell after the header)
    int32_t Width;       // index bits of this table
    uint32_t Prefix;     // the code bits below this level, first bit in bit 0
};

DecodeEntry* AllocateTable(int32_t width) {
    uint32_t entries = 1u << width;
    DecodeEntry* block = new (std::nothrow) DecodeEntry[entries + 1];
    if (block == nullptr) return nullptr;
    std::memset(static_cast<void*>(block), 0, sizeof(DecodeEntry) * (entries + 1));
    block[0].Value = static_cast<uint16_t>(entries);
    return block + 1;
}

}  // namespace

void FreeDecodeTable(DecodeEntry* table) {
    while (table != nullptr) {
        DecodeEntry* header = table - 1;
        DecodeEntry* next = header->SubTable;
        delete[] header;
        table = next;
    }
}

CodeWalk WalkCode(const DecodeEntry* table, int32_t rootBits, uint32_t bits) {
    CodeWalk walk = {nullptr, 0, 0};
    if (table == nullptr) return walk;
    int32_t width = rootBits;
    const DecodeEntry* entry = &table[bits & BitMaskTable[width]];
    // Links lead at most 15 bits deep (every table ends within the longest
    // code), so the shifts stay below 16.
    while (entry->Op > OpLiteral && entry->Op != OpInvalid) {
        walk.Depth += entry->Bits;
        width = entry->Op - 16;
        entry = &entry->SubTable[(bits >> walk.Depth) & BitMaskTable[width]];
    }
    walk.Entry = entry;
    walk.Reach = walk.Depth + width;
    return walk;
}

TableResult BuildDecodeTable(const uint16_t* lengths, uint16_t count, uint16_t simpleCount, const uint16_t* baseTable,
                             const uint16_t* extraTable, DecodeEntry** tableOut, int32_t* lookupBits) {
    if (count > MaxSymbols) {
        *tableOut = nullptr;
        *lookupBits = 0;
        return TableBadLengths;
    }

    // The length of inflate's end-of-block code (symbol 256): a sub-table
    // that starts inside that code's length is cut off where it ends.
    int32_t endOfBlockLength = count > 256 ? lengths[256] : MaxCodeLength;

    // Codes per length.
    int32_t lengthCounts[MaxCodeLength + 1] = {};
    for (int32_t s = 0; s < count; s++) {
        if (lengths[s] > MaxCodeLength) {
            *tableOut = nullptr;
            *lookupBits = 0;
            return TableBadLengths;
        }
        lengthCounts[lengths[s]]++;
    }

    // No codes at all: no table.
    if (lengthCounts[0] == count) {
        *tableOut = nullptr;
        *lookupBits = 0;
        return TableComplete;
    }

    // The root is at least as wide as the shortest code and no wider than
    // the longest.
    int32_t shortest = 1;
    while (lengthCounts[shortest] == 0) shortest++;
    int32_t longest = MaxCodeLength;
    while (lengthCounts[longest] == 0) longest--;
    if (*lookupBits < shortest) *lookupBits = shortest;
    if (*lookupBits > longest) *lookupBits = longest;
    const int32_t rootBits = *lookupBits;

    // Symbols in code order: by length, then by symbol number (the
    // order of their canonical codes).
    uint16_t ordered[MaxSymbols];
    const int32_t orderedCount = count - lengthCounts[0];
    {
        int32_t next[MaxCodeLength + 2] = {};
        for (int32_t len = 1; len <= MaxCodeLength; len++) next[len + 1] = next[len] + lengthCounts[len];
        for (int32_t s = 0; s < count; s++)
            if (lengths[s] != 0) ordered[next[lengths[s]]++] = static_cast<uint16_t>(s);
    }

    // The code space: freeCodes counts the codes of the current length
    // not yet taken. Over-subscription is refused; what is left of the
    // longest length becomes invalid codes at the end of the order, so that
    // every table is filled to its last entry.
    int32_t freeCodes = 1 << shortest;
    for (int32_t len = shortest; len < longest; len++) {
        freeCodes -= lengthCounts[len];
        if (freeCodes < 0) return TableBadLengths;
        freeCodes *= 2;
    }
    freeCodes -= lengthCounts[longest];
    if (freeCodes < 0) return TableBadLengths;
    // Every code 16 bits long asks for a root of 2^16 entries, more than a
    // header can count; such a set is always incomplete, and it is refused
    // before anything is allocated.
    if (rootBits > MaxTableBits) {
        *tableOut = nullptr;
        return TableBadLengths;
    }
    lengthCounts[longest] += freeCodes;

    // Walk the codes in order, opening a table level whenever a code
    // reaches past the deepest open one.
    TableLevel levels[MaxCodeLength + 1];
    int32_t levelCount = 0;    // open levels; levels[levelCount - 1] is the deepest
    int32_t depth = 0;         // code bits taken by the levels above the deepest
    uint32_t code = 0;         // the current code, first bit in bit 0
    int32_t placed = 0;        // entries of `ordered` placed so far
    DecodeEntry* lastBlock = nullptr;  // end of the chain
    DecodeEntry* root = nullptr;

    for (int32_t len = shortest; len <= longest; len++) {
        for (int32_t laterOfLength = lengthCounts[len] - 1; laterOfLength >= 0; laterOfLength--) {
            // Open levels until the code fits the deepest one.
            while (len > depth + (levelCount > 0 ? levels[levelCount - 1].Width : 0)) {
                const int32_t parentWidth = levelCount > 0 ? levels[levelCount - 1].Width : 0;
                depth += parentWidth;
                int32_t limit = longest - depth;
                if (limit > rootBits) limit = rootBits;
                int32_t width = len - depth;
                int32_t spare = 1 << width;
                if (spare > laterOfLength + 1) {
                    // Room left after the codes of this length: widen while
                    // the codes of the next lengths would not fill the room.
                    spare -= laterOfLength + 1;
                    width++;
                    for (int32_t nextLen = len + 1; width < limit; nextLen++) {
                        spare *= 2;
                        if (lengthCounts[nextLen] >= spare) break;
                        spare -= lengthCounts[nextLen];
                        width++;
                    }
                }
                if (depth + width > endOfBlockLength && endOfBlockLength > depth) width = endOfBlockLength - depth;
                if (depth == 0) width = rootBits;
                if (width > MaxTableBits) {
                    FreeDecodeTable(root);
                    return TableBadLengths;
                }

                DecodeEntry* table = AllocateTable(width);
                if (table == nullptr) {
                    FreeDecodeTable(root);
                    return TableNoMemory;
                }
                if (lastBlock == nullptr) {
                    root = table;
                    *tableOut = table;
                } else {
                    (lastBlock - 1)->SubTable = table;
                }
                lastBlock = table;

                uint32_t prefix = code & ((1u << depth) - 1);
                if (levelCount > 0) {
                    // The link sits in the parent at the parent's own index
                    // bits of the prefix.
                    const TableLevel& parent = levels[levelCount - 1];
                    uint32_t index = prefix >> (depth - parentWidth);
                    if (index >= (1u << parentWidth)) {
                        FreeDecodeTable(root);
                        return TableBadLengths;
                    }
                    DecodeEntry& link = parent.Table[index];
                    link.Op = static_cast<uint8_t>(16 + width);
                    link.Bits = static_cast<uint8_t>(parentWidth);
                    link.Value = 0;
                    link.SubTable = table;
                }
                levels[levelCount++] = TableLevel{table, width, prefix};
            }

            // The entry of this code.
            DecodeEntry entry = {};
            entry.Bits = static_cast<uint8_t>(len - depth);
            entry.SubTable = nullptr;
            if (placed >= orderedCount) {
                entry.Op = OpInvalid;
            } else {
                uint16_t s = ordered[placed++];
                if (s < simpleCount) {
                    entry.Op = s < 256 ? OpLiteral : OpEndOfBlock;
                    entry.Value = s;
                } else {
                    if (baseTable == nullptr || extraTable == nullptr) {
                        FreeDecodeTable(root);
                        return TableBadLengths;
                    }
                    entry.Op = static_cast<uint8_t>(extraTable[s - simpleCount] & 0xFF);
                    entry.Value = baseTable[s - simpleCount];
                }
            }

            // Into every index of the deepest table whose low bits are
            // the code's bits below this level.
            const TableLevel& deepest = levels[levelCount - 1];
            const uint32_t size = 1u << deepest.Width;
            const uint32_t step = 1u << (len - depth);
            for (uint32_t i = code >> depth; i < size; i += step) deepest.Table[i] = entry;

            // The next code of this length, counted in arrival order: the
            // canonical increment, done from the last bit backwards.
            uint32_t bit = 1u << (len - 1);
            while ((code & bit) != 0) {
                code ^= bit;
                bit >>= 1;
            }
            code |= bit;

            // Close the levels that the next code has left.
            while (levelCount > 1 && (code & ((1u << depth) - 1)) != levels[levelCount - 1].Prefix) {
                levelCount--;
                depth -= levels[levelCount - 1].Width;
            }
        }
    }

    // The verdict: a code space left partly free is incomplete, except for
    // the lone 1-bit code that a distance code of one symbol may have.
    return (freeCodes != 0 && longest > 1) ? TableIncomplete : TableComplete;
}
