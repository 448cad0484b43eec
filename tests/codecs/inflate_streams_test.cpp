// Inflate on hand-built deflate streams: the edge cases of the format and
// every failure row, one field at a time, through the bit writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codecs/codecs.h"
#include "platform/posix/posix_backend.h"
#include "support/bit_writer.h"
#include "support/deflate_writer.h"
#include "support/decoder_harness.h"
#include "support/test_util.h"

namespace {

using testing_support::BitWriter;
using testing_support::CanonicalCodes;
using namespace testing_support::deflate_writer;
using testing_support::DecoderOptions;
using testing_support::RunDecoder;
using Bytes = std::vector<uint8_t>;

// Literal 'A' and the end-of-block code, one bit each; no other symbol.
std::vector<uint16_t> OnlyAAndEnd(int literalCount = 257) {
    std::vector<uint16_t> l(literalCount, 0);
    l['A'] = 1;
    l[256] = 1;
    return l;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

void ExpectInflates(const Bytes& stream, const Bytes& expected) {
    auto run = RunDecoder(Inflate, stream);
    ASSERT_EQ(run.Result, Ok);
    ASSERT_EQ(run.Output.size(), expected.size());
    EXPECT_TRUE(run.Output == expected);
    EXPECT_EQ(run.Crc, testutil::Crc32(expected));
}

ExtractResult InflateResult(const Bytes& stream) { return RunDecoder(Inflate, stream).Result; }

// ---- block structure ----

TEST(InflateBlocks, EmptyFinalBlocksOfEveryKindGiveNoOutput) {
    BitWriter stored;
    StoredBlock(stored, true, {});
    ExpectInflates(stored.Finish(), {});

    BitWriter fixed;
    BlockHeader(fixed, true, 1);
    FixedLiterals().Put(fixed, 256);
    ExpectInflates(fixed.Finish(), {});

    BitWriter dynamic;
    Code lit(OnlyAAndEnd());
    Code dist(std::vector<uint16_t>{0});
    DynamicBlockHeader(dynamic, true, lit, dist);
    lit.Put(dynamic, 256);
    ExpectInflates(dynamic.Finish(), {});
}

TEST(InflateBlocks, BlockType3IsDamage) {
    BitWriter w;
    BlockHeader(w, true, 3);
    EXPECT_EQ(InflateResult(w.Finish()), ArchiveDamaged);

    // Also after good blocks.
    BitWriter later;
    StoredBlock(later, false, {1, 2, 3});
    BlockHeader(later, true, 3);
    EXPECT_EQ(InflateResult(later.Finish()), ArchiveDamaged);
}

TEST(InflateBlocks, StoredLengthMustMatchItsComplement) {
    BitWriter w;
    BlockHeader(w, true, 0);
    w.Align().Bits(3, 16).Bits(0xFFFD, 16)  /* the complement would be 0xFFFC */.Bytes({1, 2, 3});
    EXPECT_EQ(InflateResult(w.Finish()), ArchiveDamaged);
}

TEST(InflateBlocks, BlocksOfAllKindsShareOneDictionary) {
    // Stored, fixed and dynamic blocks in a row; each match reaches back into
    // the block before.
    Code fl = FixedLiterals(), fd = FixedDistances();
    std::vector<uint16_t> complete(286);
    for (int s = 0; s < 256; s++) complete[s] = 9;    // half of the code space
    for (int s = 256; s < 258; s++) complete[s] = 5;  // 2/32
    for (int s = 258; s < 286; s++) complete[s] = 6;  // 28/64
    Code dl(complete);
    Code dd(std::vector<uint16_t>(30, 5));  // incomplete distance code: accepted

    Bytes first = RandomBytes(1000, 7);
    Expected ex;
    BitWriter w;
    StoredBlock(w, false, first);
    for (uint8_t b : first) ex.Literal(b);

    BlockHeader(w, false, 1);
    PutMatch(w, fl, fd, 100, 1000);
    ex.Match(100, 1000);
    fl.Put(w, 'x');
    ex.Literal('x');
    fl.Put(w, 256);

    DynamicBlockHeader(w, true, dl, dd);
    PutMatch(w, dl, dd, 258, 1101);
    ex.Match(258, 1101);
    PutMatch(w, dl, dd, 3, 1);
    ex.Match(3, 1);
    dl.Put(w, 'y');
    ex.Literal('y');
    dl.Put(w, 256);
    ExpectInflates(w.Finish(), ex.Out);
}

// ---- matches and the window ----

TEST(InflateMatches, MatchesBeforeTheFirstByteCopyZeros) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    BitWriter w;
    BlockHeader(w, true, 1);
    PutMatch(w, fl, fd, 5, 5);
    fl.Put(w, 'a');
    PutMatch(w, fl, fd, 10, 3);  // 2 zeros and the 'a', repeated
    fl.Put(w, 256);
    Expected ex;
    ex.Match(5, 5);
    ex.Literal('a');
    ex.Match(10, 3);
    EXPECT_EQ(ex.Out, (Bytes{0, 0, 0, 0, 0, 'a', 0, 0, 'a', 0, 0, 'a', 0, 0, 'a', 0}));
    ExpectInflates(w.Finish(), ex.Out);
}

TEST(InflateMatches, DistanceOneRepeatsTheLastByte) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    BitWriter w;
    BlockHeader(w, true, 1);
    fl.Put(w, 'z');
    PutMatch(w, fl, fd, 258, 1);
    fl.Put(w, 256);
    ExpectInflates(w.Finish(), Bytes(259, 'z'));
}

