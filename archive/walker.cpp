// The central-directory walker.
//
// End-of-central-directory record (22 bytes + comment): signature 50 4B 05 06
// at 0, offset of the directory at 16. It is searched backwards from the end
// of the file through 4096-byte windows overlapping by 22 bytes; the hit
// nearest the end wins.
//
// Central-directory record (46 bytes + name n + extra m + comment k):
//   0 signature 50 4B 01 02   5 host system   8 flags  10 method  12 DOS time
//  14 DOS date  16 CRC-32  20 compressed size  24 uncompressed size  28 n
//  30 m  32 k  38 external attributes  42 local header offset  46 name.
//
// The directory and the 4 signature bytes of the end record are loaded whole
// when that span is below 64000 bytes; a larger one is streamed through a
// 64000-byte window while the archive stays open, its handle kept in the same
// allocation behind the buffer. The walk ends at the end signature.
//
// Bounds: every record is parsed only when 46 + n + m + k bytes of it lie
// within the valid part of the buffer (ValidSize, which is below BufferSize
// only when a read delivered fewer bytes than asked), so no entry is ever
// taken from bytes that were not read from the directory.
#include <cstring>
#include <new>

#include "archive/archive.h"
#include "engine/engine.h"

namespace {

constexpr int32_t EndRecordSize = 22;
constexpr int32_t DirRecordSize = 46;
constexpr int32_t SearchWindowSize = 4096;
constexpr int32_t DirectoryWindowSize = 64000;

// What a windowed search keeps behind the buffer's spare byte.
struct WindowedTail {
    win::HANDLE File;
    uint16_t ValidSize;  // bytes of Buffer that came from the archive
};

size_t TailOffset(uint16_t bufferSize) {
    size_t off = static_cast<size_t>(bufferSize) + 1;
    return (off + alignof(WindowedTail) - 1) & ~(alignof(WindowedTail) - 1);
}

size_t AllocationSize(uint16_t bufferSize, bool windowed) {
    return windowed ? TailOffset(bufferSize) + sizeof(WindowedTail) : static_cast<size_t>(bufferSize) + 1;
}

bool IsWindowed(const EntrySearch& s) { return s.BufferSize == DirectoryWindowSize; }

WindowedTail TakeTail(const EntrySearch& s) {
    WindowedTail tail;
    std::memcpy(&tail, s.Buffer + TailOffset(s.BufferSize), sizeof tail);
    return tail;
}

void PutTail(EntrySearch& s, const WindowedTail& tail) {
    std::memcpy(s.Buffer + TailOffset(s.BufferSize), &tail, sizeof tail);
}

uint16_t ValidSize(const EntrySearch& s) { return IsWindowed(s) ? TakeTail(s).ValidSize : s.BufferSize; }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool ReadExactly(win::HANDLE file, void* into, win::DWORD count, win::DWORD* got) {
    *got = 0;
    return win::ReadFile(file, into, count, got, nullptr) != 0;
}

uint32_t RecordLength(const uint8_t* record) {
    return DirRecordSize + static_cast<uint32_t>(Le16(record + 28)) + Le16(record + 30) + Le16(record + 32);
}

// Moves the unread rest to the front and reads as many bytes as were
// consumed behind it. False when the read failed.
bool RefillWindow(EntrySearch& s) {
    WindowedTail tail = TakeTail(s);
    uint16_t remaining = static_cast<uint16_t>(tail.ValidSize - s.Position);
    std::memmove(s.Buffer, s.Buffer + s.Position, remaining);
    win::DWORD got = 0;
    if (!ReadExactly(tail.File, s.Buffer + remaining, s.Position, &got)) return false;
    tail.ValidSize = static_cast<uint16_t>(remaining + got);
    PutTail(s, tail);
    s.Position = 0;
    return true;
}

int32_t ReadDirectoryEntry(EntrySearch& s) {
    if (IsWindowed(s)) {
        uint16_t valid = ValidSize(s);
        int32_t remaining = valid - s.Position;
        if (remaining < DirRecordSize || RecordLength(s.Buffer + s.Position) > static_cast<uint32_t>(remaining)) {
            if (!RefillWindow(s)) return 1;
        }
    }
    int32_t remaining = ValidSize(s) - s.Position;
    const uint8_t* r = s.Buffer + s.Position;
    if (remaining >= 4 && r[0] == 0x50 && r[1] == 0x4B && r[2] == 0x05 && r[3] == 0x06) return 1;
    if (remaining < DirRecordSize) return 1;
    uint32_t length = RecordLength(r);
    if (length > static_cast<uint32_t>(remaining)) return 1;
    if (r[0] != 0x50 || r[1] != 0x4B || r[2] != 0x01 || r[3] != 0x02) return 1;

    s.Flags = Le16(r + 8);
    s.Method = Le16(r + 10);
    s.DosDateTime = Le32(r + 12);
    s.Crc = Le32(r + 16);
    s.CompressedSize = Le32(r + 20);
    s.UncompressedSize = Le32(r + 24);
    s.Attributes = r[5] == 0 ? r[38] : 0;
    s.HeaderOffset = static_cast<int32_t>(Le32(r + 42));

    uint16_t nameLength = Le16(r + 28);
    size_t n = 0;
    while (n < nameLength && n < sizeof s.Name - 1 && r[DirRecordSize + n] != 0) {
        char c = static_cast<char>(r[DirRecordSize + n]);
        s.Name[n++] = c == '/' ? '\\' : c;
    }
    s.Name[n] = '\0';

    s.Position = static_cast<uint16_t>(s.Position + length);
    return 0;
}

// Searches backwards for the end record; its position, or -1.
int32_t FindEndRecord(win::HANDLE file, int32_t fileSize, uint32_t* directoryPosition) {
    int32_t windowSize = fileSize > SearchWindowSize ? SearchWindowSize : fileSize;
    int32_t windowStart = fileSize - windowSize;
    uint8_t* window = new (std::nothrow) uint8_t[windowSize + 1];
    if (window == nullptr) return -1;
    for (;;) {
        win::DWORD got = 0;
        if (win::SetFilePointer(file, windowStart, nullptr, win::FILE_BEGIN) == win::INVALID_SET_FILE_POINTER ||
            !ReadExactly(file, window, static_cast<win::DWORD>(windowSize), &got) ||
            got < static_cast<win::DWORD>(windowSize))
            break;
        bool atStart = windowStart == 0;
        for (int32_t off = windowSize - EndRecordSize; off >= 0; off--) {
            if (window[off] == 0x50 && window[off + 1] == 0x4B && window[off + 2] == 0x05 && window[off + 3] == 0x06) {
                *directoryPosition = Le32(window + off + 16);
                delete[] window;
                return windowStart + off;
            }
        }
        if (atStart) break;
        windowStart -= windowSize - EndRecordSize;
        if (windowStart < 0) windowStart = 0;
    }
    delete[] window;
    return -1;
}

}  // namespace

