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
// otherwise its code length says where they start. A code longer than the root
// meets a link cell whose value is the offset of its sub-table in Cells and
// whose length field is the sub-table's index width; the sub-table is
// indexed with the bits after the root, and its cells count their bits from
// the start of the code.
//
// The cells are not computed from the code lengths but read off the
// DecodeTable: FillTable walks its tables the way WalkCode reads them, and
// every final entry it meets gives the cells of exactly the bit patterns
// whose walk ends there, so that the fast table cannot disagree with the
// exact one about a symbol, a length, an invalid code or anything else. A
// code shorter than its table fills every index that starts with its bits
// (the exact builder's rule), so only the first copy is read: a code of
// length L under the bits `prefix` fills the root cells prefix + k 2^L or,
// longer than the root, the cells of the sub-table under its first root
// bits every 2^(L - root). The exact reader peeks d + w bits for a code
// met in a table of width w at depth d (Reach), which the fast loop needs
// to leave the bit reader exactly as the exact reader would; MaxOverreach
// records the largest Reach - length of any valid code. Tables whose links
// do not span their table's width, or that put a code longer than the
// root under a root index that holds a shorter one, are not a prefix
// code's: no fast table then.
//
// Bounds: a sub-table of width s under root index i holds the codes that
// start with the root bits i; s is the longest code minus the root width,
// so s <= 15 - 8. There is at most one sub-table per root index, each
// counted before the block is allocated, and offsets stay below MaxCells.
#include <new>

#include "codecs/codecs.h"
#include "codecs/inflate_internal.h"

