// Inflate's fast loop and fast stored copy against the exact routes: every
// stream runs once with FastPathsEnabled cleared and once with it set, and
// the two runs must agree on the result, the output, the CRC, the whole
// window and the reader's state (bit buffer and count, input position and
// end, bytes read, the exhausted flag), which a data descriptor is read from
// next. The streams come from zlib at many settings and from the test-side
// writer where the shapes matter: stream ends at every byte around the
// 2048-byte input blocks, long matches at distances 1 to 8 and 32768, long
// codes, truncations and damage.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "support/decoder_harness.h"
#include "support/deflate_writer.h"
#include "support/test_util.h"
#include "support/zlib_deflate.h"

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using testutil::BitWriter;
using testutil::DecoderOptions;
using testutil::DecoderRun;
using testutil::RunDecoder;
using namespace testutil::deflate_writer;

struct RouteRun {
    DecoderRun Run;
    uint32_t BitBuffer;
    uint8_t BitCount;
    int16_t InputPos;
    int32_t InputLast;
    int32_t BytesRead;
    uint16_t WindowPos;
    bool InputExhausted;
};

RouteRun RunRoute(bool fast, const Bytes& stream, const DecoderOptions& options) {
    const bool saved = FastPathsEnabled;
    FastPathsEnabled = fast;
    RouteRun r;
    r.Run = RunDecoder(Inflate, stream, options);
    FastPathsEnabled = saved;
    const EngineStateRecord& e = EngineState;
    r.BitBuffer = e.BitBuffer;
    r.BitCount = e.BitCount;
    r.InputPos = e.InputPos;
    r.InputLast = e.InputLast;
    r.BytesRead = e.BytesRead;
    r.WindowPos = e.WindowPos;
    r.InputExhausted = e.InputExhausted;
    return r;
}

// Runs both routes and expects them to agree; returns the fast run.
DecoderRun ExpectSameOnBothRoutes(const Bytes& stream, const DecoderOptions& options, const std::string& what) {
    RouteRun exact = RunRoute(false, stream, options);
    RouteRun fast = RunRoute(true, stream, options);
    EXPECT_EQ(exact.Run.Result, fast.Run.Result) << what;
    EXPECT_TRUE(exact.Run.Output == fast.Run.Output) << what;
    EXPECT_EQ(exact.Run.Crc, fast.Run.Crc) << what;
    EXPECT_TRUE(exact.Run.Window == fast.Run.Window) << what;
    EXPECT_EQ(exact.BitBuffer, fast.BitBuffer) << what;
    EXPECT_EQ(exact.BitCount, fast.BitCount) << what;
    EXPECT_EQ(exact.InputPos, fast.InputPos) << what;
    EXPECT_EQ(exact.InputLast, fast.InputLast) << what;
    EXPECT_EQ(exact.BytesRead, fast.BytesRead) << what;
    EXPECT_EQ(exact.WindowPos, fast.WindowPos) << what;
    EXPECT_EQ(exact.InputExhausted, fast.InputExhausted) << what;
    return fast.Run;
}

// What follows an entry with flag bit 3: a data descriptor, then the next
// local header.
Bytes DescriptorTrailer(uint32_t crc) {
    Bytes t = {0x50, 0x4B, 0x07, 0x08};
    for (int i = 0; i < 4; i++) t.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    for (int i = 0; i < 8; i++) t.push_back(static_cast<uint8_t>(0x11 * i));
    Bytes next = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00};
    t.insert(t.end(), next.begin(), next.end());
    return t;
}

// Both size settings: sizes known (the reader stops two bytes past the data)
// and deferred to a descriptor (it reads on into what follows).
std::vector<DecoderOptions> SizeSettings(const Bytes& data) {
    DecoderOptions known;
    known.Trailer = DescriptorTrailer(testutil::Crc32(data));
    DecoderOptions deferred = known;
    deferred.DeferredSizes = true;
    deferred.EntryFlags = 8;
    return {known, deferred};
}

void ExpectDecodes(const Bytes& stream, const Bytes& data, const std::string& what) {
    for (const DecoderOptions& options : SizeSettings(data)) {
        DecoderRun run = ExpectSameOnBothRoutes(stream, options, what);
        EXPECT_EQ(run.Result, Ok) << what;
        EXPECT_TRUE(run.Output == data) << what;
    }
}