int32_t FindFirstEntry(const char* archivePath, EntrySearch& s) {
    win::HANDLE file = win::CreateFileA(archivePath, win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                        nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == win::INVALID_HANDLE_VALUE) return -1;

    win::DWORD sizeHigh = 0;
    win::DWORD sizeLow = win::GetFileSize(file, &sizeHigh);
    if (sizeLow == win::INVALID_FILE_SIZE && win::GetLastError() != 0)
        RaiseIoError(static_cast<int32_t>(win::GetLastError()));
    // Positions are signed 32-bit: an archive of 2 GiB or more is out of range.
    if (sizeLow == 0 || sizeHigh != 0 || sizeLow > 0x7FFFFFFFu) {
        win::CloseHandle(file);
        return -1;
    }
    int32_t fileSize = static_cast<int32_t>(sizeLow);

    uint32_t directoryPosition = 0;
    int32_t endPosition = FindEndRecord(file, fileSize, &directoryPosition);
    if (endPosition < 0) {
        win::CloseHandle(file);
        return -1;
    }
    if (endPosition < DirRecordSize) {
        win::CloseHandle(file);
        return -2;
    }

    // The directory and the end signature. Compared at full width; a
    // directory said to start behind the end record gives no span at all.
    int64_t span = static_cast<int64_t>(endPosition) - static_cast<int32_t>(directoryPosition) + 4;
    if (span < 0) {
        win::CloseHandle(file);
        return -1;
    }
    bool windowed = span >= DirectoryWindowSize;
    uint16_t bufferSize = windowed ? DirectoryWindowSize : static_cast<uint16_t>(span);
    s.Buffer = new (std::nothrow) uint8_t[AllocationSize(bufferSize, windowed)];
    if (s.Buffer == nullptr) {
        win::CloseHandle(file);
        return -1;
    }
    s.BufferSize = bufferSize;
    s.Position = 0;

    win::DWORD got = 0;
    if (win::SetFilePointer(file, static_cast<win::LONG>(directoryPosition), nullptr, win::FILE_BEGIN) ==
            win::INVALID_SET_FILE_POINTER ||
        !ReadExactly(file, s.Buffer, bufferSize, &got)) {
        delete[] s.Buffer;
        s.Buffer = nullptr;
        win::CloseHandle(file);
        return -1;
    }
    if (windowed) {
        PutTail(s, WindowedTail{file, static_cast<uint16_t>(got)});
    } else {
        // A short read (a directory said to lie past the end of the file)
        // leaves only what arrived to be parsed.
        s.BufferSize = static_cast<uint16_t>(got);
        win::CloseHandle(file);
    }

    int32_t result = ReadDirectoryEntry(s);
    if (result != 0) EndEntrySearch(s);
    return result;
}

int32_t FindNextEntry(EntrySearch& s) {
    if (s.Buffer == nullptr) return -2;
    int32_t result = ReadDirectoryEntry(s);
    if (result != 0) EndEntrySearch(s);
    return result;
}

void EndEntrySearch(EntrySearch& s) {
    if (s.Buffer == nullptr) return;
    if (IsWindowed(s)) win::CloseHandle(TakeTail(s).File);
    delete[] s.Buffer;
    s.Buffer = nullptr;
}