namespace {

// Offsets into Cells are 16-bit; a build that would need more (only
// pathological incomplete distance codes come near) is refused.
constexpr uint32_t MaxCells = 0x10000;

// The cell of a code whose exact walk ended at `walk`, for the table index
// `index` of `indexBits` bits (all bits from the code's start). A length
// whose extra bits lie within the index is resolved in the cell itself.
inline uint32_t MakeCell(const CodeWalk& walk, uint32_t index, int32_t indexBits, bool distances) {
    const DecodeEntry* x = walk.Entry;
    if (x == nullptr || x->Op == OpInvalid) return FastInvalid;
    uint32_t length = static_cast<uint32_t>(walk.Depth) + x->Bits;
    if (!distances && x->Op == OpLiteral) return length | (length << 8) | FastLiteral | (uint32_t{x->Value} << 16);
    if (!distances && x->Op == OpEndOfBlock) return length | (length << 8) | FastEndOfBlock;
    // A length or a distance: Op is its extra-bit count (5 and 13 at most).
    if (x->Op > MaxDistanceExtraBits) return FastInvalid;
    uint32_t total = length + x->Op;
    if (!distances && total <= static_cast<uint32_t>(indexBits)) {
        uint32_t extra = (index >> length) & ((1u << x->Op) - 1);
        return total | (total << 8) | ((x->Value + extra) << 16);
    }
    return total | (length << 8) | (uint32_t{x->Value} << 16);
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

// One code's fill in progress.
struct CodeFill {
    const CodeShape* Shape;
    bool Distances;
    uint32_t* Cells;
    uint32_t* Root;
    uint32_t NextSubTable;
    int32_t Overreach;
};

// Writes the cells of the final entry x, met at depth `depth` in a table of
// `width` bits for the code bits `prefix` (depth + width of them known).
// False where the tables are not a prefix code's (see above).
bool FillEntry(CodeFill& fill, const DecodeEntry& x, int32_t depth, int32_t width, uint32_t prefix) {
    const CodeShape& shape = *fill.Shape;
    const int32_t rootBits = shape.RootBits;
    const int32_t known = depth + width;
    const int32_t length = depth + x.Bits;
    if (x.Op != OpInvalid && width - x.Bits > fill.Overreach) fill.Overreach = width - x.Bits;
    const CodeWalk walk = {&x, depth, known};
    if (length <= rootBits) {
        // Every root index that starts with the code. A length resolved
        // with its extra bits differs by them from index to index.
        const uint32_t step = 1u << length;
        const uint32_t rootSize = 1u << rootBits;
        const uint32_t cell = MakeCell(walk, prefix, rootBits, fill.Distances);
        const bool resolved = !fill.Distances && (cell & (FastLiteral | FastEndOfBlock | FastInvalid)) == 0 &&
                              ((cell >> 8) & 15) == (cell & 63);
        if (!resolved) {
            for (uint32_t index = prefix; index < rootSize; index += step) fill.Root[index] = cell;
        } else {
            const uint32_t extraMask = (1u << x.Op) - 1;
            for (uint32_t index = prefix; index < rootSize; index += step)
                fill.Root[index] = cell + (((index >> length) & extraMask) << 16);
        }
        return true;
    }
    const uint32_t rootIndex = prefix & ((1u << rootBits) - 1);
    uint32_t& root = fill.Root[rootIndex];
    // A code longer than the root: in the sub-table under its root index,
    // which its first code opens. Root cells under an exact link start as 0,
    // which no cell is.
    if (root == 0) {
        root = static_cast<uint32_t>(rootBits) | (static_cast<uint32_t>(shape.SubBits) << 8) | FastLink |
               (fill.NextSubTable << 16);
        fill.NextSubTable += 1u << shape.SubBits;
    } else if ((root & FastLink) == 0) {
        return false;
    }
    uint32_t* sub = fill.Cells + (root >> 16);
    const int32_t indexBits = rootBits + shape.SubBits;
    const uint32_t subSize = 1u << shape.SubBits;
    for (uint32_t rest = prefix >> rootBits; rest < subSize; rest += 1u << (length - rootBits))
        sub[rest] = MakeCell(walk, rootIndex | (rest << rootBits), indexBits, fill.Distances);
    return true;
}

// Fills the cells of every pattern whose walk passes through `table` (of
// `width` bits at `depth`, under the code bits `prefix`).
bool FillTable(CodeFill& fill, const DecodeEntry* table, int32_t width, int32_t depth, uint32_t prefix) {
    const uint32_t size = 1u << width;
    for (uint32_t j = 0; j < size; j++) {
        const DecodeEntry& x = table[j];
        const uint32_t bits = prefix | (j << depth);
        if (x.Op > OpLiteral && x.Op != OpInvalid) {
            // A link: WalkCode drops x.Bits and indexes the sub-table with
            // the bits after them, which are the bits after this table only
            // when x.Bits is its width. Links lead at most 15 bits deep.
            if (x.Bits != width || depth + width + (x.Op - 16) > MaxDeflateCodeBits) return false;
            // The root cells under an exact root link start as 0 (see
            // FillEntry).
            if (depth == 0)
                for (uint32_t index = j; index < (1u << fill.Shape->RootBits); index += size) fill.Root[index] = 0;
            if (!FillTable(fill, x.SubTable, x.Op - 16, depth + width, bits)) return false;
            continue;
        }
        // A code shorter than its table fills every index that starts with
        // its bits; the first of them stands for all.
        if ((j >> x.Bits) != 0) continue;
        if (!FillEntry(fill, x, depth, width, bits)) return false;
    }
    return true;
}

// Fills the root and the sub-tables of one code, the latter from
// nextSubTable on; false where the exact tables are not a prefix code's.
bool FillCode(const CodeShape& shape, bool distances, uint32_t* cells, uint32_t& nextSubTable, int32_t& overreach) {
    const uint32_t rootSize = 1u << shape.RootBits;
    uint32_t* root = cells + shape.RootOffset;
    overreach = 0;
    if (shape.Exact == nullptr) {
        for (uint32_t i = 0; i < rootSize; i++) root[i] = FastInvalid;
        return true;
    }
    CodeFill fill = {&shape, distances, cells, root, nextSubTable, 0};
    if (!FillTable(fill, shape.Exact, shape.ExactBits, 0, 0)) return false;
    nextSubTable = fill.NextSubTable;
    overreach = fill.Overreach;
    return true;
}

}  // namespace

bool BuildFastTable(const DecodeEntry* literals, int32_t literalBits, int32_t literalLongest,
                    const DecodeEntry* distances, int32_t distanceBits, int32_t distanceLongest, FastTable& out) {
    out = FastTable{nullptr, 0};
    // Fixed root widths let the fast loop mask with constants. An exact root
    // is wider only when it was widened to a shortest code longer than
    // that, which no encoder makes for real data.
    if (literals == nullptr || literalBits > FastLiteralBits || literalLongest > MaxDeflateCodeBits) return false;
    if (distances != nullptr && (distanceBits > FastDistanceBits || distanceLongest > MaxDeflateCodeBits))
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
    int32_t overreach = 0;
    int32_t distanceOverreach = 0;
    if (!FillCode(literalShape, false, cells, nextSubTable, overreach) ||
        !FillCode(distanceShape, true, cells, nextSubTable, distanceOverreach)) {
        delete[] cells;
        return false;
    }
    out = FastTable{cells, overreach > distanceOverreach ? overreach : distanceOverreach};
    return true;
}

void FreeFastTable(FastTable& table) {
    delete[] table.Cells;
    table = FastTable{nullptr, 0};
}
