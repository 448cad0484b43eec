// Unreduce on hand-built streams (follower sets and the 144 state machine),
// on streams of the test encoder for all four factors, and on its failure
// paths.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "codecs/codecs.h"
#include "support/bit_writer.h"
#include "support/decoder_harness.h"
#include "support/fail_alloc.h"
#include "support/legacy_encoders.h"

namespace {

using testutil::BitWriter;
using testutil::DecoderOptions;
using testutil::DecoderRun;
using testutil::RunDecoder;

// Unreduce for one method, as a decoder without arguments.
template <uint16_t Method>
ExtractResult UnreduceMethod() {
    return Unreduce(Method);
}
constexpr ExtractResult (*UnreduceFor[6])() = {nullptr, nullptr, UnreduceMethod<2>, UnreduceMethod<3>,
                                                UnreduceMethod<4>, UnreduceMethod<5>};

// A reduced stream written one decoded byte at a time, in the context of the
// byte before it.
struct ReduceStream {
    BitWriter Out;
    std::array<std::vector<uint8_t>, 256> Sets;
    uint8_t Last = 0;

    void WriteSets() {
        for (int s = 255; s >= 0; s--) {
            Out.Bits(static_cast<uint32_t>(Sets[s].size()), 6);
            for (uint8_t m : Sets[s]) Out.Bits(m, 8);
        }
    }
    // Y as a plain byte (with the flag bit when the context has a set).
    void Plain(std::initializer_list<int> ys) {
        for (int y : ys) {
            if (!Sets[Last].empty()) Out.Bits(1, 1);
            Out.Bits(static_cast<uint32_t>(y), 8);
            Last = static_cast<uint8_t>(y);
        }
    }
    // Y as an index of `width` bits into the context's set.
    void Index(uint32_t i, int width) {
        Out.Bits(0, 1);
        Out.Bits(i, width);
        Last = i < Sets[Last].size() ? Sets[Last][i] : 0;
    }
};

DecoderRun RunUnreduce(uint16_t method, const std::vector<uint8_t>& data, int32_t size, bool cancel = false) {
    DecoderOptions options;
    options.UncompressedSize = size;
    options.CancelRequested = cancel;
    return RunDecoder(UnreduceFor[method], data, options);
}

std::string Text(const DecoderRun& run) { return std::string(run.Output.begin(), run.Output.end()); }

TEST(Unreduce, MarkerFollowedByZeroIsOneLiteralMarkerAndContextZero) {
    ReduceStream s;
    s.Sets[0] = {'Q'};  // after 144, 0 the context is 0, not 144
    s.WriteSets();
    s.Plain({144});
    s.Plain({0});
    s.Index(0, 1);
    auto run = RunUnreduce(2, s.Out.Finish(), 2);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, (std::vector<uint8_t>{144, 'Q'}));
}

TEST(Unreduce, SetOfSizeOneCostsOneBitAndIndexOneIsZero) {
    ReduceStream s;
    s.Sets[0] = {'Q'};
    s.Sets['Q'] = {'R'};
    s.WriteSets();
    s.Index(0, 1);  // Q
    s.Index(0, 1);  // R
    s.Plain({'Q'});
    s.Index(1, 1);  // past the set: 0
    auto run = RunUnreduce(5, s.Out.Finish(), 4);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, (std::vector<uint8_t>{'Q', 'R', 'Q', 0}));
}

TEST(Unreduce, FactorOneCopiesFromTheDistanceInTheHighBitOfV) {
    // 300 known bytes, then 144, 0x83 (len 3, distance high bit 1), Y = 4:
    // 6 bytes from 1 * 256 + 4 + 1 = 261 back.
    ReduceStream s;
    s.WriteSets();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 300; i++) {
        uint8_t b = static_cast<uint8_t>(i * 7 + 1);
        if (b == 144) b = 145;
        s.Plain({b});
        expected.push_back(b);
    }
    s.Plain({144, 0x83, 4});
    for (int i = 0; i < 6; i++) expected.push_back(expected[300 - 261 + i]);
    auto run = RunUnreduce(2, s.Out.Finish(), 306);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, expected);
}

