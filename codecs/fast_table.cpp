// Packed tables for inflate's fast loop, made from a block's DecodeTables.
//
// A DecodeTable answers a code through a chain of tables, one access per
// level. A fast table answers it in one 32-bit cell, and a code longer than
// the root in one more. One block of Cells holds both codes of a block: the
// distance root (FastDistanceBits wide) at 0, the literal/length root
// (FastLiteralBits wide) at FastLiteralRoot, then the sub-tables. A root is
// indexed with the next input bits (first bit in bit 0), and a cell carries
// what the decoder needs at once: the bits to drop (the code together with
// its extra bits), the code length (where the extra bits start), the kind
// and the value (literal byte, length or base distance). Where the index
// covers a length code's extra bits too, the cell holds the length itself;
// otherwise FastExtraBits says that they follow. A code longer than the root
// meets a link cell whose value is the offset of its sub-table in Cells and
// whose length field is the sub-table's index width; the sub-table is
// indexed with the bits after the root, and its cells count their bits from
// the start of the code.
//
// The cells are not computed from the code lengths but read off the
// DecodeTable with WalkCode, the reading rule itself: the fast table cannot
// disagree with the exact one about a symbol, a length, an invalid code or
// anything else. WalkCode also tells how far the exact reader peeks for a
// code (Reach), which the fast loop needs to leave the bit reader exactly as
// the exact reader would; MaxOverreach records the largest Reach - length
// of any valid code.
//
// Bounds: a sub-table of width s under root index i holds the codes that
// start with the root bits i; s is the longest code minus the root width,
// so s <= 15 - 8. There is at most one sub-table per root index, each
// counted before the block is allocated, and offsets stay below MaxCells.
#include <new>

#include "codecs/codecs.h"

namespace {

constexpr int32_t MaxDeflateCodeLength = 15;
// Offsets into Cells are 16-bit; a build that would need more (only
// pathological incomplete distance codes come near) is refused.
constexpr uint32_t MaxCells = 0x10000;

// The cell of a code whose exact walk ended at `walk`, for the table index
// `index` of `indexBits` bits (all bits from the code's start). A length
// whose extra bits lie within the index is resolved in the cell itself.
uint32_t MakeCell(const CodeWalk& walk, uint32_t index, int32_t indexBits, bool distances) {
    const DecodeEntry* x = walk.Entry;
    if (x == nullptr || x->Op == OpInvalid) return FastInvalid;
    uint32_t length = static_cast<uint32_t>(walk.Depth) + x->Bits;
    if (!distances && x->Op == OpLiteral) return length | (length << 8) | FastLiteral | (uint32_t{x->Value} << 16);
    if (!distances && x->Op == OpEndOfBlock) return length | (length << 8) | FastEndOfBlock;
    // A length or a distance: Op is its extra-bit count (5 and 13 at most).
    if (x->Op > 13) return FastInvalid;
    uint32_t total = length + x->Op;
    if (!distances && total <= static_cast<uint32_t>(indexBits)) {
        uint32_t extra = (index >> length) & ((1u << x->Op) - 1);
        return total | (total << 8) | ((x->Value + extra) << 16);
    }
    return total | (length << 8) | (distances ? 0 : FastExtraBits) | (uint32_t{x->Value} << 16);
}

}  // namespace

