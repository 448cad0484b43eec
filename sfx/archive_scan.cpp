// The archive as the launcher sees it: recognition, the walk, test-only and
// memory extraction through the engine, and the few reads the walker does
// not do (a local header, the ZIP64 records around the end record), with
// the record definitions the engine itself uses.
#include "sfx/archive_scan.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <cstdlib>
#include <mutex>
#include <random>
#include <set>

#include "archive/archive.h"
#include "sfx/host.h"
#include "sfx/pe_resources.h"

namespace sfx {

namespace {

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
    if (core.size() > MaxPathLength)
        throw ToolError(hostPath + ": path too long for the launcher's engine (" + std::to_string(core.size()) +
                        " characters, at most " + std::to_string(MaxPathLength) + ")");
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

namespace {

// Larger than any launcher: a PE image holds less than 4 GiB.
constexpr uint64_t MaxLauncherSize = 0xFFFFFFFFull;

// Scratch folders still present; removed at exit as well, for the paths
// that end the tool without unwinding (the engine's I/O error report).
std::set<std::string>& LiveScratchFolders() {
    // Never destroyed: the exit handler below may run after static objects
    // are gone.
    static auto* folders = new std::set<std::string>;
    return *folders;
}

void RemoveScratchFolder(const std::string& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    LiveScratchFolders().erase(folder);
}

void RemoveScratchFoldersAtExit() {
    std::set<std::string> left = LiveScratchFolders();
    for (const std::string& folder : left) RemoveScratchFolder(folder);
}

// A new folder of our own below the system's temporary folder.
std::string MakeScratchFolder() {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(RemoveScratchFoldersAtExit); });
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) throw ToolError("no temporary folder for a scratch copy: " + ec.message());
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[32];
        std::snprintf(name, sizeof name, "sfx-%016llx", static_cast<unsigned long long>(random()));
        std::filesystem::path folder = base / name;
        // create_directory is false when the folder existed: then try another.
        if (std::filesystem::create_directory(folder, ec) && !ec) {
            LiveScratchFolders().insert(folder.string());
            return folder.string();
        }
    }
    throw ToolError(base.string() + ": cannot create a scratch folder there");
}

}  // namespace

ArchiveInput::~ArchiveInput() {
    if (!ScratchFolder.empty()) RemoveScratchFolder(ScratchFolder);
}

std::optional<std::vector<uint8_t>> LauncherArchive(const std::string& hostPath) {
    {
        std::ifstream f(hostPath, std::ios::binary);
        char magic[2] = {};
        if (!f.read(magic, 2) || magic[0] != 'M' || magic[1] != 'Z') return std::nullopt;
    }
    Bytes file = ReadHostFile(hostPath, MaxLauncherSize);
    try {
        ResourceTree tree = ReadResources(file, ParsePe(file));
        auto type = tree.find(ResourceKey::Named("ZIP"));
        if (type == tree.end()) return std::nullopt;
        auto name = type->second.find(ResourceKey::Number(1));
        if (name == type->second.end() || name->second.empty()) return std::nullopt;
        auto neutral = name->second.find(ResourceKey::Number(0));
        return (neutral != name->second.end() ? neutral : name->second.begin())->second.Data;
    } catch (const PeError&) {
        return std::nullopt;  // an MS-DOS image with an archive behind it, or no program at all
    }
}

std::unique_ptr<ArchiveInput> OpenArchive(const std::string& hostPath) {
    auto in = std::make_unique<ArchiveInput>();
    in->Size = RequireRegularFile(hostPath);
    std::optional<Bytes> embedded = LauncherArchive(hostPath);
    if (!embedded) {
        in->Display = hostPath;
        in->HostPath = hostPath;
        in->CorePath = CorePathOf(hostPath);
        return in;
    }
    in->FromLauncher = true;
    in->Display = hostPath + " (its archive)";
    in->ScratchFolder = MakeScratchFolder();
    in->HostPath = (std::filesystem::path(in->ScratchFolder) / "pc.dat").string();
    in->Size = embedded->size();
    {
        std::ofstream f(in->HostPath, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(embedded->data()), static_cast<std::streamsize>(embedded->size()));
        f.close();
        if (!f) throw ToolError(hostPath + ": cannot copy its archive to the temporary folder " + in->ScratchFolder);
    }
    std::string core = AbsoluteCorePath(in->HostPath);
    if (core.size() > static_cast<size_t>(MaxPathLength))
        throw ToolError(hostPath + ": the temporary folder's path is too long for the launcher's engine");
    in->CorePath = core;
    return in;
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
        if (got == 10 && HasSignature(header, ZipLocal::Signature))
            result = true;
        else if (got >= 3 && header[0] == 0x4D && header[1] == 0x5A)
            result = HasArchiveAfterImage(header, f);
    }
    win::CloseHandle(f);
    return result;
}

