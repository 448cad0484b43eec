// Zipping a folder for `sfx pack`: the archive the launcher will carry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sfx {

struct FolderZip {
    std::vector<uint8_t> Archive;
    size_t Files = 0;
    size_t Folders = 0;
    std::vector<std::string> Skipped;  // what was left out, and why
};

// Every file and folder below `folder`, in name order, a folder's entry
// before its contents: folders as entries ending in "/", files deflated
// (stored when deflate does not make them smaller), each with its last
// modification time as a local DOS time. Symbolic links to files are
// followed; links to folders and special files are skipped. Throws
// ToolError naming the path when something cannot be read or the result
// would not be a classic ZIP archive (4 GiB per file, 65535 entries, 2 GiB
// in all, which is also the launcher's limit).
FolderZip ZipFolder(const std::string& folder);

// A file time as a DOS date (high 16 bits) and time (low 16 bits), local
// time, seconds rounded down to even; clamped to 1980-01-01 00:00:00 and
// 2107-12-31 23:59:58.
uint32_t DosDateTimeOf(int64_t unixSeconds);

}  // namespace sfx
