// Archive recognition and the central-directory walk over arbitrary file
// bytes: IsArchiveFile, then FindFirstEntry / FindNextEntry to the end.
// Every entry handed out must carry a NUL-terminated name of at most 259
// bytes without "/", the search must end released, and the walk must end.
#include <cstring>

#include "archive/archive.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzzing::WriteInputFile("walk.zip", data, size);
    IsArchiveFile(path.c_str());

    EntrySearch search;
    std::memset(&search, 0, sizeof search);
    int32_t result = FindFirstEntry(path.c_str(), search);
    fuzzing::Check(result == 0 || result == 1 || result == -1 || result == -2, "unknown FindFirstEntry result");
    // Each entry takes at least 46 directory bytes.
    size_t limit = size / 46 + 1;
    size_t entries = 0;
    while (result == 0) {
        size_t len = strnlen(search.Name, sizeof search.Name);
        fuzzing::Check(len < sizeof search.Name, "name without its NUL");
        fuzzing::Check(std::strchr(search.Name, '/') == nullptr, "name with a forward slash");
        fuzzing::Check(++entries <= limit, "more entries than the file can hold");
        result = FindNextEntry(search);
        fuzzing::Check(result == 0 || result == 1, "unknown FindNextEntry result");
    }
    fuzzing::Check(search.Buffer == nullptr, "search not released at its end");
    fuzzing::Check(FindNextEntry(search) == -2, "a released search goes on");
    EndEntrySearch(search);
    return 0;
}
