// What the sfx commands learn about an archive, through the launcher's own
// walker and engine, plus the few records the walker does not expose (the
// end record's entry count, raw name lengths, local headers).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace sfx {

// A failure that ends a command; the message already names the file.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The longest path the engine and the Win32 file calls take, in characters.
constexpr size_t MaxCorePath = 259;

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

    bool IsDirectory() const { return !Name.empty() && Name.back() == '\\'; }
};

// The walk: FindFirstEntry's result (0 when there were entries), the result
// that ended it, and the entries in directory order.
struct ArchiveWalk {
    int32_t FirstResult = 0;
    std::vector<ArchiveEntry> Entries;
};

// The end-of-central-directory record nearest the end of the file, read
// independently of the walker, and the raw records behind its directory
// offset as far as they parse.
struct DirectoryFacts {
    bool Found = false;
    uint32_t EntryCount = 0;   // total entries the end record announces
    bool Zip64 = false;        // a ZIP64 locator, or fields at their ZIP64 escape values
    struct Raw {
        uint32_t NameLength = 0;
        bool NameHasNul = false;
        uint8_t HostSystem = 0;
    };
    std::vector<Raw> Records;
};

// The fields of a local file header that decide what ExtractEntry does.
struct LocalHeader {
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint32_t CompressedSize = 0;
};

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

// The launcher's recognition test as it applies to its copy "pc.dat": the
// content rules of IsArchiveFile, whatever the file's own name.
bool RecognisedAsArchive(const std::string& corePath);

ArchiveWalk WalkArchive(const std::string& corePath);
DirectoryFacts ReadDirectoryFacts(const std::string& hostPath);
std::optional<LocalHeader> ReadLocalHeader(const std::string& hostPath, int32_t headerOffset);

// One line describing a walk that ended before its first entry, or "".
std::string DescribeFirstResult(int32_t firstResult);
// "" when the walk delivered every entry the end record announces, else a
// problem line (stopped early, ZIP64).
std::string DescribeEarlyStop(const ArchiveWalk& walk, const DirectoryFacts& facts);

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