TEST(InflateMatches, DistanceOf32768AndMatchesAcrossTheWindowEnd) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    Expected ex;
    BitWriter w;
    // 32760 bytes, so that the next match's destination crosses the end of
    // the window.
    Bytes head = RandomBytes(32760, 11);
    StoredBlock(w, false, head);
    for (uint8_t b : head) ex.Literal(b);
    BlockHeader(w, true, 1);
    PutMatch(w, fl, fd, 20, 3);  // 32760..32779: crosses the window end
    ex.Match(20, 3);
    PutMatch(w, fl, fd, 30, 20);  // from 32760: its source crosses the window end
    ex.Match(30, 20);
    PutMatch(w, fl, fd, 258, 32768);  // the same window position, a full window back
    ex.Match(258, 32768);
    PutMatch(w, fl, fd, 258, 32700);  // source behind the destination by less than a window
    ex.Match(258, 32700);
    for (int i = 0; i < 400; i++) {  // lengths 3..258 at far distances, crossing the end again
        int length = 3 + (i * 37) % 256;
        int distance = 32768 - (i * 131) % 4000;
        PutMatch(w, fl, fd, length, distance);
        ex.Match(length, distance);
    }
    fl.Put(w, 256);
    ASSERT_GT(ex.Out.size(), 65536u + 258);
    ExpectInflates(w.Finish(), ex.Out);
}

TEST(InflateMatches, OutputOfExactlyOneWindow) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    BitWriter w;
    BlockHeader(w, true, 1);
    fl.Put(w, 'q');
    for (int left = 32767; left > 0;) {
        int length = left < 258 ? left : 258;
        if (left - length > 0 && left - length < 3) length = left - 3;
        PutMatch(w, fl, fd, length, 1);
        left -= length;
    }
    fl.Put(w, 256);
    // Exactly as much room as the output needs: a flush beyond 32768 bytes
    // would fail.
    DecoderOptions options;
    options.OutputCapacity = 32768;
    auto run = RunDecoder(Inflate, w.Finish(), options);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, Bytes(32768, 'q'));
}

TEST(InflateMatches, FullMemoryBlockIsOutputFailed) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    BitWriter w;
    BlockHeader(w, true, 1);
    fl.Put(w, 'q');
    for (int i = 0; i < 3; i++) PutMatch(w, fl, fd, 258, 1);
    fl.Put(w, 256);
    DecoderOptions options;
    options.OutputCapacity = 500;  // the final flush does not fit
    EXPECT_EQ(RunDecoder(Inflate, w.Finish(), options).Result, OutputFailed);

    BitWriter big;  // a full window does not fit
    BlockHeader(big, true, 1);
    fl.Put(big, 'q');
    for (int i = 0; i < 200; i++) PutMatch(big, fl, fd, 258, 1);
    fl.Put(big, 256);
    options.OutputCapacity = 1000;
    EXPECT_EQ(RunDecoder(Inflate, big.Finish(), options).Result, OutputFailed);
}

// ---- invalid codes ----

TEST(InflateCodes, FixedLengthCodes286And287AndDistanceCodes30And31AreDamage) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    for (int symbol : {286, 287}) {
        BitWriter w;
        BlockHeader(w, true, 1);
        fl.Put(w, 'a');
        fl.Put(w, symbol);
        fl.Put(w, 256);
        EXPECT_EQ(InflateResult(w.Finish()), ArchiveDamaged) << symbol;
    }
    for (int code : {30, 31}) {
        BitWriter w;
        BlockHeader(w, true, 1);
        fl.Put(w, 'a');
        fl.Put(w, 257);
        fd.Put(w, code);
        fl.Put(w, 256);
        EXPECT_EQ(InflateResult(w.Finish()), ArchiveDamaged) << code;
    }
}