Bytes Text(size_t n, uint32_t seed) {
    static const char* const words[] = {"the",   "archive", "of",   "entry", "window", "and",   "a",
                                        "block", "code",    "to",   "setup", "is",     "table", "in"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 14];
        s += (rng() % 11 == 0) ? ".\n" : " ";
    }
    return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Runs of period 1 to 8 and stretches of random bytes.
Bytes Periodic(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        size_t period = 1 + rng() % 8;
        size_t run = 20 + rng() % 2000;
        Bytes unit = Random(period, static_cast<uint32_t>(rng()));
        for (size_t i = 0; i < run && b.size() < n; i++) b.push_back(unit[i % period]);
        for (size_t i = 0; i < rng() % 40 && b.size() < n; i++) b.push_back(static_cast<uint8_t>(rng()));
    }
    return b;
}

// ---- hand-built streams ----

TEST(InflateFastRoute, LongMatchesAtDistancesOneToEightAnd32768) {
    Code lit = FixedLiterals();
    Code dist = FixedDistances();
    BitWriter w;
    BlockHeader(w, false, 1);
    Expected x;
    for (int distance = 1; distance <= 8; distance++) {
        for (int i = 0; i < distance; i++) {
            lit.Put(w, 'a' + distance + i);
            x.Literal(static_cast<uint8_t>('a' + distance + i));
        }
        for (int length : {258, 3, 17, 258, 100}) {
            PutMatch(w, lit, dist, length, distance);
            x.Match(length, distance);
        }
    }
    // Fill past a window, then copy whole stretches from 32768 back, which
    // the window holds at the same position, and matches whose source or
    // destination crosses the window's end.
    Bytes noise = Random(3000, 5);
    for (size_t i = 0; x.Out.size() < 40000; i++) {
        lit.Put(w, noise[i % noise.size()]);
        x.Literal(noise[i % noise.size()]);
        if (i % 7 == 0) {
            PutMatch(w, lit, dist, 258, 32768);
            x.Match(258, 32768);
        }
        if (i % 11 == 0) {
            PutMatch(w, lit, dist, 200, 32768 - 17);
            x.Match(200, 32768 - 17);
        }
    }
    lit.Put(w, 256);
    StoredBlock(w, true, Bytes{1, 2, 3});
    for (int b : {1, 2, 3}) x.Literal(static_cast<uint8_t>(b));
    ExpectDecodes(w.Finish(), x.Out, "long matches");
}

TEST(InflateFastRoute, LongCodesInBothTablesUseSubTables) {
    // Literal/length code: lengths 1..14 for 14 symbols, the rest 15 bits;
    // distance code 1, 2, ..., 15, 15 (complete), so that both fast tables
    // need sub-tables and the exact ones several levels.
    std::vector<uint16_t> litLengths(286, 0);
    const int frequent[] = {'e', ' ', 't', 'a', 256, 257, 'o', 'n', 265, 's', 'i', 270, 'h', 'r'};
    for (int i = 0; i < 14; i++) litLengths[static_cast<size_t>(frequent[i])] = static_cast<uint16_t>(i + 1);
    // 2^-14 of the code space is left for 2 codes of 15 bits.
    int placed = 0;
    for (int s = 0; s < 286 && placed < 2; s++)
        if (litLengths[static_cast<size_t>(s)] == 0) {
            litLengths[static_cast<size_t>(s)] = 15;
            placed++;
        }
    std::vector<uint16_t> distLengths(30, 0);
    for (int i = 0; i < 15; i++) distLengths[static_cast<size_t>(i)] = static_cast<uint16_t>(i + 1);
    distLengths[15] = 15;
    Code lit(litLengths);
    Code dist(distLengths);
    int long1 = 0, long2 = 0;
    for (int s = 0; s < 286; s++)
        if (litLengths[static_cast<size_t>(s)] == 15) (long1 == 0 ? long1 : long2) = s;

    std::mt19937 rng(9);
    BitWriter w;
    Expected x;
    for (int block = 0; block < 3; block++) {
        DynamicBlockHeader(w, block == 2, lit, dist);
        for (int i = 0; i < 3000; i++) {
            int pick = static_cast<int>(rng() % 10);
            if (pick < 4) {
                int s = frequent[rng() % 14];
                if (s == 256 || s >= 257) s = 'e';
                lit.Put(w, s);
                x.Literal(static_cast<uint8_t>(s));
            } else if (pick < 5) {
                int s = rng() % 2 ? long1 : long2;
                if (s >= 256) s = 'q';
                lit.Put(w, s);
                x.Literal(static_cast<uint8_t>(s));
            } else {
                // Lengths 3 (code 257), 11..12 (265), 23..26 (270);
                // distances from codes 0..15.
                int lengthCode = pick < 7 ? 257 : pick < 9 ? 265 : 270;
                int length = lengthCode == 257 ? 3 : lengthCode == 265 ? 11 + static_cast<int>(rng() % 2)
                                                                         : 23 + static_cast<int>(rng() % 4);
                int dc = static_cast<int>(rng() % 16);
                int distance = DistanceBases[dc] + static_cast<int>(rng() % (1u << DistanceExtra[dc]));
                lit.Put(w, lengthCode);
                w.Bits(static_cast<uint32_t>(length - LengthBases[lengthCode - 257]), LengthExtra[lengthCode - 257]);
                dist.Put(w, dc);
                w.Bits(static_cast<uint32_t>(distance - DistanceBases[dc]), DistanceExtra[dc]);
                x.Match(length, distance);
            }
        }
        lit.Put(w, 256);
    }
    ExpectDecodes(w.Finish(), x.Out, "long codes");
}

