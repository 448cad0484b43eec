// The three legacy decoders behind ExtractEntry: to a file, with data
// descriptors after real sizes, and with sizes deferred to the descriptor.
#include <gtest/gtest.h>

#include <random>

#include "engine/engine.h"
#include "support/legacy_encoders.h"
#include "support/test_util.h"

namespace {

using testutil::Bytes;

struct Packed {
    uint16_t Method;
    uint16_t Flags;
    Bytes Data;
};

// One entry of each method, packed by the test encoders.
std::vector<Packed> PackEveryMethod(const Bytes& data) {
    std::mt19937 rng(9);
    std::vector<Packed> all;
    all.push_back({1, 0, ShrinkEncode(data, 0.01, rng)});
    for (int factor = 1; factor <= 4; factor++)
        all.push_back({static_cast<uint16_t>(factor + 1), 0, ReduceEncode(data, factor, 20)});
    for (uint16_t flags : {0, 2, 4, 6}) {
        ImplodeOptions options;
        options.LargeDictionary = (flags & 2) != 0;
        options.LiteralTree = (flags & 4) != 0;
        options.RandomTrees = true;
        all.push_back({6, flags, ImplodeEncode(data, options, rng)});
    }
    return all;
}

// Extracts the entry to a file; returns the result and the file (if any).
ExtractResult ExtractToFile(const Packed& p, const Bytes& original, bool descriptor, bool deferred,
                            Bytes& fileOut) {
    testutil::ScratchDir dir;
    testutil::ZipEntrySpec entrySpec;
    entrySpec.Name = "f.bin";
    entrySpec.Data = p.Data;
    entrySpec.Method = p.Method;
    entrySpec.Flags = p.Flags;
    entrySpec.CrcFromData = false;
    entrySpec.Crc = testutil::Crc32(original);
    entrySpec.UncompressedSize = static_cast<uint32_t>(original.size());
    entrySpec.DataDescriptor = descriptor;
    entrySpec.LocalSizesZero = deferred;
    testutil::ZipLayout zip = testutil::BuildZip({entrySpec, entrySpec});
    testutil::WriteBytes(dir.HostPath("a.zip"), zip.Bytes_);
    ExtractResult r = ExtractEntry(dir.WinPath("a.zip").c_str(), dir.WinPath("out\\f.bin").c_str(), 0,
                                   static_cast<int32_t>(zip.HeaderOffsets[0]), 0, 0);
    fileOut = testutil::Exists(dir.HostPath("out/f.bin")) ? testutil::ReadBytes(dir.HostPath("out/f.bin")) : Bytes();
    return r;
}

TEST(LegacyEntries, ExtractToFilesWithAndWithoutDataDescriptors) {
    std::mt19937 rng(8);
    Bytes data = MakeTestData(rng, 70000);
    for (const Packed& p : PackEveryMethod(data)) {
        SCOPED_TRACE(testing::Message() << "method " << p.Method << " flags " << p.Flags);
        for (bool descriptor : {false, true}) {
            Bytes file;
            EXPECT_EQ(ExtractToFile(p, data, descriptor, false, file), Ok);
            EXPECT_TRUE(file == data);
        }
    }
}

TEST(LegacyEntries, DeferredSizesEndAsEachDecoderDefines) {
    // Shrink needs the compressed size and refuses; reduce decodes until the
    // input ends and the CRC judges; explode runs out of input.
    std::mt19937 rng(7);
    Bytes data = MakeTestData(rng, 5000);
    for (const Packed& p : PackEveryMethod(data)) {
        SCOPED_TRACE(testing::Message() << "method " << p.Method << " flags " << p.Flags);
        Bytes file;
        ExtractResult expected = p.Method == 1 ? Unsupported : p.Method == 6 ? InputFailed : ChecksumMismatch;
        EXPECT_EQ(ExtractToFile(p, data, true, true, file), expected);
        EXPECT_TRUE(file.empty()) << "failed output is deleted";
    }
}

}  // namespace
