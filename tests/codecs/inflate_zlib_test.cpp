// Inflate against zlib as the oracle: raw deflate streams that zlib writes at
// every level and with its fixed, Huffman-only and RLE strategies, over text,
// machine code, random and highly repetitive data of the sizes around the
// window size and of several MiB, decode byte-exact with the right CRC.
#ifdef HAVE_ZLIB

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "support/decoder_harness.h"
#include "support/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testutil::DecoderOptions;
using testutil::RunDecoder;

// flushEvery > 0: the input is fed in pieces of that size, each ended with
// the next of Z_SYNC_FLUSH (an empty stored block), Z_PARTIAL_FLUSH (empty
// fixed blocks) and Z_FULL_FLUSH.
Bytes RawDeflate(const Bytes& in, int level, int strategy, size_t flushEvery = 0) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
    Bytes out(deflateBound(&z, in.size()) + 64 + (flushEvery ? in.size() / flushEvery * 16 : 0));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t pos = 0;
    int round = 0;
    const int flushes[3] = {Z_SYNC_FLUSH, Z_PARTIAL_FLUSH, Z_FULL_FLUSH};
    for (;;) {
        size_t piece = flushEvery ? std::min(flushEvery, in.size() - pos) : in.size() - pos;
        z.next_in = const_cast<Bytef*>(in.data() + pos);
        z.avail_in = static_cast<uInt>(piece);
        pos += piece;
        bool last = pos == in.size();
        int rc = deflate(&z, last ? Z_FINISH : flushes[round++ % 3]);
        if (last) {
            EXPECT_EQ(rc, Z_STREAM_END);
            break;
        }
        EXPECT_EQ(rc, Z_OK);
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes Text(size_t n, uint32_t seed) {
    static const char* const words[] = {"the",     "archive", "of",   "entry",  "window", "and",    "a",
                                        "deflate", "block",   "code", "length", "to",     "install", "setup",
                                        "is",      "data",    "file", "table",  "which",  "in"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 20];
        s += (rng() % 13 == 0) ? ".\n" : " ";
    }
    return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Machine code: this test program itself, repeated as needed.
Bytes MachineCode(size_t n) {
    static const Bytes self = testutil::ReadBytes("/proc/self/exe");
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = self[(i + 4096) % self.size()];
    return b;
}

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Long runs and short periods: long matches at distance 1 and a few bytes.
Bytes Repetitive(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        size_t run = 1 + rng() % 3000;
        int kind = static_cast<int>(rng() % 3);
        uint8_t v = static_cast<uint8_t>(rng());
        for (size_t i = 0; i < run && b.size() < n; i++)
            b.push_back(kind == 0 ? v : kind == 1 ? static_cast<uint8_t>(v + i % 3) : static_cast<uint8_t>(i % 7 * 11));
    }
    return b;
}

Bytes Make(int kind, size_t n) {
    switch (kind) {
        case 0:
            return Text(n, 1);
        case 1:
            return MachineCode(n);
        case 2:
            return Random(n, 2);
        default:
            return Repetitive(n, 3);
    }
}
const char* const KindNames[] = {"text", "machine code", "random", "repetitive"};

void ExpectRoundTrip(const Bytes& data, const Bytes& stream, const std::string& what) {
    DecoderOptions exact;
    exact.OutputCapacity = static_cast<int32_t>(data.size());  // a byte too many would fail the flush
    auto run = RunDecoder(Inflate, stream, exact);
    ASSERT_EQ(run.Result, Ok) << what;
    ASSERT_EQ(run.Output.size(), data.size()) << what;
    ASSERT_TRUE(run.Output == data) << what;
    EXPECT_EQ(run.Crc, testutil::Crc32(data)) << what;
}

const size_t WindowSizes[] = {0, 1, 32767, 32768, 32769};
constexpr size_t SeveralMiB = 3 * 1024 * 1024 + 123;

