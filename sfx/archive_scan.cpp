// The archive as the launcher sees it: recognition, the walk, test-only and
// memory extraction through the engine, and the records the walker does not
// hand out.
//
// End-of-central-directory record: signature 50 4B 05 06; total entries at
// 10 (16 bits), directory offset at 16 (32 bits). A ZIP64 archive puts a
// locator (50 4B 06 07, 20 bytes) right before it and the escape values
// 0xFFFF / 0xFFFFFFFF into these fields. Central-directory record: 46 fixed
// bytes (signature 50 4B 01 02, host system at 5, name length n at 28, extra
// length m at 30, comment length k at 32), then the name.
#include "sfx/archive_scan.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "archive/archive.h"
#include "sfx/host.h"

namespace sfx {

namespace {

constexpr size_t EndRecordSize = 22;
constexpr size_t MaxCommentSize = 0xFFFF;
constexpr size_t CentralRecordSize = 46;
constexpr size_t LocalHeaderSize = 30;

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool ReadAt(std::ifstream& f, uint64_t offset, uint8_t* out, size_t n) {
    f.clear();
    f.seekg(static_cast<std::streamoff>(offset));
    if (!f) return false;
    f.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
    return static_cast<size_t>(f.gcount()) == n;
}

// Saves the engine's output options and puts them back, whatever happens.
struct OutputModeGuard {
    bool TestOnly = EngineState.TestOnly;
    bool MemoryOutput = EngineState.MemoryOutput;
    uint8_t* MemoryTarget = EngineState.MemoryTarget;
    int32_t MemoryLimit = EngineState.MemoryLimit;
    int32_t MemoryCount = EngineState.MemoryCount;
    ~OutputModeGuard() {
        EngineState.TestOnly = TestOnly;
        EngineState.MemoryOutput = MemoryOutput;
        EngineState.MemoryTarget = MemoryTarget;
        EngineState.MemoryLimit = MemoryLimit;
        EngineState.MemoryCount = MemoryCount;
    }
};

}  // namespace

std::string CorePathOf(const std::string& hostPath) {
    std::string core = AbsoluteCorePath(hostPath);
    if (core.size() > MaxCorePath)
        throw ToolError(hostPath + ": path too long for the launcher's engine (" + std::to_string(core.size()) +
                        " characters, at most " + std::to_string(MaxCorePath) + ")");
    return core;
}

uint64_t RequireRegularFile(const std::string& hostPath) {
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::status(hostPath, ec);
    if (ec || !std::filesystem::exists(st)) throw ToolError(hostPath + ": no such file");
    if (std::filesystem::is_directory(st)) throw ToolError(hostPath + ": is a folder, not an archive");
    if (!std::filesystem::is_regular_file(st)) throw ToolError(hostPath + ": not a regular file");
    uint64_t size = std::filesystem::file_size(hostPath, ec);
    if (ec) throw ToolError(hostPath + ": cannot read its size: " + ec.message());
    std::ifstream probe(hostPath, std::ios::binary);
    if (!probe) throw ToolError(hostPath + ": cannot open it for reading");
    return size;
}

std::vector<uint8_t> ReadHostFile(const std::string& hostPath, uint64_t limit) {
    uint64_t size = RequireRegularFile(hostPath);
    if (size > limit) throw ToolError(hostPath + ": too large (" + std::to_string(size) + " bytes)");
    std::ifstream f(hostPath, std::ios::binary);
    std::vector<uint8_t> data(size);
    if (!f || !f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size)))
        throw ToolError(hostPath + ": cannot read it");
    return data;
}

void WriteHostFile(const std::string& hostPath, const std::vector<uint8_t>& data) {
    std::string temporary = hostPath + ".part";
    {
        std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
        if (!f) throw ToolError(hostPath + ": cannot create it");
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        f.close();
        if (!f) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw ToolError(hostPath + ": cannot write it");
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, hostPath, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw ToolError(hostPath + ": cannot write it: " + ec.message());
    }
}

