// BuildDecodeTable and FreeDecodeTable: table shapes, result codes, and that
// every code found through a table is the canonical code of its symbol.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codecs/codecs.h"
#include "support/bit_writer.h"

namespace {

using testutil::CanonicalCodes;
using testutil::ReverseCode;

// A table the test owns.
struct BuiltTable {
    TableResult Result = -1;
    DecodeEntry* Root = nullptr;
    int32_t Bits = 0;
    ~BuiltTable() {
        if (Result == TableComplete || Result == TableIncomplete) FreeDecodeTable(Root);
    }
};

void Build(BuiltTable& t, const std::vector<uint16_t>& lengths, int32_t lookupBits, uint16_t simpleCount,
           const uint16_t* base = nullptr, const uint16_t* extra = nullptr) {
    t.Bits = lookupBits;
    t.Result = BuildDecodeTable(lengths.data(), static_cast<uint16_t>(lengths.size()), simpleCount, base, extra,
                                &t.Root, &t.Bits);
}

uint32_t EntryCount(const DecodeEntry* table) { return (table - 1)->Value; }

// The sizes of the chain's blocks, in chain order.
std::vector<uint32_t> ChainSizes(const DecodeEntry* root) {
    std::vector<uint32_t> sizes;
    for (const DecodeEntry* t = root; t != nullptr; t = (t - 1)->SubTable) sizes.push_back(EntryCount(t));
    return sizes;
}

// The reading rule on plain bits (first bit in bit 0). Returns the final
// entry, or null for an invalid code; `used` receives the bits dropped.
const DecodeEntry* Lookup(const DecodeEntry* root, int32_t rootBits, uint64_t bits, int& used) {
    used = 0;
    const DecodeEntry* e = &root[bits & ((1u << rootBits) - 1)];
    while (e->Op > OpLiteral) {
        if (e->Op == OpInvalid) return nullptr;
        used += e->Bits;
        bits >>= e->Bits;
        int subBits = e->Op - 16;
        EXPECT_LE(bits & ((1u << subBits) - 1), EntryCount(e->SubTable) - 1);
        e = &e->SubTable[bits & ((1u << subBits) - 1)];
    }
    used += e->Bits;
    return e;
}

std::vector<uint16_t> FixedLiteralLengths() {
    std::vector<uint16_t> l(288);
    for (int s = 0; s < 288; s++) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    return l;
}

// A random complete code set: leaves of a random binary tree no deeper than
// maxLength, given to random symbols; the other symbols stay unused.
std::vector<uint16_t> RandomCompleteLengths(std::mt19937& rng, int symbols, int used, int maxLength) {
    std::vector<uint16_t> leaves = {1};
    if (used > 1) leaves.push_back(1);
    while (static_cast<int>(leaves.size()) < used) {
        size_t pick = rng() % leaves.size();
        if (leaves[pick] >= maxLength) {
            bool any = false;
            for (uint16_t l : leaves) any = any || l < maxLength;
            if (!any) break;
            continue;
        }
        leaves[pick]++;
        leaves.push_back(leaves[pick]);
    }
    std::vector<uint16_t> lengths(symbols, 0);
    std::vector<int> order(symbols);
    for (int i = 0; i < symbols; i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = 0; i < leaves.size(); i++) lengths[order[i]] = leaves[i];
    return lengths;
}

// Every pattern of `longest` bits (followed by random bits) decodes to the
// symbol whose code starts it, consuming that code's length, or is invalid
// when no code starts it.
void ExpectDecodesEveryPattern(const std::vector<uint16_t>& lengths, int32_t lookupBits, std::mt19937& rng) {
    BuiltTable t;
    Build(t, lengths, lookupBits, static_cast<uint16_t>(lengths.size()));
    ASSERT_TRUE(t.Result == TableComplete || t.Result == TableIncomplete);
    std::vector<uint32_t> codes = CanonicalCodes(lengths);
    int longest = 0;
    for (uint16_t l : lengths) longest = std::max<int>(longest, l);

    // The symbol of each reversed pattern of `longest` bits; -1 = none.
    std::vector<int> owner(size_t{1} << longest, -1);
    for (size_t s = 0; s < lengths.size(); s++) {
        if (lengths[s] == 0) continue;
        uint32_t r = ReverseCode(codes[s], lengths[s]);
        for (uint32_t high = 0; high < (1u << (longest - lengths[s])); high++) owner[r | (high << lengths[s])] = int(s);
    }
    for (uint32_t p = 0; p < owner.size(); p++) {
        uint64_t bits = p | (static_cast<uint64_t>(rng()) << longest);
        int used = 0;
        const DecodeEntry* e = Lookup(t.Root, t.Bits, bits, used);
        if (owner[p] < 0) {
            ASSERT_EQ(e, nullptr) << "pattern " << p;
            continue;
        }
        ASSERT_NE(e, nullptr) << "pattern " << p;
        EXPECT_EQ(e->Value, owner[p]);
        EXPECT_EQ(e->Op, owner[p] < 256 ? OpLiteral : OpEndOfBlock);
        EXPECT_EQ(used, lengths[owner[p]]) << "symbol " << owner[p];
    }
}

TEST(DecodeTable, NoCodesGiveNoTable) {
    std::vector<uint16_t> lengths(19, 0);
    DecodeEntry* root = reinterpret_cast<DecodeEntry*>(&lengths);  // must be overwritten
    int32_t bits = 7;
    EXPECT_EQ(BuildDecodeTable(lengths.data(), 19, 19, nullptr, nullptr, &root, &bits), TableComplete);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(bits, 0);
    FreeDecodeTable(nullptr);
}

TEST(DecodeTable, SingleOneBitCodeIsCompleteWithOneInvalidEntry) {
    std::vector<uint16_t> lengths(19, 0);
    lengths[4] = 1;
    BuiltTable t;
    Build(t, lengths, 7, 19);
    ASSERT_EQ(t.Result, TableComplete);
    EXPECT_EQ(t.Bits, 1);
    ASSERT_EQ(ChainSizes(t.Root), std::vector<uint32_t>{2});
    EXPECT_EQ(t.Root[0].Op, OpLiteral);
    EXPECT_EQ(t.Root[0].Value, 4);
    EXPECT_EQ(t.Root[0].Bits, 1);
    EXPECT_EQ(t.Root[1].Op, OpInvalid);
}

TEST(DecodeTable, FixedLiteralCodeShape) {
    static const uint16_t base[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                      35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
    static const uint16_t extra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                       3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
    BuiltTable t;
    Build(t, FixedLiteralLengths(), 7, 257, base, extra);
    ASSERT_EQ(t.Result, TableComplete);
    EXPECT_EQ(t.Bits, 7);
    std::vector<uint32_t> sizes = ChainSizes(t.Root);
    ASSERT_EQ(sizes.size(), 105u);
    EXPECT_EQ(sizes[0], 128u);
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 2u), 76);
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 4u), 28);

    // Code 0000000 is the end of block, 0110000 + 0 the literal 0, the last
    // 9-bit code 111111111 the literal 255, 11000110 / 11000111 codes 286
    // and 287 (invalid), and 11000000 + 2 extra bits length code 280.
    int used = 0;
    const DecodeEntry* e = Lookup(t.Root, t.Bits, 0, used);
    EXPECT_EQ(e->Op, OpEndOfBlock);
    EXPECT_EQ(e->Value, 256);
    EXPECT_EQ(used, 7);
    e = Lookup(t.Root, t.Bits, ReverseCode(0x30, 8), used);
    EXPECT_EQ(e->Op, OpLiteral);
    EXPECT_EQ(e->Value, 0);
    EXPECT_EQ(used, 8);
    e = Lookup(t.Root, t.Bits, 0x1FF, used);
    EXPECT_EQ(e->Value, 255);
    EXPECT_EQ(used, 9);
    EXPECT_EQ(Lookup(t.Root, t.Bits, ReverseCode(0xC6, 8), used), nullptr);
    EXPECT_EQ(Lookup(t.Root, t.Bits, ReverseCode(0xC7, 8), used), nullptr);
    e = Lookup(t.Root, t.Bits, ReverseCode(0xC0, 8), used);
    EXPECT_EQ(e->Op, 4);
    EXPECT_EQ(e->Value, 115);
}

