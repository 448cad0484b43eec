// The fast paths of explode, unshrink and unreduce against their plain
// routes: every input runs once with FastPathsEnabled cleared and once with
// it set, and the two runs must agree on the output, the result and the whole
// reader state the decoder leaves (BitBuffer, BitCount, InputPos, InputLast,
// BytesRead, WindowPos, RunningCrc, InputExhausted, CancelRequested). Output
// blocks of many sizes make a flush fail at different moments, which pins
// down when each flush happened relative to the input read so far.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "archive/archive.h"
#include "codecs/codecs.h"
#include "platform/posix/posix_backend.h"
#include "support/corpus.h"
#include "support/decoder_harness.h"
#include "support/legacy_encoders.h"
#include "support/test_util.h"

namespace {

using testing_support::DecoderOptions;
using testing_support::DecoderRun;
using testing_support::RunDecoder;
using Bytes = std::vector<uint8_t>;
using Decoder = ExtractResult (*)();

ExtractResult RunUnshrink() { return Unshrink(); }
template <uint16_t Method>
ExtractResult RunUnreduce() {
    return Unreduce(Method);
}
Decoder UnreduceOf(int method) {
    switch (method) {
        case 2: return RunUnreduce<2>;
        case 3: return RunUnreduce<3>;
        case 4: return RunUnreduce<4>;
        default: return RunUnreduce<5>;
    }
}

// Restores the switch whatever a test does with it.
struct SwitchGuard {
    bool Saved = FastPathsEnabled;
    ~SwitchGuard() { FastPathsEnabled = Saved; }
};

DecoderRun RunRoute(bool fast, Decoder decoder, const Bytes& data, const DecoderOptions& options) {
    SwitchGuard guard;
    FastPathsEnabled = fast;
    return RunDecoder(decoder, data, options);
}

std::string Describe(const testing_support::ReaderSnapshot& s) {
    return "bits " + std::to_string(s.BitBuffer) + "/" + std::to_string(s.BitCount) + " pos " +
           std::to_string(s.InputPos) + " last " + std::to_string(s.InputLast) + " read " +
           std::to_string(s.BytesRead) + " window " + std::to_string(s.WindowPos) + " crc " +
           std::to_string(s.RunningCrc) + " exhausted " + std::to_string(s.InputExhausted) + " cancel " +
           std::to_string(s.CancelRequested) + " stored " + std::to_string(s.MemoryCount);
}

// Runs both routes; true when they agree (failures are reported with label).
bool RoutesAgree(Decoder decoder, const Bytes& data, const DecoderOptions& options, const std::string& label) {
    DecoderRun plain = RunRoute(false, decoder, data, options);
    DecoderRun fast = RunRoute(true, decoder, data, options);
    EXPECT_EQ(plain.Result, fast.Result) << label;
    EXPECT_TRUE(plain.Output == fast.Output) << label << ": outputs of " << plain.Output.size() << " and "
                                             << fast.Output.size() << " bytes differ";
    EXPECT_TRUE(plain.State == fast.State) << label << "\n plain " << Describe(plain.State) << "\n fast  "
                                           << Describe(fast.State);
    return plain.Result == fast.Result && plain.Output == fast.Output && plain.State == fast.State;
}

// The input under several output block sizes: ample, and too small at the
// first flush, inside a window, exactly one window, a little more.
bool AgreeUnderFlushFailures(Decoder decoder, const Bytes& data, DecoderOptions options, const std::string& label) {
    bool all = RoutesAgree(decoder, data, options, label);
    for (int32_t capacity : {0, 767, 768, 16385, 32769, 70000}) {
        if (options.UncompressedSize > 0 && capacity > options.UncompressedSize + 400) break;
        options.OutputCapacity = capacity;
        all = RoutesAgree(decoder, data, options, label + " capacity " + std::to_string(capacity)) && all;
    }
    return all;
}

// The stream cut short at many lengths, around each input block boundary in
// particular, with the header's compressed size both true to the cut and as
// before; and a deferred-size run that reads on into the trailer.
bool AgreeOnCutsAndDamage(Decoder decoder, const Bytes& data, const DecoderOptions& options, const std::string& label,
                          std::mt19937& rng) {
    bool all = true;
    std::vector<size_t> cuts;
    for (size_t boundary = 2048; boundary < data.size() + 8 && boundary <= 2 * 2048; boundary += 2048)
        for (size_t k = boundary - 9; k <= boundary + 9; k++) cuts.push_back(k);
    for (int i = 0; i < 4; i++) cuts.push_back(rng() % (data.size() + 1));
    for (size_t cut : cuts) {
        if (cut > data.size()) continue;
        Bytes part(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
        DecoderOptions o = options;
        all = RoutesAgree(decoder, part, o, label + " cut at " + std::to_string(cut)) && all;
        o.CompressedSize = static_cast<int32_t>(data.size());
        o.Trailer.clear();  // the file ends where the data was cut
        all = RoutesAgree(decoder, part, o, label + " cut at " + std::to_string(cut) + ", file ends") && all;
    }
    for (int i = 0; i < 8 && !data.empty(); i++) {
        Bytes damaged = data;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; f++) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        all = RoutesAgree(decoder, damaged, options, label + " damaged " + std::to_string(i)) && all;
    }
    DecoderOptions deferred = options;
    deferred.DeferredSizes = true;
    Bytes trailer(5000);
    for (auto& b : trailer) b = static_cast<uint8_t>(rng());
    deferred.Trailer = trailer;
    all = RoutesAgree(decoder, data, deferred, label + " deferred sizes") && all;
    return all;
}

// Each test runs both routes itself, so the suite's second run on the plain
// routes alone would only repeat it.
#define SKIP_ON_THE_PLAIN_RUN() \
    if (!FastPathsEnabled) GTEST_SKIP() << "compares both routes itself; run once"

DecoderOptions OptionsFor(size_t size, uint16_t flags = 0) {
    DecoderOptions o;
    o.UncompressedSize = static_cast<int32_t>(size);
    o.EntryFlags = flags;
    return o;
}

}  // namespace

