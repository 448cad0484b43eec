// Explode on hand-built streams (code-length lists, the four variants, the
// match rules), on streams of the test encoder with flat and random trees,
// and on damaged streams.
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

constexpr uint16_t LargeDictionary = 2;  // EntryFlags bit 1
constexpr uint16_t LiteralTree = 4;      // EntryFlags bit 2

// A stream with flat trees: every literal 8 bits, every length and distance
// symbol 6 bits, so a symbol's canonical code is the symbol itself.
struct ImplodeStream {
    BitWriter Out;
    uint16_t Flags;

    // The flat distance list can be replaced by another (a match then has
    // to be written by hand).
    explicit ImplodeStream(uint16_t flags, const std::vector<uint8_t>& distanceList = FlatList) : Flags(flags) {
        if (flags & LiteralTree) {
            Out.Byte(0x0F);  // 16 bytes follow: 16 x 16 symbols of length 8
            for (int i = 0; i < 16; i++) Out.Byte(0xF7);
        }
        Out.Bytes(FlatList);
        Out.Bytes(distanceList);
    }
    static inline const std::vector<uint8_t> FlatList = {0x03, 0xF5, 0xF5, 0xF5, 0xF5};  // 4 x 16 symbols of length 6
    // A code goes out first bit first, every bit inverted.
    void Code(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; i--) Out.Bits(((code >> i) & 1) ^ 1, 1);
    }
    void Literals(const std::string& text) {
        for (char c : text) {
            Out.Bits(1, 1);
            if (Flags & LiteralTree)
                Code(static_cast<uint8_t>(c), 8);
            else
                Out.Bits(static_cast<uint8_t>(c), 8);
        }
    }
    void Match(int distance, int length) {
        int lowBits = (Flags & LargeDictionary) ? 7 : 6;
        int symbol = length - ((Flags & LiteralTree) ? 3 : 2);
        Out.Bits(0, 1);
        Out.Bits(static_cast<uint32_t>(distance - 1) & ((1u << lowBits) - 1), lowBits);
        Code(static_cast<uint32_t>(distance - 1) >> lowBits, 6);
        Code(symbol < 63 ? symbol : 63, 6);
        if (symbol >= 63) Out.Bits(static_cast<uint32_t>(symbol - 63), 8);
    }
};

DecoderRun RunExplode(const std::vector<uint8_t>& data, uint16_t flags, int32_t size) {
    DecoderOptions options;
    options.EntryFlags = flags;
    options.UncompressedSize = size;
    return RunDecoder(Explode, data, options);
}

std::string Text(const DecoderRun& run) { return std::string(run.Output.begin(), run.Output.end()); }

TEST(Explode, FlatListsGiveCompleteCodesInEveryVariant) {
    for (uint16_t flags : {0, 2, 4, 6}) {
        ImplodeStream s(flags);
        s.Literals("hello, ");
        s.Match(7, 7);
        s.Literals("!");
        auto run = RunExplode(s.Out.Finish(), flags, 15);
        EXPECT_EQ(run.Result, Ok) << flags;
        EXPECT_EQ(Text(run), "hello, hello, !") << flags;
    }
}

TEST(Explode, DistanceHighBitsScaleWithTheDictionary) {
    // Distance 3000 = low part + symbol x 64 (4 KiB) or x 128 (8 KiB).
    for (uint16_t flags : {0, 2}) {
        ImplodeStream s(flags);
        std::string text;
        for (int i = 0; i < 3000; i++) text += static_cast<char>('a' + (i * 7 + i / 26) % 26);
        s.Literals(text);
        s.Match(3000, 40);
        auto run = RunExplode(s.Out.Finish(), flags, 3040);
        EXPECT_EQ(run.Result, Ok);
        EXPECT_EQ(Text(run), text + text.substr(0, 40));
    }
}

TEST(Explode, CodeLengthListsMustCoverTheTreeExactly) {
    auto withLengthList = [](std::vector<uint8_t> list) {
        BitWriter w;
        for (uint8_t b : list) w.Byte(b);
        w.Byte(0x03);
        for (int i = 0; i < 4; i++) w.Byte(0xF5);
        return RunExplode(w.Finish(), 0, 10);
    };
    auto shortList = withLengthList({0x03, 0xF5, 0xF5, 0xF5, 0xE5});          // 63 symbols
    auto longList = withLengthList({0x04, 0xF5, 0xF5, 0xF5, 0xF5, 0x05});     // 65 symbols
    auto exact = withLengthList({0x03, 0xF5, 0xF5, 0xF5, 0xF5});              // 64 symbols
    EXPECT_EQ(shortList.Result, ArchiveDamaged);
    EXPECT_EQ(longList.Result, ArchiveDamaged);
    EXPECT_TRUE(shortList.Output.empty() && longList.Output.empty());
    EXPECT_EQ(exact.Result, Ok);
}

