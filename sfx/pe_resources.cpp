// PE resource rewriting for `sfx pack`.
//
// Layout of the parts read here (all fields little-endian):
//   MZ header: "MZ" at 0, e_lfanew (offset of "PE\0\0") at 0x3C.
//   COFF file header (20 bytes, behind the signature): NumberOfSections at 2,
//     PointerToSymbolTable at 8, SizeOfOptionalHeader at 16.
//   Optional header: magic 0x10B (PE32) or 0x20B (PE32+) at 0;
//     SizeOfInitializedData 8, SectionAlignment 32, FileAlignment 36,
//     SizeOfImage 56, SizeOfHeaders 60, CheckSum 64, the same in both forms;
//     NumberOfRvaAndSizes at 92 (PE32) or 108 (PE32+), the data directories
//     (RVA, size; 8 bytes each) right behind it. Directory 2 is the resource
//     tree, 4 the certificate table (a file offset), 11 bound imports.
//   Section header (40 bytes): Name 0, VirtualSize 8, VirtualAddress 12,
//     SizeOfRawData 16, PointerToRawData 20, Characteristics 36.
//   Resource directory table (16 bytes): named-entry count at 12, id-entry
//     count at 14, then the entries (8 bytes): name or id, then the offset of
//     a subdirectory (high bit set) or of a data entry. A name is the offset
//     (high bit set) of a 16-bit length and that many UTF-16 code units.
//     Offsets count from the start of the tree. A data entry (16 bytes) holds
//     the data's RVA, its size and a code page.
//
// Every read goes through Read16/Read32, which check the range against the
// buffer first, so a damaged stub gives a PeError and never a stray read.
#include "sfx/pe_resources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sfx {

