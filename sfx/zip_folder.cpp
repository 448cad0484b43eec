// A small ZIP writer for `sfx pack`: local headers, data, central directory,
// end record; deflate through zlib (raw deflate, no zlib header), fed and
// drained in pieces.
//
// Local file header: 50 4B 03 04, version needed, flags, method, DOS time,
// DOS date, CRC-32, compressed size, uncompressed size, name length, extra
// length (0), name. Central-directory record: 50 4B 01 02, version made by
// (2.0 on MS-DOS, so that the attribute byte counts), the same fields, then
// comment length, disk, internal attributes, external attributes (the DOS
// attribute byte: 0x10 folder, 0x20 file), local header offset, name. End
// record: 50 4B 05 06, disk numbers, entry counts, directory size and offset.
//
// The sizes and the CRC-32 of a file are known only after its data, but the
// launcher reads them from the local header (a stored entry has no other
// way to end), so every local header is written twice: first with zeros
// before the data, then complete over the first one. Nothing in the archive
// depends on more than the folder's names, data and times: entries in a
// fixed order, fixed attribute bytes, no extra fields.
#include "sfx/zip_folder.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "sfx/archive_scan.h"

namespace sfx {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t MaxArchiveSize = 0x7FFFFFFF;  // the launcher's walker counts in signed 32 bits
constexpr size_t MaxEntries = 0xFFFF;
constexpr size_t PieceSize = 256 * 1024;
constexpr uint16_t MadeByDos20 = 20;
constexpr uint16_t NeededStored = 10;
constexpr uint16_t NeededDeflate = 20;
constexpr uint16_t MethodStored = 0;
constexpr uint16_t MethodDeflate = 8;
constexpr size_t LocalHeaderSize = 30;

struct CentralRecord {
    std::string Name;
    uint16_t Needed, Flags, Method;
    uint32_t DosTime, Crc, Packed, Size, Offset;
    uint8_t Attributes;
};

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The fields that local header and central record share, from "version
// needed" to the extra-field length (always 0 here).
void PutSharedFields(std::vector<uint8_t>& out, const CentralRecord& r) {
    Put16(out, r.Needed);
    Put16(out, r.Flags);
    Put16(out, r.Method);
    Put32(out, r.DosTime);
    Put32(out, r.Crc);
    Put32(out, r.Packed);
    Put32(out, r.Size);
    Put16(out, static_cast<uint32_t>(r.Name.size()));
    Put16(out, 0);
}

std::vector<uint8_t> LocalHeaderBytes(const CentralRecord& r) {
    std::vector<uint8_t> h;
    Put32(h, 0x04034B50);
    PutSharedFields(h, r);
    h.insert(h.end(), r.Name.begin(), r.Name.end());
    return h;
}

int64_t UnixTimeOf(const fs::path& path) {
    std::error_code ec;
    fs::file_time_type t = fs::last_write_time(path, ec);
    if (ec) throw ToolError(DisplayPath(path) + ": cannot read its time: " + ec.message());
    auto system = std::chrono::file_clock::to_sys(t);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

struct Child {
    fs::directory_entry Entry;
    std::string Encoded;  // the name in the code page; empty when it has no form there
    std::string Problem;
    std::string Native;
};

void Collect(const fs::path& dir, const std::string& prefix, const std::string& shown, unsigned codePage,
             FolderListing& listing) {
    std::vector<Child> children;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        Child c;
        c.Entry = *it;
        c.Encoded = EncodeName(it->path().filename(), codePage, c.Problem);
        c.Native = NameBytes(it->path().filename());
        children.push_back(std::move(c));
    }
    if (ec) throw ToolError(DisplayPath(dir) + ": cannot list it: " + ec.message());
    // Not the order the system lists them in, which differs between file
    // systems and even between two copies of a folder: the archive's bytes.
    std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
        return a.Encoded != b.Encoded ? a.Encoded < b.Encoded : a.Native < b.Native;
    });
    for (const Child& child : children) {
        const fs::path& path = child.Entry.path();
        std::string shownName = shown + DisplayPath(path.filename());
        if (!child.Problem.empty()) {
            listing.Unwritable.push_back(shownName + ": " + child.Problem);
            continue;
        }
        std::string name = prefix + child.Encoded;
        if (name.size() + 1 > 0xFFFF) throw ToolError(DisplayPath(path) + ": name too long for a ZIP archive");
        fs::file_status link = fs::symlink_status(path, ec);
        fs::file_status target = fs::status(path, ec);
        if (fs::is_directory(link)) {
            listing.Items.push_back({name + "/", path, true, UnixTimeOf(path), 0});
            listing.Folders++;
            Collect(path, name + "/", shownName + "/", codePage, listing);
        } else if (fs::is_regular_file(target)) {
            uint64_t size = fs::file_size(path, ec);
            if (ec) size = 0;
            listing.Items.push_back({name, path, false, UnixTimeOf(path), size});
            listing.FileBytes += size;
            listing.Files++;
        } else {
            listing.Skipped.push_back(name + ": not a file or folder (a link to a folder, a device or the like)");
        }
        if (listing.Items.size() > MaxEntries) throw ToolError(DisplayPath(dir) + ": more than 65535 files and folders");
    }
}

