// BuildFastTable against its reading rule: every root cell and every
// sub-table cell must be what a WalkCode over the exact tables with the
// same bits makes of it, for random complete and incomplete codes with long
// codes, several exact root widths and both kinds of table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <vector>

#include "codecs/codecs.h"

namespace {

// Arbitrary bases and extra-bit counts in the ranges inflate uses: a
// length's extra bits 0..5, a distance's 0..13.
std::vector<uint16_t> Bases(int32_t count, uint16_t start) {
    std::vector<uint16_t> bases;
    for (int32_t i = 0; i < count; i++) bases.push_back(static_cast<uint16_t>(start + 7 * i));
    return bases;
}
std::vector<uint16_t> Extras(int32_t count, int32_t most) {
    std::vector<uint16_t> extras;
    for (int32_t i = 0; i < count; i++) extras.push_back(static_cast<uint16_t>(i * (most + 1) / count));
    return extras;
}

// The cell a walk must give, worked out field by field.
uint32_t ExpectedCell(const CodeWalk& walk, uint32_t index, int32_t indexBits, bool distances) {
    const DecodeEntry* x = walk.Entry;
    if (x == nullptr || x->Op == OpInvalid) return FastInvalid;
    const uint32_t length = static_cast<uint32_t>(walk.Depth) + x->Bits;
    if (!distances && x->Op == OpLiteral) return length | length << 8 | FastLiteral | uint32_t{x->Value} << 16;
    if (!distances && x->Op == OpEndOfBlock) return length | length << 8 | FastEndOfBlock;
    if (x->Op > 13) return FastInvalid;
    const uint32_t total = length + x->Op;
    if (!distances && total <= static_cast<uint32_t>(indexBits)) {
        const uint32_t value = x->Value + ((index >> length) & ((1u << x->Op) - 1));
        return total | total << 8 | value << 16;
    }
    return total | length << 8 | uint32_t{x->Value} << 16;
}

// Checks one code's root and sub-tables; returns the largest overreach.
int32_t CheckCode(const uint32_t* cells, uint32_t rootOffset, int32_t rootBits, const DecodeEntry* exact,
                  int32_t exactBits, int32_t longest, bool distances, uint32_t cellCount) {
    int32_t overreach = 0;
    for (uint32_t r = 0; r < (1u << rootBits); r++) {
        const uint32_t cell = cells[rootOffset + r];
        const CodeWalk walk = WalkCode(exact, exactBits, r);
        const int32_t length = walk.Entry == nullptr ? 0 : walk.Depth + walk.Entry->Bits;
        if (length <= rootBits) {
            EXPECT_EQ(cell, ExpectedCell(walk, r, rootBits, distances)) << "root " << r;
            if (walk.Entry != nullptr && walk.Entry->Op != OpInvalid)
                overreach = std::max(overreach, walk.Reach - length);
            continue;
        }
        const int32_t subBits = longest - rootBits;
        EXPECT_EQ(cell & 0xFFFF, static_cast<uint32_t>(rootBits) | static_cast<uint32_t>(subBits) << 8 | FastLink)
            << "root " << r;
        const uint32_t offset = cell >> 16;
        EXPECT_LE(offset + (1u << subBits), cellCount);
        if (offset + (1u << subBits) > cellCount) return overreach;
        for (uint32_t rest = 0; rest < (1u << subBits); rest++) {
            const uint32_t bits = r | rest << rootBits;
            const CodeWalk sub = WalkCode(exact, exactBits, bits);
            EXPECT_EQ(cells[offset + rest], ExpectedCell(sub, bits, longest, distances)) << "root " << r << " rest " << rest;
            if (sub.Entry->Op != OpInvalid) overreach = std::max(overreach, sub.Reach - sub.Depth - sub.Entry->Bits);
        }
    }
    return overreach;
}

// Huffman code lengths for random weights, skewed so that long codes occur;
// where the longest code passes 15, the weights are flattened and the
// code is made again.
std::vector<uint16_t> RandomLengths(std::mt19937& rng, int32_t count, int32_t used) {
    std::vector<uint64_t> weights(static_cast<size_t>(count), 0);
    std::vector<int32_t> symbols(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; i++) symbols[i] = i;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    for (int32_t i = 0; i < used; i++) weights[symbols[i]] = uint64_t{1} << (rng() % 24);
    for (;;) {
        using Node = std::pair<uint64_t, int32_t>;
        std::priority_queue<Node, std::vector<Node>, std::greater<Node>> heap;
        std::vector<int32_t> parent;
        for (int32_t i = 0; i < count; i++)
            if (weights[i] != 0) heap.push({weights[i], i});
        parent.assign(static_cast<size_t>(count), -1);
        while (heap.size() > 1) {
            Node a = heap.top();
            heap.pop();
            Node b = heap.top();
            heap.pop();
            parent.push_back(-1);
            const int32_t id = static_cast<int32_t>(parent.size()) - 1;
            parent[a.second] = id;
            parent[b.second] = id;
            heap.push({a.first + b.first, id});
        }
        std::vector<uint16_t> lengths(static_cast<size_t>(count), 0);
        int32_t longest = 0;
        for (int32_t i = 0; i < count; i++) {
            if (weights[i] == 0) continue;
            int32_t depth = 0;
            for (int32_t n = i; parent[n] != -1; n = parent[n]) depth++;
            lengths[i] = static_cast<uint16_t>(std::max(depth, 1));
            longest = std::max(longest, depth);
        }
        if (longest <= 15) return lengths;
        for (auto& w : weights)
            if (w != 0) w = w / 2 + 1;
    }
}

struct Exact {
    DecodeEntry* Table = nullptr;
    int32_t Bits = 0;
    TableResult Result = -1;
    ~Exact() {
        if (Result == TableComplete || Result == TableIncomplete) FreeDecodeTable(Table);
    }
};

int32_t Longest(const std::vector<uint16_t>& lengths) {
    return *std::max_element(lengths.begin(), lengths.end());
}

void CheckBuild(const std::vector<uint16_t>& literalLengths, int32_t literalBits,
                const std::vector<uint16_t>& distanceLengths, int32_t distanceBits) {
    static const std::vector<uint16_t> lengthBase = Bases(29, 3), lengthExtra = Extras(29, 5);
    static const std::vector<uint16_t> distanceBase = Bases(30, 1), distanceExtra = Extras(30, 13);
    Exact literals, distances;
    literals.Bits = literalBits;
    literals.Result = BuildDecodeTable(literalLengths.data(), static_cast<uint16_t>(literalLengths.size()), 257,
                                       lengthBase.data(), lengthExtra.data(), &literals.Table, &literals.Bits);
    distances.Bits = distanceBits;
    distances.Result = BuildDecodeTable(distanceLengths.data(), static_cast<uint16_t>(distanceLengths.size()), 0,
                                        distanceBase.data(), distanceExtra.data(), &distances.Table, &distances.Bits);
    ASSERT_EQ(literals.Result, TableComplete);
    ASSERT_TRUE(distances.Result == TableComplete || distances.Result == TableIncomplete);
    FastTable fast = {nullptr, 0};
    const bool built = BuildFastTable(literals.Table, literals.Bits, Longest(literalLengths), distances.Table,
                                      distances.Bits, Longest(distanceLengths), fast);
    if (literals.Bits > FastLiteralBits || distances.Bits > FastDistanceBits) {
        EXPECT_FALSE(built);
        return;
    }
    ASSERT_TRUE(built);
    // The cells the build may use: both roots and one sub-table per root
    // index at most.
    const int32_t literalSub = std::max(Longest(literalLengths) - FastLiteralBits, 0);
    const int32_t distanceSub = std::max(Longest(distanceLengths) - FastDistanceBits, 0);
    const uint32_t cellCount = FastLiteralRoot + (1u << FastLiteralBits) + (1u << FastLiteralBits << literalSub) +
                               (1u << FastDistanceBits << distanceSub);
    int32_t overreach = CheckCode(fast.Cells, FastLiteralRoot, FastLiteralBits, literals.Table, literals.Bits,
                                  Longest(literalLengths), false, cellCount);
    overreach = std::max(overreach, CheckCode(fast.Cells, 0, FastDistanceBits, distances.Table, distances.Bits,
                                              Longest(distanceLengths), true, cellCount));
    EXPECT_EQ(fast.MaxOverreach, overreach);
    FreeFastTable(fast);
}

TEST(FastTable, EveryCellIsTheWalkOfItsBits) {
    std::mt19937 rng(20261208);
    for (int32_t round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        std::vector<uint16_t> literalLengths = RandomLengths(rng, 286, 2 + static_cast<int32_t>(rng() % 285));
        literalLengths[256] = literalLengths[256] != 0 ? literalLengths[256] : 0;
        if (literalLengths[256] == 0) {
            // An end-of-block code is always present in inflate: redraw
            // with it among the used symbols by swapping with one used.
            for (auto& l : literalLengths)
                if (l != 0) {
                    std::swap(l, literalLengths[256]);
                    break;
                }
        }
        std::vector<uint16_t> distanceLengths = RandomLengths(rng, 30, 1 + static_cast<int32_t>(rng() % 30));
        if (rng() % 4 == 0) {
            // An incomplete distance code: drop one code.
            for (auto& l : distanceLengths)
                if (l != 0 && std::count(distanceLengths.begin(), distanceLengths.end(), 0) < 29) {
                    l = 0;
                    break;
                }
        }
        const int32_t literalBits = 5 + static_cast<int32_t>(rng() % 7);
        const int32_t distanceBits = 3 + static_cast<int32_t>(rng() % 6);
        CheckBuild(literalLengths, literalBits, distanceLengths, distanceBits);
        if (HasFatalFailure() || HasFailure()) return;
    }
}

}  // namespace