TEST(Unreduce, FactorFourFullLengthNibbleTakesAnExtraLengthByte) {
    // V = 0x1F: len 15 = the mask, so 10 more; distance 1 * 256 + 3 + 1.
    ReduceStream s;
    s.WriteSets();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 400; i++) {
        uint8_t b = static_cast<uint8_t>('a' + i % 26);
        s.Plain({b});
        expected.push_back(b);
    }
    s.Plain({144, 0x1F, 10, 3});
    for (int i = 0; i < 15 + 10 + 3; i++) expected.push_back(expected[expected.size() - 260]);
    auto run = RunUnreduce(5, s.Out.Finish(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, expected);
    // With factor 1 the same V is a plain length (0x1F is below the mask 127).
    auto factor1 = RunUnreduce(2, s.Out.Finish(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(factor1.Result, Ok);
    EXPECT_NE(factor1.Output, expected);
}

TEST(Unreduce, CopiesBeforeTheStartReadZerosOnlyUntilTheFirstFlush) {
    // "AB", then 5 bytes from 4 back: two positions before the start.
    ReduceStream s;
    s.WriteSets();
    s.Plain({'A', 'B', 144, 2, 3});  // factor 4: len 2, distance 0 * 256 + 3 + 1
    auto run = RunUnreduce(5, s.Out.Finish(), 7);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(run.Output, (std::vector<uint8_t>{'A', 'B', 0, 0, 'A', 'B', 0}));

    // After a full 16 KiB ring has gone out, a copy from before position 0
    // reads the ring's previous round.
    ReduceStream t;
    t.WriteSets();
    std::vector<uint8_t> expected;
    for (int i = 0; i < 16384 + 2; i++) {
        uint8_t b = static_cast<uint8_t>(1 + i % 131);
        t.Plain({b});
        expected.push_back(b);
    }
    t.Plain({144, 2, 3});
    for (int i = 0; i < 5; i++) expected.push_back(expected[expected.size() - 4]);
    auto wrapped = RunUnreduce(5, t.Out.Finish(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(wrapped.Result, Ok);
    EXPECT_EQ(wrapped.Output, expected);
}

TEST(Unreduce, FinalCopyPastTheExpectedSizeIsWrittenInFull) {
    ReduceStream s;
    s.WriteSets();
    s.Plain({'A', 'B', 144, 3, 1});  // 6 bytes from 2 back, 3 more than expected
    auto run = RunUnreduce(5, s.Out.Finish(), 5);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_EQ(Text(run), "ABABABAB");
}

TEST(Unreduce, RunningOutOfInputEndsWithOkAndTheShortOutput) {
    ReduceStream s;
    s.WriteSets();
    s.Plain({'x', 'y', 'z'});
    auto run = RunUnreduce(3, s.Out.Finish(), 100000);
    EXPECT_EQ(run.Result, Ok);
    ASSERT_GE(run.Output.size(), 3u);
    EXPECT_EQ(Text(run).substr(0, 3), "xyz");
    EXPECT_LT(run.Output.size(), 100000u);  // the CRC check of the entry judges it
}

TEST(Unreduce, HonoursCancelAtTheTopOfItsLoop) {
    ReduceStream s;
    s.WriteSets();
    s.Plain({'x', 'y', 'z'});
    auto run = RunUnreduce(4, s.Out.Finish(), 3, true);
    EXPECT_EQ(run.Result, Cancelled);
    EXPECT_TRUE(run.Output.empty());
}

TEST(Unreduce, FollowerSetsThatCannotBeAllocatedFailTheEntry) {
    ReduceStream s;
    s.WriteSets();
    s.Plain({'x'});
    FailNothrowAllocations(256 * 64 * sizeof(uint16_t));
    auto run = RunUnreduce(2, s.Out.Finish(), 1);
    FailNothrowAllocations(0, 0);
    EXPECT_EQ(run.Result, InputFailed);
    EXPECT_TRUE(run.Output.empty());
}

TEST(Unreduce, FullRingsGoOutAndAFailedFlushStopsTheEntry) {
    ReduceStream s;
    s.WriteSets();
    for (int i = 0; i < 40000; i++) s.Plain({'a' + i % 7});
    DecoderOptions options;
    options.UncompressedSize = 40000;
    options.OutputCapacity = 20000;  // the second full ring does not fit
    auto run = RunDecoder(UnreduceFor[2], s.Out.Finish(), options);
    EXPECT_EQ(run.Result, OutputFailed);
    EXPECT_EQ(run.Output.size(), 20000u);
}

TEST(Unreduce, RoundTripsTheTestEncoderForEveryFactor) {
    std::mt19937 rng(2);
    for (int i = 0; i < 48; i++) {
        int factor = 1 + i % 4;
        auto data = MakeTestData(rng, 1 + rng() % (i < 40 ? 20000 : 100000));
        int maxSet = (i / 4) % 3 == 0 ? 63 : 1 + static_cast<int>(rng() % 40);
        auto packed = ReduceEncode(data, factor, maxSet);
        auto run = RunUnreduce(static_cast<uint16_t>(factor + 1), packed, static_cast<int32_t>(data.size()));
        ASSERT_EQ(run.Result, Ok) << i;
        ASSERT_EQ(run.Output, data) << i;
    }
}

TEST(Unreduce, RandomStreamsStayInBounds) {
    std::mt19937 rng(5);
    for (int i = 0; i < 100; i++) {
        std::vector<uint8_t> data(1 + rng() % 3000);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        auto run = RunUnreduce(static_cast<uint16_t>(2 + i % 4), data, static_cast<int32_t>(rng() % 50000));
        EXPECT_EQ(run.Result, Ok);
    }
}

}  // namespace