// The archive as it grows in the scratch file.
struct ArchiveWriter {
    ScratchFile& Out;
    const std::string& Folder;
    uint64_t Position = 0;
    std::vector<uint8_t> Buffer;  // file data on its way in or out

    void Write(const uint8_t* data, size_t size) {
        if (Position + size > MaxArchiveSize)
            throw ToolError(Folder + ": the archive would be larger than the 2 GiB the launcher reads");
        WriteScratch(Out, Position, data, size);
        Position += size;
    }
    void Write(const std::vector<uint8_t>& b) { Write(b.data(), b.size()); }
};

// Bytes read, of all files; a file read twice (deflated, then stored)
// counts once, so the figure never goes back.
struct Progress {
    ZipProgressFn Fn;
    void* Context;
    uint64_t Total = 0;
    uint64_t Done = 0;
    uint64_t Shown = 0;
    void Add(const FolderItem& item, uint64_t n) {
        Done += n;
        Shown = std::max(Shown, std::min(Done, Total));
        if (Fn != nullptr) Fn(Context, item, Shown, Total);
    }
};

// The file stored, from the start of `in`; its CRC-32.
uint32_t CopyStored(InputFile& in, ArchiveWriter& w, Progress& progress, const FolderItem& item) {
    RewindInput(in, 0);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (size_t n; (n = ReadInput(in, w.Buffer.data(), PieceSize)) != 0;) {
        crc = crc32(crc, w.Buffer.data(), static_cast<uInt>(n));
        w.Write(w.Buffer.data(), n);
        progress.Add(item, n);
    }
    return static_cast<uint32_t>(crc);
}

// The file deflated; false (and the data written so far to be overwritten)
// as soon as the deflated form is no smaller than the file.
bool CopyDeflated(InputFile& in, ArchiveWriter& w, int level, Progress& progress, const FolderItem& item,
                  uint32_t& crcOut) {
    z_stream z = {};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw ToolError(in.Display + ": zlib cannot start");
    std::vector<uint8_t> packed(PieceSize);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t written = 0;
    bool smaller = true;
    int rc = Z_OK;
    try {
        while (rc != Z_STREAM_END && smaller) {
            size_t n = ReadInput(in, w.Buffer.data(), PieceSize);
            crc = crc32(crc, w.Buffer.data(), static_cast<uInt>(n));
            progress.Add(item, n);
            z.next_in = w.Buffer.data();
            z.avail_in = static_cast<uInt>(n);
            int flush = in.Offset >= in.Size ? Z_FINISH : Z_NO_FLUSH;
            do {
                z.next_out = packed.data();
                z.avail_out = static_cast<uInt>(packed.size());
                rc = deflate(&z, flush);
                if (rc == Z_STREAM_ERROR) throw ToolError(in.Display + ": zlib failed to compress it");
                size_t produced = packed.size() - z.avail_out;
                written += produced;
                if (written >= in.Size) smaller = false;
                if (smaller) w.Write(packed.data(), produced);
            } while (smaller && rc != Z_STREAM_END && z.avail_out == 0);
        }
    } catch (...) {
        deflateEnd(&z);
        throw;
    }
    deflateEnd(&z);
    if (smaller) crcOut = static_cast<uint32_t>(crc);
    return smaller;
}

}  // namespace

uint32_t DosDateTimeOf(int64_t unixSeconds, bool utc) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local = {};
#ifdef _WIN32
    bool ok = (utc ? gmtime_s(&local, &t) : localtime_s(&local, &t)) == 0;