TEST(InflateZlib, EveryLevelAroundTheWindowSize) {
    for (int kind = 0; kind < 4; kind++)
        for (size_t n : WindowSizes) {
            Bytes data = Make(kind, n);
            for (int level = 0; level <= 9; level++)
                ExpectRoundTrip(data, RawDeflate(data, level, Z_DEFAULT_STRATEGY),
                                std::string(KindNames[kind]) + " size " + std::to_string(n) + " level " +
                                    std::to_string(level));
        }
}

TEST(InflateZlib, FixedHuffmanOnlyAndRleStrategies) {
    for (int kind = 0; kind < 4; kind++)
        for (size_t n : {size_t{1}, size_t{32768}, size_t{100000}})
            for (int strategy : {Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE}) {
                Bytes data = Make(kind, n);
                ExpectRoundTrip(data, RawDeflate(data, 6, strategy),
                                std::string(KindNames[kind]) + " size " + std::to_string(n) + " strategy " +
                                    std::to_string(strategy));
            }
}

TEST(InflateZlib, SeveralMiB) {
    for (int kind = 0; kind < 4; kind++) {
        Bytes data = Make(kind, SeveralMiB);
        for (int level : {1, 9})
            ExpectRoundTrip(data, RawDeflate(data, level, Z_DEFAULT_STRATEGY),
                            std::string(KindNames[kind]) + " level " + std::to_string(level));
    }
    // Stored blocks, and the strategies, over the kinds they suit.
    ExpectRoundTrip(Make(2, SeveralMiB), RawDeflate(Make(2, SeveralMiB), 0, Z_DEFAULT_STRATEGY), "random level 0");
    ExpectRoundTrip(Make(0, SeveralMiB), RawDeflate(Make(0, SeveralMiB), 6, Z_HUFFMAN_ONLY), "text Huffman only");
    ExpectRoundTrip(Make(1, SeveralMiB), RawDeflate(Make(1, SeveralMiB), 6, Z_FIXED), "machine code fixed");
    ExpectRoundTrip(Make(3, SeveralMiB), RawDeflate(Make(3, SeveralMiB), 6, Z_RLE), "repetitive RLE");
}

TEST(InflateZlib, FlushesGiveEmptyStoredAndFixedBlocksBetweenTheData) {
    for (int kind = 0; kind < 4; kind++)
        for (size_t every : {size_t{1}, size_t{1000}, size_t{40000}}) {
            Bytes data = Make(kind, every == 1 ? 5000 : 200000);
            ExpectRoundTrip(data, RawDeflate(data, 6, Z_DEFAULT_STRATEGY, every),
                            std::string(KindNames[kind]) + " flush every " + std::to_string(every));
        }
}

TEST(InflateZlib, TestOnlyModeChecksTheSameCrc) {
    Bytes data = Make(0, 500000);
    DecoderOptions options;
    options.TestOnly = true;
    auto run = RunDecoder(Inflate, RawDeflate(data, 9, Z_DEFAULT_STRATEGY), options);
    EXPECT_EQ(run.Result, Ok);
    EXPECT_TRUE(run.Output.empty());
    EXPECT_EQ(run.Crc, testutil::Crc32(data));
}

TEST(InflateZlib, DamagedStreamsNeverOverrun) {
    // Random bit flips in zlib streams: whatever the result, the decoder stays
    // inside its buffers (the sanitizer build checks), and where it reports
    // Ok, zlib agrees on the output.
    std::mt19937 rng(77);
    Bytes data = Make(0, 70000);
    Bytes good = RawDeflate(data, 9, Z_DEFAULT_STRATEGY);
    for (int round = 0; round < 200; round++) {
        Bytes bad = good;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; i++) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        auto run = RunDecoder(Inflate, bad);
        if (run.Result != Ok) continue;
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
        Bytes out(run.Output.size() + 1);
        z.next_in = bad.data();
        z.avail_in = static_cast<uInt>(bad.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_FINISH);
        inflateEnd(&z);
        if (rc == Z_STREAM_END) {
            out.resize(z.total_out);
            EXPECT_EQ(out, run.Output) << "round " << round;
        }
    }
}

}  // namespace

#endif  // HAVE_ZLIB
