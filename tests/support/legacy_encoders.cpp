#include "support/legacy_encoders.h"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>
#include <utility>

#include "support/bit_writer.h"

namespace {

using testutil::BitWriter;

// Greedy match search over hash chains of two-byte prefixes. Positions
// before the start of the data read as zero, as both decoders define them.
struct MatchFinder {
    const std::vector<uint8_t>& Data;
    std::vector<int32_t> Head = std::vector<int32_t>(1 << 16, -1);
    std::vector<int32_t> Prev;

    explicit MatchFinder(const std::vector<uint8_t>& data) : Data(data), Prev(data.size(), -1) {}

    int Hash(size_t pos) const { return (Data[pos] << 8) | Data[pos + 1]; }
    void Insert(size_t pos) {
        if (pos + 1 >= Data.size()) return;
        Prev[pos] = Head[Hash(pos)];
        Head[Hash(pos)] = static_cast<int32_t>(pos);
    }
    int MatchLength(size_t pos, int64_t src, int maxLen) const {
        int len = 0;
        while (len < maxLen && Data[pos + len] == (src + len < 0 ? 0 : Data[static_cast<size_t>(src + len)])) len++;
        return len;
    }
    // Longest match (length, distance) within maxDist, or length 0.
    std::pair<int, int> Find(size_t pos, int maxDist, int maxLen) const {
        maxLen = static_cast<int>(std::min<size_t>(maxLen, Data.size() - pos));
        std::pair<int, int> best{0, 0};
        if (pos + 1 < Data.size()) {
            int steps = 0;
            for (int32_t cand = Head[Hash(pos)]; cand >= 0 && steps < 64; cand = Prev[cand], steps++) {
                int dist = static_cast<int>(pos - cand);
                if (dist > maxDist) break;
                int len = MatchLength(pos, cand, maxLen);
                if (len > best.first) best = {len, dist};
            }
        }
        if (pos < static_cast<size_t>(maxDist)) {
            int len = MatchLength(pos, static_cast<int64_t>(pos) - maxDist, maxLen);
            if (len > best.first) best = {len, maxDist};
        }
        return best;
    }
};

// ---- shrink ----

constexpr int ShrinkFirstCode = 257;
constexpr int ShrinkLastCode = 8192;

struct ShrinkTable {
    std::array<int, ShrinkLastCode + 1> Prefix{};
    std::array<uint8_t, ShrinkLastCode + 1> Suffix{};
    std::array<int, ShrinkLastCode + 2> NextFree{};  // free list, ascending, ends in 8193
    std::array<bool, ShrinkLastCode + 1> InUse{};
    int FreeHead = ShrinkFirstCode;
    std::unordered_map<uint32_t, int> Codes;  // (prefix << 8 | byte) -> code; never 8192, which cannot be sent

    ShrinkTable() {
        for (int k = ShrinkFirstCode; k <= ShrinkLastCode; k++) NextFree[k] = k + 1;
    }
    static uint32_t Key(int prefix, uint8_t b) { return static_cast<uint32_t>(prefix) << 8 | b; }
    void Add(int prefix, uint8_t b) {
        if (FreeHead > ShrinkLastCode) return;
        // An entry made right after a clear that freed its prefix is never
        // sent (like the entries that ClearLeaves forgets).
        bool sendable = prefix < ShrinkFirstCode || InUse[prefix];
        int k = FreeHead;
        FreeHead = NextFree[k];
        InUse[k] = true;
        Prefix[k] = prefix;
        Suffix[k] = b;
        if (k < ShrinkLastCode && sendable) Codes[Key(prefix, b)] = k;
    }
    void Forget(int k) {
        auto it = Codes.find(Key(Prefix[k], Suffix[k]));
        if (it != Codes.end() && it->second == k) Codes.erase(it);
    }
    // Frees every code below FreeHead that no code below FreeHead builds on.
    // A code above that range may still build on a freed one; it is never
    // sent again (the decoder could meet it before the freed code is
    // defined anew, when the encoder reuses that code at once).
    void ClearLeaves() {
        int last = FreeHead - 1;
        std::vector<bool> hasChild(ShrinkLastCode + 1, false);
        for (int k = ShrinkFirstCode; k <= last; k++)
            if (Prefix[k] >= ShrinkFirstCode && Prefix[k] <= last) hasChild[Prefix[k]] = true;
        int head = FreeHead;
        for (int k = last; k >= ShrinkFirstCode; k--) {
            if (hasChild[k]) continue;
            Forget(k);
            InUse[k] = false;
            NextFree[k] = head;
            head = k;
        }
        FreeHead = head;
        for (int k = last + 1; k <= ShrinkLastCode; k++)
            if (InUse[k] && Prefix[k] >= ShrinkFirstCode && !InUse[Prefix[k]]) Forget(k);
    }
};

// ---- implode ----

// Lengths of a random complete prefix code for n symbols, none above 16.
std::vector<uint16_t> RandomCompleteLengths(int n, std::mt19937& rng) {
    std::vector<uint16_t> depths{0};
    while (static_cast<int>(depths.size()) < n) {
        size_t i = (rng() & 1) ? depths.size() - 1 : rng() % depths.size();
        while (depths[i] >= 16) i = rng() % depths.size();
        depths[i]++;
        depths.push_back(depths[i]);
    }
    std::shuffle(depths.begin(), depths.end(), rng);
    return depths;
}

struct ImplodeTree {
    std::vector<uint16_t> Lengths;
    std::vector<uint32_t> Codes;
    ImplodeTree(int n, bool random, uint16_t flatLength, std::mt19937& rng)
        : Lengths(random ? RandomCompleteLengths(n, rng) : std::vector<uint16_t>(n, flatLength)),
          Codes(testutil::CanonicalCodes(Lengths)) {}
    // The list: N, then N + 1 bytes of (repeat - 1) << 4 | (length - 1).
    void WriteLengths(BitWriter& out) const {
        std::vector<uint8_t> runs;
        for (size_t s = 0; s < Lengths.size();) {
            size_t r = 1;
            while (r < 16 && s + r < Lengths.size() && Lengths[s + r] == Lengths[s]) r++;
            runs.push_back(static_cast<uint8_t>((r - 1) << 4 | (Lengths[s] - 1)));
            s += r;
        }
        out.Byte(static_cast<uint8_t>(runs.size() - 1));
        for (uint8_t b : runs) out.Byte(b);
    }
    // The code's bits go out first bit first, each inverted.
    void Write(BitWriter& out, int symbol) const {
        for (int i = Lengths[symbol] - 1; i >= 0; i--) out.Bits(((Codes[symbol] >> i) & 1) ^ 1, 1);
    }
};

}  // namespace

