// The third-party corpus: archives written by other programs, with
// MANIFEST.tsv listing per archive its entries (central-directory order),
// methods, flags, sizes and CRC-32s. It lives outside the project; callers
// skip when it is absent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CorpusEntry {
    std::string Name;  // as in the archive, "/" as separator; a directory ends in "/"
    int Method = 0;
    uint16_t Flags = 0;
    int64_t Size = 0;
    int64_t CompressedSize = 0;
    uint32_t Crc = 0;
};

struct CorpusArchive {
    std::string Path;  // host path of the archive
    std::vector<CorpusEntry> Entries;
};

// The corpus folder (the given shared-data folder + "/corpus"), or "" when
// it holds no MANIFEST.tsv.
std::string CorpusDir(const std::string& sharedDir);
// Every archive of the manifest; empty when the corpus is absent.
std::vector<CorpusArchive> LoadCorpus(const std::string& sharedDir);
