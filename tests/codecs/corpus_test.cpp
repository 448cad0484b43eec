// Every entry of the third-party corpus, of every method, through
// ExtractEntry into memory and through the launcher's ExtractAll onto disk,
// must come out with the size and CRC-32 the manifest lists.
#include <gtest/gtest.h>

#include <set>

#include "archive/archive.h"
#include "engine/engine.h"
#include "launcher/launcher.h"
#include "support/corpus.h"
#include "support/test_util.h"

namespace {

// Every method that SupportedMethods names has a decoder.
bool HasDecoder(int method) { return method >= 0 && method <= 31 && (SupportedMethods() >> method & 1) != 0; }

bool IsDirectory(const CorpusEntry& e) { return !e.Name.empty() && e.Name.back() == '/'; }

#define SKIP_WITHOUT_CORPUS(archives)                                                                   \
    if ((archives).empty()) GTEST_SKIP() << "third-party corpus not found at " SHARED_DIR "/corpus " \
                                            "(set LAUNCHER_SHARED_DIR to the folder that holds corpus/)"

// The local-header offsets of an archive's entries, in central-directory order.
std::vector<int32_t> HeaderOffsets(const std::string& winPath) {
    std::vector<int32_t> offsets;
    EntrySearch search{};
    for (int32_t r = FindFirstEntry(winPath.c_str(), search); r == 0; r = FindNextEntry(search))
        offsets.push_back(search.HeaderOffset);
    EndEntrySearch(search);
    return offsets;
}

TEST(Corpus, CoversEveryLegacyMethodAndVariant) {
    auto archives = LoadCorpus(SHARED_DIR);
    SKIP_WITHOUT_CORPUS(archives);
    std::set<int> seen;
    for (const auto& a : archives)
        for (const auto& e : a.Entries) seen.insert(e.Method == 6 ? 60 + (e.Flags & 6) : e.Method);
    for (int m : {1, 2, 3, 4, 5, 60, 62, 64, 66}) EXPECT_EQ(seen.count(m), 1u) << m;
}

TEST(Corpus, EveryEntryExtractsThroughExtractEntry) {
    auto archives = LoadCorpus(SHARED_DIR);
    SKIP_WITHOUT_CORPUS(archives);
    EngineStateRecord& e = EngineState;
    int checked = 0;
    for (const auto& a : archives) {
        SCOPED_TRACE(a.Path);
        std::string winPath = testutil::ToWin(a.Path);
        std::vector<int32_t> offsets = HeaderOffsets(winPath);
        ASSERT_EQ(offsets.size(), a.Entries.size());
        for (size_t i = 0; i < a.Entries.size(); i++) {
            const CorpusEntry& entry = a.Entries[i];
            if (IsDirectory(entry) || !HasDecoder(entry.Method)) continue;
            SCOPED_TRACE(entry.Name);
            std::vector<uint8_t> block(static_cast<size_t>(entry.Size) + 1);
            e.MemoryOutput = true;
            e.MemoryTarget = block.data();
            e.MemoryLimit = static_cast<int32_t>(block.size());
            e.MemoryCount = 0;
            ExtractResult r = ExtractEntry(winPath.c_str(), nullptr, 0, offsets[i], 0, 0);
            int32_t count = e.MemoryCount;
            e.MemoryOutput = false;
            e.MemoryTarget = nullptr;
            e.MemoryLimit = 0;
            e.MemoryCount = 0;
            EXPECT_EQ(r, Ok);
            EXPECT_EQ(count, entry.Size);
            EXPECT_EQ(testutil::Crc32(block.data(), static_cast<size_t>(count)), entry.Crc);
            checked++;
        }
    }
    EXPECT_GT(checked, 80);
}

TEST(Corpus, EveryArchiveExtractsThroughTheLauncher) {
    auto archives = LoadCorpus(SHARED_DIR);
    SKIP_WITHOUT_CORPUS(archives);
    for (const auto& a : archives) {
        SCOPED_TRACE(a.Path);
        testutil::ScratchDir dest;
        ExtractAll(testutil::ToWin(a.Path).c_str(), (dest.Win + "\\").c_str());
        for (const CorpusEntry& entry : a.Entries) {
            SCOPED_TRACE(entry.Name);
            std::string host = dest.HostPath(entry.Name);
            if (IsDirectory(entry)) {
                EXPECT_TRUE(testutil::IsDir(host));
            } else if (HasDecoder(entry.Method)) {
                ASSERT_TRUE(testutil::Exists(host));
                testutil::Bytes data = testutil::ReadBytes(host);
                EXPECT_EQ(static_cast<int64_t>(data.size()), entry.Size);
                EXPECT_EQ(testutil::Crc32(data), entry.Crc);
            }
        }
    }
}

}  // namespace