bool RecognisedAsArchive(const std::string& corePath) {
    // IsArchiveFile refuses every path without a dot before it looks at the
    // content. The launcher's copy is always called "pc.dat", so for a
    // dot-less name only the content rules apply, repeated here.
    if (corePath.find('.') != std::string::npos) return IsArchiveFile(corePath.c_str());
    win::HANDLE f = win::CreateFileA(corePath.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                     nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == win::INVALID_HANDLE_VALUE) return false;
    uint8_t header[10] = {};
    win::DWORD got = 0;
    bool result = false;
    if (win::ReadFile(f, header, sizeof header, &got, nullptr)) {
        if (got == 10 && header[0] == 0x50 && header[1] == 0x4B && header[2] == 0x03 && header[3] == 0x04)
            result = true;
        else if (got >= 3 && header[0] == 0x4D && header[1] == 0x5A)
            result = HasArchiveAfterImage(header, f);
    }
    win::CloseHandle(f);
    return result;
}

ArchiveWalk WalkArchive(const std::string& corePath) {
    ArchiveWalk walk;
    EntrySearch search;
    std::memset(&search, 0, sizeof search);
    int32_t result = FindFirstEntry(corePath.c_str(), search);
    walk.FirstResult = result;
    while (result == 0) {
        ArchiveEntry e;
        e.Name = search.Name;
        e.HeaderOffset = search.HeaderOffset;
        e.CompressedSize = search.CompressedSize;
        e.UncompressedSize = search.UncompressedSize;
        e.Crc = search.Crc;
        e.DosDateTime = search.DosDateTime;
        e.Method = search.Method;
        e.Flags = search.Flags;
        e.Attributes = search.Attributes;
        walk.Entries.push_back(std::move(e));
        result = FindNextEntry(search);
    }
    EndEntrySearch(search);
    return walk;
}

DirectoryFacts ReadDirectoryFacts(const std::string& hostPath) {
    DirectoryFacts facts;
    std::ifstream f(hostPath, std::ios::binary);
    if (!f) return facts;
    f.seekg(0, std::ios::end);
    uint64_t size = static_cast<uint64_t>(f.tellg());
    if (size < EndRecordSize) return facts;
    uint64_t tailStart = size > EndRecordSize + MaxCommentSize ? size - EndRecordSize - MaxCommentSize : 0;
    std::vector<uint8_t> tail(size - tailStart);
    if (!ReadAt(f, tailStart, tail.data(), tail.size())) return facts;
    // The record nearest the end wins, as in the walker.
    size_t at = tail.size() - EndRecordSize + 1;
    bool found = false;
    while (at-- > 0) {
        if (tail[at] == 0x50 && tail[at + 1] == 0x4B && tail[at + 2] == 0x05 && tail[at + 3] == 0x06) {
            found = true;
            break;
        }
    }
    if (!found) return facts;
    facts.Found = true;
    const uint8_t* end = tail.data() + at;
    uint64_t endPos = tailStart + at;
    facts.EntryCount = Le16(end + 10);
    uint32_t directoryOffset = Le32(end + 16);
    facts.Zip64 = facts.EntryCount == 0xFFFF || directoryOffset == 0xFFFFFFFFu;
    if (endPos >= 20) {
        uint8_t locator[4];
        if (ReadAt(f, endPos - 20, locator, 4) && Le32(locator) == 0x07064B50) facts.Zip64 = true;
    }
    if (directoryOffset >= endPos) return facts;
    std::vector<uint8_t> dir(endPos - directoryOffset);
    if (!ReadAt(f, directoryOffset, dir.data(), dir.size())) return facts;
    size_t pos = 0;
    while (pos + CentralRecordSize <= dir.size() && Le32(dir.data() + pos) == 0x02014B50) {
        const uint8_t* r = dir.data() + pos;
        uint32_t n = Le16(r + 28), m = Le16(r + 30), k = Le16(r + 32);
        if (pos + CentralRecordSize + n > dir.size()) break;
        DirectoryFacts::Raw raw;
        raw.NameLength = n;
        raw.NameHasNul = std::memchr(r + CentralRecordSize, 0, n) != nullptr;
        raw.HostSystem = r[5];
        facts.Records.push_back(raw);
        pos += CentralRecordSize + n + m + k;
    }
    return facts;
}

std::optional<LocalHeader> ReadLocalHeader(const std::string& hostPath, int32_t headerOffset) {
    if (headerOffset < 0) return std::nullopt;
    std::ifstream f(hostPath, std::ios::binary);
    uint8_t h[LocalHeaderSize];
    if (!f || !ReadAt(f, static_cast<uint64_t>(headerOffset), h, sizeof h) || Le32(h) != 0x04034B50)
        return std::nullopt;
    LocalHeader local;
    local.Flags = static_cast<uint16_t>(Le16(h + 6));
    local.Method = static_cast<uint16_t>(Le16(h + 8));
    local.CompressedSize = Le32(h + 18);
    return local;
}