TEST(Explode, IncompleteAndOversubscribedCodesAreRefused) {
    // 64 codes of 7 bits (half unused), of 5 bits (too many), of 16 bits
    // (a root of 2^16 entries, nearly all unused).
    for (uint8_t lengthByte : {0xF6, 0xF4, 0xFF}) {
        BitWriter w;
        w.Byte(0x03);
        for (int i = 0; i < 4; i++) w.Byte(lengthByte);
        w.Byte(0x03);
        for (int i = 0; i < 4; i++) w.Byte(0xF5);
        auto run = RunExplode(w.Finish(), 0, 10);
        EXPECT_EQ(run.Result, ArchiveDamaged);
        EXPECT_TRUE(run.Output.empty());
    }
    // An incomplete literal tree (all 256 lengths 9) is refused the same way.
    BitWriter w;
    w.Byte(0x0F);
    for (int i = 0; i < 16; i++) w.Byte(0xF8);
    auto run = RunExplode(w.Finish(), LiteralTree, 10);
    EXPECT_EQ(run.Result, ArchiveDamaged);
}

TEST(Explode, LengthSymbol63WithExtraByte255IsTheLongestMatch) {
    for (uint16_t flags : {0, 4}) {
        int longest = (flags & LiteralTree) ? 321 : 320;
        ImplodeStream s(flags);
        s.Literals("A");
        s.Match(1, longest);
        s.Literals("B");
        auto run = RunExplode(s.Out.Finish(), flags, longest + 2);
        EXPECT_EQ(run.Result, Ok);
        EXPECT_EQ(Text(run), std::string(longest + 1, 'A') + "B");
    }
}

TEST(Explode, FinalMatchPastTheExpectedSizeIsCopiedInFull) {
    ImplodeStream s(0);
    s.Literals("AB");
    s.Match(2, 6);
    auto run = RunExplode(s.Out.Finish(), 0, 5);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "ABABABAB");
}

TEST(Explode, EmptyEntryReadsItsTreesAndProducesNothing) {
    ImplodeStream s(LiteralTree | LargeDictionary);
    auto run = RunExplode(s.Out.Finish(), LiteralTree | LargeDictionary, 0);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_TRUE(run.Output.empty());
    // The reader stands after the 27 tree bytes, where a data descriptor
    // would follow.
    EXPECT_EQ(run.State.InputPos, 27);
    EXPECT_EQ(run.State.BitCount, 0);

    // Damaged trees are found in an empty entry too.
    BitWriter w;
    w.Bytes({0x03, 0xF5, 0xF5, 0xF5, 0xE5});  // 63 length symbols
    w.Bytes(ImplodeStream::FlatList);
    EXPECT_EQ(RunExplode(w.Finish(), 0, 0).Result, ArchiveDamaged);
}

TEST(Explode, DistanceRootIsSevenBitsUpTo200000CompressedBytesAndEightAbove) {
    // The root width shows only in how far the reader looks ahead. This
    // distance tree has a 1-bit code (symbol 0) and codes up to 12 bits, so
    // the root keeps the width asked for. The data ends with a match whose
    // 1-bit distance code starts 7 bits before a byte boundary, followed by
    // a 6-bit length code: a 7-bit root looks up to the boundary and no
    // further, an 8-bit one takes the byte after it.
    const std::vector<uint8_t> distances = {0x0A, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,  // lengths 1..6
                                            0x5A, 0xFB, 0xFB, 0xFB, 0x3B};             // 6 x 11, 52 x 12
    ImplodeStream s(0, distances);
    s.Literals("ab");  // 18 bits
    s.Out.Bits(0, 1);  // a match: distance 2 (low bits 1, high symbol 0), length 4 (symbol 2)
    s.Out.Bits(1, 6);
    s.Code(0, 1);
    s.Code(2, 6);  // ends at bit 32
    const int32_t treeBytes = 5 + 12;
    for (int32_t compressedSize : {200000, 200001}) {
        DecoderOptions options;
        options.UncompressedSize = 6;
        options.CompressedSize = compressedSize;
        auto run = RunDecoder(Explode, s.Out.Finish(), options);
        EXPECT_EQ(run.Result, Ok);
        EXPECT_EQ(Text(run), "ababab");
        bool eightBits = compressedSize > 200000;
        EXPECT_EQ(run.State.InputPos, treeBytes + 4 + (eightBits ? 1 : 0)) << compressedSize;
        EXPECT_EQ(run.State.BitCount, eightBits ? 8 : 0) << compressedSize;
    }
}

TEST(Explode, MatchesReadZerosBeforeTheStartOnlyUntilTheFirstFlush) {
    ImplodeStream s(LargeDictionary);
    s.Literals("AB");
    s.Match(4, 5);
    auto run = RunExplode(s.Out.Finish(), LargeDictionary, 7);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, (std::vector<uint8_t>{'A', 'B', 0, 0, 'A', 'B', 0}));

    ImplodeStream t(0);
    std::string text;
    for (int i = 0; i < 32768 + 2; i++) text += static_cast<char>(1 + i % 113);
    t.Literals(text);
    t.Match(4, 5);  // crosses back over position 0 into the previous round
    for (int i = 0; i < 5; i++) text += text[text.size() - 4];
    auto wrapped = RunExplode(t.Out.Finish(), 0, static_cast<int32_t>(text.size()));
    EXPECT_EQ(wrapped.Result, Ok);
    EXPECT_TRUE(Text(wrapped) == text);
}

