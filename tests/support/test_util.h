// Shared helpers of the tests: scratch folders seen from both sides (Linux
// path and the Windows path the core gets), file helpers, Python-made
// archives, and a small hand-rolled ZIP writer for crafted and damaged input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A fresh folder under $TMPDIR (or /tmp, or the root given), removed with
// its contents at the end; the process's current directory is restored too,
// since the engine moves it.
struct ScratchDir {
    ScratchDir();
    explicit ScratchDir(const std::string& root);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string Host;     // /tmp/zl-XXXXXX
    std::string Win;      // C:\tmp\zl-XXXXXX
    std::string HostPath(const std::string& rel) const;  // rel with "/" separators
    std::string WinPath(const std::string& rel) const;   // rel with "/" or "\" separators

private:
    std::string savedCwd_;
};

// The process's own scratch folder, made on first use and removed at exit:
// in /dev/shm when there is one (the decoder harness and the fuzzers write
// a file per run, which then stays in memory), else as ScratchDir.
const ScratchDir& ProcessScratch();
// Removes everything below hostPath, not hostPath itself.
void ClearFolder(const std::string& hostPath);
// The emulated ANSI code page for the life of the object (1252 again
// afterwards), and three characters of code page 932 whose second byte is
// that of "\\", in both forms: 表, ソ and 能.
struct AnsiCodePageScope {
    explicit AnsiCodePageScope(uint32_t codePage);
    ~AnsiCodePageScope();
};
extern const std::string Hyo932, So932, No932;      // 95 5C, 83 5C, 94 5C
extern const std::string HyoUtf8, SoUtf8, NoUtf8;

std::string ToWin(const std::string& hostPath);
Bytes ReadBytes(const std::string& hostPath);
void WriteBytes(const std::string& hostPath, const Bytes& data);
void WriteBytes(const std::string& hostPath, const uint8_t* data, size_t size);
void WriteText(const std::string& hostPath, const std::string& text);
bool Exists(const std::string& hostPath);
bool IsDir(const std::string& hostPath);
// Every regular file below root, as paths relative to it, sorted.
std::vector<std::string> ListFiles(const std::string& root);
std::string CurrentDir();

// Runs Python with the script given as text; argv follow. Returns the exit code.
int RunPython(const std::string& script, const std::vector<std::string>& args = {});
// Runs a shell command, returns its exit status.
int RunShell(const std::string& command);

Bytes PatternBytes(size_t n, uint32_t seed);
uint32_t Crc32(const Bytes& data);
uint32_t Crc32(const uint8_t* data, size_t n);

void PutLe16(Bytes& b, size_t at, uint16_t v);
void PutLe32(Bytes& b, size_t at, uint32_t v);
void AppendLe16(Bytes& b, uint16_t v);
void AppendLe32(Bytes& b, uint32_t v);

// A ZIP writer for crafting archives that real tools would never write.
struct ZipEntrySpec {
    std::string Name;
    Bytes Data;                 // stored bytes (already compressed when Method != 0)
    uint16_t Method = 0;
    uint16_t Flags = 0;
    uint32_t DosDateTime = 0x58A16B2D;  // 2024-05-01 13:25:26
    uint32_t Crc = 0;           // taken from Data when CrcFromData
    bool CrcFromData = true;
    uint32_t UncompressedSize = 0;  // taken from Data.size() when 0 and Method == 0
    uint8_t HostSystem = 0;     // 0 MS-DOS, 3 Unix
    uint32_t ExternalAttributes = 0;
    Bytes Extra;
    std::string Comment;
    bool DataDescriptor = false;    // sets flag 3 and writes sizes 0 + a descriptor
    bool DescriptorSignature = true;
    bool LocalSizesZero = true;     // with DataDescriptor: local header sizes and CRC 0
};

struct ZipLayout {
    Bytes Bytes_;
    std::vector<uint32_t> HeaderOffsets;
    uint32_t DirectoryOffset = 0;
    uint32_t EndRecordOffset = 0;
};

ZipLayout BuildZip(const std::vector<ZipEntrySpec>& entries, const Bytes& prefix = {},
                   const std::string& archiveComment = "");

}  // namespace testutil