TEST(InflateCodes, DynamicHeaderWith288And32LengthsIsAccepted) {
    // HLIT 288, HDIST 32: every code of both alphabets has a length.
    std::vector<uint16_t> l(288);
    for (int s = 0; s < 256; s++) l[s] = 9;    // 1/2 of the code space
    for (int s = 256; s < 288; s++) l[s] = 6;  // 32/64
    Code lit(l);
    Code dist(std::vector<uint16_t>(32, 5));
    auto stream = [&](int literal, int distanceCode) {
        BitWriter w;
        DynamicBlockHeader(w, true, lit, dist);
        lit.Put(w, 'b');
        lit.Put(w, literal);
        if (literal > 256) {
            w.Bits(0, literal <= 285 ? LengthExtra[literal - 257] : 0);
            dist.Put(w, distanceCode);
            if (distanceCode < 30) w.Bits(0, DistanceExtra[distanceCode]);
        }
        lit.Put(w, 256);
        return w.Finish();
    };
    ExpectInflates(stream('c', 0), Bytes{'b', 'c'});
    ExpectInflates(stream(285, 0), Bytes(259, 'b'));
    EXPECT_EQ(InflateResult(stream(286, 0)), ArchiveDamaged);
    EXPECT_EQ(InflateResult(stream(287, 0)), ArchiveDamaged);
    EXPECT_EQ(InflateResult(stream(257, 30)), ArchiveDamaged);
    EXPECT_EQ(InflateResult(stream(257, 31)), ArchiveDamaged);
}

TEST(InflateCodes, DistanceTablesEmptySingleAndIncomplete) {
    std::vector<uint16_t> l(258, 0);
    l['A'] = 1;
    l[256] = 2;
    l[257] = 2;  // length 3
    Code lit(l);
    auto stream = [&](const std::vector<uint16_t>& distLengths, bool match, int distanceCode) {
        Code dist(distLengths);
        BitWriter w;
        DynamicBlockHeader(w, true, lit, dist);
        lit.Put(w, 'A');
        if (match) {
            lit.Put(w, 257);
            w.Code(dist.Codes[distanceCode], distLengths[distanceCode] == 0 ? 2 : distLengths[distanceCode]);
        }
        lit.Put(w, 256);
        return w.Finish();
    };
    // No distance codes: fine without a match, damage with one.
    ExpectInflates(stream({0}, false, 0), Bytes{'A'});
    EXPECT_EQ(InflateResult(stream({0, 0, 0}, true, 0)), ArchiveDamaged);
    // A single distance code of one bit.
    ExpectInflates(stream({1}, true, 0), Bytes{'A', 'A', 'A', 'A'});
    // Three codes of two bits: accepted; the fourth pattern is damage.
    Expected ex;
    ex.Literal('A');
    ex.Match(3, 2);
    ExpectInflates(stream({2, 2, 2}, true, 1), ex.Out);
    BitWriter unused;
    Code dist(std::vector<uint16_t>{2, 2, 2});
    DynamicBlockHeader(unused, true, lit, dist);
    lit.Put(unused, 'A');
    lit.Put(unused, 257);
    unused.Code(3, 2);  // 11: no code
    lit.Put(unused, 256);
    EXPECT_EQ(InflateResult(unused.Finish()), ArchiveDamaged);
}

TEST(InflateCodes, BadCodeSetsInTheHeaderAreDamage) {
    Code dist(std::vector<uint16_t>{1});
    // Literal/length code incomplete.
    std::vector<uint16_t> l = OnlyAAndEnd();
    l[256] = 2;
    BitWriter incomplete;
    DynamicBlockHeader(incomplete, true, Code(l), dist);
    EXPECT_EQ(InflateResult(incomplete.Finish()), ArchiveDamaged);
    // Literal/length code over-subscribed.
    l[256] = 1;
    l['B'] = 1;
    std::vector<uint16_t> all = l;
    all.push_back(1);
    BitWriter w;
    DynamicHeader(w, true, 257, 1, Plain(all));
    EXPECT_EQ(InflateResult(w.Finish()), ArchiveDamaged);
    // Distance code over-subscribed.
    std::vector<uint16_t> d = OnlyAAndEnd();
    d.insert(d.end(), {1, 1, 1});
    BitWriter overDist;
    DynamicHeader(overDist, true, 257, 3, Plain(d));
    EXPECT_EQ(InflateResult(overDist.Finish()), ArchiveDamaged);
    // No literal/length code at all: the end of block cannot be read.
    std::vector<uint16_t> none(258, 0);
    BitWriter empty;
    DynamicHeader(empty, true, 257, 1, Plain(none));
    empty.Bits(0, 16);
    EXPECT_EQ(InflateResult(empty.Finish()), ArchiveDamaged);
}

