// `sfx list`, `sfx test`, `sfx extract` and `sfx cat`.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "archive/archive.h"
#include "launcher/launcher.h"
#include "sfx/archive_scan.h"
#include "sfx/host.h"
#include "sfx/progress_bar.h"
#include "sfx/sfx.h"

namespace sfx {

namespace {

// `sfx cat` holds the whole entry in memory.
constexpr uint32_t MaxCatSize = 1u << 30;

std::string Padded(std::string s, size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

std::string Right(const std::string& s, size_t width) {
    return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}

std::string Right(uint64_t value, size_t width) { return Right(std::to_string(value), width); }

std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// The walk, with its failures as one line on err. Returns false when there
// is nothing to work on.
bool WalkOrReport(const ArchiveInput& in, ArchiveWalk& walk, std::ostream& err) {
    // The launcher walks only what its recognition test accepts.
    if (!RecognisedAsArchive(in.CorePath)) {
        err << "sfx: " << in.Display << ": not recognised as a ZIP archive (it must begin with a local header, or "
                                        "directly follow an MS-DOS executable image); the launcher would extract nothing\n";
        return false;
    }
    walk = WalkArchive(in.HostPath, in.CorePath);
    if (walk.FirstResult == 0) return true;
    err << "sfx: " << in.Display << ": " << DescribeFirstResult(walk) << "\n";
    return false;
}

// The overall progress of an extraction: the engine reports the percentage
// of the current entry's compressed data; the entries before it count with
// their whole compressed size.
struct ExtractProgress {
    ProgressBar Bar;
    uint64_t Total = 0;     // compressed bytes of all files to extract
    uint64_t Done = 0;      // compressed bytes of the files finished
    uint64_t Current = 0;   // compressed size of the file under way
    std::string Name;

    void Draw(uint16_t entryPercent) {
        Bar.Show(Done + Current * std::min<uint16_t>(entryPercent, 100) / 100, Total, Name);
    }

    static void OnProgress(void* context, uint16_t percent) { static_cast<ExtractProgress*>(context)->Draw(percent); }
};

}  // namespace

int RunList(const std::string& archive, std::ostream& out, std::ostream& err) {
    std::unique_ptr<ArchiveInput> in = OpenArchive(archive);
    const std::string& shown = in->Display;
    ArchiveWalk walk;
    if (!WalkOrReport(*in, walk, err)) return ExitProblems;
    out << Padded("Method", 14) << " Flg " << Right("Packed", 10) << " " << Right("Size", 10) << "  "
        << Padded("CRC-32", 8) << "  " << Padded("Modified", 19) << "  Name\n";
    uint64_t packed = 0, size = 0;
    for (const ArchiveEntry& e : walk.Entries) {
        std::string flags;
        flags += (e.Flags & 1) != 0 ? 'E' : '-';   // encrypted
        flags += (e.Flags & 8) != 0 ? 'D' : '-';   // data descriptor
        flags += (e.Flags & 0x800) != 0 ? 'U' : '-';  // UTF-8 name
        out << Padded(MethodLabel(e.Method), 14) << " " << flags << " " << Right(e.CompressedSize, 10) << " "
            << Right(e.UncompressedSize, 10) << "  " << Hex8(e.Crc) << "  " << FormatDosDateTime(e.DosDateTime) << "  "
            << Quote(e.Name) << "\n";
        packed += e.CompressedSize;
        size += e.UncompressedSize;
    }
    out << walk.Entries.size() << (walk.Entries.size() == 1 ? " entry, " : " entries, ") << packed
        << " bytes packed, " << size << " bytes unpacked\n";
    std::string stop = DescribeEarlyStop(walk);
    if (stop.empty()) return ExitOk;
    err << "sfx: " << shown << ": " << stop << "\n";
    return ExitProblems;
}

int RunTest(const std::string& archive, std::ostream& out, std::ostream& err) {
    std::unique_ptr<ArchiveInput> in = OpenArchive(archive);
    const std::string& core = in->CorePath;
    const std::string& shown = in->Display;
    ArchiveWalk walk;
    if (!WalkOrReport(*in, walk, err)) return ExitProblems;
    size_t failed = 0;
    LocalHeaderFile headers(core);
    for (const ArchiveEntry& e : walk.Entries) {
        EntryTrial trial = TryEntry(core, e.HeaderOffset);
        std::vector<std::string> notes = ExplainEntry(in->HostPath, e, ReadLocalHeader(headers, e.HeaderOffset), &trial);
        if (trial.Result != Ok || !notes.empty()) failed++;
        out << Right(std::to_string(trial.Result), 2) << " " << Padded(ResultName(trial.Result), 18) << " "
            << Quote(e.Name);
        for (const std::string& note : notes) out << " (" << note << ")";
        out << "\n";
    }
    out << shown << ": " << walk.Entries.size() << (walk.Entries.size() == 1 ? " entry" : " entries")
        << " tested, " << failed << " failed\n";
    std::string stop = DescribeEarlyStop(walk);
    if (!stop.empty()) err << "sfx: " << shown << ": " << stop << "\n";
    return failed == 0 && stop.empty() ? ExitOk : ExitProblems;
}

int RunExtract(const std::string& archive, const std::string& destination, bool showProgress, std::ostream& out,
               std::ostream& err) {
    std::unique_ptr<ArchiveInput> in = OpenArchive(archive);
    const std::string& core = in->CorePath;
    const std::string& shown = in->Display;
    std::string dest = AbsoluteCorePath(destination);
    if (dest.empty() || dest.back() != '\\') dest += '\\';
    if (dest.size() > static_cast<size_t>(MaxPathLength)) throw ToolError(destination + ": path too long for the launcher's engine");

    // As the launcher: the destination first, then the archive.
    ForceDirectory(dest.c_str());
    if (!IsExistingDirectory(dest.substr(0, dest.size() - 1).c_str()))
        throw ToolError(destination + ": cannot create the folder");
    ArchiveWalk walk;
    if (!WalkOrReport(*in, walk, err)) return ExitProblems;

    ExtractProgress bar;
    bar.Bar.Err = showProgress ? &err : nullptr;
    bar.Bar.Columns = TerminalColumns();
    for (const ArchiveEntry& e : walk.Entries)
        if (!e.IsDirectory() && !IsUnsafeEntryName(e.Name.c_str())) bar.Total += e.CompressedSize;
    uint16_t window = showProgress ? OpenProgressWindow(&ExtractProgress::OnProgress, &bar) : 0;

    size_t files = 0, folders = 0;
    std::vector<std::string> failures;
    size_t index = 0;
    for (; index < walk.Entries.size() && !InterruptRequested(); index++) {
        const ArchiveEntry& e = walk.Entries[index];
        if (e.Name.empty()) {
            if (!e.StoredName.empty())
                failures.push_back(Quote(e.StoredName) +
                                   ": skipped: the stored name begins with a NUL byte, so the launcher never writes it");
            continue;
        }
        if (IsUnsafeEntryName(e.Name.c_str())) {
            failures.push_back(Quote(e.Name) + ": skipped: the name is absolute, holds \":\" or leaves the folder");
            continue;
        }
        std::string path = dest + e.Name;
        if (e.IsDirectory()) {
            ForceDirectory(path.c_str());
            folders++;
            continue;
        }
        bar.Name = e.Name;
        bar.Current = e.CompressedSize;
        bar.Draw(0);
        ExtractResult result = ExtractEntry(core.c_str(), path.c_str(), 0, e.HeaderOffset, window, 0);
        bar.Done += e.CompressedSize;
        if (result == Ok) {
            files++;
            continue;
        }
        std::string hint = (result == OutputFailed && path.size() > static_cast<size_t>(MaxPathLength)) ? ", the path is too long" : "";
        failures.push_back(Quote(e.Name) + ": failed: " + ResultName(result) + " (" + std::to_string(result) + ")" +
                           hint);
    }
    bar.Bar.Clear();
    CloseProgressWindow(window);

    for (const std::string& f : failures) out << shown << ": " << f << "\n";
    out << shown << ": extracted " << files << (files == 1 ? " file" : " files") << " and " << folders
        << (folders == 1 ? " folder" : " folders") << " into " << destination;
    if (!failures.empty()) out << "; " << failures.size() << " not extracted";
    out << "\n";
    bool complete = index == walk.Entries.size();
    if (!complete) err << "sfx: " << shown << ": interrupted; " << walk.Entries.size() - index << " entries not extracted\n";
    std::string stop = DescribeEarlyStop(walk);
    if (!stop.empty()) err << "sfx: " << shown << ": " << stop << "\n";
    return failures.empty() && complete && stop.empty() ? ExitOk : ExitProblems;
}

int RunCat(const std::string& archive, const std::string& name, std::ostream& out, std::ostream& err) {
    std::unique_ptr<ArchiveInput> in = OpenArchive(archive);
    const std::string& core = in->CorePath;
    const std::string& shown = in->Display;
    ArchiveWalk walk;
    if (!WalkOrReport(*in, walk, err)) return ExitProblems;
    std::string wanted = name;
    std::replace(wanted.begin(), wanted.end(), '/', '\\');
    // With duplicates, the last one is what the launcher leaves behind.
    const ArchiveEntry* found = nullptr;
    for (const ArchiveEntry& e : walk.Entries)
        if (e.Name == wanted) found = &e;
    if (found == nullptr) throw ToolError(shown + ": no entry named " + Quote(wanted));
    if (found->IsDirectory()) throw ToolError(shown + ": " + Quote(wanted) + " is a folder");
    if (found->UncompressedSize > MaxCatSize)
        throw ToolError(shown + ": " + Quote(wanted) + " is too large to hold in memory (" +
                        std::to_string(found->UncompressedSize) + " bytes); use sfx extract");
    std::vector<uint8_t> data;
    ExtractResult result = ExtractToMemory(core, found->HeaderOffset, found->UncompressedSize, data);
    if (result != Ok) {
        std::string hint = result == OutputFailed ? ", it is larger than the directory says" : "";
        err << "sfx: " << shown << ": " << Quote(wanted) << ": " << ResultName(result) << " (" << result << ")" << hint << "\n";
        return ExitProblems;
    }
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    out.flush();
    return ExitOk;
}

int RunUnpack(const std::string& launcher, const std::string& output, std::ostream& out, std::ostream&) {
    RequireRegularFile(launcher);
    std::error_code ec;
    if (std::filesystem::exists(output, ec) && std::filesystem::equivalent(launcher, output, ec))
        throw ToolError(output + ": is the launcher itself; give another name for the archive");
    std::optional<std::vector<uint8_t>> archive = LauncherArchive(launcher);
    if (!archive) throw ToolError(launcher + ": not a launcher: no resource ZIP/1 in it");
    WriteHostFile(output, *archive);
    out << output << ": written, " << archive->size() << " bytes, the archive of " << launcher << "\n";
    return ExitOk;
}

}  // namespace sfx
