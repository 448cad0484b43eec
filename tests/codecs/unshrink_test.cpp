// Unshrink on hand-built code streams, on streams of the test encoder, and
// on damaged streams.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codecs/codecs.h"
#include "support/bit_writer.h"
#include "support/decoder_harness.h"
#include "support/legacy_encoders.h"

namespace {

using testutil::BitWriter;
using testutil::DecoderOptions;
using testutil::DecoderRun;
using testutil::RunDecoder;

ExtractResult UnshrinkResult() { return Unshrink(); }  // widened with its sign

struct Code {
    uint32_t Value;
    int Width;
};

std::vector<uint8_t> Codes(std::initializer_list<Code> codes) {
    BitWriter w;
    for (const Code& c : codes) w.Bits(c.Value, c.Width);
    return w.Finish();
}

DecoderRun RunUnshrink(const std::vector<uint8_t>& data, int32_t outputCapacity = -1) {
    DecoderOptions options;
    options.OutputCapacity = outputCapacity;
    return RunDecoder(UnshrinkResult, data, options);
}

std::string Text(const DecoderRun& run) { return std::string(run.Output.begin(), run.Output.end()); }

TEST(Unshrink, TwoByteEntryHoldsOneCodeAndEndsOnTheBitBudget) {
    // 9-bit code 0x141 (low byte 'A'), then 7 set bits that cannot make a code.
    auto run = RunUnshrink(Codes({{0x141, 9}, {0x7F, 7}}));
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "A");
}

TEST(Unshrink, EmptyEntryDecodesToNothing) {
    // An empty file has no first code; nothing may be output for it.
    auto run = RunUnshrink({});
    EXPECT_EQ(run.Result, Ok);
    EXPECT_TRUE(run.Output.empty());
}

TEST(Unshrink, CodeEqualToTheNextFreeCodeRepeatsThePreviousString) {
    // 'a', 257 (being defined: "a" + 'a'), 258 (being defined: "aa" + 'a').
    auto run = RunUnshrink(Codes({{'a', 9}, {257, 9}, {258, 9}}));
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "a" "aa" "aaa");
}

TEST(Unshrink, EscapeIsNotThePreviousCodeAndWidensFromTheNextCode) {
    // 'a' 'b' (257 = ab), escape 1 at 9 bits, then 10-bit codes: 'c'
    // (258 = 'b' + 'c', the code before the escape is the prefix), 258.
    auto run = RunUnshrink(Codes({{'a', 9}, {'b', 9}, {256, 9}, {1, 9}, {'c', 10}, {258, 10}, {257, 10}}));
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "abc" "bc" "ab");
}

TEST(Unshrink, WidensUpTo13BitsAndRefusesAFurtherWidening) {
    BitWriter w;
    w.Bits('x', 9);
    for (int width = 9; width < 13; width++) {
        w.Bits(256, width);
        w.Bits(1, width);
    }
    w.Bits('y', 13);
    w.Bits(256, 13);  // escape at width 12 made 13; at 13 there is no 14
    w.Bits(1, 13);
    w.Bits('z', 13);
    auto run = RunUnshrink(w.Finish());
    EXPECT_EQ(run.Result, ArchiveDamaged);
    EXPECT_TRUE(run.Output.empty());  // staged bytes are not flushed

    auto ok = RunUnshrink(Codes({{'x', 9}, {256, 9}, {1, 9}, {256, 10}, {1, 10}, {256, 11}, {1, 11},
                                 {256, 12}, {1, 12}, {'y', 13}, {257, 13}}));
    EXPECT_EQ(ok.Result, Ok);
    EXPECT_EQ(Text(ok), "xyxy");
}

TEST(Unshrink, UnknownEscapeSubCodeIsDamage) {
    for (uint32_t sub : {0u, 3u, 255u, 257u}) {
        auto run = RunUnshrink(Codes({{'a', 9}, {256, 9}, {sub, 9}, {'b', 9}}));
        EXPECT_EQ(run.Result, ArchiveDamaged) << sub;
    }
}