TEST(DecodeTable, ThirtyFiveBitCodesLeaveTheLastTwoInvalid) {
    std::vector<uint16_t> lengths(30, 5);
    std::vector<uint16_t> base(30), extra(30);
    for (int i = 0; i < 30; i++) {
        base[i] = static_cast<uint16_t>(1000 + i);
        extra[i] = static_cast<uint16_t>(i % 14);
    }
    BuiltTable t;
    Build(t, lengths, 5, 0, base.data(), extra.data());
    ASSERT_EQ(t.Result, TableIncomplete);
    ASSERT_EQ(ChainSizes(t.Root), std::vector<uint32_t>{32});
    for (uint32_t i = 0; i < 32; i++) {
        if (i == 15 || i == 31) {
            EXPECT_EQ(t.Root[i].Op, OpInvalid) << i;
            continue;
        }
        int symbol = static_cast<int>(ReverseCode(i, 5));  // code = symbol for a flat code
        EXPECT_EQ(t.Root[i].Value, 1000 + symbol) << i;
        EXPECT_EQ(t.Root[i].Op, symbol % 14) << i;
        EXPECT_EQ(t.Root[i].Bits, 5);
    }
}

TEST(DecodeTable, BadLengthsAreRefusedWithoutATable) {
    DecodeEntry sentinel[1];
    DecodeEntry* root = sentinel;
    int32_t bits = 7;
    std::vector<uint16_t> oversubscribed = {1, 1, 1};
    EXPECT_EQ(BuildDecodeTable(oversubscribed.data(), 3, 3, nullptr, nullptr, &root, &bits), TableBadLengths);
    EXPECT_EQ(root, sentinel);  // untouched: nothing was built

    std::vector<uint16_t> tooLong(20, 5);
    tooLong[13] = 17;
    bits = 7;
    EXPECT_EQ(BuildDecodeTable(tooLong.data(), 20, 20, nullptr, nullptr, &root, &bits), TableBadLengths);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(bits, 0);

    // Symbols above simpleCount without side tables.
    std::vector<uint16_t> flat(4, 2);
    bits = 2;
    EXPECT_EQ(BuildDecodeTable(flat.data(), 4, 2, nullptr, nullptr, &root, &bits), TableBadLengths);
}