namespace {

EndRecordFacts ReadEndRecordFacts(const std::string& hostPath, const std::string& corePath) {
    EndRecordFacts facts;
    uint8_t record[ZipEnd::Size];
    int32_t position = LocateEndRecord(corePath.c_str(), record);
    if (position < 0) return facts;
    facts.Found = true;
    facts.Position = position;
    facts.EntryCount = ReadLe16(record + ZipEnd::EntryCount);
    facts.DirectoryOffset = ReadLe32(record + ZipEnd::DirectoryOffset);
    facts.Zip64 = facts.EntryCount == Zip64::Escape16 || facts.DirectoryOffset == Zip64::Escape32;
    // A locator counts only when the record it points to is a ZIP64 end
    // record: the same four bytes may stand in a name or a comment.
    std::ifstream f(hostPath, std::ios::binary);
    f.seekg(0, std::ios::end);
    facts.FileSize = static_cast<uint64_t>(f.tellg());
    // An end record inside an archive comment: an earlier end record whose
    // comment reaches exactly to the end of the file and covers this one.
    {
        uint64_t from = position > 0xFFFF + ZipEnd::Size ? position - 0xFFFF - ZipEnd::Size : 0;
        std::vector<uint8_t> before(static_cast<size_t>(position - from));
        if (!before.empty() && ReadAt(f, from, before.data(), before.size()))
            for (size_t at = before.size() >= ZipEnd::Size ? before.size() - ZipEnd::Size + 1 : 0; at-- > 0;)
                if (HasSignature(before.data() + at, ZipEnd::Signature) &&
                    from + at + ZipEnd::Size + ReadLe16(before.data() + at + ZipEnd::CommentLength) == facts.FileSize) {
                    facts.EnclosingEndRecord = static_cast<int64_t>(from + at);
                    break;
                }
    }
    uint8_t locator[Zip64::LocatorSize];
    uint8_t target[4];
    if (position >= Zip64::LocatorSize && ReadAt(f, position - Zip64::LocatorSize, locator, sizeof locator) &&
        HasSignature(locator, Zip64::LocatorSignature) &&
        ReadAt(f, ReadLe64(locator + Zip64::LocatorEndRecordOffset), target, sizeof target) &&
        HasSignature(target, Zip64::EndRecordSignature))
        facts.Zip64 = true;
    return facts;
}

}  // namespace

ArchiveWalk WalkArchive(const std::string& hostPath, const std::string& corePath) {
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
        // The walker has checked that the whole record lies in its buffer.
        const uint8_t* r = search.Buffer + search.RecordStart;
        uint16_t n = ReadLe16(r + ZipCentral::NameLength);
        uint16_t m = ReadLe16(r + ZipCentral::ExtraLength);
        e.StoredName.assign(reinterpret_cast<const char*>(r + ZipCentral::Size), n);
        e.HostSystem = r[ZipCentral::HostSystem];
        e.Extra.assign(r + ZipCentral::Size + n, r + ZipCentral::Size + n + m);
        walk.Entries.push_back(std::move(e));
        result = FindNextEntry(search);
    }
    EndEntrySearch(search);
    walk.End = ReadEndRecordFacts(hostPath, corePath);
    return walk;
}

std::optional<LocalHeader> ReadLocalHeader(const std::string& hostPath, int32_t headerOffset) {
    if (headerOffset < 0) return std::nullopt;
    std::ifstream f(hostPath, std::ios::binary);
    uint8_t h[ZipLocal::Size];
    if (!f || !ReadAt(f, static_cast<uint64_t>(headerOffset), h, sizeof h) || !HasSignature(h, ZipLocal::Signature))
        return std::nullopt;
    return ReadLocalHeaderFields(h);
}

LocalHeaderFile::LocalHeaderFile(const std::string& corePath)
    : File(win::CreateFileA(corePath.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                            win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr)) {}

LocalHeaderFile::~LocalHeaderFile() {
    if (File != win::INVALID_HANDLE_VALUE) win::CloseHandle(File);
}

std::optional<LocalHeader> ReadLocalHeader(const LocalHeaderFile& archive, int32_t headerOffset) {
    if (headerOffset < 0 || archive.File == win::INVALID_HANDLE_VALUE) return std::nullopt;
    uint8_t h[ZipLocal::Size];
    win::DWORD got = 0;
    if (win::SetFilePointer(archive.File, headerOffset, nullptr, win::FILE_BEGIN) == win::INVALID_SET_FILE_POINTER ||
        !win::ReadFile(archive.File, h, sizeof h, &got, nullptr) || got != sizeof h ||
        !HasSignature(h, ZipLocal::Signature))
        return std::nullopt;
    return ReadLocalHeaderFields(h);
}