TEST(Unshrink, PartialClearFreesLeavesAndReusesThemLowestFirst) {
    // 257 = ab, 258 = ba, 259 = (257)c = abc. Leaves: 258, 259; 257 is the
    // prefix of 259 and stays.
    auto run = RunUnshrink(Codes({{'a', 9}, {'b', 9}, {257, 9}, {'c', 9},
                                  {256, 9}, {2, 9},                 // clear: free list 258, 259, 260, ...
                                  {'d', 9},                         // 258 = cd
                                  {258, 9},                         // "cd"; 259 = dc
                                  {'e', 9},                         // 260 = (258)e = cde
                                  {259, 9}, {260, 9}, {257, 9}}));  // "dc", "cde", "ab"
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "ab" "ab" "c" "d" "cd" "e" "dc" "cde" "ab");
}

TEST(Unshrink, PartialClearBeforeAnyEntryFreesNothing) {
    auto run = RunUnshrink(Codes({{'a', 9}, {256, 9}, {2, 9}, {'b', 9}, {257, 9}}));
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "ab" "ab");
}

TEST(Unshrink, FullTableKeepsDecodingAndAPartialClearExaminesEveryCode) {
    // A first literal and 7936 more fill codes 257..8192 with pairs of
    // literals, all leaves. Further codes add nothing; the clear frees all.
    BitWriter w;
    std::string expected;
    for (int i = 0; i <= 7936; i++) {
        char c = static_cast<char>('a' + i % 23);
        w.Bits(static_cast<uint8_t>(c), 9);
        expected += c;
    }
    // 8191 = (literal 7934)(literal 7935); the table is full: 'Q' adds nothing.
    w.Bits('Q', 9);
    w.Bits(256, 9);
    w.Bits(1, 9);
    w.Bits(256, 10);
    w.Bits(1, 10);
    w.Bits(256, 11);
    w.Bits(1, 11);
    w.Bits(256, 12);
    w.Bits(1, 12);
    w.Bits(8191, 13);
    expected += "Q";
    expected += expected.substr(7934, 2);
    w.Bits(256, 13);
    w.Bits(2, 13);  // every code from 257 to 8192 is a leaf and becomes free
    // 257 = (8191)R names a freed code and cannot be sent; 258 = RS reuses
    // the lowest freed code but one; 260 is being defined: (258) + R.
    for (uint32_t code : {uint32_t{'R'}, uint32_t{'S'}, 258u, 260u}) w.Bits(code, 13);
    expected += "R" "S" "RS" "RSR";
    auto run = RunUnshrink(w.Finish());
    EXPECT_EQ(run.Result, Ok);
    ASSERT_EQ(run.Output.size(), expected.size());
    EXPECT_EQ(Text(run).substr(7900), expected.substr(7900));
}

TEST(Unshrink, StagingAreaGoesOutIn767BytePieces) {
    auto literals = [](int n) {
        BitWriter w;
        for (int i = 0; i < n; i++) w.Bits('0' + i % 10, 9);
        // Codes repeat after 10, but each literal only adds an entry.
        return w.Finish();
    };
    // 767 bytes: one full piece, then a final flush of 0 bytes, which a
    // memory block of exactly 767 bytes still accepts.
    auto exact = RunUnshrink(literals(767), 767);
    EXPECT_EQ(exact.Result, Ok);
    EXPECT_EQ(exact.Output.size(), 767u);
    // 768 bytes: the final flush of 1 byte no longer fits.
    auto over = RunUnshrink(literals(768), 767);
    EXPECT_EQ(over.Result, OutputFailed);
    EXPECT_EQ(over.Output.size(), 767u);
    // A failing flush inside the loop stops at once.
    auto early = RunUnshrink(literals(2000), 100);
    EXPECT_EQ(early.Result, OutputFailed);
    EXPECT_EQ(early.Output.size(), 100u);
}

TEST(Unshrink, DeferredSizesAreRefusedAndCancelStopsWithoutFlushing) {
    DecoderOptions deferred;
    deferred.DeferredSizes = true;
    auto refused = RunDecoder(UnshrinkResult, Codes({{'a', 9}, {'b', 9}}), deferred);
    EXPECT_EQ(refused.Result, Unsupported);
    EXPECT_EQ(EngineState.BytesRead, 0) << "nothing read";

    DecoderOptions cancel;
    cancel.CancelRequested = true;
    auto cancelled = RunDecoder(UnshrinkResult, Codes({{'a', 9}, {'b', 9}}), cancel);
    EXPECT_EQ(cancelled.Result, Cancelled);
    EXPECT_TRUE(cancelled.Output.empty());
}