std::vector<uint8_t> ShrinkEncode(const std::vector<uint8_t>& data, double clearChance, std::mt19937& rng,
                                  ShrinkStats* stats) {
    BitWriter out;
    if (data.empty()) return {};
    ShrinkStats local;
    ShrinkStats& s = stats != nullptr ? *stats : local;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto table = std::make_unique<ShrinkTable>();
    int width = 9;
    auto emit = [&](int code) {
        while (code >= (1 << width)) {
            out.Bits(256, width);
            out.Bits(1, width);
            width++;
        }
        s.MaxWidth = std::max(s.MaxWidth, width);
        out.Bits(static_cast<uint32_t>(code), width);
    };
    int w = data[0];
    for (size_t i = 1; i < data.size(); i++) {
        uint8_t c = data[i];
        auto it = table->Codes.find(ShrinkTable::Key(w, c));
        if (it != table->Codes.end()) {
            w = it->second;
            continue;
        }
        emit(w);
        if (table->FreeHead > ShrinkLastCode || chance(rng) < clearChance) {
            out.Bits(256, width);
            out.Bits(2, width);
            table->ClearLeaves();
            s.Clears++;
        }
        table->Add(w, c);
        w = c;
    }
    emit(w);
    return out.Finish();
}

std::vector<uint8_t> ReduceEncode(const std::vector<uint8_t>& data, int factor, int maxSetSize) {
    static constexpr int LengthMask[5] = {0, 127, 63, 31, 15};
    static constexpr int DistanceShift[5] = {0, 7, 6, 5, 4};
    const int maxDist = 512 << (factor - 1);
    const int maxLen = LengthMask[factor] + 255 + 3;

    // Layer 1: literals, 144 0 for a literal 144, 144 V [extra] Y for a copy.
    std::vector<uint8_t> seq;
    MatchFinder finder(data);
    for (size_t pos = 0; pos < data.size();) {
        auto [len, dist] = finder.Find(pos, maxDist, maxLen);
        int high = (dist - 1) >> 8;
        if (len >= 4 || (len == 3 && high != 0)) {  // V = 0 would read as a literal 144
            int l = len - 3;
            seq.push_back(144);
            if (l < LengthMask[factor]) {
                seq.push_back(static_cast<uint8_t>(high << DistanceShift[factor] | l));
            } else {
                seq.push_back(static_cast<uint8_t>(high << DistanceShift[factor] | LengthMask[factor]));
                seq.push_back(static_cast<uint8_t>(l - LengthMask[factor]));
            }
            seq.push_back(static_cast<uint8_t>(dist - 1));
        } else {
            len = 1;
            seq.push_back(data[pos]);
            if (data[pos] == 144) seq.push_back(0);
        }
        for (int i = 0; i < len; i++) finder.Insert(pos + i);
        pos += len;
    }

    // Layer 2: the most frequent followers of each byte.
    std::vector<std::array<int, 256>> freq(256);
    for (auto& f : freq) f.fill(0);
    uint8_t last = 0;
    for (uint8_t y : seq) {
        freq[last][y]++;
        last = y;
    }
    std::vector<std::vector<uint8_t>> sets(256);
    for (int ctx = 0; ctx < 256; ctx++) {
        std::vector<int> members;
        for (int b = 0; b < 256; b++)
            if (freq[ctx][b] > 0) members.push_back(b);
        std::stable_sort(members.begin(), members.end(), [&](int a, int b) { return freq[ctx][a] > freq[ctx][b]; });
        if (static_cast<int>(members.size()) > maxSetSize) members.resize(maxSetSize);
        sets[ctx].assign(members.begin(), members.end());
    }
    auto indexWidth = [](size_t n) {
        int bits = 1;
        while ((size_t{1} << bits) < n) bits++;
        return bits;
    };

    BitWriter out;
    for (int ctx = 255; ctx >= 0; ctx--) {
        out.Bits(static_cast<uint32_t>(sets[ctx].size()), 6);
        for (uint8_t m : sets[ctx]) out.Bits(m, 8);
    }
    last = 0;
    for (uint8_t y : seq) {
        const auto& set = sets[last];
        auto it = std::find(set.begin(), set.end(), y);
        if (set.empty()) {
            out.Bits(y, 8);
        } else if (it == set.end()) {
            out.Bits(1, 1);
            out.Bits(y, 8);
        } else {
            out.Bits(0, 1);
            out.Bits(static_cast<uint32_t>(it - set.begin()), indexWidth(set.size()));
        }
        last = y;
    }
    return out.Finish();
}

