// The ZIP records as this system reads them: their signatures, the offsets
// of their fields, the little-endian readers, and the one path limit.
//
// The walker reads the end-of-central-directory record and the
// central-directory records, recognition the local header's signature, the
// extractor the local header and the data descriptor; sfx reads the same
// records (and the ZIP64 ones, to name what the launcher cannot read)
// through these definitions. Every multi-byte field is little-endian;
// offsets count from the first byte of the record's signature.
#pragma once

#include <cstdint>

// A path the engine takes, and an entry name as the walker hands it out: at
// most 259 characters, plus the NUL (Windows' classic MAX_PATH of 260).
constexpr int MaxPathLength = 259;
constexpr int PathBufferSize = MaxPathLength + 1;

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadLe64(const uint8_t* p) { return ReadLe32(p) | (static_cast<uint64_t>(ReadLe32(p + 4)) << 32); }

// The four signature bytes "PK", a, b at p (p must have 4 readable bytes).
inline bool HasSignature(const uint8_t* p, uint32_t signature) { return ReadLe32(p) == signature; }

// Local file header: 30 bytes, then the name (n), the extra field (e) and
// the entry's data at 30 + n + e.
namespace ZipLocal {
constexpr uint32_t Signature = 0x04034B50;  // 50 4B 03 04
constexpr int Size = 30;
constexpr int Flags = 6;  // bit 0 encrypted, bit 3 CRC and sizes in a data descriptor
constexpr int Method = 8;
constexpr int DosDateTime = 10;  // time at 10, date at 12: one 32-bit DosDateTime
constexpr int Crc = 14;
constexpr int CompressedSize = 18;
constexpr int UncompressedSize = 22;
constexpr int NameLength = 26;
constexpr int ExtraLength = 28;
}  // namespace ZipLocal

// Data descriptor, behind the data of an entry with flag bit 3: the
// signature (optional in the format; the extractor skips four bytes
// whatever they hold), CRC-32, compressed size, uncompressed size.
namespace ZipDescriptor {
constexpr uint32_t Signature = 0x08074B50;  // 50 4B 07 08; also the spanning marker at the start of a split archive
constexpr int Size = 16;
constexpr int Crc = 4;
constexpr int CompressedSize = 8;
constexpr int UncompressedSize = 12;
}  // namespace ZipDescriptor

// Central-directory record: 46 bytes, then the name (n), the extra field (m)
// and the file comment (k); the next record follows directly.
namespace ZipCentral {
constexpr uint32_t Signature = 0x02014B50;  // 50 4B 01 02
constexpr int Size = 46;
constexpr int HostSystem = 5;  // 0 = MS-DOS
constexpr int Flags = 8;
constexpr int Method = 10;
constexpr int DosDateTime = 12;
constexpr int Crc = 16;
constexpr int CompressedSize = 20;
constexpr int UncompressedSize = 24;
constexpr int NameLength = 28;
constexpr int ExtraLength = 30;
constexpr int CommentLength = 32;
constexpr int ExternalAttributes = 38;  // lowest byte: the MS-DOS attribute byte
constexpr int HeaderOffset = 42;
}  // namespace ZipCentral

// End-of-central-directory record: 22 bytes, then the archive comment.
namespace ZipEnd {
constexpr uint32_t Signature = 0x06054B50;  // 50 4B 05 06
constexpr int Size = 22;
constexpr int EntryCount = 10;  // entries in total
constexpr int DirectorySize = 12;
constexpr int DirectoryOffset = 16;
constexpr int CommentLength = 20;
}  // namespace ZipEnd

// ZIP64: a locator of 20 bytes directly before the end record points to the
// ZIP64 end record, which holds the 64-bit counts and offsets that the
// classic fields then only escape (0xFFFF, 0xFFFFFFFF). An entry's 64-bit
// sizes stand in an extra-field block of this id.
namespace Zip64 {
constexpr uint32_t LocatorSignature = 0x07064B50;  // 50 4B 06 07
constexpr int LocatorSize = 20;
constexpr int LocatorEndRecordOffset = 8;  // 64-bit position of the ZIP64 end record
constexpr uint32_t EndRecordSignature = 0x06064B50;  // 50 4B 06 06
constexpr uint16_t ExtraId = 0x0001;
constexpr uint32_t Escape32 = 0xFFFFFFFFu;
constexpr uint16_t Escape16 = 0xFFFF;
}  // namespace Zip64

// The local header's fields, in the form the extractor and sfx take them.
struct LocalHeaderFields {
    uint16_t Flags;
    uint16_t Method;
    uint32_t DosDateTime;
    uint32_t Crc;
    uint32_t CompressedSize;
    uint32_t UncompressedSize;
    uint16_t NameLength;
    uint16_t ExtraLength;
};

// h: ZipLocal::Size bytes of a local header.
inline LocalHeaderFields ReadLocalHeaderFields(const uint8_t* h) {
    LocalHeaderFields f;
    f.Flags = ReadLe16(h + ZipLocal::Flags);
    f.Method = ReadLe16(h + ZipLocal::Method);
    f.DosDateTime = ReadLe32(h + ZipLocal::DosDateTime);
    f.Crc = ReadLe32(h + ZipLocal::Crc);
    f.CompressedSize = ReadLe32(h + ZipLocal::CompressedSize);
    f.UncompressedSize = ReadLe32(h + ZipLocal::UncompressedSize);
    f.NameLength = ReadLe16(h + ZipLocal::NameLength);
    f.ExtraLength = ReadLe16(h + ZipLocal::ExtraLength);
    return f;
}

// r: at least ZipCentral::Size bytes of a central-directory record; its
// whole length, 46 + n + m + k.
inline uint32_t CentralRecordLength(const uint8_t* r) {
    return ZipCentral::Size + static_cast<uint32_t>(ReadLe16(r + ZipCentral::NameLength)) +
           ReadLe16(r + ZipCentral::ExtraLength) + ReadLe16(r + ZipCentral::CommentLength);
}
