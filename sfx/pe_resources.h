// Reading and rewriting the resources of a Windows executable (PE32 or
// PE32+), so that `sfx pack` can put an archive into a launcher stub as
// resource type "ZIP", id 1, language neutral, without a resource compiler.
//
// The image is handled as a byte vector; nothing here touches the file
// system or an operating-system API, so the same code runs on Linux and on
// Windows and is tested natively.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sfx {

using Bytes = std::vector<uint8_t>;

// Everything that is wrong with an image: the message says what, without
// the file name, which the caller adds.
struct PeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PeSection {
    std::string Name;  // up to 8 bytes, NULs dropped
    uint32_t VirtualSize = 0;
    uint32_t VirtualAddress = 0;
    uint32_t SizeOfRawData = 0;
    uint32_t PointerToRawData = 0;
    uint32_t Characteristics = 0;
};

// The header fields that the rewrite reads or changes, with their file
// offsets where it writes them.
struct PeImage {
    bool Is64 = false;                   // PE32+ (optional header magic 0x20B)
    uint16_t Machine = 0;                // COFF machine: 0x14C x86, 0x8664 x86-64
    uint16_t Characteristics = 0;        // COFF flags: 0x2000 a DLL
    uint16_t Subsystem = 0;              // 2 Windows GUI, 3 console
    uint64_t ImageBase = 0;
    uint32_t FileHeaderOffset = 0;       // the COFF file header, just behind "PE\0\0"
    uint32_t OptionalHeaderOffset = 0;
    uint32_t SectionTableOffset = 0;
    uint32_t NumberOfSections = 0;
    uint32_t SectionAlignment = 0;
    uint32_t FileAlignment = 0;
    uint32_t SizeOfImage = 0;
    uint32_t SizeOfHeaders = 0;
    uint32_t SizeOfInitializedData = 0;
    uint32_t CheckSum = 0;
    uint32_t CheckSumOffset = 0;         // file offset of the CheckSum field
    uint32_t DataDirectoryOffset = 0;    // file offset of data directory 0
    uint32_t NumberOfRvaAndSizes = 0;
    uint32_t PointerToSymbolTable = 0;
    uint32_t ResourceRva = 0;            // data directory 2
    uint32_t ResourceSize = 0;
    uint32_t CertificateOffset = 0;      // data directory 4 (a file offset, not an RVA)
    uint32_t CertificateSize = 0;
    std::vector<PeSection> Sections;
};

constexpr uint16_t MachineX86 = 0x14C;
constexpr uint16_t MachineX64 = 0x8664;
constexpr uint16_t SubsystemGui = 2;
constexpr uint16_t SubsystemConsole = 3;

// "32-bit x86", "x86-64", "ARM64", "machine 0x1234"
std::string MachineName(uint16_t machine);

// What the first bytes of a program say about it: enough of the MZ, COFF
// and optional headers to know its machine and subsystem. Throws PeError
// saying what is missing ("no MZ header", "no PE header", ...).
struct ProgramKind {
    uint16_t Machine = 0;
    uint16_t Subsystem = 0;
    bool IsDll = false;
};
ProgramKind ReadProgramKind(const Bytes& head);

// Parses and checks the headers: the MZ header, the PE signature, the COFF
// and optional headers, the section table (every section's raw data inside
// the file). Throws PeError.
PeImage ParsePe(const Bytes& file);
// The same for the first bytes of a file of `fileSize` bytes, which must
// hold the headers and the section table.
PeImage ParsePe(const Bytes& head, uint64_t fileSize);

// A resource name or type: a string (kept in UTF-16 code units, as the
// image stores it) or a 16-bit number. Strings sort before numbers; strings
// by code units, numbers by value, which is the order the loader's binary
// search needs.
struct ResourceKey {
    bool IsName = false;
    std::u16string Name;
    uint16_t Id = 0;

    static ResourceKey Named(const std::string& ascii);
    static ResourceKey Number(uint16_t id);
    bool operator<(const ResourceKey& other) const;
    bool operator==(const ResourceKey& other) const;
    std::string Describe() const;  // "ZIP", "#24"
};

struct ResourceData {
    uint32_t CodePage = 0;
    Bytes Data;

    bool operator==(const ResourceData& other) const = default;
};

// type -> name -> language -> data; the three levels every image uses.
using ResourceLanguages = std::map<ResourceKey, ResourceData>;
using ResourceNames = std::map<ResourceKey, ResourceLanguages>;
using ResourceTree = std::map<ResourceKey, ResourceNames>;