TEST(DecodeTable, AllSixteenBitCodesAreRefusedWithoutAllocating) {
    // 2^16 root entries would not fit a header's 16-bit count.
    std::vector<uint16_t> lengths(64, 16);
    DecodeEntry* root = reinterpret_cast<DecodeEntry*>(&lengths);
    int32_t bits = 7;
    EXPECT_EQ(BuildDecodeTable(lengths.data(), 64, 0, nullptr, nullptr, &root, &bits), TableBadLengths);
    EXPECT_EQ(root, nullptr);

    // Sixteen-bit codes below shorter ones are fine.
    std::vector<uint16_t> mixed(17);
    for (int i = 0; i < 15; i++) mixed[i] = static_cast<uint16_t>(i + 1);
    mixed[15] = 16;
    mixed[16] = 16;
    std::mt19937 rng(1);
    ExpectDecodesEveryPattern(mixed, 7, rng);
}

TEST(DecodeTable, RootWidthFollowsTheCodeLengths) {
    std::mt19937 rng(5);
    std::vector<uint16_t> upToSeven = RandomCompleteLengths(rng, 19, 19, 7);
    BuiltTable narrow;
    Build(narrow, upToSeven, 9, 19);
    ASSERT_EQ(narrow.Result, TableComplete);
    int longest = *std::max_element(upToSeven.begin(), upToSeven.end());
    EXPECT_EQ(narrow.Bits, longest);
    EXPECT_EQ(ChainSizes(narrow.Root).front(), 1u << longest);

    std::vector<uint16_t> allEight(256, 8);
    BuiltTable wide;
    Build(wide, allEight, 7, 256);
    ASSERT_EQ(wide.Result, TableComplete);
    EXPECT_EQ(wide.Bits, 8);
    EXPECT_EQ(ChainSizes(wide.Root), std::vector<uint32_t>{256});
}

