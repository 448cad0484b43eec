// Packed tables for inflate's fast loop, made from a DecodeTable.
//
// A DecodeTable answers a code through a chain of tables, one access per
// level. The fast table answers the same code in one 32-bit cell, and a code
// longer than its root in one more: its root is indexed with RootBits of the
// next input bits (first bit in bit 0), as wide as the longest code up to a
// cap, and a cell carries what the decoder needs at once: the bits to drop
// (the code together with its extra bits), the code length (where the extra
// bits start), the kind and the value (literal byte, base length or base
// distance). A code longer than RootBits meets a link cell whose value is
// the offset of its sub-table in Cells and whose length field is the
// sub-table's index width; the sub-table is indexed with the bits after the
// root, and its cells count their bits from the start of the code.
//
// The cells are not computed from the code lengths but read off the
// DecodeTable with WalkCode, the reading rule itself, for every index: the
// fast table cannot disagree with the exact one about a symbol, a length, an
// invalid code or anything else. WalkCode also tells how far the exact
// reader peeks for a code (Reach), which the fast loop needs to leave the bit
// reader exactly as the exact reader would; MaxOverreach records the largest
// Reach - length of any valid code.
//
// Bounds: RootBits <= 11. A sub-table of width s under root
// index i holds the codes that start with the RootBits bits i; s is the
// longest of them minus RootBits, so s <= 15 - RootBits. Together the
// sub-tables cover at most the whole 15-bit code space, so Cells holds at
// most 2^RootBits + 2^15 cells and every offset fits the 16-bit value field.
#include <new>

#include "codecs/codecs.h"

namespace {

constexpr int32_t MaxDeflateCodeLength = 15;
static_assert(FastDistanceBits <= FastLiteralBits && (1 << FastLiteralBits) + (1 << MaxDeflateCodeLength) <= 0x10000,
              "sub-table offsets fit 16 bits");

// The cell of a code whose exact walk ended at `walk`.
uint32_t MakeCell(const CodeWalk& walk, bool distances) {
    const DecodeEntry* x = walk.Entry;
    if (x == nullptr || x->Op == OpInvalid) return FastInvalid;
    uint32_t length = static_cast<uint32_t>(walk.Depth) + x->Bits;
    if (!distances && x->Op == OpLiteral) return length | (length << 8) | FastLiteral | (uint32_t{x->Value} << 16);
    if (!distances && x->Op == OpEndOfBlock) return length | (length << 8) | FastEndOfBlock;
    // A length or a distance: Op is its extra-bit count (5 and 13 at most).
    if (x->Op > 13) return FastInvalid;
    return (length + x->Op) | (length << 8) | (uint32_t{x->Value} << 16);
}

// The widest code that starts with the `rootBits` bits `index`.
int32_t LongestUnder(const DecodeEntry* exact, int32_t exactBits, int32_t longest, int32_t rootBits,
                     uint32_t index) {
    int32_t widest = 0;
    const uint32_t rests = longest > rootBits ? 1u << (longest - rootBits) : 1u;
    for (uint32_t rest = 0; rest < rests; rest++) {
        CodeWalk w = WalkCode(exact, exactBits, index | (rest << rootBits));
        int32_t length = w.Depth + w.Entry->Bits;
        if (length > widest) widest = length;
    }
    return widest;
}

}  // namespace

bool BuildFastTable(const DecodeEntry* exact, int32_t exactBits, int32_t longest, bool distances, FastTable& out) {
    out = FastTable{nullptr, 0, 0};
    if (exact == nullptr || longest > MaxDeflateCodeLength) return false;
    // A fixed root width lets the fast loop mask with a constant. An exact
    // root is wider only when it was widened to a shortest code longer than
    // that, which no encoder makes for real data.
    const int32_t rootBits = distances ? FastDistanceBits : FastLiteralBits;
    if (exactBits > rootBits) return false;
    const uint32_t rootSize = 1u << rootBits;
    const uint32_t exactSize = 1u << exactBits;

    // The sub-tables' size: only indexes whose exact root cell is a link can
    // lead to codes longer than the root.
    uint32_t cellCount = rootSize;
    for (uint32_t i = 0; i < exactSize; i++) {
        if (exact[i].Op <= OpLiteral || exact[i].Op == OpInvalid) continue;
        for (uint32_t index = i; index < rootSize; index += exactSize) {
            int32_t widest = LongestUnder(exact, exactBits, longest, rootBits, index);
            if (widest > rootBits) cellCount += 1u << (widest - rootBits);
        }
    }

    uint32_t* cells = new (std::nothrow) uint32_t[cellCount];
    if (cells == nullptr) return false;
    uint32_t nextSubTable = rootSize;
    int32_t overreach = 0;
    for (uint32_t i = 0; i < exactSize; i++) {
        const DecodeEntry& x = exact[i];
        if (x.Op <= OpLiteral || x.Op == OpInvalid) {
            // A code of at most exactBits bits: the same cell at every index
            // that starts with its bits.
            CodeWalk w = {&x, 0, exactBits};
            uint32_t cell = MakeCell(w, distances);
            if (x.Op != OpInvalid && exactBits - x.Bits > overreach) overreach = exactBits - x.Bits;
            for (uint32_t index = i; index < rootSize; index += exactSize) cells[index] = cell;
            continue;
        }
        for (uint32_t index = i; index < rootSize; index += exactSize) {
            int32_t widest = LongestUnder(exact, exactBits, longest, rootBits, index);
            int32_t subBits = widest > rootBits ? widest - rootBits : 0;
            uint32_t* target = subBits > 0 ? cells + nextSubTable : cells + index;
            for (uint32_t rest = 0; rest < (1u << subBits); rest++) {
                CodeWalk w = WalkCode(exact, exactBits, index | (rest << rootBits));
                target[rest] = MakeCell(w, distances);
                int32_t length = w.Depth + w.Entry->Bits;
                if (w.Entry->Op != OpInvalid && w.Reach - length > overreach) overreach = w.Reach - length;
            }
            if (subBits > 0) {
                cells[index] = static_cast<uint32_t>(rootBits) | (static_cast<uint32_t>(subBits) << 8) | FastLink |
                               (nextSubTable << 16);
                nextSubTable += 1u << subBits;
            }
        }
    }
    out = FastTable{cells, rootBits, overreach};
    return true;
}

void FreeFastTable(FastTable& table) {
    delete[] table.Cells;
    table = FastTable{nullptr, 0, 0};
}