TEST(InflateCodes, CodeLengthCodeMustBeComplete) {
    std::vector<uint16_t> all = OnlyAAndEnd();
    all.push_back(0);
    // Incomplete: one length short of the code space.
    std::vector<uint16_t> cl = CodeLengthLengths;
    cl[18] = 0;
    BitWriter incomplete;
    DynamicHeader(incomplete, true, 257, 1, {}, cl);
    incomplete.Bits(0, 32);
    EXPECT_EQ(InflateResult(incomplete.Finish()), ArchiveDamaged);
    // Over-subscribed.
    cl = CodeLengthLengths;
    cl[18] = 4;
    BitWriter over;
    DynamicHeader(over, true, 257, 1, {}, cl);
    over.Bits(0, 32);
    EXPECT_EQ(InflateResult(over.Finish()), ArchiveDamaged);
    // HCLEN 5: only 16, 17, 18, 0 and 8 get lengths. 255 literals and the
    // end of block of 8 bits each.
    std::vector<uint16_t> five(19, 0);
    five[8] = five[0] = five[16] = 2;
    five[17] = five[18] = 3;
    std::vector<uint16_t> eight(257, 8);
    eight[255] = 0;
    Code lit(eight);
    std::vector<uint16_t> withDistance = eight;
    withDistance.push_back(0);
    BitWriter shortHeader;
    DynamicHeader(shortHeader, true, 257, 1, Plain(withDistance), five, 5);
    lit.Put(shortHeader, 'Z');
    lit.Put(shortHeader, 256);
    ExpectInflates(shortHeader.Finish(), Bytes{'Z'});
}

TEST(InflateCodes, UnusedPatternOfAOneBitCodeLengthCodeIsDamage) {
    // The code-length code has the single code 0, for length 1. Writing the
    // other pattern (1) for every other length would yield 'A' and end of
    // block as the only codes if that pattern were taken as length 0.
    std::vector<uint16_t> cl(19, 0);
    cl[1] = 1;
    BitWriter w;
    BlockHeader(w, true, 2);
    w.Bits(0, 5).Bits(0, 5).Bits(15, 4);
    for (int i = 0; i < 19; i++) w.Bits(cl[CodeLengthOrder[i]], 3);
    for (int i = 0; i < 258; i++) w.Bits(i == 'A' || i == 256 ? 0 : 1, 1);
    w.Bits(0, 1).Bits(1, 1);  // 'A', end of block
    EXPECT_EQ(InflateResult(w.Finish()), ArchiveDamaged);
}

// ---- repeat codes ----

// A header whose literal/length lengths are 'A' and end of block (1 bit
// each); `tail` follows the end-of-block length and fills the distance
// lengths; then 'A' and end of block.
Bytes RepeatStream(int distanceCount, const std::vector<LengthItem>& tail, bool firstSixteen = false) {
    std::vector<LengthItem> items;
    if (firstSixteen) items.push_back({16, 3});  // six zeros before any length: repeats of 0
    int zeros = 'A' - (firstSixteen ? 6 : 0);
    items.push_back({18, zeros - 11});
    items.push_back({1});
    items.push_back({18, 138 - 11});
    items.push_back({18, 256 - 'A' - 1 - 138 - 11});
    items.push_back({1});
    items.insert(items.end(), tail.begin(), tail.end());
    BitWriter w;
    DynamicHeader(w, true, 257, distanceCount, items);
    w.Code(0, 1).Code(1, 1);
    return w.Finish();
}

TEST(InflateRepeats, RepeatsMayEndExactlyAtTheLastLength) {
    ExpectInflates(RepeatStream(11, {{18, 0}}), Bytes{'A'});
    ExpectInflates(RepeatStream(3, {{17, 0}}), Bytes{'A'});
    ExpectInflates(RepeatStream(4, {{0}, {16, 0}}), Bytes{'A'});
    // Repeats may run from the literal/length lengths into the distance
    // lengths.
    // Literal/length lengths 257..259 and distance lengths 0..2 are one
    // repeat; distance 3 gets the one code.
    std::vector<LengthItem> items = {{18, 'A' - 11}, {1}, {18, 138 - 11}, {18, 256 - 'A' - 1 - 138 - 11}, {1},
                                     {17, 3}, {1}};
    BitWriter w;
    DynamicHeader(w, true, 260, 4, items);
    w.Code(0, 1).Code(1, 1);
    ExpectInflates(w.Finish(), Bytes{'A'});
}

