// The archive directory: recognition of a ZIP archive (plain, or appended to
// an MS-DOS executable image) and the walk of its central directory.
#pragma once

#include <cstdint>

#include "engine/zip_records.h"
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
    char Name[PathBufferSize];  // NUL-terminated, at most MaxPathLength bytes, "\" as separator
    uint16_t Method;
    uint16_t Attributes;      // MS-DOS attribute byte when made on MS-DOS, else 0
    uint16_t Flags;
    // Offset in Buffer of the central-directory record this entry came from,
    // valid until the next call: for tools that look at fields the record
    // does not carry (raw name, extra field).
    uint16_t RecordStart;
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

// The end record that FindFirstEntry takes, found by the same backward
// search: its file position (with its first 22 bytes in `record`), or -1
// when the file cannot be read, is empty, 2 GiB or larger, or has none.
// For tools that explain a walk; the launcher does not call it.
int32_t LocateEndRecord(const char* archivePath, uint8_t (&record)[ZipEnd::Size]);

bool IsArchiveFile(const char* path);
bool HasArchiveAfterImage(uint8_t (&header)[10], win::HANDLE file);