TEST(FastPaths, ExplodeAgreesOnEncoderStreamsOfEveryVariant) {
    SKIP_ON_THE_PLAIN_RUN();
    std::mt19937 rng(61);
    for (int variant = 0; variant < 8; variant++) {
        ImplodeOptions io;
        io.LargeDictionary = (variant & 1) != 0;
        io.LiteralTree = (variant & 2) != 0;
        io.RandomTrees = (variant & 4) != 0;
        uint16_t flags = static_cast<uint16_t>((io.LargeDictionary ? 2 : 0) | (io.LiteralTree ? 4 : 0));
        for (size_t size : {size_t{0}, size_t{1}, size_t{300}, size_t{9000}, size_t{70000}}) {
            Bytes input = MakeTestData(rng, size);
            Bytes stream = ImplodeEncode(input, io, rng);
            std::string label = "explode variant " + std::to_string(variant) + " size " + std::to_string(size);
            DecoderOptions o = OptionsFor(size, flags);
            ASSERT_TRUE(AgreeUnderFlushFailures(Explode, stream, o, label));
            DecoderRun run = RunDecoder(Explode, stream, o);
            ASSERT_EQ(run.Result, Ok) << label;
            ASSERT_TRUE(run.Output == input) << label;
            if (size >= 9000) ASSERT_TRUE(AgreeOnCutsAndDamage(Explode, stream, o, label, rng));
        }
    }
}

TEST(FastPaths, UnshrinkAgreesOnEncoderStreams) {
    SKIP_ON_THE_PLAIN_RUN();
    std::mt19937 rng(62);
    for (double clearChance : {0.0, 0.002, 0.05}) {
        for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{766}, size_t{767}, size_t{5000}, size_t{90000}}) {
            Bytes input = MakeTestData(rng, size);
            Bytes stream = ShrinkEncode(input, clearChance, rng);
            std::string label = "unshrink clear " + std::to_string(clearChance) + " size " + std::to_string(size);
            DecoderOptions o = OptionsFor(size);
            ASSERT_TRUE(AgreeUnderFlushFailures(RunUnshrink, stream, o, label));
            DecoderRun run = RunDecoder(RunUnshrink, stream, o);
            ASSERT_EQ(run.Result, Ok) << label;
            ASSERT_TRUE(run.Output == input) << label;
            if (size >= 5000) ASSERT_TRUE(AgreeOnCutsAndDamage(RunUnshrink, stream, o, label, rng));
        }
    }
}

TEST(FastPaths, UnreduceAgreesOnEncoderStreamsOfEveryFactor) {
    SKIP_ON_THE_PLAIN_RUN();
    std::mt19937 rng(63);
    for (int factor = 1; factor <= 4; factor++) {
        for (int maxSet : {0, 1, 5, 32, 63}) {
            for (size_t size : {size_t{0}, size_t{1}, size_t{3000}, size_t{40000}}) {
                Bytes input = MakeTestData(rng, size);
                Bytes stream = ReduceEncode(input, factor, maxSet);
                std::string label = "unreduce factor " + std::to_string(factor) + " set " + std::to_string(maxSet) +
                                    " size " + std::to_string(size);
                DecoderOptions o = OptionsFor(size);
                Decoder decoder = UnreduceOf(factor + 1);
                ASSERT_TRUE(AgreeUnderFlushFailures(decoder, stream, o, label));
                DecoderRun run = RunDecoder(decoder, stream, o);
                ASSERT_EQ(run.Result, Ok) << label;
                ASSERT_TRUE(run.Output == input) << label;
                if (size >= 40000 && maxSet != 1) ASSERT_TRUE(AgreeOnCutsAndDamage(decoder, stream, o, label, rng));
            }
        }
    }
}