std::string DescribeFirstResult(const ArchiveWalk& walk) {
    const EndRecordFacts& end = walk.End;
    if (walk.FirstResult == 0) return "";
    if (walk.FirstResult == -2) return "the archive has no entries";
    if (end.Found && end.EnclosingEndRecord >= 0)
        return "the archive comment (behind the end record at offset " + std::to_string(end.EnclosingEndRecord) +
               ") holds the bytes of an end record (50 4B 05 06); the launcher takes the one nearest the end of the "
               "file, at offset " + std::to_string(end.Position) + " inside the comment, and finds no directory "
               "where that one points";
    if (end.Found && end.Zip64)
        return "ZIP64 archive: the end record leaves the directory's offset to a ZIP64 record, which the launcher "
               "does not read, so it finds no directory";
    if (end.Found && (end.DirectoryOffset >= end.FileSize || end.DirectoryOffset > end.Position))
        return "the end record's directory offset (" + std::to_string(end.DirectoryOffset) + ") lies outside the " +
               (end.DirectoryOffset >= end.FileSize ? "file (" + std::to_string(end.FileSize) + " bytes)"
                                                    : "directory, behind the end record itself (at offset " +
                                                          std::to_string(end.Position) + ")") +
               ", so the launcher finds no directory";
    if (walk.FirstResult == -1) return "no end-of-central-directory record found (not a ZIP archive, or cut short)";
    return "the central directory is damaged: not even its first entry can be read";
}

namespace {


bool HasZip64Extra(const std::vector<uint8_t>& extra) {
    for (size_t at = 0; at + 4 <= extra.size(); at += 4 + ReadLe16(extra.data() + at + 2))
        if (ReadLe16(extra.data() + at) == Zip64::ExtraId) return true;
    return false;
}

}  // namespace

EntryTrial TryEntry(const std::string& corePath, int32_t headerOffset) {
    // Test-only mode: the data passes through the CRC and goes nowhere, and
    // the engine counts what the decoder put out, so the decoded length is
    // known without writing it anywhere.
    EntryTrial trial;
    trial.Result = TestEntry(corePath, headerOffset);
    if (trial.Result == Ok) trial.DecodedSize = EngineState.BytesFlushed;
    return trial;
}

bool IsZip64Entry(const ArchiveEntry& e, const std::optional<LocalHeader>& local) {
    if (e.CompressedSize == Zip64::Escape32 || e.UncompressedSize == Zip64::Escape32 || HasZip64Extra(e.Extra))
        return true;
    return local && (local->CompressedSize == Zip64::Escape32 || local->UncompressedSize == Zip64::Escape32);
}

std::vector<std::string> ExplainEntry(const std::string& hostPath, const ArchiveEntry& e,
                                      const std::optional<LocalHeader>& local, const EntryTrial* trial) {
    std::vector<std::string> notes;
    if (IsZip64Entry(e, local))
        notes.push_back("ZIP64 entry: its sizes stand in a ZIP64 extra field, which the launcher does not read; it "
                        "takes the 32-bit fields (0xFFFFFFFF) as the sizes");
    if (trial == nullptr || !local) return notes;
    bool deferred = (local->Flags & 8) != 0 && local->Method != 0 && local->CompressedSize == 0;
    if (trial->Result == ChecksumMismatch && (local->Flags & 8) != 0) {
        // The descriptor follows the data, whose size the directory gives.
        uint64_t dataEnd = static_cast<uint64_t>(static_cast<uint32_t>(e.HeaderOffset)) + ZipLocal::Size +
                           local->NameLength + local->ExtraLength + e.CompressedSize;
        std::ifstream f(hostPath, std::ios::binary);
        uint8_t d[ZipDescriptor::Size];
        if (ReadAt(f, dataEnd, d, sizeof d) && !HasSignature(d, ZipDescriptor::Signature) && ReadLe32(d) == e.Crc)
            notes.push_back("its data descriptor has no signature (50 4B 07 08): the launcher always skips four bytes "
                            "there, so it takes the compressed size for the CRC-32 and fails the entry with a "
                            "checksum mismatch");
    }
    if (trial->Result == Ok) {
        uint64_t n = trial->DecodedSize;
        bool localDiffers = !deferred && local->UncompressedSize != n;
        if (e.UncompressedSize != n || localDiffers)
            notes.push_back("decodes to " + std::to_string(n) + " bytes, but the directory says " +
                            std::to_string(e.UncompressedSize) +
                            (deferred ? std::string() : " and the local header " + std::to_string(local->UncompressedSize)) +
                            "; the launcher writes all " + std::to_string(n) + " bytes");
    }
    return notes;
}

std::string DescribeEarlyStop(const ArchiveWalk& walk) {
    const EndRecordFacts& facts = walk.End;
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