namespace {

// The parts of a FastTable build for one code.
struct CodeShape {
    const DecodeEntry* Exact;
    int32_t ExactBits;
    int32_t RootBits;
    uint32_t RootOffset;  // where its root lies in Cells
    int32_t SubBits;      // width of each of its sub-tables
    uint32_t SubTables;   // an upper bound of their number
};

// Every sub-table is made wide enough for the longest code (a shorter code
// fills every cell that starts with its bits), and only the copies of an
// exact root link can lead to a code longer than the root.
CodeShape ShapeOf(const DecodeEntry* exact, int32_t exactBits, int32_t longest, int32_t rootBits, uint32_t rootOffset) {
    CodeShape shape = {exact, exactBits, rootBits, rootOffset, longest > rootBits ? longest - rootBits : 0, 0};
    if (exact == nullptr || shape.SubBits == 0) return shape;
    for (uint32_t i = 0; i < (1u << exactBits); i++)
        if (exact[i].Op > OpLiteral && exact[i].Op != OpInvalid) shape.SubTables += 1u << (rootBits - exactBits);
    return shape;
}

// Fills the root and the sub-tables of one code, the latter from
// nextSubTable on; returns the largest overreach of its codes.
int32_t FillCode(const CodeShape& shape, bool distances, uint32_t* cells, uint32_t& nextSubTable) {
    const uint32_t rootSize = 1u << shape.RootBits;
    uint32_t* root = cells + shape.RootOffset;
    if (shape.Exact == nullptr) {
        for (uint32_t i = 0; i < rootSize; i++) root[i] = FastInvalid;
        return 0;
    }
    const uint32_t exactSize = 1u << shape.ExactBits;
    const uint32_t subSize = 1u << shape.SubBits;
    const int32_t rootBits = shape.RootBits;
    int32_t overreach = 0;
    auto note = [&overreach](const CodeWalk& w) {
        int32_t length = w.Depth + w.Entry->Bits;
        if (w.Entry->Op != OpInvalid && w.Reach - length > overreach) overreach = w.Reach - length;
    };
    for (uint32_t i = 0; i < exactSize; i++) {
        const DecodeEntry& x = shape.Exact[i];
        if (x.Op <= OpLiteral || x.Op == OpInvalid) {
            // A code of at most ExactBits bits: at every index that starts
            // with its bits; a length resolved with its extra bits differs
            // by them.
            const CodeWalk w = {&x, 0, shape.ExactBits};
            note(w);
            const uint32_t cell = MakeCell(w, i, rootBits, distances);
            const bool resolved = !distances && (cell & (FastLiteral | FastEndOfBlock | FastInvalid | FastExtraBits)) == 0;
            const uint32_t extraMask = resolved ? (1u << x.Op) - 1 : 0;
            const uint32_t first = cell - (((i >> x.Bits) & extraMask) << 16);
            for (uint32_t index = i; index < rootSize; index += exactSize)
                root[index] = first + (((index >> x.Bits) & extraMask) << 16);
            continue;
        }
        for (uint32_t index = i; index < rootSize; index += exactSize) {
            const CodeWalk w = WalkCode(shape.Exact, shape.ExactBits, index);
            if (w.Depth + w.Entry->Bits <= rootBits) {
                note(w);
                root[index] = MakeCell(w, index, rootBits, distances);
                continue;
            }
            // Every code under this index is longer than the root. Cells
            // start as 0, which no cell is, and are filled code by code.
            uint32_t* sub = cells + nextSubTable;
            for (uint32_t rest = 0; rest < subSize; rest++) sub[rest] = 0;
            for (uint32_t rest = 0; rest < subSize; rest++) {
                if (sub[rest] != 0) continue;
                const CodeWalk c = rest == 0 ? w : WalkCode(shape.Exact, shape.ExactBits, index | (rest << rootBits));
                note(c);
                const uint32_t step = 1u << (c.Depth + c.Entry->Bits - rootBits);
                for (uint32_t k = rest; k < subSize; k += step)
                    sub[k] = MakeCell(c, index | (k << rootBits), rootBits + shape.SubBits, distances);
            }
            root[index] = static_cast<uint32_t>(rootBits) | (static_cast<uint32_t>(shape.SubBits) << 8) | FastLink |
                          (nextSubTable << 16);
            nextSubTable += subSize;
        }
    }
    return overreach;
}

}  // namespace

bool BuildFastTable(const DecodeEntry* literals, int32_t literalBits, int32_t literalLongest,
                    const DecodeEntry* distances, int32_t distanceBits, int32_t distanceLongest, FastTable& out) {
    out = FastTable{nullptr, 0};
    // Fixed root widths let the fast loop mask with constants. An exact root
    // is wider only when it was widened to a shortest code longer than
    // that, which no encoder makes for real data.
    if (literals == nullptr || literalBits > FastLiteralBits || literalLongest > MaxDeflateCodeLength) return false;
    if (distances != nullptr && (distanceBits > FastDistanceBits || distanceLongest > MaxDeflateCodeLength))
        return false;
    const CodeShape distanceShape = ShapeOf(distances, distanceBits, distanceLongest, FastDistanceBits, 0);
    const CodeShape literalShape =
        ShapeOf(literals, literalBits, literalLongest, FastLiteralBits, FastLiteralRoot);
    const uint32_t cellCount = FastLiteralRoot + (1u << FastLiteralBits) +
                               (literalShape.SubTables << literalShape.SubBits) +
                               (distanceShape.SubTables << distanceShape.SubBits);
    if (cellCount > MaxCells) return false;
    uint32_t* cells = new (std::nothrow) uint32_t[cellCount];
    if (cells == nullptr) return false;
    uint32_t nextSubTable = FastLiteralRoot + (1u << FastLiteralBits);
    int32_t overreach = FillCode(literalShape, false, cells, nextSubTable);
    int32_t distanceOverreach = FillCode(distanceShape, true, cells, nextSubTable);
    out = FastTable{cells, overreach > distanceOverreach ? overreach : distanceOverreach};
    return true;
}

void FreeFastTable(FastTable& table) {
    delete[] table.Cells;
    table = FastTable{nullptr, 0};
}
