#include "support/pe_test_image.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace testutil {

uint32_t Get16(const Bytes& b, size_t at) { return b.at(at) | (b.at(at + 1) << 8); }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | (Get16(b, at + 2) << 16); }

uint32_t AlignTo(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

namespace {
uint32_t OptionalSize(bool is64) { return is64 ? 240 : 224; }
}  // namespace

uint32_t SectionTableAt(bool is64) { return PeOffset + 24 + OptionalSize(is64); }
uint32_t DirectoryAt(bool is64, int index) { return PeOffset + 24 + (is64 ? 112 : 96) + 8 * index; }

Bytes MakeImage(bool is64, const std::vector<SectionSpec>& sections) {
    Bytes b(HeadersSize, 0);
    b[0] = 'M';
    b[1] = 'Z';
    PutLe32(b, 0x3C, PeOffset);
    std::memcpy(b.data() + PeOffset, "PE\0\0", 4);
    uint32_t fh = PeOffset + 4;
    PutLe16(b, fh, is64 ? 0x8664 : 0x14C);
    PutLe16(b, fh + 2, static_cast<uint16_t>(sections.size()));
    PutLe16(b, fh + 16, static_cast<uint16_t>(OptionalSize(is64)));
    PutLe16(b, fh + 18, 0x0102);
    uint32_t oh = fh + 20;
    PutLe16(b, oh, is64 ? 0x20B : 0x10B);
    PutLe32(b, oh + 32, SectionAlign);
    PutLe32(b, oh + 36, FileAlign);
    PutLe32(b, oh + 60, HeadersSize);
    PutLe32(b, oh + (is64 ? 108 : 92), 16);
    uint32_t va = SectionAlign;
    uint32_t initialized = 0;
    for (size_t i = 0; i < sections.size(); i++) {
        const SectionSpec& s = sections[i];
        Bytes content;
        if (s.Resources) {
            content = s.Resources(va);
            if (Get32(b, DirectoryAt(is64, 2)) == 0) {
                PutLe32(b, DirectoryAt(is64, 2), va);
                PutLe32(b, DirectoryAt(is64, 2) + 4, static_cast<uint32_t>(content.size()));
            }
        } else {
            content = PatternBytes(s.RawSize, static_cast<uint32_t>(i + 1));
        }
        uint32_t virtualSize = s.Resources ? static_cast<uint32_t>(content.size()) : s.VirtualSize;
        uint32_t raw = AlignTo(static_cast<uint32_t>(content.size()), FileAlign);
        uint32_t at = SectionTableAt(is64) + 40 * static_cast<uint32_t>(i);
        std::memcpy(b.data() + at, s.Name.data(), std::min<size_t>(8, s.Name.size()));
        PutLe32(b, at + 8, virtualSize);
        PutLe32(b, at + 12, va);
        PutLe32(b, at + 16, raw);
        PutLe32(b, at + 20, raw != 0 ? static_cast<uint32_t>(b.size()) : 0);
        PutLe32(b, at + 36, 0x40000040);
        content.resize(raw, 0);
        b.insert(b.end(), content.begin(), content.end());
        initialized += raw;
        va += AlignTo(std::max(virtualSize, 1u), SectionAlign);
    }
    PutLe32(b, oh + 8, initialized);
    PutLe32(b, oh + 56, va);
    PutLe32(b, oh + 64, PeChecksum(b));
    return b;
}

Bytes MakeProgram(uint16_t machine, uint16_t subsystem) {
    Bytes b = MakeImage(machine == 0x8664, {{".text", 0x180, 0x180}});
    PutLe16(b, PeOffset + 4, machine);
    PutLe16(b, PeOffset + 24 + 68, subsystem);
    PutLe32(b, PeOffset + 24 + 64, PeChecksum(b));
    return b;
}

std::vector<SectionRow> Sections(const Bytes& image) {
    uint32_t pe = Get32(image, 0x3C);
    uint32_t count = Get16(image, pe + 6);
    uint32_t table = pe + 24 + Get16(image, pe + 20);
    std::vector<SectionRow> rows;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t at = table + 40 * i;
        SectionRow r;
        r.Name.assign(reinterpret_cast<const char*>(image.data() + at), strnlen(reinterpret_cast<const char*>(image.data() + at), 8));
        r.VirtualSize = Get32(image, at + 8);
        r.VirtualAddress = Get32(image, at + 12);
        r.RawSize = Get32(image, at + 16);
        r.RawPointer = Get32(image, at + 20);
        rows.push_back(r);
    }
    return rows;
}

size_t FileOffsetOf(const Bytes& image, uint32_t rva) {
    for (const SectionRow& s : Sections(image))
        if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.RawSize) return s.RawPointer + (rva - s.VirtualAddress);
    throw std::runtime_error("RVA outside the sections' raw data");
}

namespace {

// The target of the entry of the table at `table` (offsets from the tree
// start `base`) named `name`, or with id `id` when name is empty; the first
// entry's when `first`.
std::optional<uint32_t> Find(const Bytes& image, size_t base, uint32_t table, const std::string& name, uint32_t id,
                             bool first = false) {
    uint32_t named = Get16(image, base + table + 12), ids = Get16(image, base + table + 14);
    for (uint32_t i = 0; i < named + ids; i++) {
        size_t entry = base + table + 16 + 8 * i;
        uint32_t key = Get32(image, entry), target = Get32(image, entry + 4);
        if (first) return target;
        if (i < named && !name.empty()) {
            size_t s = base + (key & 0x7FFFFFFF);
            std::string text;
            for (uint32_t k = 0; k < Get16(image, s); k++) text += static_cast<char>(Get16(image, s + 2 + 2 * k));
            if ((key & 0x80000000u) && text == name) return target;
        } else if (i >= named && name.empty() && key == id) {
            return target;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<FoundResource> LookUpResource(const Bytes& image, const std::string& typeName, uint32_t typeId, uint32_t id) {
    uint32_t pe = Get32(image, 0x3C);
    bool is64 = Get16(image, pe + 24) == 0x20B;
    uint32_t rva = Get32(image, pe + 24 + (is64 ? 112 : 96) + 16);
    if (rva == 0) return std::nullopt;
    size_t base = FileOffsetOf(image, rva);
    auto type = Find(image, base, 0, typeName, typeId);
    if (!type || !(*type & 0x80000000u)) return std::nullopt;
    auto name = Find(image, base, *type & 0x7FFFFFFF, "", id);
    if (!name || !(*name & 0x80000000u)) return std::nullopt;
    uint32_t languages = *name & 0x7FFFFFFF;
    auto leaf = Find(image, base, languages, "", 0, true);
    if (!leaf) return std::nullopt;
    FoundResource f;
    f.Language = Get32(image, base + languages + 16);
    uint32_t dataRva = Get32(image, base + *leaf), size = Get32(image, base + *leaf + 4);
    size_t at = FileOffsetOf(image, dataRva);
    f.Data.assign(image.begin() + at, image.begin() + at + size);
    return f;
}

uint32_t OptionalField(const Bytes& image, uint32_t offset) { return Get32(image, Get32(image, 0x3C) + 24 + offset); }

uint32_t PeChecksum(const Bytes& image) {
    uint32_t at = Get32(image, 0x3C) + 24 + 64;
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        if (i == at || i == at + 2) word = 0;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + image.size());
}

}  // namespace testutil