#else
    bool ok = (utc ? gmtime_r(&t, &local) : localtime_r(&t, &local)) != nullptr;
#endif
    int year = local.tm_year + 1900;
    if (!ok || year < 1980) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
    if (year > 2107) return ((127u << 9) | (12u << 5) | 31u) << 16 | (23u << 11) | (59u << 5) | 29u;
    uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    // tm_sec can be 60 for a leap second; DOS stops at 58.
    uint32_t time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | std::min(local.tm_sec, 59) / 2);
    return date << 16 | time;
}

FolderListing ListFolder(const std::string& folder, unsigned codePage) {
    FolderListing listing;
    std::error_code ec;
    if (!fs::is_directory(HostPath(folder), ec)) throw ToolError(folder + ": not a folder");
    listing.Root = folder;
    Collect(HostPath(folder), "", "", codePage, listing);
    return listing;
}

uint64_t WriteFolderZip(const FolderListing& listing, ScratchFile& out, const ZipOptions& options,
                        ZipProgressFn progressFn, void* context) {
    ArchiveWriter w{out, listing.Root, 0, {}};
    w.Buffer.resize(PieceSize);
    Progress progress{progressFn, context, listing.FileBytes};
    std::vector<CentralRecord> central;
    central.reserve(listing.Items.size());
    for (const FolderItem& item : listing.Items) {
        int64_t time = options.CapTimes ? std::min(item.UnixTime, options.TimeCap) : item.UnixTime;
        CentralRecord r;
        r.Name = item.Name;
        r.Flags = 0;  // names in the code page, as the launcher creates them
        r.DosTime = DosDateTimeOf(time, options.CapTimes);
        r.Crc = 0;
        r.Packed = 0;
        r.Size = 0;
        r.Offset = static_cast<uint32_t>(w.Position);
        r.Attributes = item.Folder ? 0x10 : 0x20;
        bool deflate = !item.Folder && options.Level > 0;
        r.Method = deflate ? MethodDeflate : MethodStored;
        r.Needed = deflate ? NeededDeflate : NeededStored;
        w.Write(LocalHeaderBytes(r));
        if (!item.Folder) {
            std::string shown = DisplayPath(item.HostPath);
            InputFile in = OpenInput(item.HostPath, MaxArchiveSize, shown);
            try {
                uint64_t dataStart = w.Position;
                uint64_t doneBefore = progress.Done;
                bool deflated = false;
                if (deflate && in.Size != 0) deflated = CopyDeflated(in, w, options.Level, progress, item, r.Crc);
                if (!deflated) {
                    // Stored over what deflate wrote, from a second reading:
                    // the CRC-32 is that of the data written.
                    w.Position = dataStart;
                    progress.Done = doneBefore;
                    r.Crc = CopyStored(in, w, progress, item);
                    r.Method = MethodStored;
                    r.Needed = NeededStored;
                }
                r.Size = static_cast<uint32_t>(in.Size);
                r.Packed = static_cast<uint32_t>(w.Position - dataStart);
            } catch (...) {
                CloseInput(in);
                throw;
            }
            CloseInput(in);
            std::vector<uint8_t> header = LocalHeaderBytes(r);
            WriteScratch(out, r.Offset, header.data(), header.size());
        }
        central.push_back(r);
    }
    std::vector<uint8_t> record;
    uint64_t directoryOffset = w.Position;
    for (const CentralRecord& r : central) {
        record.clear();
        Put32(record, 0x02014B50);
        Put16(record, MadeByDos20);  // version 2.0, host 0 (MS-DOS)
        PutSharedFields(record, r);
        Put16(record, 0);  // comment
        Put16(record, 0);  // disk
        Put16(record, 0);  // internal attributes
        Put32(record, r.Attributes);
        Put32(record, r.Offset);
        record.insert(record.end(), r.Name.begin(), r.Name.end());
        w.Write(record);
    }
    uint64_t directorySize = w.Position - directoryOffset;
    record.clear();
    Put32(record, 0x06054B50);
    Put16(record, 0);
    Put16(record, 0);
    Put16(record, static_cast<uint32_t>(central.size()));
    Put16(record, static_cast<uint32_t>(central.size()));
    Put32(record, static_cast<uint32_t>(directorySize));
    Put32(record, static_cast<uint32_t>(directoryOffset));
    Put16(record, 0);
    w.Write(record);
    return w.Position;
}

}  // namespace sfx
