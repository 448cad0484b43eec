// ExtractEntry over arbitrary archive bytes into a memory block: every entry
// the walker lists (and the header at offset 0, which a damaged directory may
// not list) is decoded with MemoryOutput, whatever its method.
#include <cstring>
#include <vector>

#include "archive/archive.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t MaxEntries = 16;
constexpr int32_t BlockSize = 1 << 20;

void ExtractToMemory(const std::string& path, int32_t headerOffset) {
    static std::vector<uint8_t> block(BlockSize);
    EngineStateRecord& e = EngineState;
    e.MemoryOutput = true;
    e.MemoryTarget = block.data();
    e.MemoryLimit = BlockSize;
    e.MemoryCount = 0;
    ExtractResult r = ExtractEntry(path.c_str(), nullptr, 0, headerOffset, 0, 0);
    fuzzing::Check(r >= Ok && r <= Encrypted, "unknown ExtractEntry result");
    fuzzing::Check(e.MemoryCount >= 0 && e.MemoryCount <= BlockSize, "memory output outside its block");
    fuzzing::Check(!e.EngineBusy && e.OutputWindow == nullptr, "engine left busy");
    e.MemoryOutput = false;
    e.MemoryTarget = nullptr;
    e.MemoryLimit = 0;
    e.MemoryCount = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzzing::WriteInputFile("mem.zip", data, size);
    std::vector<int32_t> offsets{0};
    EntrySearch search;
    std::memset(&search, 0, sizeof search);
    int32_t result = FindFirstEntry(path.c_str(), search);
    while (result == 0 && offsets.size() < MaxEntries) {
        if (search.HeaderOffset != 0) offsets.push_back(search.HeaderOffset);
        result = FindNextEntry(search);
    }
    EndEntrySearch(search);
    for (int32_t offset : offsets) ExtractToMemory(path, offset);
    return 0;
}