// Reads the resource tree that data directory 2 points to (empty when there
// is none). Throws PeError for a tree that leaves its section, loops, is
// deeper or shallower than three levels, or whose data lies outside the file.
ResourceTree ReadResources(const Bytes& file, const PeImage& image);

// Lays out a resource section for `tree` that will be loaded at `sectionRva`:
// directory tables, data entries, name strings, then the data, each blob
// aligned to 8 bytes. The result is not padded to the file alignment.
// With `last`, the leaf it names (present in the tree, its data ignored)
// gets Size bytes behind everything else, 8-aligned: the result ends where
// they begin, and the caller appends them.
struct DeferredLeaf {
    ResourceKey Type, Name, Language;
    uint64_t Size = 0;
};
Bytes BuildResourceSection(const ResourceTree& tree, uint32_t sectionRva, const DeferredLeaf* last = nullptr);

// The PE checksum of the file as the image loader and imagehlp compute it:
// 16-bit one's-complement-style sum of the file with the CheckSum field
// taken as zero, plus the file length.
uint32_t ComputePeChecksum(const Bytes& file, uint32_t checkSumOffset);
// The same over a file that passes in pieces (of any length), with the
// CheckSum field already zero in it.
struct PeChecksum {
    uint64_t Sum = 0;
    uint64_t Length = 0;
    void Add(const uint8_t* data, size_t size);
    uint32_t Value() const;
};

// The launcher carries, besides its archive, resource type "LAUNCHER", id 1,
// whose data begins with LauncherMarkerText: that is how `sfx pack` tells a
// launcher from any other program.
constexpr char LauncherMarkerType[] = "LAUNCHER";
constexpr char LauncherMarkerText[] = "ziplauncher";
bool HasLauncherMarker(const ResourceTree& tree);

struct EmbedReport {
    bool ReplacedInPlace = false;      // the old resource section was rewritten where it was
    std::vector<std::string> MovedSections;  // sections behind it that moved up with it (".reloc")
    bool RemovedSignature = false;     // an Authenticode certificate was dropped
    std::string OldSectionRenamedTo;   // non-empty when the old resource section was left behind under a new name
};

// Resources to change besides the archive: every resource of a type in
// DropTypes goes, then every type and name of Add replaces what the tree
// has under it (sfx/pe_identity.h builds the icon and version edits).
struct ResourceEdit {
    std::vector<ResourceKey> DropTypes;
    ResourceTree Add;
};

// The stub with `payload` as resource "ZIP", id 1, language neutral (0), and
// `edit` applied. The stub's other resources (manifest, icons, version) are
// kept unless the edit replaces them; any earlier
// "ZIP" id 1, in any language, is replaced. The resource section is rewritten
// in place when it is the last thing in the file, and otherwise added as a
// new last section (the old one stays, unreferenced and renamed). Only the
// base relocations may stand behind the resource section for the in-place
// rewrite: they move up behind the new one, since nothing refers to them but
// their data directory entry (5), while everything else a section may hold
// is addressed from code. Section
// table, SizeOfImage, SizeOfInitializedData, data directory 2 and the
// checksum are updated; a certificate becomes invalid and is removed.
Bytes EmbedZipResource(const Bytes& stub, const Bytes& payload, EmbedReport* report = nullptr,
                       const ResourceEdit& edit = {});

// The same rewrite without the archive in memory: the launcher is Head, then
// the archive's PayloadSize bytes (the last resource data of the section),
// then Tail (the section's padding, and the relocations that moved behind
// it). The CheckSum field in Head is zero; the caller sums the three parts
// with PeChecksum and writes the result at CheckSumOffset.
struct PlannedImage {
    Bytes Head;
    uint64_t PayloadSize = 0;
    Bytes Tail;
    uint32_t CheckSumOffset = 0;
};
PlannedImage PlanZipResource(const Bytes& stub, uint64_t payloadSize, EmbedReport* report = nullptr,
                             const ResourceEdit& edit = {});

// Checks a finished image the way the loader will see it: headers parse,
// sections are aligned, do not overlap in memory, lie inside SizeOfImage
// and the file, the checksum matches, and the resource tree leads to ZIP/1
// with exactly `payload`. Throws PeError naming the first fault.
void VerifyZipResource(const Bytes& image, const Bytes& payload);
// The same for a planned image whose parts sum to `checkSum`: the headers,
// the section layout and the checksum, and the tree's entry for ZIP/1,
// which must point at the archive's place behind Head. Returns the tree as
// the image holds it, ZIP/1 without its data.
ResourceTree VerifyPlannedImage(const PlannedImage& plan, uint32_t checkSum);

}  // namespace sfx
