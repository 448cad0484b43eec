// Decode throughput of unshrink, unreduce and explode, each on the largest
// entry of its methods in the third-party corpus, through ExtractEntry into
// a memory block, CRC included; MiB per second of CPU time. With "exact" the
// fast paths are off, which gives the plain routes' figures.
// Usage: legacy_bench [shared-data folder] [seconds per decoder] [exact]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "engine/engine.h"
#include "support/corpus.h"

namespace {

struct Candidate {
    std::string Archive;
    CorpusEntry Entry;
    size_t Index = 0;
};

int32_t HeaderOffset(const std::string& archive, size_t index) {
    EntrySearch search{};
    size_t i = 0;
    int32_t offset = -1;
    for (int32_t r = FindFirstEntry(archive.c_str(), search); r == 0; r = FindNextEntry(search), i++) {
        if (i == index) offset = search.HeaderOffset;
    }
    EndEntrySearch(search);
    return offset;
}

void Measure(const char* decoder, const std::vector<CorpusArchive>& corpus, int firstMethod, int lastMethod,
             double seconds) {
    Candidate best;
    for (const auto& a : corpus)
        for (size_t i = 0; i < a.Entries.size(); i++) {
            const CorpusEntry& e = a.Entries[i];
            if (e.Method >= firstMethod && e.Method <= lastMethod && e.Size > best.Entry.Size) best = {a.Path, e, i};
        }
    if (best.Entry.Size == 0) {
        std::printf("%-9s no entry in the corpus\n", decoder);
        return;
    }
    int32_t offset = HeaderOffset(best.Archive, best.Index);
    std::vector<uint8_t> block(static_cast<size_t>(best.Entry.Size));
    EngineStateRecord& s = EngineState;
    s.MemoryOutput = true;

    int runs = 0;
    double elapsed = 0;
    ExtractResult result = Ok;
    std::clock_t start = std::clock();
    while (elapsed < seconds || runs < 3) {
        s.MemoryTarget = block.data();
        s.MemoryLimit = static_cast<int32_t>(block.size());
        s.MemoryCount = 0;
        result = ExtractEntry(best.Archive.c_str(), nullptr, 0, offset, 0, 0);
        runs++;
        elapsed = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        if (result != Ok) break;
    }
    s.MemoryOutput = false;
    double mib = static_cast<double>(best.Entry.Size) * runs / (1024.0 * 1024.0);
    const std::string& path = best.Archive;
    std::printf("%-9s %s:%s (method %d, %lld -> %lld bytes): %s, %d runs, %.1f MiB/s of output\n", decoder,
                path.substr(path.rfind('/') + 1).c_str(), best.Entry.Name.c_str(), best.Entry.Method,
                static_cast<long long>(best.Entry.CompressedSize), static_cast<long long>(best.Entry.Size),
                result == Ok ? "ok" : "FAILED", runs, mib / elapsed);
}

}  // namespace

int main(int argc, char** argv) {
    std::string shared = argc > 1 ? argv[1] : SHARED_DIR;
    double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    if (argc > 3 && std::strcmp(argv[3], "exact") == 0) FastPathsEnabled = false;
    std::printf("%s routes\n", FastPathsEnabled ? "fast" : "plain (exact)");
    std::vector<CorpusArchive> corpus = LoadCorpus(shared);
    if (corpus.empty()) {
        std::fprintf(stderr, "no corpus in %s/corpus\n", shared.c_str());
        return 1;
    }
    Measure("unshrink", corpus, 1, 1, seconds);
    Measure("unreduce", corpus, 2, 5, seconds);
    Measure("explode", corpus, 6, 6, seconds);
    return 0;
}