TEST(Unshrink, ACompressedSizeFarBeyondTheFileStopsWhenTheInputRunsOut) {
    // 100 zero bytes are eleven literal zeros and more; the header claims
    // almost 2 GiB. The re-served last block would go on decoding zeros for
    // about 1.9 billion codes; the decoder stops at the end of the file.
    DecoderOptions options;
    options.CompressedSize = 0x7FFFFF00;
    options.Trailer.clear();
    options.OutputCapacity = 1 << 20;
    auto run = RunDecoder(UnshrinkResult, std::vector<uint8_t>(100, 0), options);
    EXPECT_EQ(run.Result, InputFailed);
    EXPECT_LT(run.Output.size(), 4096u);
}

TEST(Unshrink, ChainThroughAFreeCodeIsDamage) {
    // 300 arrives while free (it is not the next free code): the decoder
    // takes it as "previous string + first byte"; then 258 = (300)b has a
    // free code as prefix, and decoding 258 must not follow it.
    auto run = RunUnshrink(Codes({{'a', 9}, {300, 9}, {'b', 9}, {258, 9}}));
    EXPECT_EQ(run.Result, ArchiveDamaged);
    // The first code 300 as previous code of a code being defined.
    auto first = RunUnshrink(Codes({{300, 9}, {257, 9}}));
    EXPECT_EQ(first.Result, ArchiveDamaged);
}

TEST(Unshrink, PrefixLoopIsDamageNotAnEndlessWalk) {
    // First code 257 (a literal 0x01 and the previous code), then 'b': the
    // entry 257 = (257)b refers to itself.
    auto run = RunUnshrink(Codes({{257, 9}, {'b', 9}, {257, 9}}));
    EXPECT_EQ(run.Result, ArchiveDamaged);
}

TEST(Unshrink, PartialClearLeavesTheFreeListIntactWhenAnEntryNamesAFreeCode) {
    // 258 = (300)b names the free code 300; a clear must not take 300's
    // free-list link for a prefix, or the list breaks once it reaches 300.
    BitWriter w;
    for (Code c : {Code{'a', 9}, {300, 9}, {'b', 9}, {256, 9}, {2, 9}}) w.Bits(c.Value, c.Width);
    // 257 = aa and 258 = (300)b were leaves: 257 = bc, 258 = cd, 259 = db,
    // 260 = (257)c, then one entry per literal up to and past 300.
    for (Code c : {Code{'c', 9}, {'d', 9}, {257, 9}, {258, 9}}) w.Bits(c.Value, c.Width);
    std::string expected = "a" "aa" "b" "c" "d" "bc" "cd";
    for (int j = 0; j < 50; j++) {
        w.Bits('A' + j % 26, 9);
        expected += static_cast<char>('A' + j % 26);
    }
    w.Bits(300, 9);  // 300 = (x38)x39
    w.Bits(310, 9);  // 310 = (x48)x49
    expected += expected.substr(expected.size() - 12, 2) + expected.substr(expected.size() - 2, 2);
    auto run = RunUnshrink(w.Finish());
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), expected);
}

TEST(Unshrink, RandomStreamsStayInBounds) {
    std::mt19937 rng(4);
    for (int i = 0; i < 150; i++) {
        std::vector<uint8_t> data(1 + rng() % 3000);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        auto run = RunUnshrink(data);
        EXPECT_TRUE(run.Result == Ok || run.Result == ArchiveDamaged) << run.Result;
    }
}

TEST(Unshrink, RoundTripsTheTestEncoder) {
    std::mt19937 rng(1);
    int clears = 0, widest = 0;
    for (int i = 0; i < 60; i++) {
        auto data = MakeTestData(rng, 1 + rng() % (i < 50 ? 20000 : 150000));
        ShrinkStats stats;
        auto packed = ShrinkEncode(data, (i % 3) * 0.005, rng, &stats);
        auto run = RunUnshrink(packed);
        ASSERT_EQ(run.Result, Ok) << i;
        ASSERT_EQ(run.Output, data) << i;
        clears += stats.Clears;
        widest = std::max(widest, stats.MaxWidth);
    }
    EXPECT_GT(clears, 10);
    EXPECT_EQ(widest, 13);
}

}  // namespace
