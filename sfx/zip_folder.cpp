// A small ZIP writer for `sfx pack`: local headers, data, central directory,
// end record; deflate through zlib (raw deflate, no zlib header).
//
// Local file header: 50 4B 03 04, version needed, flags, method, DOS time,
// DOS date, CRC-32, compressed size, uncompressed size, name length, extra
// length (0), name. Central-directory record: 50 4B 01 02, version made by
// (2.0 on MS-DOS, so that the attribute byte counts), the same fields, then
// comment length, disk, internal attributes, external attributes (the DOS
// attribute byte: 0x10 folder, 0x20 file), local header offset, name. End
// record: 50 4B 05 06, disk numbers, entry counts, directory size and offset.
#include "sfx/zip_folder.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "sfx/archive_scan.h"
#include "sfx/host.h"

namespace sfx {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t MaxArchiveSize = 0x7FFFFFFF;  // the launcher's walker counts in signed 32 bits
constexpr size_t MaxEntries = 0xFFFF;
constexpr uint16_t MadeByDos20 = 20;
constexpr uint16_t NeededStored = 10;
constexpr uint16_t NeededDeflate = 20;
constexpr uint16_t FlagUtf8Name = 0x800;

struct Pending {
    std::string Name;     // "/" separators, folders end with "/"
    fs::path HostPath;
    bool Folder = false;
    uint32_t DosTime = 0;
};

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

int64_t UnixTimeOf(const fs::path& path) {
    std::error_code ec;
    fs::file_time_type t = fs::last_write_time(path, ec);
    if (ec) throw ToolError(path.string() + ": cannot read its time: " + ec.message());
    auto system = std::chrono::file_clock::to_sys(t);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

// Raw deflate at the best level; empty when it would not save a byte.
std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data, const std::string& what) {
    z_stream z = {};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw ToolError(what + ": zlib cannot start");
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    size_t produced = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw ToolError(what + ": zlib failed to compress it");
    if (produced >= data.size()) return {};
    out.resize(produced);
    return out;
}

void Collect(const fs::path& dir, const std::string& prefix, std::vector<Pending>& out, FolderZip& zip) {
    std::vector<fs::directory_entry> children;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
    if (ec) throw ToolError(dir.string() + ": cannot list it: " + ec.message());
    std::sort(children.begin(), children.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return NameBytes(a.path().filename()) < NameBytes(b.path().filename());
    });
    for (const fs::directory_entry& child : children) {
        std::string name = prefix + NameBytes(child.path().filename());
        fs::file_status link = fs::symlink_status(child.path(), ec);
        fs::file_status target = fs::status(child.path(), ec);
        if (fs::is_directory(link)) {
            out.push_back({name + "/", child.path(), true, DosDateTimeOf(UnixTimeOf(child.path()))});
            Collect(child.path(), name + "/", out, zip);
        } else if (fs::is_regular_file(target)) {
            out.push_back({name, child.path(), false, DosDateTimeOf(UnixTimeOf(child.path()))});
        } else {
            zip.Skipped.push_back(name + ": not a file or folder (a link to a folder, a device or the like)");
        }
    }
}

}  // namespace

uint32_t DosDateTimeOf(int64_t unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local = {};
#ifdef _WIN32
    bool ok = localtime_s(&local, &t) == 0;
#else
    bool ok = localtime_r(&t, &local) != nullptr;
#endif
    int year = local.tm_year + 1900;
    if (!ok || year < 1980) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
    if (year > 2107) return ((127u << 9) | (12u << 5) | 31u) << 16 | (23u << 11) | (59u << 5) | 29u;
    uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    // tm_sec can be 60 for a leap second; DOS stops at 58.
    uint32_t time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | std::min(local.tm_sec, 59) / 2);
    return date << 16 | time;
}

FolderZip ZipFolder(const std::string& folder) {
    FolderZip zip;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) throw ToolError(folder + ": not a folder");
    std::vector<Pending> pending;
    Collect(fs::path(folder), "", pending, zip);
    if (pending.size() > MaxEntries) throw ToolError(folder + ": more than 65535 files and folders");

    std::vector<uint8_t>& out = zip.Archive;
    std::vector<CentralRecord> central;
    for (const Pending& p : pending) {
        std::vector<uint8_t> data;
        if (!p.Folder) data = ReadHostFile(p.HostPath.string(), MaxArchiveSize);
        std::vector<uint8_t> packed = data.empty() ? std::vector<uint8_t>() : Deflate(data, p.HostPath.string());
        bool deflated = !packed.empty();
        const std::vector<uint8_t>& stored = deflated ? packed : data;
        bool highBytes = std::any_of(p.Name.begin(), p.Name.end(), [](char c) { return static_cast<unsigned char>(c) > 127; });
        if (p.Name.size() > 0xFFFF) throw ToolError(p.HostPath.string() + ": name too long for a ZIP archive");
        CentralRecord r;
        r.Name = p.Name;
        r.Method = deflated ? 8 : 0;
        r.Needed = deflated ? NeededDeflate : NeededStored;
        r.Flags = highBytes && NamesAreUtf8() ? FlagUtf8Name : 0;
        r.DosTime = p.DosTime;
        r.Crc = static_cast<uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size())));
        r.Packed = static_cast<uint32_t>(stored.size());
        r.Size = static_cast<uint32_t>(data.size());
        r.Offset = static_cast<uint32_t>(out.size());
        r.Attributes = p.Folder ? 0x10 : 0x20;
        if (out.size() + 30 + p.Name.size() + stored.size() > MaxArchiveSize)
            throw ToolError(folder + ": the archive would be larger than the 2 GiB the launcher reads");
        Put32(out, 0x04034B50);
        PutSharedFields(out, r);
        out.insert(out.end(), r.Name.begin(), r.Name.end());
        out.insert(out.end(), stored.begin(), stored.end());
        central.push_back(r);
        (p.Folder ? zip.Folders : zip.Files)++;
    }
    uint32_t directoryOffset = static_cast<uint32_t>(out.size());
    for (const CentralRecord& r : central) {
        Put32(out, 0x02014B50);
        Put16(out, MadeByDos20);  // version 2.0, host 0 (MS-DOS)
        PutSharedFields(out, r);
        Put16(out, 0);  // comment
        Put16(out, 0);  // disk
        Put16(out, 0);  // internal attributes
        Put32(out, r.Attributes);
        Put32(out, r.Offset);
        out.insert(out.end(), r.Name.begin(), r.Name.end());
    }
    if (out.size() + 22 > MaxArchiveSize)
        throw ToolError(folder + ": the archive would be larger than the 2 GiB the launcher reads");
    uint32_t directorySize = static_cast<uint32_t>(out.size()) - directoryOffset;
    Put32(out, 0x06054B50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(central.size()));
    Put16(out, static_cast<uint32_t>(central.size()));
    Put32(out, directorySize);
    Put32(out, directoryOffset);
    Put16(out, 0);
    return zip;
}

}  // namespace sfx
