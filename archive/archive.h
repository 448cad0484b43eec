// The archive directory: recognition of a ZIP archive (plain, or appended to
// an MS-DOS executable image) and the walk of its central directory.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One central-directory walk, owned by the caller. Zero it before
// FindFirstEntry; Buffer is null whenever no search is active.
struct EntrySearch {
    uint8_t* Buffer;          // directory bytes; the allocation is BufferSize + 1 (+ file state when windowed)
    uint16_t BufferSize;      // bytes of directory in Buffer; exactly 64000 in windowed mode and only then
    uint16_t Position;        // offset in Buffer of the next central-directory record
    uint32_t DosDateTime;     // DOS time (low 16 bits) and date (high 16 bits)
    uint32_t UncompressedSize;
    uint32_t CompressedSize;
    int32_t HeaderOffset;     // file position of the entry's local header
    uint32_t Crc;
    char Name[260];           // NUL-terminated, at most 259 bytes, "\" as separator
    uint16_t Method;
    uint16_t Attributes;      // MS-DOS attribute byte when made on MS-DOS, else 0
    uint16_t Flags;
};

// 0 first entry in the record; 1 no first entry; -1 cannot open, seek or
// read, empty, or no end record; -2 end record fewer than 46 bytes from the
// start. On every result but 0 the search is released.
int32_t FindFirstEntry(const char* archivePath, EntrySearch& search);
// 0 next entry in the record; 1 none (and the search is released); -2 no
// search active.
int32_t FindNextEntry(EntrySearch& search);
// Releases the search; does nothing when none is active.
void EndEntrySearch(EntrySearch& search);

bool IsArchiveFile(const char* path);
bool HasArchiveAfterImage(uint8_t (&header)[10], win::HANDLE file);
