// Windows images for tests, built byte by byte, and the loader's way to a
// resource, written from the format: data directory 2, the type, name and
// language tables, the data entry, the section table.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace testutil {

uint32_t Get16(const Bytes& b, size_t at);
uint32_t Get32(const Bytes& b, size_t at);

constexpr uint32_t PeOffset = 0x80;
constexpr uint32_t HeadersSize = 0x400;
constexpr uint32_t FileAlign = 0x200;
constexpr uint32_t SectionAlign = 0x1000;

uint32_t AlignTo(uint32_t v, uint32_t a);
uint32_t SectionTableAt(bool is64);
uint32_t DirectoryAt(bool is64, int index);
// A field of the optional header, by its offset there.
uint32_t OptionalField(const Bytes& image, uint32_t offset);

struct SectionSpec {
    std::string Name;
    uint32_t VirtualSize = 0;
    uint32_t RawSize = 0;  // of pattern bytes, before alignment; 0 = none
    // When set: the section's content, given the section's RVA; the first
    // such section becomes the resource directory (data directory 2), with
    // its content's size as virtual size.
    std::function<Bytes(uint32_t rva)> Resources;
};

// MZ header, PE32 or PE32+ headers (0x400 bytes, 16 data directories), the
// sections one after the other from RVA 0x1000 and file offset 0x400, and a
// correct SizeOfImage, SizeOfInitializedData and checksum.
Bytes MakeImage(bool is64, const std::vector<SectionSpec>& sections);

// A small program for tests that need a Setup.exe Windows would start: one
// code section, the given machine (0x14C x86, 0x8664 x86-64; PE32+ for the
// latter) and subsystem (2 GUI, 3 console).
Bytes MakeProgram(uint16_t machine = 0x14C, uint16_t subsystem = 2);

// The PE checksum, computed here independently: 16-bit words with the carry
// folded back, the CheckSum field as zero, plus the file length.
uint32_t PeChecksum(const Bytes& image);

struct SectionRow {
    std::string Name;
    uint32_t VirtualSize, VirtualAddress, RawSize, RawPointer;
};
std::vector<SectionRow> Sections(const Bytes& image);
size_t FileOffsetOf(const Bytes& image, uint32_t rva);

struct FoundResource {
    Bytes Data;
    uint32_t Language = 0;
};
// The first language of the resource with the type named typeName (or the
// type id typeId when typeName is empty) and the id `id`.
std::optional<FoundResource> LookUpResource(const Bytes& image, const std::string& typeName, uint32_t typeId,
                                            uint32_t id);

}  // namespace testutil