TEST(InflateRepeats, ARepeatPastTheLastLengthIsResult1ForCodes16And17AndDamageFor18) {
    EXPECT_EQ(InflateResult(RepeatStream(10, {{18, 0}})), ArchiveDamaged);
    EXPECT_EQ(InflateResult(RepeatStream(2, {{17, 0}})), 1);
    EXPECT_EQ(InflateResult(RepeatStream(3, {{0}, {16, 0}})), 1);
}

TEST(InflateRepeats, AFirstSymbol16RepeatsLengthZero) {
    ExpectInflates(RepeatStream(1, {{0}}, true), Bytes{'A'});
}

// ---- input running out, cancel ----

TEST(InflateInput, EveryTruncationFailsCleanly) {
    Code fl = FixedLiterals(), fd = FixedDistances();
    BitWriter w;
    StoredBlock(w, false, RandomBytes(300, 3));
    BlockHeader(w, false, 1);
    for (int i = 0; i < 40; i++) fl.Put(w, 'a' + i % 26);
    PutMatch(w, fl, fd, 100, 39);
    fl.Put(w, 256);
    std::vector<uint16_t> l(288);
    for (int s = 0; s < 256; s++) l[s] = 9;
    for (int s = 256; s < 288; s++) l[s] = 6;
    Code dl(l), dd(std::vector<uint16_t>(32, 5));
    DynamicBlockHeader(w, true, dl, dd);
    for (int i = 0; i < 40; i++) dl.Put(w, 'A' + i % 26);
    dl.Put(w, 256);
    Bytes full = w.Finish();
    DecoderOptions noTrailer;
    noTrailer.Trailer.clear();
    auto whole = RunDecoder(Inflate, full, noTrailer);
    ASSERT_EQ(whole.Result, Ok);

    for (size_t n = 0; n < full.size(); n++) {
        Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        auto run = RunDecoder(Inflate, cut, noTrailer);
        if (run.Result == Ok) {
            // The flags are looked at before each code, not after it: the
            // code read from the bytes served again may be the end of the
            // block. Nothing is output then; the entry's CRC tells.
            ASSERT_LE(run.Output.size(), whole.Output.size()) << n;
            EXPECT_TRUE(std::equal(run.Output.begin(), run.Output.end(), whole.Output.begin())) << n;
        } else {
            EXPECT_TRUE(run.Result == InputFailed || run.Result == ArchiveDamaged || run.Result == 1) << n;
        }
    }
}

TEST(InflateInput, StoredDataRunningOutIsInputFailed) {
    BitWriter w;
    BlockHeader(w, true, 0);
    w.Align().Bits(5000, 16).Bits(~5000u & 0xFFFF, 16).Bytes(RandomBytes(3000, 4));
    DecoderOptions noTrailer;
    noTrailer.Trailer.clear();
    auto run = RunDecoder(Inflate, w.Finish(), noTrailer);
    EXPECT_EQ(run.Result, InputFailed);
    EXPECT_TRUE(run.Output.empty());  // the window is not flushed after a failure
}

TEST(InflateInput, CancelKeyStopsStoredAndCodedData) {
    // The key is polled when the progress percentage first changes, at the
    // second block of input; the decoder stops at its next check.
    Bytes data = RandomBytes(20000, 9);
    BitWriter stored;
    StoredBlock(stored, true, data);
    Code fl = FixedLiterals();
    BitWriter fixed;
    BlockHeader(fixed, true, 1);
    for (uint8_t b : data) fl.Put(fixed, b);
    fl.Put(fixed, 256);
    const int key = 0x1B;
    DecoderOptions options;
    options.CancelKey = key;
    win::posix::SetKeyDown(key, true);
    auto storedRun = RunDecoder(Inflate, stored.Finish(), options);
    auto fixedRun = RunDecoder(Inflate, fixed.Finish(), options);
    win::posix::SetKeyDown(key, false);
    EXPECT_EQ(storedRun.Result, Cancelled);
    EXPECT_EQ(fixedRun.Result, Cancelled);
    // Without the key the same streams decode.
    ExpectInflates(stored.Finish(), data);
    ExpectInflates(fixed.Finish(), data);
}

}  // namespace