TEST(FastPaths, EveryDecoderAgreesOnRandomBytes) {
    SKIP_ON_THE_PLAIN_RUN();
    std::mt19937 rng(64);
    for (int i = 0; i < 60; i++) {
        Bytes junk(1 + rng() % 6000);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        int32_t size = static_cast<int32_t>(rng() % 100000);
        std::string label = "junk " + std::to_string(i);
        ASSERT_TRUE(RoutesAgree(Explode, junk, OptionsFor(static_cast<size_t>(size), static_cast<uint16_t>(rng() & 6)),
                                label + " explode"));
        ASSERT_TRUE(RoutesAgree(RunUnshrink, junk, OptionsFor(static_cast<size_t>(size)), label + " unshrink"));
        ASSERT_TRUE(
            RoutesAgree(UnreduceOf(2 + i % 4), junk, OptionsFor(static_cast<size_t>(size)), label + " unreduce"));
    }
}

TEST(FastPaths, ACancelKeyStopsBothRoutesAtTheSameToken) {
    SKIP_ON_THE_PLAIN_RUN();
    std::mt19937 rng(65);
    Bytes input = MakeTestData(rng, 200000);
    ImplodeOptions io;
    io.RandomTrees = true;
    Bytes imploded = ImplodeEncode(input, io, rng);
    Bytes shrunk = ShrinkEncode(input, 0.001, rng);
    constexpr int CancelKey = 0x1B;
    win::posix::SetKeyDown(CancelKey, true);
    DecoderOptions o = OptionsFor(input.size(), 6);
    o.CancelKey = CancelKey;
    bool explode = RoutesAgree(Explode, imploded, o, "explode cancelled");
    o.EntryFlags = 0;
    bool unshrink = RoutesAgree(RunUnshrink, shrunk, o, "unshrink cancelled");
    win::posix::SetKeyDown(CancelKey, false);
    EXPECT_TRUE(explode && unshrink);
    DecoderRun run = RunDecoder(Explode, imploded, OptionsFor(input.size(), 6));
    EXPECT_EQ(run.Result, Ok);
}

TEST(FastPaths, EveryLegacyCorpusEntryAgrees) {
    SKIP_ON_THE_PLAIN_RUN();
    auto archives = LoadCorpus(SHARED_DIR);
    if (archives.empty())
        GTEST_SKIP() << "third-party corpus not found at " SHARED_DIR "/corpus "
                        "(set LAUNCHER_SHARED_DIR to the folder that holds corpus/)";
    std::mt19937 rng(66);
    int checked = 0;
    for (const auto& a : archives) {
        Bytes archive = testutil::ReadBytes(a.Path);
        std::vector<int32_t> offsets;
        EntrySearch search{};
        for (int32_t r = FindFirstEntry(testutil::ToWin(a.Path).c_str(), search); r == 0; r = FindNextEntry(search))
            offsets.push_back(search.HeaderOffset);
        EndEntrySearch(search);
        ASSERT_EQ(offsets.size(), a.Entries.size()) << a.Path;
        for (size_t i = 0; i < a.Entries.size(); i++) {
            const CorpusEntry& entry = a.Entries[i];
            if (entry.Method < 1 || entry.Method > 6) continue;
            size_t header = static_cast<size_t>(offsets[i]);
            ASSERT_LE(header + 30, archive.size());
            size_t start = header + 30 + (archive[header + 26] | archive[header + 27] << 8) +
                           (archive[header + 28] | archive[header + 29] << 8);
            size_t end = std::min(archive.size(), start + static_cast<size_t>(entry.CompressedSize));
            Bytes data(archive.begin() + static_cast<std::ptrdiff_t>(start),
                       archive.begin() + static_cast<std::ptrdiff_t>(end));
            DecoderOptions o = OptionsFor(static_cast<size_t>(entry.Size), entry.Flags);
            // Whatever follows the entry in the archive is what the reader reads ahead into.
            o.Trailer.assign(archive.begin() + static_cast<std::ptrdiff_t>(end),
                             archive.begin() + static_cast<std::ptrdiff_t>(std::min(archive.size(), end + 4096)));
            Decoder decoder = entry.Method == 1 ? RunUnshrink : entry.Method == 6 ? Explode : UnreduceOf(entry.Method);
            std::string label = a.Path + ":" + entry.Name;
            ASSERT_TRUE(AgreeUnderFlushFailures(decoder, data, o, label));
            if (entry.CompressedSize >= 2000 && entry.CompressedSize <= 20000) ASSERT_TRUE(AgreeOnCutsAndDamage(decoder, data, o, label, rng));
            checked++;
        }
    }
    EXPECT_GT(checked, 20);
}
