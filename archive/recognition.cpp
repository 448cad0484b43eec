// Archive recognition: is this path a ZIP archive?
//
// A ZIP file begins with a local header, 50 4B 03 04. A self-extracting
// archive is an MS-DOS executable ("MZ") whose image is followed directly by
// the archive; the image size comes from the MZ header:
//   2 bytes in the last 512-byte page (0 = a full page)   4 number of pages
// so the size is (pages - 1) * 512 + last-page bytes, or pages * 512. The
// local header may stand at that position or one byte after it.
#include <cstring>

#include "archive/archive.h"
#include "engine/engine.h"
#include "engine/zip_records.h"

namespace {

bool IsLocalHeaderAt(const uint8_t* p) { return HasSignature(p, ZipLocal::Signature); }

}  // namespace

bool HasArchiveAfterImage(uint8_t (&header)[10], win::HANDLE file) {
    int32_t lastPageBytes = ReadLe16(header + 2);
    int32_t pages = ReadLe16(header + 4);
    int32_t imageSize = lastPageBytes != 0 ? (pages - 1) * 512 + lastPageBytes : pages * 512;
    if (win::SetFilePointer(file, imageSize, nullptr, win::FILE_BEGIN) == win::INVALID_SET_FILE_POINTER) return false;
    win::DWORD got = 0;
    if (!win::ReadFile(file, header, sizeof header, &got, nullptr) || got < 4) return false;
    if (imageSize <= 0) return false;
    if (IsLocalHeaderAt(header)) return true;
    // Offset 1 only when its fourth byte came from this read, not from the
    // MZ header still in the buffer.
    return got >= 5 && IsLocalHeaderAt(header + 1);
}

bool IsArchiveFile(const char* path) {
    if (std::strchr(path, '.') == nullptr) return false;
    size_t len = std::strlen(path);
    if (len > MaxPathLength) return false;  // no caller passes a longer path
    char copy[PathBufferSize];
    std::memcpy(copy, path, len + 1);
    if (len > 0 && copy[len - 1] == '\\') copy[len - 1] = '\0';
    // A directory is no archive; the change of directory stays.
    if (TryChangeDir(copy) == 0) return false;

    win::HANDLE file = win::CreateFileA(path, win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                        nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == win::INVALID_HANDLE_VALUE) return false;
    uint8_t header[10] = {};
    win::DWORD got = 0;
    if (!win::ReadFile(file, header, sizeof header, &got, nullptr)) {
        win::CloseHandle(file);
        return false;
    }
    bool result = false;
    if (got == 10 && IsLocalHeaderAt(header))
        result = true;
    else if (got >= 3 && header[0] == 0x4D && header[1] == 0x5A)
        result = HasArchiveAfterImage(header, file);
    win::CloseHandle(file);
    return result;
}