std::string DescribeFirstResult(int32_t firstResult) {
    switch (firstResult) {
        case 0: return "";
        case -1: return "no end-of-central-directory record found (not a ZIP archive, or cut short)";
        case -2: return "the archive has no entries";
        default: return "the central directory is damaged: not even its first entry can be read";
    }
}

std::string DescribeEarlyStop(const ArchiveWalk& walk, const DirectoryFacts& facts) {
    if (facts.Zip64) return "ZIP64 archive: the launcher reads only the classic ZIP format";
    if (facts.Found && walk.FirstResult == 0 && walk.Entries.size() < facts.EntryCount)
        return "the directory walk stops after " + std::to_string(walk.Entries.size()) + " of " +
               std::to_string(facts.EntryCount) + " entries (damaged or cut-short directory); the rest is never extracted";
    return "";
}

ExtractResult TestEntry(const std::string& corePath, int32_t headerOffset) {
    OutputModeGuard guard;
    EngineState.TestOnly = true;
    EngineState.MemoryOutput = true;  // no output file: the destination steps are skipped
    EngineState.MemoryTarget = nullptr;
    EngineState.MemoryLimit = 0;
    EngineState.MemoryCount = 0;
    return ExtractEntry(corePath.c_str(), nullptr, 0, headerOffset, 0, 0);
}

ExtractResult ExtractToMemory(const std::string& corePath, int32_t headerOffset, uint32_t limit,
                              std::vector<uint8_t>& out) {
    OutputModeGuard guard;
    uint32_t capacity = std::min<uint32_t>(limit, 0x7FFFFFFF);
    out.assign(capacity, 0);
    EngineState.TestOnly = false;
    EngineState.MemoryOutput = true;
    EngineState.MemoryTarget = out.data();
    EngineState.MemoryLimit = static_cast<int32_t>(capacity);
    EngineState.MemoryCount = 0;
    ExtractResult result = ExtractEntry(corePath.c_str(), nullptr, 0, headerOffset, 0, 0);
    out.resize(static_cast<size_t>(std::max<int32_t>(EngineState.MemoryCount, 0)));
    return result;
}

std::string MethodName(uint16_t method) {
    switch (method) {
        case 0: return "stored";
        case 1: return "shrunk";
        case 2: case 3: case 4: case 5: return "reduced" + std::to_string(method - 1);
        case 6: return "imploded";
        case 7: return "tokenized";
        case 8: return "deflated";
        case 9: return "deflate64";
        case 10: return "PKWARE DCL imploded";
        case 12: return "bzip2";
        case 14: return "LZMA";
        case 16: return "IBM z/OS CMPSC";
        case 18: return "IBM TERSE";
        case 19: return "IBM LZ77 z";
        case 20: case 93: return "Zstandard";
        case 94: return "MP3";
        case 95: return "XZ";
        case 96: return "JPEG";
        case 97: return "WavPack";
        case 98: return "PPMd";
        case 99: return "AES-encrypted";
        default: return "method " + std::to_string(method);
    }
}

std::string MethodLabel(uint16_t method) { return MethodName(method) + " (" + std::to_string(method) + ")"; }

bool MethodSupported(uint16_t method) {
    // ExtractEntry's own test looks at bit (method mod 32) only; methods of
    // 32 and above pass it and are refused by the dispatch afterwards.
    return method < 32 && (SupportedMethods() & (1 << method)) != 0;
}

std::string ResultName(ExtractResult result) {
    switch (result) {
        case Busy: return "engine busy";
        case Ok: return "ok";
        case ChecksumMismatch: return "checksum mismatch";
        case OutputFailed: return "output failed";
        case InputFailed: return "input failed";
        case ArchiveDamaged: return "archive damaged";
        case Cancelled: return "cancelled";
        case Unsupported: return "unsupported";
        case Encrypted: return "encrypted";
        default: return "result " + std::to_string(result);
    }
}

std::string FormatDosDateTime(uint32_t dosDateTime) {
    DosTimeFields t = UnpackDosDateTime(dosDateTime);
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                  t.Second);
    return text;
}

std::string Quote(const std::string& name) {
    std::string out = "\"";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace sfx