TEST(InflateFastRoute, InvalidCodesStopBothRoutesAlike) {
    // Each stream: a stretch of good symbols, then one bad one, then more
    // data that must not be read.
    Bytes filler = Random(5000, 3);
    auto prefix = [&](BitWriter& w, const Code& lit) {
        for (uint8_t b : filler) lit.Put(w, b);
    };
    std::vector<Bytes> streams;
    {
        // Fixed block: length code 286, then 287; distance codes 30, 31.
        for (int bad : {286, 287}) {
            BitWriter w;
            BlockHeader(w, true, 1);
            prefix(w, FixedLiterals());
            FixedLiterals().Put(w, bad);
            w.Bits(0x5A5A5A, 24);
            streams.push_back(w.Finish());
        }
        for (int bad : {30, 31}) {
            BitWriter w;
            BlockHeader(w, true, 1);
            prefix(w, FixedLiterals());
            FixedLiterals().Put(w, 260);
            FixedDistances().Put(w, bad);
            w.Bits(0x5A5A5A, 24);
            streams.push_back(w.Finish());
        }
    }
    {
        // Dynamic block, incomplete distance code (three codes of 2 bits):
        // the unused pattern; and one without distance codes and a match.
        std::vector<uint16_t> litLengths(257, 9);
        for (int s = 0; s < 255; s++) litLengths[static_cast<size_t>(s)] = 8;
        litLengths[255] = 9;
        litLengths[256] = 9;
        // 255 * 2^-8 + 2 * 2^-9 = 1: complete without a length code; add
        // one by taking a literal's place.
        litLengths[254] = 0;
        litLengths.push_back(8);  // symbol 257, length 3
        Code lit(litLengths);
        Code dist(std::vector<uint16_t>{2, 2, 2});
        BitWriter w;
        DynamicBlockHeader(w, true, lit, dist);
        for (uint8_t b : filler) lit.Put(w, b == 254 ? 1 : b);
        lit.Put(w, 257);
        w.Code(3, 2);  // the unused 2-bit pattern
        w.Bits(0x5A5A5A, 24);
        streams.push_back(w.Finish());

        Code none(std::vector<uint16_t>{0});
        BitWriter v;
        DynamicBlockHeader(v, true, lit, none);
        for (uint8_t b : filler) lit.Put(v, b == 254 ? 1 : b);
        lit.Put(v, 257);
        v.Bits(0x5A5A5A, 24);
        streams.push_back(v.Finish());
    }
    for (size_t i = 0; i < streams.size(); i++)
        for (int shift = 0; shift < 9; shift++) {
            // Stored prefixes move the bad code across the input blocks.
            BitWriter w;
            StoredBlock(w, false, Random(static_cast<size_t>(shift) * 223, 7));
            Bytes stream = w.Finish();
            stream.insert(stream.end(), streams[i].begin(), streams[i].end());
            DecoderRun run = ExpectSameOnBothRoutes(stream, DecoderOptions{}, "bad stream " + std::to_string(i));
            EXPECT_EQ(run.Result, ArchiveDamaged) << i;
        }
}

