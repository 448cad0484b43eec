// What the sfx commands learn about an archive, through the launcher's own
// walker and engine: the entries with the raw fields of their directory
// records, the end record the walker takes, and local headers, all read
// with the record definitions of engine/zip_records.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/zip_records.h"

namespace sfx {

// A failure that ends a command; the message already names the file.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One central-directory entry as the walker hands it out.
struct ArchiveEntry {
    std::string Name;  // "\" as separator, cut at a NUL and at 259 bytes
    int32_t HeaderOffset = 0;
    uint32_t CompressedSize = 0;
    uint32_t UncompressedSize = 0;
    uint32_t Crc = 0;
    uint32_t DosDateTime = 0;
    uint16_t Method = 0;
    uint16_t Flags = 0;
    uint16_t Attributes = 0;
    // From the directory record itself: the name as stored (before the
    // walker cuts it at a NUL and at MaxPathLength bytes), the host system
    // and the extra field.
    std::string StoredName;
    uint8_t HostSystem = 0;
    std::vector<uint8_t> Extra;

    bool IsDirectory() const { return !Name.empty() && Name.back() == '\\'; }
};

// The end record that the walker takes (LocateEndRecord), and what lies
// around it.
struct EndRecordFacts {
    bool Found = false;
    int64_t Position = -1;
    uint32_t EntryCount = 0;       // total entries the end record announces
    uint32_t DirectoryOffset = 0;
    // A ZIP64 locator in front of the end record whose ZIP64 end record has
    // its signature, or the classic fields at their escape values.
    bool Zip64 = false;
    uint64_t FileSize = 0;
    // The position of an earlier end record whose archive comment holds this
    // one (and so runs to the end of the file), or -1.
    int64_t EnclosingEndRecord = -1;
};

// The walk: FindFirstEntry's result (0 when there were entries), the
// entries in directory order, and the end record.
struct ArchiveWalk {
    int32_t FirstResult = 0;
    std::vector<ArchiveEntry> Entries;
    EndRecordFacts End;
};

// The fields of a local file header that decide what ExtractEntry does.
using LocalHeader = LocalHeaderFields;

// A host path (as the user typed it) in the form the core takes: absolute,
// "\" as separator, a drive in front. Throws ToolError when it is longer
// than the engine takes.
std::string CorePathOf(const std::string& hostPath);

// Facts about the file on the host: throws ToolError naming it when it does
// not exist or is not a regular file. Returns its size.
uint64_t RequireRegularFile(const std::string& hostPath);

// The whole file, or ToolError naming it. Files above `limit` bytes are
// refused without being read.
std::vector<uint8_t> ReadHostFile(const std::string& hostPath, uint64_t limit);
// Writes through a temporary file beside `hostPath` and renames it, so a
// failed write leaves no half file behind.
void WriteHostFile(const std::string& hostPath, const std::vector<uint8_t>& data);

// The archive a reading command works on: the file the user named, or,
// when that is a launcher, its resource ZIP/1, copied (as the launcher
// copies it to pc.dat) to "pc.dat" in a private temporary folder that goes
// away with this record, and at the latest when the tool exits.
struct ArchiveInput {
    std::string Display;   // names the user's file: "MyApp.exe (its archive)" for a launcher
    std::string HostPath;  // the file to read
    std::string CorePath;  // the same in the engine's form
    uint64_t Size = 0;
    bool FromLauncher = false;
    std::string ScratchFolder;

    ArchiveInput() = default;
    ArchiveInput(const ArchiveInput&) = delete;
    ArchiveInput& operator=(const ArchiveInput&) = delete;
    ~ArchiveInput();
};

// The resource ZIP/1 of a Windows program (neutral language first), or
// nothing when the file is no PE image or has no such resource.
std::optional<std::vector<uint8_t>> LauncherArchive(const std::string& hostPath);
// Throws ToolError naming the file when it cannot be read.
std::unique_ptr<ArchiveInput> OpenArchive(const std::string& hostPath);

// The launcher's recognition test as it applies to its copy "pc.dat": the
// content rules of IsArchiveFile, whatever the file's own name.
bool RecognisedAsArchive(const std::string& corePath);

// The walker's entries and the end record it takes; `hostPath` is the same
// file for the reads the walker does not do.
ArchiveWalk WalkArchive(const std::string& hostPath, const std::string& corePath);
std::optional<LocalHeader> ReadLocalHeader(const std::string& hostPath, int32_t headerOffset);
// The archive held open, through the launcher's own file calls, by a
// command that reads the local header of every entry: one open of the file
// for all of them, one read for each.
struct LocalHeaderFile {
    win::HANDLE File;
    explicit LocalHeaderFile(const std::string& corePath);
    ~LocalHeaderFile();
    LocalHeaderFile(const LocalHeaderFile&) = delete;
    LocalHeaderFile& operator=(const LocalHeaderFile&) = delete;
};
std::optional<LocalHeader> ReadLocalHeader(const LocalHeaderFile& archive, int32_t headerOffset);

// One line describing a walk that ended before its first entry, or "".
std::string DescribeFirstResult(const ArchiveWalk& walk);

// An entry run through the engine as the launcher runs it, in test-only
// mode: the result, and the number of bytes the decoder put out when it
// succeeded.
struct EntryTrial {
    ExtractResult Result = Ok;
    uint64_t DecodedSize = 0;
};
EntryTrial TryEntry(const std::string& corePath, int32_t headerOffset);

// What the launcher makes of an entry beyond its result code, one phrase
// each: ZIP64 sizes, a data descriptor without signature (when the trial
// failed with a checksum mismatch), a decoded length that differs from the
// headers' sizes (when it succeeded). `local` is the entry's local header.
std::vector<std::string> ExplainEntry(const std::string& hostPath, const ArchiveEntry& e,
                                      const std::optional<LocalHeader>& local, const EntryTrial* trial);
// True for an entry whose sizes the launcher cannot read (ZIP64).
bool IsZip64Entry(const ArchiveEntry& e, const std::optional<LocalHeader>& local);
// "" when the walk delivered every entry the end record announces, else a
// problem line (stopped early, ZIP64).
std::string DescribeEarlyStop(const ArchiveWalk& walk);

// ExtractEntry in test-only mode: the data passes through the CRC and goes
// nowhere. The engine's output flags are restored afterwards.
ExtractResult TestEntry(const std::string& corePath, int32_t headerOffset);
// ExtractEntry into a memory block of `limit` bytes; `out` receives what the
// engine stored.
ExtractResult ExtractToMemory(const std::string& corePath, int32_t headerOffset, uint32_t limit,
                              std::vector<uint8_t>& out);

// "deflated", "bzip2", "method 77"
std::string MethodName(uint16_t method);
// "bzip2 (12)"
std::string MethodLabel(uint16_t method);
bool MethodSupported(uint16_t method);
// "checksum mismatch"
std::string ResultName(ExtractResult result);
// "2024-05-01 13:25:26" (fields outside their ranges are shown as they are)
std::string FormatDosDateTime(uint32_t dosDateTime);
// The name in quotes, control bytes escaped as \xNN.
std::string Quote(const std::string& name);

}  // namespace sfx