TEST(DecodeTable, SubTableMayBeWiderThanTheRoot) {
    std::vector<uint16_t> lengths = {1, 2, 3, 4, 5, 6};
    lengths.resize(6 + 128, 13);
    BuiltTable t;
    Build(t, lengths, 6, static_cast<uint16_t>(lengths.size()));
    ASSERT_EQ(t.Result, TableComplete);
    EXPECT_EQ(t.Bits, 6);
    EXPECT_EQ(ChainSizes(t.Root), (std::vector<uint32_t>{64, 128}));
    EXPECT_EQ(t.Root[63].Op, 16 + 7);
    EXPECT_EQ(t.Root[63].Bits, 6);
    std::mt19937 rng(2);
    ExpectDecodesEveryPattern(lengths, 6, rng);
}

TEST(DecodeTable, EveryCodeOfRandomSetsDecodesToItsSymbol) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; round++) {
        int symbols = round % 3 == 0 ? 288 : 1 + static_cast<int>(rng() % 288);
        int used = 1 + static_cast<int>(rng() % symbols);
        int maxLength = 1 + static_cast<int>(rng() % 12);
        std::vector<uint16_t> lengths = RandomCompleteLengths(rng, symbols, used, maxLength);
        // Some sets lose a code and become incomplete.
        if (round % 4 == 1) {
            for (uint16_t& l : lengths)
                if (l != 0) {
                    l = 0;
                    break;
                }
        }
        bool anyCode = false;
        for (uint16_t l : lengths) anyCode = anyCode || l != 0;
        if (!anyCode) continue;
        int32_t lookupBits = 5 + static_cast<int32_t>(rng() % 5);
        SCOPED_TRACE(testing::Message() << "round " << round << " root " << lookupBits);
        ExpectDecodesEveryPattern(lengths, lookupBits, rng);
        if (HasFatalFailure()) return;
    }
}

TEST(DecodeTable, LongCodesDecodeThroughSeveralLevels) {
    // Codes up to 15 bits (deflate's limit) and 16 bits (explode's): each
    // symbol's code, followed by random bits, gives the symbol and its length.
    std::mt19937 rng(99);
    for (int round = 0; round < 60; round++) {
        int maxLength = round % 2 == 0 ? 15 : 16;
        int symbols = 256 + static_cast<int>(rng() % 33);
        std::vector<uint16_t> lengths = RandomCompleteLengths(rng, symbols, symbols, maxLength);
        int32_t bits = 5 + static_cast<int32_t>(rng() % 5);
        BuiltTable t;
        Build(t, lengths, bits, static_cast<uint16_t>(symbols));
        ASSERT_EQ(t.Result, TableComplete);
        std::vector<uint32_t> codes = CanonicalCodes(lengths);
        for (int s = 0; s < symbols; s++) {
            if (lengths[s] == 0) continue;
            uint64_t stream = ReverseCode(codes[s], lengths[s]) | (static_cast<uint64_t>(rng()) << lengths[s]);
            int used = 0;
            const DecodeEntry* e = Lookup(t.Root, t.Bits, stream, used);
            ASSERT_NE(e, nullptr);
            ASSERT_EQ(e->Value, s);
            ASSERT_EQ(used, lengths[s]);
        }
    }
}

}  // namespace
