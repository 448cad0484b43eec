// Zipping a folder for `sfx pack`: the archive the launcher will carry,
// written piece by piece to a scratch file, so that memory does not grow
// with the folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sfx/host.h"

namespace sfx {

struct FolderItem {
    std::string Name;  // in the archive: the code page's bytes, "/" separators, folders end with "/"
    std::filesystem::path HostPath;
    bool Folder = false;
    int64_t UnixTime = 0;  // last modification
    uint64_t Size = 0;     // of a file, when it was listed
};

struct FolderListing {
    std::string Root;  // the folder as given
    std::vector<FolderItem> Items;
    uint64_t FileBytes = 0;  // the files' sizes added up
    size_t Files = 0;
    size_t Folders = 0;
    std::vector<std::string> Skipped;  // what was left out, and why
    // Names the code page cannot hold: "docs/日本.txt: the character U+65E5
    // has no place in code page 1252". Nothing should be written then.
    std::vector<std::string> Unwritable;
};

// Every file and folder below `folder`, named in the ANSI code page
// `codePage` (the launcher creates names in it; no UTF-8 flag). The order is
// the same wherever and whenever the folder is listed: depth first, the
// entries of each folder sorted by the bytes of their names in the code
// page, a folder's own entry right before its contents. Symbolic links to
// files are followed; links to folders and special files are skipped.
// Throws ToolError naming the path when something cannot be read, or when
// there are more than 65535 entries.
FolderListing ListFolder(const std::string& folder, unsigned codePage = 1252);

struct ZipOptions {
    // 0: every file stored; 1 to 9: zlib's deflate levels, the file stored
    // when deflate does not make it smaller.
    int Level = 9;
    // SOURCE_DATE_EPOCH: when set, every entry's time is at most TimeCap,
    // and DOS times are taken in UTC, so that the archive depends neither on
    // when the files were touched nor on the time zone.
    bool CapTimes = false;
    int64_t TimeCap = 0;
};

// Called after every piece of file data read: the files' bytes read so far
// out of FileBytes, and the entry under way.
using ZipProgressFn = void (*)(void* context, const FolderItem& item, uint64_t done, uint64_t total);

// Writes the archive of `listing` to `out` from offset 0 and returns its
// length: local headers with the sizes and CRC-32 in them (written after
// the data, over the first version of the header; no data descriptors),
// the data, the central directory, the end record. Each file's modification
// time becomes a DOS time (local time, or see ZipOptions). Throws ToolError
// naming the file when one cannot be read or changes while it is read, or
// when the archive would not be a classic ZIP archive the launcher reads
// (2 GiB in all, which is also the launcher's limit).
uint64_t WriteFolderZip(const FolderListing& listing, ScratchFile& out, const ZipOptions& options,
                        ZipProgressFn progress = nullptr, void* context = nullptr);

// A file time as a DOS date (high 16 bits) and time (low 16 bits), in local
// time (or UTC), seconds rounded down to even; clamped to 1980-01-01
// 00:00:00 and 2107-12-31 23:59:58.
uint32_t DosDateTimeOf(int64_t unixSeconds, bool utc = false);

}  // namespace sfx
