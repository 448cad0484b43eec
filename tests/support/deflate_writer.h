// Test-only deflate writer on top of BitWriter: prefix codes given by their
// lengths, matches, the three block kinds and dynamic headers, plus a
// reference of what a token sequence decodes to.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "support/bit_writer.h"

namespace testutil::deflate_writer {

using Bytes = std::vector<uint8_t>;

// A prefix code given by its lengths.
struct Code {
    std::vector<uint16_t> Lengths;
    std::vector<uint32_t> Codes;
    explicit Code(std::vector<uint16_t> lengths) : Lengths(std::move(lengths)), Codes(CanonicalCodes(Lengths)) {}
    void Put(BitWriter& w, int symbol) const {
        ASSERT_NE(Lengths.at(symbol), 0) << "symbol " << symbol << " has no code";
        w.Code(Codes[symbol], Lengths[symbol]);
    }
};

inline Code FixedLiterals() {
    std::vector<uint16_t> l(288);
    for (int s = 0; s < 288; s++) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    return Code(l);
}
inline Code FixedDistances() { return Code(std::vector<uint16_t>(32, 5)); }

inline const int LengthBases[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23,  27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline const int LengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline const int DistanceBases[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline const int DistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

inline void PutMatch(BitWriter& w, const Code& literals, const Code& distances, int length, int distance) {
    int lc = 28;
    while (LengthBases[lc] > length) lc--;
    if (length == 258) lc = 28;
    literals.Put(w, 257 + lc);
    w.Bits(length - LengthBases[lc], LengthExtra[lc]);
    int dc = 29;
    while (DistanceBases[dc] > distance) dc--;
    distances.Put(w, dc);
    w.Bits(distance - DistanceBases[dc], DistanceExtra[dc]);
}

inline void BlockHeader(BitWriter& w, bool final, int type) { w.Bits(final ? 1 : 0, 1).Bits(type, 2); }

inline void StoredBlock(BitWriter& w, bool final, const Bytes& data) {
    BlockHeader(w, final, 0);
    w.Align().Bits(static_cast<uint32_t>(data.size()), 16).Bits(~static_cast<uint32_t>(data.size()) & 0xFFFF, 16);
    w.Bytes(data);
}

// One code-length symbol of a dynamic header, with its repeat count field.
struct LengthItem {
    int Symbol;
    int Extra = 0;
};

// The code-length code the writer uses: complete, 13 codes of 4 bits and 6
// of 5 bits, all 19 lengths sent (HCLEN 15).
inline const std::vector<uint16_t> CodeLengthLengths = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
inline const int CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A dynamic block header with the given HLIT and HDIST fields (counts) and
// code-length items.
inline void DynamicHeader(BitWriter& w, bool final, int literalCount, int distanceCount, const std::vector<LengthItem>& items,
                   const std::vector<uint16_t>& codeLengthLengths = CodeLengthLengths, int codeLengthCount = 19) {
    BlockHeader(w, final, 2);
    w.Bits(literalCount - 257, 5).Bits(distanceCount - 1, 5).Bits(codeLengthCount - 4, 4);
    for (int i = 0; i < codeLengthCount; i++) w.Bits(codeLengthLengths[CodeLengthOrder[i]], 3);
    Code cl(codeLengthLengths);
    for (const LengthItem& item : items) {
        cl.Put(w, item.Symbol);
        if (item.Symbol == 16) w.Bits(item.Extra, 2);
        if (item.Symbol == 17) w.Bits(item.Extra, 3);
        if (item.Symbol == 18) w.Bits(item.Extra, 7);
    }
}

// One item per length, no repeats.
inline std::vector<LengthItem> Plain(const std::vector<uint16_t>& lengths) {
    std::vector<LengthItem> items;
    for (uint16_t l : lengths) items.push_back({l});
    return items;
}

// A dynamic block carrying the given lengths plainly.
inline void DynamicBlockHeader(BitWriter& w, bool final, const Code& literals, const Code& distances) {
    std::vector<uint16_t> all = literals.Lengths;
    all.insert(all.end(), distances.Lengths.begin(), distances.Lengths.end());
    DynamicHeader(w, final, static_cast<int>(literals.Lengths.size()), static_cast<int>(distances.Lengths.size()),
                  Plain(all));
}

// What a token sequence produces.
struct Expected {
    Bytes Out;
    void Literal(uint8_t b) { Out.push_back(b); }
    void Match(int length, int distance) {
        for (int i = 0; i < length; i++) {
            int64_t from = static_cast<int64_t>(Out.size()) - distance;
            Out.push_back(from < 0 ? 0 : Out[static_cast<size_t>(from)]);  // before the first byte: the cleared window
        }
    }
};

}  // namespace testutil::deflate_writer
