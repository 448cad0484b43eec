// The central-directory walker.
//
// The end-of-central-directory record is searched backwards from the end of
// the file through 4096-byte windows overlapping by its 22 bytes; the hit
// nearest the end wins, and its directory offset says where the
// central-directory records begin (46 bytes + name + extra + comment each;
// the fields are in engine/zip_records.h).
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
#include "engine/zip_records.h"

namespace {

constexpr int32_t EndRecordSize = ZipEnd::Size;
constexpr int32_t DirRecordSize = ZipCentral::Size;
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

// One read of at most `count` bytes: true when the call succeeded, however
// few bytes arrived (*got says how many); the callers judge the count.
bool ReadUpTo(win::HANDLE file, void* into, win::DWORD count, win::DWORD* got) {
    *got = 0;
    return win::ReadFile(file, into, count, got, nullptr) != 0;
}

// Moves the unread rest to the front and reads as many bytes as were
// consumed behind it. False when the read failed.
bool RefillWindow(EntrySearch& s) {
    WindowedTail tail = TakeTail(s);
    uint16_t remaining = static_cast<uint16_t>(tail.ValidSize - s.Position);
    std::memmove(s.Buffer, s.Buffer + s.Position, remaining);
    win::DWORD got = 0;
    if (!ReadUpTo(tail.File, s.Buffer + remaining, s.Position, &got)) return false;
    tail.ValidSize = static_cast<uint16_t>(remaining + got);
    PutTail(s, tail);
    s.Position = 0;
    return true;
}

int32_t ReadDirectoryEntry(EntrySearch& s) {
    if (IsWindowed(s)) {
        uint16_t valid = ValidSize(s);
        int32_t remaining = valid - s.Position;
        if (remaining < DirRecordSize || CentralRecordLength(s.Buffer + s.Position) > static_cast<uint32_t>(remaining)) {
            if (!RefillWindow(s)) return 1;
        }
    }
    int32_t remaining = ValidSize(s) - s.Position;
    const uint8_t* r = s.Buffer + s.Position;
    if (remaining >= 4 && HasSignature(r, ZipEnd::Signature)) return 1;
    if (remaining < DirRecordSize) return 1;
    uint32_t length = CentralRecordLength(r);
    if (length > static_cast<uint32_t>(remaining)) return 1;
    if (!HasSignature(r, ZipCentral::Signature)) return 1;

    s.Flags = ReadLe16(r + ZipCentral::Flags);
    s.Method = ReadLe16(r + ZipCentral::Method);
    s.DosDateTime = ReadLe32(r + ZipCentral::DosDateTime);
    s.Crc = ReadLe32(r + ZipCentral::Crc);
    s.CompressedSize = ReadLe32(r + ZipCentral::CompressedSize);
    s.UncompressedSize = ReadLe32(r + ZipCentral::UncompressedSize);
    s.Attributes = r[ZipCentral::HostSystem] == 0 ? r[ZipCentral::ExternalAttributes] : 0;
    s.HeaderOffset = static_cast<int32_t>(ReadLe32(r + ZipCentral::HeaderOffset));

    uint16_t nameLength = ReadLe16(r + ZipCentral::NameLength);
    size_t n = 0;
    while (n < nameLength && n < sizeof s.Name - 1 && r[DirRecordSize + n] != 0) {
        char c = static_cast<char>(r[DirRecordSize + n]);
        s.Name[n++] = c == '/' ? '\\' : c;
    }
    s.Name[n] = '\0';

    s.RecordStart = s.Position;
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
            !ReadUpTo(file, window, static_cast<win::DWORD>(windowSize), &got) ||
            got < static_cast<win::DWORD>(windowSize))
            break;
        bool atStart = windowStart == 0;
        for (int32_t off = windowSize - EndRecordSize; off >= 0; off--) {
            if (HasSignature(window + off, ZipEnd::Signature)) {
                *directoryPosition = ReadLe32(window + off + ZipEnd::DirectoryOffset);
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
        !ReadUpTo(file, s.Buffer, bufferSize, &got)) {
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

int32_t LocateEndRecord(const char* archivePath, uint8_t (&record)[ZipEnd::Size]) {
    win::HANDLE file = win::CreateFileA(archivePath, win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                        nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == win::INVALID_HANDLE_VALUE) return -1;
    win::DWORD sizeHigh = 0;
    win::DWORD sizeLow = win::GetFileSize(file, &sizeHigh);
    int32_t position = -1;
    if (sizeLow != win::INVALID_FILE_SIZE && sizeLow != 0 && sizeHigh == 0 && sizeLow <= 0x7FFFFFFFu) {
        uint32_t directoryPosition = 0;
        position = FindEndRecord(file, static_cast<int32_t>(sizeLow), &directoryPosition);
        win::DWORD got = 0;
        if (position >= 0 && (win::SetFilePointer(file, position, nullptr, win::FILE_BEGIN) ==
                                  win::INVALID_SET_FILE_POINTER ||
                              !win::ReadFile(file, record, sizeof record, &got, nullptr) || got != sizeof record))
            position = -1;
    }
    win::CloseHandle(file);
    return position;
}

void EndEntrySearch(EntrySearch& s) {
    if (s.Buffer == nullptr) return;
    if (IsWindowed(s)) win::CloseHandle(TakeTail(s).File);
    delete[] s.Buffer;
    s.Buffer = nullptr;
}