std::vector<uint8_t> ImplodeEncode(const std::vector<uint8_t>& data, const ImplodeOptions& options,
                                   std::mt19937& rng) {
    const int lowBits = options.LargeDictionary ? 7 : 6;
    const int maxDist = options.LargeDictionary ? 8192 : 4096;
    const int minLen = options.LiteralTree ? 3 : 2;
    const int maxLen = minLen + 63 + 255;

    BitWriter out;
    ImplodeTree literals(256, options.RandomTrees, 8, rng);
    ImplodeTree lengths(64, options.RandomTrees, 6, rng);
    ImplodeTree distances(64, options.RandomTrees, 6, rng);
    if (options.LiteralTree) literals.WriteLengths(out);
    lengths.WriteLengths(out);
    distances.WriteLengths(out);

    MatchFinder finder(data);
    for (size_t pos = 0; pos < data.size();) {
        auto [len, dist] = finder.Find(pos, maxDist, maxLen);
        if (len >= minLen) {
            out.Bits(0, 1);
            out.Bits(static_cast<uint32_t>(dist - 1) & ((1u << lowBits) - 1), lowBits);
            distances.Write(out, (dist - 1) >> lowBits);
            int symbol = len - minLen;
            if (symbol < 63) {
                lengths.Write(out, symbol);
            } else {
                lengths.Write(out, 63);
                out.Bits(static_cast<uint32_t>(symbol - 63), 8);
            }
        } else {
            len = 1;
            out.Bits(1, 1);
            if (options.LiteralTree)
                literals.Write(out, data[pos]);
            else
                out.Bits(data[pos], 8);
        }
        for (int i = 0; i < len; i++) finder.Insert(pos + i);
        pos += len;
    }
    return out.Finish();
}

std::vector<uint8_t> MakeTestData(std::mt19937& rng, size_t size) {
    std::vector<uint8_t> d;
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    while (d.size() < size) {
        switch (pick(5)) {
            case 0:  // random bytes
                for (size_t n = 1 + pick(300); n > 0; n--) d.push_back(static_cast<uint8_t>(rng()));
                break;
            case 1: {  // a run, often of 0 or 0x90
                uint8_t b = pick(3) == 0 ? 0 : pick(2) == 0 ? 0x90 : static_cast<uint8_t>(rng());
                d.insert(d.end(), 1 + pick(600), b);
                break;
            }
            case 2:  // a repeat of earlier data, at any distance
                if (!d.empty()) {
                    size_t dist = 1 + pick(std::min<size_t>(d.size(), 9000));
                    for (size_t n = 2 + pick(400); n > 0; n--) d.push_back(d[d.size() - dist]);
                }
                break;
            case 3:  // a small alphabet
                for (size_t n = 1 + pick(500); n > 0; n--) d.push_back(static_cast<uint8_t>("ab\x90z"[pick(4)]));
                break;
            default:  // text-like bytes
                for (size_t n = 1 + pick(200); n > 0; n--) d.push_back(static_cast<uint8_t>(' ' + pick(60)));
                break;
        }
    }
    d.resize(size);
    return d;
}