TEST(InflateFastRoute, StoredBlocksAcrossBlocksWindowsAndAFullMemoryBlock) {
    Bytes data = Random(100000, 11);
    BitWriter w;
    BlockHeader(w, false, 1);
    FixedLiterals().Put(w, 'x');  // leaves the stored header off the byte boundary
    FixedLiterals().Put(w, 256);
    size_t pos = 0;
    for (size_t piece : {size_t{1}, size_t{2047}, size_t{2048}, size_t{40000}, size_t{0}, size_t{65535}}) {
        piece = std::min(piece, data.size() - pos);
        StoredBlock(w, false, Bytes(data.begin() + static_cast<std::ptrdiff_t>(pos),
                                    data.begin() + static_cast<std::ptrdiff_t>(pos + piece)));
        pos += piece;
    }
    StoredBlock(w, true, Bytes(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end()));
    Bytes expected = {'x'};
    expected.insert(expected.end(), data.begin(), data.end());
    ExpectDecodes(w.Finish(), expected, "stored");
    for (int32_t capacity : {0, 100, 32767, 32768, 40000, 65536}) {
        DecoderOptions small;
        small.OutputCapacity = capacity;
        EXPECT_EQ(ExpectSameOnBothRoutes(w.Finish(), small, "capacity " + std::to_string(capacity)).Result,
                  OutputFailed);
    }
}

#ifdef HAVE_ZLIB

Bytes RawDeflate(const Bytes& in, int level, int strategy, int windowBits, int memLevel) {
    return testutil::ZlibRawDeflate(in, level, strategy, windowBits, memLevel);
}

TEST(InflateFastRoute, ZlibStreamsAtManySettings) {
    const Bytes kinds[] = {Text(90000, 1), Random(40000, 2), Periodic(90000, 3),
                           testutil::ReadBytes("/proc/self/exe")};
    for (size_t k = 0; k < 4; k++) {
        Bytes data = kinds[k];
        if (data.size() > 150000) data.resize(150000);
        for (int level : {0, 1, 4, 6, 9})
            for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
                if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;
                for (int windowBits : {9, 12, 15}) {
                    int memLevel = windowBits == 12 ? 1 : 9;
                    ExpectDecodes(RawDeflate(data, level, strategy, windowBits, memLevel), data,
                                  "kind " + std::to_string(k) + " level " + std::to_string(level) + " strategy " +
                                      std::to_string(strategy) + " window " + std::to_string(windowBits));
                }
            }
    }
}

TEST(InflateFastRoute, StreamEndsAtEveryByteAroundTheInputBlocks) {
    // A stored prefix shifts a zlib stream so that its end falls on every
    // byte from 24 before to 24 after the first two block boundaries.
    Bytes text = Text(5000, 4);
    for (int level : {1, 9}) {
        Bytes tail = RawDeflate(text, level, level == 1 ? Z_FIXED : Z_DEFAULT_STRATEGY, 15, 8);
        ASSERT_LT(tail.size() + 5, 2048u - 24);
        for (size_t boundary : {size_t{2048}, size_t{4096}})
            for (size_t end = boundary - 24; end <= boundary + 24; end++) {
                Bytes stored = Random(end - tail.size() - 5, static_cast<uint32_t>(end));
                BitWriter w;
                StoredBlock(w, false, stored);
                Bytes stream = w.Finish();
                stream.insert(stream.end(), tail.begin(), tail.end());
                ASSERT_EQ(stream.size(), end);
                Bytes expected = stored;
                expected.insert(expected.end(), text.begin(), text.end());
                ExpectDecodes(stream, expected, "end at " + std::to_string(end));
            }
    }
}

TEST(InflateFastRoute, TruncationsAndDamage) {
    Bytes data = Text(20000, 6);
    Bytes stream = RawDeflate(data, 6, Z_DEFAULT_STRATEGY, 15, 8);
    for (size_t cut = 0; cut < stream.size(); cut += (cut < 100 || stream.size() - cut < 100) ? 1 : 7) {
        Bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        for (const DecoderOptions& options : SizeSettings(data))
            EXPECT_NE(ExpectSameOnBothRoutes(part, options, "cut at " + std::to_string(cut)).Result, Ok);
    }
    std::mt19937 rng(12);
    Bytes big = RawDeflate(Periodic(60000, 8), 9, Z_DEFAULT_STRATEGY, 15, 8);
    for (int round = 0; round < 400; round++) {
        Bytes bad = round % 2 ? big : stream;
        int flips = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < flips; i++) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        for (const DecoderOptions& options : SizeSettings(data))
            ExpectSameOnBothRoutes(bad, options, "damage round " + std::to_string(round));
    }
}

#endif  // HAVE_ZLIB

}  // namespace