namespace {

constexpr uint32_t SectionHeaderSize = 40;
constexpr uint32_t ResourceDirectoryIndex = 2;
constexpr uint32_t CertificateDirectoryIndex = 4;
constexpr uint32_t BaseRelocationDirectoryIndex = 5;
constexpr uint32_t RelocationAbsolute = 0;  // padding in a block
constexpr uint32_t RelocationHighLow = 3;   // a 32-bit address
constexpr uint32_t RelocationDir64 = 10;    // a 64-bit address
constexpr uint32_t BoundImportDirectoryIndex = 11;
constexpr uint32_t ScnInitializedData = 0x00000040;
constexpr uint32_t ScnMemRead = 0x40000000;
constexpr uint32_t MaxSections = 96;  // the loader's limit
constexpr uint32_t MaxFileAlignment = 0x10000;
constexpr uint32_t MaxSectionAlignment = 0x1000000;
// Bounds on a stub's resource tree, so that a tree whose entries all point
// at the same subdirectories cannot make the reader loop for hours.
constexpr size_t MaxResourceLeaves = 100000;
constexpr uint64_t MaxResourceBytes = 1ull << 30;
constexpr uint16_t ZipResourceId = 1;
constexpr uint16_t NeutralLanguage = 0;

uint32_t Read16(const Bytes& b, uint64_t at) {
    if (at + 2 > b.size()) throw PeError("truncated image");
    return static_cast<uint32_t>(b[at] | (b[at + 1] << 8));
}

uint32_t Read32(const Bytes& b, uint64_t at) {
    if (at + 4 > b.size()) throw PeError("truncated image");
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void Write16(Bytes& b, uint64_t at, uint32_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

void Write32(Bytes& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t AlignUp(uint64_t v, uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Bytes a section occupies in memory before alignment: the loader takes
// VirtualSize, or SizeOfRawData when VirtualSize is 0.
uint32_t MemorySize(const PeSection& s) { return s.VirtualSize != 0 ? s.VirtualSize : s.SizeOfRawData; }

// Index of the section whose memory range holds rva, or -1.
int SectionOfRva(const PeImage& image, uint32_t rva) {
    for (size_t i = 0; i < image.Sections.size(); i++) {
        const PeSection& s = image.Sections[i];
        if (rva >= s.VirtualAddress && rva - s.VirtualAddress < MemorySize(s)) return static_cast<int>(i);
    }
    return -1;
}

// size bytes of the loaded image at rva: raw data where the section has it,
// zeros in its virtual tail. The range must lie in one section.
Bytes ReadRva(const Bytes& file, const PeImage& image, uint32_t rva, uint32_t size) {
    int index = SectionOfRva(image, rva);
    if (index < 0) throw PeError("resource data at RVA " + std::to_string(rva) + " lies in no section");
    const PeSection& s = image.Sections[static_cast<size_t>(index)];
    uint64_t offset = rva - s.VirtualAddress;
    if (offset + size > MemorySize(s)) throw PeError("resource data runs past the end of section " + s.Name);
    Bytes out(size, 0);
    // The raw part: what the file holds of the section.
    if (offset < s.SizeOfRawData && size != 0) {
        uint64_t n = std::min<uint64_t>(size, s.SizeOfRawData - offset);
        std::memcpy(out.data(), file.data() + s.PointerToRawData + offset, n);
    }
    return out;
}

std::string SectionName(const uint8_t* p) {
    std::string name;
    for (int i = 0; i < 8 && p[i] != 0; i++) name += static_cast<char>(p[i]);
    return name;
}

// ---- reading the resource tree ----

struct TreeReader {
    const Bytes& File;
    const PeImage& Image;
    Bytes View;  // the loaded bytes from the tree's start to its section's end
    size_t Leaves = 0;
    uint64_t DataBytes = 0;
    bool EntriesOnly = false;  // leave the data where it is; LastRva and LastSize say where
    uint32_t LastRva = 0;
    uint32_t LastSize = 0;

    ResourceKey ReadKey(uint32_t nameField) const {
        if ((nameField & 0x80000000u) == 0) {
            if (nameField > 0xFFFF) throw PeError("resource id above 65535");
            return ResourceKey::Number(static_cast<uint16_t>(nameField));
        }
        uint32_t at = nameField & 0x7FFFFFFFu;
        uint32_t length = Read16(View, at);
        if (uint64_t(at) + 2 + 2ull * length > View.size()) throw PeError("resource name runs past its section");
        ResourceKey key;
        key.IsName = true;
        for (uint32_t i = 0; i < length; i++) key.Name += static_cast<char16_t>(Read16(View, at + 2 + 2ull * i));
        return key;
    }

    // Calls visit(key, offsetField) for every entry of the table at `at`.
    template <typename Visit>
    void ForEachEntry(uint32_t at, Visit visit) const {
        uint64_t count = uint64_t(Read16(View, uint64_t(at) + 12)) + Read16(View, uint64_t(at) + 14);
        if (uint64_t(at) + 16 + 8 * count > View.size()) throw PeError("resource directory runs past its section");
        for (uint64_t i = 0; i < count; i++) {
            uint64_t entry = uint64_t(at) + 16 + 8 * i;
            visit(ReadKey(Read32(View, entry)), Read32(View, entry + 4));
        }
    }

    static uint32_t Subdirectory(uint32_t field) {
        if ((field & 0x80000000u) == 0) throw PeError("resource tree has data where a directory belongs");
        return field & 0x7FFFFFFFu;
    }

    ResourceData ReadLeaf(uint32_t field) {
        if ((field & 0x80000000u) != 0) throw PeError("resource tree is deeper than type, name and language");
        if (++Leaves > MaxResourceLeaves) throw PeError("resource tree has too many entries");
        uint32_t rva = Read32(View, field);
        uint32_t size = Read32(View, uint64_t(field) + 4);
        ResourceData data;
        data.CodePage = Read32(View, uint64_t(field) + 8);
        LastRva = rva;
        LastSize = size;
        if (EntriesOnly) return data;
        DataBytes += size;
        if (DataBytes > MaxResourceBytes) throw PeError("resource data adds up to more than 1 GiB");
        data.Data = ReadRva(File, Image, rva, size);
        return data;
    }
};

// What stands behind the resource section `old` in memory: nothing (-1),
// or the base relocation section alone (its index), when it can move up
// behind a resource section of another size; -2 when anything else is there
// or the move is not safe. Moving the relocations is safe when nothing but
// data directory 5 refers to them: no other directory points behind the
// resource section, and every fixup lies before it and holds an address
// before it (code addresses neither the resources nor the relocations).
int RelocationsBehind(const Bytes& file, const PeImage& image, int old) {
    const PeSection& rsrc = image.Sections[static_cast<size_t>(old)];
    int behind = -1;
    for (size_t i = 0; i < image.Sections.size(); i++) {
        if (static_cast<int>(i) == old || image.Sections[i].VirtualAddress <= rsrc.VirtualAddress) continue;
        if (behind != -1) return -2;
        behind = static_cast<int>(i);
    }
    if (behind == -1) return -1;
    const PeSection& relocs = image.Sections[static_cast<size_t>(behind)];
    uint64_t rsrcFileEnd = uint64_t(rsrc.PointerToRawData) + rsrc.SizeOfRawData;
    if (relocs.SizeOfRawData == 0 || relocs.PointerToRawData < rsrcFileEnd) return -2;
    for (size_t i = 0; i < image.Sections.size(); i++) {
        const PeSection& s = image.Sections[i];
        if (static_cast<int>(i) != old && static_cast<int>(i) != behind && s.SizeOfRawData != 0 &&
            s.PointerToRawData >= rsrc.PointerToRawData)
            return -2;
    }
    if (image.NumberOfRvaAndSizes <= BaseRelocationDirectoryIndex) return -2;
    uint64_t directories = image.DataDirectoryOffset;
    uint32_t relocRva = Read32(file, directories + 8 * BaseRelocationDirectoryIndex);
    uint32_t relocSize = Read32(file, directories + 8 * BaseRelocationDirectoryIndex + 4);
    if (relocSize == 0 || SectionOfRva(image, relocRva) != behind ||
        uint64_t(relocRva) + relocSize > uint64_t(relocs.VirtualAddress) + MemorySize(relocs))
        return -2;
    for (uint32_t d = 0; d < image.NumberOfRvaAndSizes; d++) {
        if (d == ResourceDirectoryIndex || d == CertificateDirectoryIndex || d == BaseRelocationDirectoryIndex) continue;
        uint32_t rva = Read32(file, directories + 8 * d);
        if (rva != 0 && rva >= rsrc.VirtualAddress) return -2;
    }
    uint64_t lowest = image.ImageBase + rsrc.VirtualAddress;
    Bytes table = ReadRva(file, image, relocRva, relocSize);
    for (uint64_t block = 0; block + 8 <= table.size();) {
        uint32_t page = Read32(table, block);
        uint32_t size = Read32(table, block + 4);
        if (size < 8 || size % 2 != 0 || block + size > table.size()) return -2;
        for (uint64_t e = block + 8; e + 2 <= block + size; e += 2) {
            uint32_t entry = Read16(table, e);
            uint32_t type = entry >> 12;
            if (type == RelocationAbsolute) continue;
            uint32_t width = type == RelocationHighLow ? 4 : type == RelocationDir64 ? 8 : 0;
            uint64_t at = uint64_t(page) + (entry & 0xFFF);
            if (width == 0 || at + width > rsrc.VirtualAddress) return -2;
            int section = SectionOfRva(image, static_cast<uint32_t>(at));
            if (section < 0) return -2;
            const PeSection& s = image.Sections[static_cast<size_t>(section)];
            if (at + width > uint64_t(s.VirtualAddress) + MemorySize(s)) return -2;
            Bytes value = ReadRva(file, image, static_cast<uint32_t>(at), width);
            uint64_t address = Read32(value, 0) | (width == 8 ? uint64_t(Read32(value, 4)) << 32 : 0);
            if (address >= lowest) return -2;
        }
        block += size;
    }
    return behind;
}

// ---- laying out a resource section ----

struct SectionWriter {
    Bytes Out;
    std::map<std::u16string, uint32_t> StringOffsets;

    uint32_t NameField(const ResourceKey& key) const {
        return key.IsName ? 0x80000000u | StringOffsets.at(key.Name) : key.Id;
    }
};

template <typename Map>
void CountNamed(const Map& m, uint16_t& named, uint16_t& ids) {
    named = 0;
    ids = 0;
    for (const auto& kv : m) (kv.first.IsName ? named : ids)++;
}

// Writes a directory table header at `at` for the entries of m.
template <typename Map>
void WriteTableHeader(Bytes& out, uint32_t at, const Map& m) {
    uint16_t named = 0, ids = 0;
    CountNamed(m, named, ids);
    Write16(out, at + 12, named);
    Write16(out, at + 14, ids);
}

template <typename Map>
uint32_t TableSize(const Map& m) {
    return 16 + 8 * static_cast<uint32_t>(m.size());
}

}  // namespace

// ---- ResourceKey ----

ResourceKey ResourceKey::Named(const std::string& ascii) {
    ResourceKey k;
    k.IsName = true;
    for (char c : ascii) k.Name += static_cast<char16_t>(static_cast<unsigned char>(c));
    return k;
}

ResourceKey ResourceKey::Number(uint16_t id) {
    ResourceKey k;
    k.Id = id;
    return k;
}

bool ResourceKey::operator<(const ResourceKey& other) const {
    if (IsName != other.IsName) return IsName;  // names first
    if (IsName) return Name < other.Name;
    return Id < other.Id;
}

bool HasLauncherMarker(const ResourceTree& tree) {
    auto type = tree.find(ResourceKey::Named(LauncherMarkerType));
    if (type == tree.end()) return false;
    auto name = type->second.find(ResourceKey::Number(1));
    if (name == type->second.end()) return false;
    size_t length = std::strlen(LauncherMarkerText);
    for (const auto& [language, data] : name->second)
        if (data.Data.size() >= length && std::memcmp(data.Data.data(), LauncherMarkerText, length) == 0) return true;
    return false;
}

bool ResourceKey::operator==(const ResourceKey& other) const {
    return IsName == other.IsName && (IsName ? Name == other.Name : Id == other.Id);
}

std::string ResourceKey::Describe() const {
    if (!IsName) return "#" + std::to_string(Id);
    std::string s;
    for (char16_t c : Name) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return s;
}

// ---- headers ----

namespace {

// The MZ header, the PE signature and the COFF header: the file offset of
// the COFF header, or PeError.
uint64_t LocateFileHeader(const Bytes& file) {
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') throw PeError("not a Windows executable (no MZ header)");
    uint64_t pe = Read32(file, 0x3C);
    if (pe + 24 > file.size() || std::memcmp(file.data() + pe, "PE\0\0", 4) != 0)
        throw PeError("not a Windows executable (no PE header)");
    return pe + 4;
}

}  // namespace

std::string MachineName(uint16_t machine) {
    switch (machine) {
        case MachineX86: return "32-bit x86";
        case MachineX64: return "x86-64";
        case 0xAA64: return "ARM64";
        case 0x1C4: return "ARM";
        default: {
            char text[24];
            std::snprintf(text, sizeof text, "machine 0x%04x", machine);
            return text;
        }
    }
}

ProgramKind ReadProgramKind(const Bytes& head) {
    uint64_t fh = LocateFileHeader(head);
    ProgramKind kind;
    kind.Machine = static_cast<uint16_t>(Read16(head, fh));
    kind.IsDll = (Read16(head, fh + 18) & 0x2000) != 0;
    uint32_t optionalSize = Read16(head, fh + 16);
    uint64_t oh = fh + 20;
    uint32_t magic = oh + 2 <= head.size() ? Read16(head, oh) : 0;
    if (optionalSize < 70 || oh + 70 > head.size() || (magic != 0x10B && magic != 0x20B))
        throw PeError("not a Windows executable (no optional header)");
    kind.Subsystem = static_cast<uint16_t>(Read16(head, oh + 68));
    return kind;
}

PeImage ParsePe(const Bytes& file) { return ParsePe(file, file.size()); }

PeImage ParsePe(const Bytes& file, uint64_t fileSize) {
    PeImage image;
    image.FileHeaderOffset = static_cast<uint32_t>(LocateFileHeader(file));
    uint64_t fh = image.FileHeaderOffset;
    image.Machine = static_cast<uint16_t>(Read16(file, fh));
    image.NumberOfSections = Read16(file, fh + 2);
    image.PointerToSymbolTable = Read32(file, fh + 8);
    image.Characteristics = static_cast<uint16_t>(Read16(file, fh + 18));
    uint32_t optionalSize = Read16(file, fh + 16);
    uint64_t oh = fh + 20;
    image.OptionalHeaderOffset = static_cast<uint32_t>(oh);
    if (oh + optionalSize > file.size()) throw PeError("truncated optional header");
    uint32_t magic = Read16(file, oh);
    if (magic == 0x10B)
        image.Is64 = false;
    else if (magic == 0x20B)
        image.Is64 = true;
    else
        throw PeError("unknown optional header magic");
    uint32_t countAt = image.Is64 ? 108 : 92;
    if (optionalSize < countAt + 4) throw PeError("optional header too short");
    image.SizeOfInitializedData = Read32(file, oh + 8);
    image.ImageBase = image.Is64 ? Read32(file, oh + 24) | uint64_t(Read32(file, oh + 28)) << 32 : Read32(file, oh + 28);
    image.Subsystem = static_cast<uint16_t>(Read16(file, oh + 68));
    image.SectionAlignment = Read32(file, oh + 32);
    image.FileAlignment = Read32(file, oh + 36);
    image.SizeOfImage = Read32(file, oh + 56);
    image.SizeOfHeaders = Read32(file, oh + 60);
    image.CheckSumOffset = static_cast<uint32_t>(oh + 64);
    image.CheckSum = Read32(file, oh + 64);
    image.NumberOfRvaAndSizes = Read32(file, oh + countAt);
    image.DataDirectoryOffset = static_cast<uint32_t>(oh + countAt + 4);
    // Only the directories that fit the optional header count.
    uint32_t room = (optionalSize - countAt - 4) / 8;
    if (image.NumberOfRvaAndSizes > room) image.NumberOfRvaAndSizes = room;
    // Images use 512 to 64 KiB in the file (less only together with an equal
    // section alignment) and at most a few megabytes in memory.
    if (!IsPowerOfTwo(image.FileAlignment) || !IsPowerOfTwo(image.SectionAlignment) ||
        image.SectionAlignment < image.FileAlignment || image.FileAlignment > MaxFileAlignment ||
        image.SectionAlignment > MaxSectionAlignment)
        throw PeError("invalid file or section alignment");
    if (image.NumberOfRvaAndSizes > ResourceDirectoryIndex) {
        image.ResourceRva = Read32(file, image.DataDirectoryOffset + 8 * ResourceDirectoryIndex);
        image.ResourceSize = Read32(file, image.DataDirectoryOffset + 8 * ResourceDirectoryIndex + 4);
    }
    if (image.NumberOfRvaAndSizes > CertificateDirectoryIndex) {
        image.CertificateOffset = Read32(file, image.DataDirectoryOffset + 8 * CertificateDirectoryIndex);
        image.CertificateSize = Read32(file, image.DataDirectoryOffset + 8 * CertificateDirectoryIndex + 4);
    }

    image.SectionTableOffset = static_cast<uint32_t>(oh + optionalSize);
    uint64_t tableEnd = uint64_t(image.SectionTableOffset) + uint64_t(SectionHeaderSize) * image.NumberOfSections;
    if (tableEnd > file.size()) throw PeError("section table runs past the end of the file");
    for (uint32_t i = 0; i < image.NumberOfSections; i++) {
        uint64_t at = image.SectionTableOffset + uint64_t(SectionHeaderSize) * i;
        PeSection s;
        s.Name = SectionName(file.data() + at);
        s.VirtualSize = Read32(file, at + 8);
        s.VirtualAddress = Read32(file, at + 12);
        s.SizeOfRawData = Read32(file, at + 16);
        s.PointerToRawData = Read32(file, at + 20);
        s.Characteristics = Read32(file, at + 36);
        if (s.SizeOfRawData != 0 && uint64_t(s.PointerToRawData) + s.SizeOfRawData > fileSize)
            throw PeError("the data of section " + s.Name + " lies beyond the end of the file");
        image.Sections.push_back(s);
    }
    return image;
}

// ---- resources ----

ResourceTree ReadResources(const Bytes& file, const PeImage& image) {
    ResourceTree tree;
    if (image.ResourceRva == 0 || image.ResourceSize == 0) return tree;
    int index = SectionOfRva(image, image.ResourceRva);
    if (index < 0) throw PeError("the resource directory lies in no section");
    const PeSection& s = image.Sections[static_cast<size_t>(index)];
    TreeReader reader{file, image, {}};
    // The tree must lie in what the file holds of its section; a tree that
    // runs into the zero-filled tail is damaged.
    uint32_t offset = image.ResourceRva - s.VirtualAddress;
    uint32_t loaded = std::min(MemorySize(s), s.SizeOfRawData);
    if (offset >= loaded) throw PeError("the resource directory lies outside the data of section " + s.Name);
    reader.View = ReadRva(file, image, image.ResourceRva, loaded - offset);
    reader.ForEachEntry(0, [&](const ResourceKey& type, uint32_t typeField) {
        ResourceNames& names = tree[type];
        reader.ForEachEntry(TreeReader::Subdirectory(typeField), [&](const ResourceKey& name, uint32_t nameField) {
            ResourceLanguages& languages = names[name];
            reader.ForEachEntry(TreeReader::Subdirectory(nameField),
                                [&](const ResourceKey& language, uint32_t leafField) {
                                    ResourceData data = reader.ReadLeaf(leafField);
                                    languages.emplace(language, std::move(data));  // the first of duplicates wins
                                });
        });
    });
    return tree;
}

Bytes BuildResourceSection(const ResourceTree& tree, uint32_t sectionRva, const DeferredLeaf* last) {
    auto deferred = [&](const ResourceKey& type, const ResourceKey& name, const ResourceKey& lang) {
        return last != nullptr && type == last->Type && name == last->Name && lang == last->Language;
    };
    // Sizes of the four regions: directory tables (root, then one per type,
    // then one per type and name), data entries, strings, data.
    uint64_t tablesSize = TableSize(tree);
    size_t leaves = 0;
    std::map<std::u16string, uint32_t> strings;
    auto noteName = [&](const ResourceKey& k) {
        if (k.IsName) strings.emplace(k.Name, 0);
    };
    for (const auto& [type, names] : tree) {
        noteName(type);
        tablesSize += TableSize(names);
        for (const auto& [name, languages] : names) {
            noteName(name);
            tablesSize += TableSize(languages);
            for (const auto& lang : languages) {
                noteName(lang.first);
                leaves++;
            }
        }
    }
    uint64_t entriesAt = tablesSize;
    uint64_t stringsAt = entriesAt + 16ull * leaves;
    uint64_t cursor = stringsAt;
    SectionWriter w;
    for (auto& [text, offset] : strings) {
        if (text.size() > 0xFFFF) throw PeError("resource name longer than 65535 characters");
        offset = static_cast<uint32_t>(cursor);
        cursor += 2 + 2 * text.size();
    }
    w.StringOffsets = strings;
    uint64_t dataAt = AlignUp(cursor, 8);
    uint64_t total = dataAt;
    for (const auto& [type, names] : tree)
        for (const auto& [name, languages] : names)
            for (const auto& [lang, data] : languages)
                if (!deferred(type, name, lang)) total = AlignUp(total, 8) + data.Data.size();
    // The deferred leaf's data comes last, after all of this.
    uint64_t deferredAt = AlignUp(total, 8);
    if (last != nullptr) total = deferredAt;
    if (total + (last != nullptr ? last->Size : 0) + sectionRva > 0x7FFFFFFFu)
        throw PeError("resources too large for an image");
    w.Out.assign(total, 0);

    for (const auto& [text, offset] : strings) {
        Write16(w.Out, offset, static_cast<uint32_t>(text.size()));
        for (size_t i = 0; i < text.size(); i++) Write16(w.Out, offset + 2 + 2 * i, text[i]);
    }

    // Breadth first: the root at 0, the type tables behind it, the name
    // tables behind all of those.
    uint32_t nextTypeTable = TableSize(tree);
    uint32_t nextNameTable = nextTypeTable;
    for (const auto& kv : tree) nextNameTable += TableSize(kv.second);
    uint32_t nextEntry = static_cast<uint32_t>(entriesAt);
    uint64_t nextData = dataAt;

    WriteTableHeader(w.Out, 0, tree);
    uint32_t rootSlot = 16;
    for (const auto& [type, names] : tree) {
        uint32_t typeTable = nextTypeTable;
        nextTypeTable += TableSize(names);
        Write32(w.Out, rootSlot, w.NameField(type));
        Write32(w.Out, rootSlot + 4, 0x80000000u | typeTable);
        rootSlot += 8;
        WriteTableHeader(w.Out, typeTable, names);
        uint32_t typeSlot = typeTable + 16;
        for (const auto& [name, languages] : names) {
            uint32_t nameTable = nextNameTable;
            nextNameTable += TableSize(languages);
            Write32(w.Out, typeSlot, w.NameField(name));
            Write32(w.Out, typeSlot + 4, 0x80000000u | nameTable);
            typeSlot += 8;
            WriteTableHeader(w.Out, nameTable, languages);
            uint32_t nameSlot = nameTable + 16;
            for (const auto& [lang, data] : languages) {
                Write32(w.Out, nameSlot, w.NameField(lang));
                Write32(w.Out, nameSlot + 4, nextEntry);
                nameSlot += 8;
                if (deferred(type, name, lang)) {
                    Write32(w.Out, nextEntry, static_cast<uint32_t>(sectionRva + deferredAt));
                    Write32(w.Out, nextEntry + 4, static_cast<uint32_t>(last->Size));
                    Write32(w.Out, nextEntry + 8, data.CodePage);
                    nextEntry += 16;
                    continue;
                }
                nextData = AlignUp(nextData, 8);
                Write32(w.Out, nextEntry, static_cast<uint32_t>(sectionRva + nextData));
                Write32(w.Out, nextEntry + 4, static_cast<uint32_t>(data.Data.size()));
                Write32(w.Out, nextEntry + 8, data.CodePage);
                nextEntry += 16;
                if (!data.Data.empty()) std::memcpy(w.Out.data() + nextData, data.Data.data(), data.Data.size());
                nextData += data.Data.size();
            }
        }
    }
    return w.Out;
}

void PeChecksum::Add(const uint8_t* data, size_t size) {
    size_t i = 0;
    if (Length % 2 != 0 && size != 0) {
        Sum += static_cast<uint32_t>(data[i++]) << 8;
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    }
    for (; i + 1 < size; i += 2) {
        Sum += data[i] | static_cast<uint32_t>(data[i + 1]) << 8;
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    }
    if (i < size) {  // an odd byte: the low half of a word the next piece completes
        Sum += data[i];
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    }
    Length += size;
}

uint32_t PeChecksum::Value() const {
    uint64_t sum = (Sum & 0xFFFF) + (Sum >> 16);
    return static_cast<uint32_t>(sum + Length);
}

uint32_t ComputePeChecksum(const Bytes& file, uint32_t checkSumOffset) {
    // The CheckSum field itself counts as zero.
    static const uint8_t zeros[4] = {};
    PeChecksum sum;
    size_t field = std::min<size_t>(checkSumOffset, file.size());
    size_t after = std::min<size_t>(uint64_t(checkSumOffset) + 4, file.size());
    sum.Add(file.data(), field);
    sum.Add(zeros, after - field);
    sum.Add(file.data() + after, file.size() - after);
    return sum.Value();
}

// ---- the rewrite ----

PlannedImage PlanZipResource(const Bytes& stub, uint64_t payloadSize, EmbedReport* report, const ResourceEdit& edit) {
    EmbedReport local;
    EmbedReport& r = report != nullptr ? *report : local;
    r = EmbedReport{};
    PeImage image = ParsePe(stub);
    if (image.NumberOfRvaAndSizes <= ResourceDirectoryIndex)
        throw PeError("the optional header has no resource directory entry");
    if (image.CheckSumOffset % 2 != 0) throw PeError("misaligned optional header");

    ResourceTree tree = ReadResources(stub, image);
    for (const ResourceKey& type : edit.DropTypes) tree.erase(type);
    for (const auto& [type, names] : edit.Add)
        for (const auto& [name, languages] : names) tree[type][name] = languages;
    ResourceNames& zip = tree[ResourceKey::Named("ZIP")];
    zip.erase(ResourceKey::Number(ZipResourceId));
    zip[ResourceKey::Number(ZipResourceId)][ResourceKey::Number(NeutralLanguage)] = ResourceData{0, {}};
    // The archive's bytes are not here: its data entry points behind all
    // other resources, where the caller puts them.
    DeferredLeaf archive{ResourceKey::Named("ZIP"), ResourceKey::Number(ZipResourceId),
                         ResourceKey::Number(NeutralLanguage), payloadSize};

    Bytes out = stub;
    auto directoryAt = [&](uint32_t index) { return uint64_t(image.DataDirectoryOffset) + 8ull * index; };

    // A signature covers the old bytes; it cannot survive the rewrite.
    if (image.CertificateSize != 0) {
        if (uint64_t(image.CertificateOffset) + image.CertificateSize == out.size() &&
            image.CertificateOffset <= out.size())
            out.resize(image.CertificateOffset);
        Write32(out, directoryAt(CertificateDirectoryIndex), 0);
        Write32(out, directoryAt(CertificateDirectoryIndex) + 4, 0);
        r.RemovedSignature = true;
    }

    int old = image.ResourceRva != 0 ? SectionOfRva(image, image.ResourceRva) : -1;
    uint64_t memoryEnd = 0;
    for (const PeSection& s : image.Sections) memoryEnd = std::max<uint64_t>(memoryEnd, uint64_t(s.VirtualAddress) + MemorySize(s));

    bool inPlace = false;
    int moving = -1;  // the relocation section that moves up behind the new resources
    if (old >= 0) {
        const PeSection& s = image.Sections[static_cast<size_t>(old)];
        moving = RelocationsBehind(stub, image, old);
        const PeSection& lastOne = moving >= 0 ? image.Sections[static_cast<size_t>(moving)] : s;
        bool lastInMemory = moving >= 0 || (moving == -1 && uint64_t(s.VirtualAddress) + MemorySize(s) == memoryEnd);
        bool lastInFile = s.SizeOfRawData != 0 &&
                          uint64_t(lastOne.PointerToRawData) + lastOne.SizeOfRawData >= out.size();
        bool ownSection = s.Name == ".rsrc" && image.ResourceRva == s.VirtualAddress;
        bool symbolsBehind = image.PointerToSymbolTable != 0 && image.PointerToSymbolTable >= s.PointerToRawData;
        bool behindHeaders = s.PointerToRawData >= image.SizeOfHeaders &&
                             s.PointerToRawData >= image.SectionTableOffset + SectionHeaderSize * image.NumberOfSections;
        inPlace = lastInMemory && lastInFile && ownSection && !symbolsBehind && behindHeaders;
    }
    if (!inPlace) moving = -1;

    uint32_t sectionRva = 0;
    uint32_t headerAt = 0;
    uint64_t rawBefore = 0;  // raw size of what the new section replaces
    Bytes movingRaw;
    if (inPlace) {
        const PeSection& s = image.Sections[static_cast<size_t>(old)];
        sectionRva = s.VirtualAddress;
        headerAt = image.SectionTableOffset + SectionHeaderSize * static_cast<uint32_t>(old);
        rawBefore = s.SizeOfRawData;
        if (moving >= 0) {
            const PeSection& m = image.Sections[static_cast<size_t>(moving)];
            movingRaw.assign(stub.begin() + m.PointerToRawData, stub.begin() + m.PointerToRawData + m.SizeOfRawData);
        }
        out.resize(s.PointerToRawData);
        r.ReplacedInPlace = true;
    } else {
        if (image.NumberOfSections + 1 > MaxSections) throw PeError("too many sections for another one");
        headerAt = image.SectionTableOffset + SectionHeaderSize * image.NumberOfSections;
        uint64_t firstRaw = image.SizeOfHeaders;
        for (const PeSection& s : image.Sections)
            if (s.SizeOfRawData != 0) firstRaw = std::min<uint64_t>(firstRaw, s.PointerToRawData);
        if (uint64_t(headerAt) + SectionHeaderSize > firstRaw || uint64_t(headerAt) + SectionHeaderSize > out.size())
            throw PeError("no room for another section header before the first section");
        bool slotFree = std::all_of(out.begin() + headerAt, out.begin() + headerAt + SectionHeaderSize,
                                    [](uint8_t b) { return b == 0; });
        if (!slotFree) {
            // Linkers put the bound-import table behind the section table.
            // It only saves the loader some work, so it may go.
            bool boundImports = image.NumberOfRvaAndSizes > BoundImportDirectoryIndex &&
                                Read32(out, directoryAt(BoundImportDirectoryIndex)) != 0;
            if (!boundImports) throw PeError("no room for another section header (the space is in use)");
            Write32(out, directoryAt(BoundImportDirectoryIndex), 0);
            Write32(out, directoryAt(BoundImportDirectoryIndex) + 4, 0);
        }
        uint64_t rva = AlignUp(std::max<uint64_t>(memoryEnd, image.SizeOfImage), image.SectionAlignment);
        if (rva > 0x7FFFFFFF) throw PeError("the image has no address space left for another section");
        sectionRva = static_cast<uint32_t>(rva);
        out.resize(AlignUp(out.size(), image.FileAlignment), 0);
        Write16(out, image.FileHeaderOffset + 2, image.NumberOfSections + 1);
        if (old >= 0 && image.Sections[static_cast<size_t>(old)].Name == ".rsrc") {
            // The old tree stays in the image, unreferenced; a different name
            // keeps tools that look for ".rsrc" by name on the new one.
            uint32_t oldHeader = image.SectionTableOffset + SectionHeaderSize * static_cast<uint32_t>(old);
            std::memcpy(out.data() + oldHeader, ".oldrsrc", 8);
            r.OldSectionRenamedTo = ".oldrsrc";
        }
    }

    Bytes section = BuildResourceSection(tree, sectionRva, &archive);
    uint64_t sectionSize = section.size() + payloadSize;
    uint64_t rawSize = AlignUp(sectionSize, image.FileAlignment);
    uint64_t pointer = out.size();
    if (pointer + rawSize > 0xFFFFFFFFu) throw PeError("the image would be larger than 4 GiB");
    out.insert(out.end(), section.begin(), section.end());
    PlannedImage plan;
    plan.PayloadSize = payloadSize;
    plan.Tail.assign(rawSize - sectionSize, 0);

    std::memset(out.data() + headerAt, 0, SectionHeaderSize);
    std::memcpy(out.data() + headerAt, ".rsrc", 5);
    Write32(out, headerAt + 8, static_cast<uint32_t>(sectionSize));
    Write32(out, headerAt + 12, sectionRva);
    Write32(out, headerAt + 16, static_cast<uint32_t>(rawSize));
    Write32(out, headerAt + 20, static_cast<uint32_t>(pointer));
    Write32(out, headerAt + 36, ScnInitializedData | ScnMemRead);

    uint64_t imageEnd = AlignUp(std::max<uint64_t>(memoryEnd, uint64_t(sectionRva) + sectionSize), image.SectionAlignment);
    if (inPlace) imageEnd = AlignUp(uint64_t(sectionRva) + sectionSize, image.SectionAlignment);
    if (moving >= 0) {
        // The relocations go right behind the new resources, in memory and
        // in the file, and their directory entry follows them.
        const PeSection& m = image.Sections[static_cast<size_t>(moving)];
        uint64_t rva = imageEnd;
        uint64_t at = pointer + rawSize;
        if (rva + MemorySize(m) > 0x7FFFFFFF || at + movingRaw.size() > 0xFFFFFFFFu)
            throw PeError("the image would be too large");
        plan.Tail.insert(plan.Tail.end(), movingRaw.begin(), movingRaw.end());
        uint32_t movingHeader = image.SectionTableOffset + SectionHeaderSize * static_cast<uint32_t>(moving);
        Write32(out, movingHeader + 12, static_cast<uint32_t>(rva));
        Write32(out, movingHeader + 20, static_cast<uint32_t>(at));
        uint64_t relocEntry = directoryAt(BaseRelocationDirectoryIndex);
        Write32(out, relocEntry, static_cast<uint32_t>(Read32(out, relocEntry) - m.VirtualAddress + rva));
        imageEnd = AlignUp(rva + MemorySize(m), image.SectionAlignment);
        r.MovedSections.push_back(m.Name);
    }
    Write32(out, image.OptionalHeaderOffset + 56, static_cast<uint32_t>(imageEnd));
    Write32(out, image.OptionalHeaderOffset + 8,
            static_cast<uint32_t>(image.SizeOfInitializedData - rawBefore + rawSize));
    Write32(out, directoryAt(ResourceDirectoryIndex), sectionRva);
    Write32(out, directoryAt(ResourceDirectoryIndex) + 4, static_cast<uint32_t>(sectionSize));
    Write32(out, image.CheckSumOffset, 0);
    plan.CheckSumOffset = image.CheckSumOffset;
    plan.Head = std::move(out);
    return plan;
}

Bytes EmbedZipResource(const Bytes& stub, const Bytes& payload, EmbedReport* report, const ResourceEdit& edit) {
    PlannedImage plan = PlanZipResource(stub, payload.size(), report, edit);
    Bytes out = std::move(plan.Head);
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), plan.Tail.begin(), plan.Tail.end());
    Write32(out, plan.CheckSumOffset, ComputePeChecksum(out, plan.CheckSumOffset));
    return out;
}

namespace {

// What VerifyZipResource checks of the headers: `file` needs to hold them
// only; `checkSum` is the file's.
void VerifyLayout(const Bytes& file, const PeImage& image, uint32_t checkSum) {
    std::vector<PeSection> byAddress = image.Sections;
    std::sort(byAddress.begin(), byAddress.end(),
              [](const PeSection& a, const PeSection& b) { return a.VirtualAddress < b.VirtualAddress; });
    uint64_t memoryCursor = AlignUp(image.SizeOfHeaders, image.SectionAlignment);
    for (const PeSection& s : byAddress) {
        if (s.VirtualAddress % image.SectionAlignment != 0)
            throw PeError("section " + s.Name + " is not aligned in memory");
        if (s.VirtualAddress < memoryCursor) throw PeError("section " + s.Name + " overlaps the one before it in memory");
        memoryCursor = AlignUp(uint64_t(s.VirtualAddress) + MemorySize(s), image.SectionAlignment);
        if (s.SizeOfRawData != 0 &&
            (s.PointerToRawData % image.FileAlignment != 0 || s.PointerToRawData < image.SizeOfHeaders))
            throw PeError("the data of section " + s.Name + " is misplaced in the file");
    }
    if (memoryCursor != image.SizeOfImage) throw PeError("SizeOfImage does not match the sections");
    std::vector<PeSection> byPointer;
    for (const PeSection& s : image.Sections)
        if (s.SizeOfRawData != 0) byPointer.push_back(s);
    std::sort(byPointer.begin(), byPointer.end(),
              [](const PeSection& a, const PeSection& b) { return a.PointerToRawData < b.PointerToRawData; });
    for (size_t i = 1; i < byPointer.size(); i++)
        if (uint64_t(byPointer[i - 1].PointerToRawData) + byPointer[i - 1].SizeOfRawData > byPointer[i].PointerToRawData)
            throw PeError("sections " + byPointer[i - 1].Name + " and " + byPointer[i].Name + " overlap in the file");
    if (image.CheckSum != checkSum) throw PeError("wrong checksum");
    if (image.NumberOfRvaAndSizes > BaseRelocationDirectoryIndex) {
        uint64_t entry = uint64_t(image.DataDirectoryOffset) + 8 * BaseRelocationDirectoryIndex;
        uint32_t rva = Read32(file, entry), size = Read32(file, entry + 4);
        int section = rva != 0 ? SectionOfRva(image, rva) : 0;
        if (section < 0 || (rva != 0 && uint64_t(rva) + size > uint64_t(image.Sections[static_cast<size_t>(section)].VirtualAddress) +
                                                              MemorySize(image.Sections[static_cast<size_t>(section)])))
            throw PeError("the base relocations lie outside their section");
    }
}

}  // namespace

void VerifyZipResource(const Bytes& file, const Bytes& payload) {
    PeImage image = ParsePe(file);
    VerifyLayout(file, image, ComputePeChecksum(file, image.CheckSumOffset));
    ResourceTree tree = ReadResources(file, image);
    auto type = tree.find(ResourceKey::Named("ZIP"));
    if (type == tree.end()) throw PeError("no resource of type ZIP");
    auto name = type->second.find(ResourceKey::Number(ZipResourceId));
    if (name == type->second.end()) throw PeError("no resource ZIP/1");
    if (name->second.size() != 1 || name->second.begin()->first != ResourceKey::Number(NeutralLanguage))
        throw PeError("resource ZIP/1 is not there in exactly the neutral language");
    if (name->second.begin()->second.Data != payload) throw PeError("resource ZIP/1 differs from the archive");
}

ResourceTree VerifyPlannedImage(const PlannedImage& plan, uint32_t checkSum) {
    uint64_t fileSize = plan.Head.size() + plan.PayloadSize + plan.Tail.size();
    Bytes head = plan.Head;
    Write32(head, plan.CheckSumOffset, checkSum);
    PeImage image = ParsePe(head, fileSize);
    VerifyLayout(head, image, checkSum);
    // The tree lies in the head, in front of the archive, and so does the
    // data of every other resource; the archive's entry must point at the
    // archive.
    int index = image.ResourceRva != 0 ? SectionOfRva(image, image.ResourceRva) : -1;
    if (index < 0) throw PeError("the resource directory lies in no section");
    const PeSection& s = image.Sections[static_cast<size_t>(index)];
    uint64_t treeAt = uint64_t(s.PointerToRawData) + (image.ResourceRva - s.VirtualAddress);
    if (treeAt >= head.size()) throw PeError("the resource directory lies behind the archive");
    TreeReader reader{head, image, Bytes(head.begin() + static_cast<std::ptrdiff_t>(treeAt), head.end())};
    reader.EntriesOnly = true;
    ResourceTree tree;
    int found = 0;
    reader.ForEachEntry(0, [&](const ResourceKey& type, uint32_t typeField) {
        reader.ForEachEntry(TreeReader::Subdirectory(typeField), [&](const ResourceKey& name, uint32_t nameField) {
            reader.ForEachEntry(TreeReader::Subdirectory(nameField), [&](const ResourceKey& language, uint32_t leafField) {
                ResourceData data = reader.ReadLeaf(leafField);
                uint64_t at = uint64_t(s.PointerToRawData) + (uint64_t(reader.LastRva) - s.VirtualAddress);
                if (reader.LastRva < s.VirtualAddress) throw PeError("resource data lies outside the resource section");
                if (type == ResourceKey::Named("ZIP") && name == ResourceKey::Number(ZipResourceId)) {
                    found++;
                    if (!(language == ResourceKey::Number(NeutralLanguage)) || at != plan.Head.size() ||
                        reader.LastSize != plan.PayloadSize)
                        throw PeError("resource ZIP/1 does not point at the archive");
                } else {
                    if (at + reader.LastSize > plan.Head.size()) throw PeError("resource data lies behind the archive");
                    data.Data.assign(head.begin() + static_cast<std::ptrdiff_t>(at),
                                     head.begin() + static_cast<std::ptrdiff_t>(at + reader.LastSize));
                }
                tree[type][name].emplace(language, std::move(data));
            });
        });
    });
    if (found != 1) throw PeError("resource ZIP/1 is not there in exactly the neutral language");
    return tree;
}

}  // namespace sfx