TEST(Explode, DistanceOneRepeatsTheLastByte) {
    ImplodeStream s(LiteralTree);
    s.Literals("z");
    s.Match(1, 100);
    auto run = RunExplode(s.Out.Finish(), LiteralTree, 101);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), std::string(101, 'z'));
}

TEST(Explode, MatchAcrossTheWindowEndIsFlushedInTheMiddle) {
    ImplodeStream s(0);
    std::string text;
    for (int i = 0; i < 32760; i++) text += static_cast<char>('a' + i % 19);
    s.Literals(text);
    s.Match(19, 300);  // 8 bytes before the window's end, 292 after
    for (int i = 0; i < 300; i++) text += text[text.size() - 19];
    auto run = RunExplode(s.Out.Finish(), 0, static_cast<int32_t>(text.size()));
    EXPECT_EQ(run.Result, Ok);
    EXPECT_TRUE(Text(run) == text);
}

TEST(Explode, RunningOutOfInputFlushesAndFails) {
    ImplodeStream s(0);
    s.Literals("xyz");
    DecoderOptions options;
    options.Trailer.clear();
    options.DeferredSizes = true;  // sizes in a data descriptor: read until the input ends
    auto run = RunDecoder(Explode, s.Out.Finish(), options);
    EXPECT_EQ(run.Result, InputFailed);
    ASSERT_GE(run.Output.size(), 3u);
    EXPECT_EQ(Text(run).substr(0, 3), "xyz");
}

TEST(Explode, CancelStopsWithoutFlushing) {
    ImplodeStream s(0);
    s.Literals("xyz");
    DecoderOptions options;
    options.UncompressedSize = 3;
    options.CancelRequested = true;
    auto run = RunDecoder(Explode, s.Out.Finish(), options);
    EXPECT_EQ(run.Result, Cancelled);
    EXPECT_TRUE(run.Output.empty());
}

TEST(Explode, FailedFlushEndsTheEntry) {
    ImplodeStream s(0);
    s.Literals("q");
    for (int i = 0; i < 131; i++) s.Match(1, 320);
    DecoderOptions options;
    options.UncompressedSize = 1 + 131 * 320;
    options.OutputCapacity = 1000;
    auto run = RunDecoder(Explode, s.Out.Finish(), options);
    EXPECT_EQ(run.Result, OutputFailed);
    EXPECT_EQ(run.Output.size(), 1000u);
}

TEST(Explode, RoundTripsTheTestEncoderInEveryVariant) {
    std::mt19937 rng(3);
    for (int i = 0; i < 64; i++) {
        ImplodeOptions options;
        options.LargeDictionary = (i & 1) != 0;
        options.LiteralTree = (i & 2) != 0;
        options.RandomTrees = (i & 4) != 0;
        auto data = MakeTestData(rng, 1 + rng() % (i < 56 ? 20000 : 120000));
        DecoderOptions runOptions;
        runOptions.EntryFlags =
            static_cast<uint16_t>((options.LargeDictionary ? 2 : 0) | (options.LiteralTree ? 4 : 0));
        runOptions.UncompressedSize = static_cast<int32_t>(data.size());
        // Both distance lookup widths: 7 bits up to 200000 compressed bytes, 8 above.
        runOptions.CompressedSize = (i & 8) ? 200001 : 200000;
        auto run = RunDecoder(Explode, ImplodeEncode(data, options, rng), runOptions);
        ASSERT_EQ(run.Result, Ok) << i;
        ASSERT_TRUE(run.Output == data) << i;
    }
}

TEST(Explode, TruncatedAndRandomStreamsFailCleanly) {
    std::mt19937 rng(6);
    ImplodeOptions options;
    options.RandomTrees = true;
    auto data = MakeTestData(rng, 3000);
    auto packed = ImplodeEncode(data, options, rng);
    for (size_t cut = 0; cut < packed.size(); cut += 1 + cut / 8) {
        DecoderOptions cutOptions;
        cutOptions.Trailer.clear();
        cutOptions.EntryFlags = 6;
        cutOptions.UncompressedSize = 3000;
        auto run = RunDecoder(Explode, {packed.begin(), packed.begin() + static_cast<long>(cut)}, cutOptions);
        EXPECT_TRUE(run.Result == InputFailed || run.Result == ArchiveDamaged) << cut << " " << run.Result;
    }
    for (int i = 0; i < 60; i++) {
        std::vector<uint8_t> data(1 + rng() % 2000);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        DecoderOptions randomOptions;
        randomOptions.EntryFlags = static_cast<uint16_t>(rng() & 6);
        randomOptions.UncompressedSize = static_cast<int32_t>(rng() % 40000);
        auto run = RunDecoder(Explode, data, randomOptions);
        EXPECT_TRUE(run.Result == Ok || run.Result == InputFailed || run.Result == ArchiveDamaged) << run.Result;
    }
}

}  // namespace
