// `sfx pack`: a launcher with the author's archive in it. The stub is the
// launcher built without payload (or any launcher: an archive it already
// carries is replaced); the archive becomes its resource "ZIP", id 1.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sfx/archive_scan.h"
#include "sfx/host.h"
#include "sfx/pe_identity.h"
#include "sfx/pe_resources.h"
#include "sfx/progress_bar.h"
#include "sfx/sfx.h"
#include "sfx/zip_folder.h"

namespace sfx {

namespace {

constexpr uint64_t MaxStubSize = 64ull << 20;
constexpr uint64_t MaxPayloadSize = 0x7FFFFFFF;
constexpr uint64_t MaxIconFileSize = 16ull << 20;
constexpr uint64_t MaxVersionFileSize = 1ull << 20;

// A scratch file of this command: removed on every way out but the final
// rename.
struct Scratch {
    ScratchFile File;
    ~Scratch() { AbandonScratch(File); }
};

constexpr size_t PieceSize = 256 * 1024;

// SOURCE_DATE_EPOCH, the reproducible-builds convention: a decimal count of
// seconds since 1970-01-01 00:00:00 UTC. A value that is not one is an
// error, not something to pass over: the build would not be reproducible.
bool SourceDateEpoch(int64_t& seconds) {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == 0) return false;
    std::string value = text;
    if (value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
        throw ToolError("SOURCE_DATE_EPOCH must be a number of seconds since 1970-01-01 UTC, not \"" + value + "\"");
    seconds = std::stoll(value);
    return true;
}

struct ZipBar {
    ProgressBar Bar;
    static void OnProgress(void* context, const FolderItem& item, uint64_t done, uint64_t total) {
        static_cast<ZipBar*>(context)->Bar.Show(done, total, DisplayPath(item.HostPath));
    }
};

namespace fs = std::filesystem;

// The output may not replace what pack reads, nor land in the folder it
// zips (where the next pack would take it in).
void RefuseOutputOverInput(const PackOptions& o, bool inputIsFolder) {
    std::error_code ec;
    fs::path output = HostPath(o.Output);
    if (fs::is_directory(output, ec)) throw ToolError(o.Output + ": is a folder; -o names the launcher to write");
    if (fs::exists(output, ec)) {
        if (fs::equivalent(output, HostPath(o.Stub), ec))
            throw ToolError(o.Output + ": is the stub itself; pack writes a new launcher, name another file with -o");
        if (!inputIsFolder && fs::equivalent(output, HostPath(o.Input), ec))
            throw ToolError(o.Output + ": is the archive being packed; name another file with -o");
    }
    if (!inputIsFolder) return;
    fs::path folder = fs::weakly_canonical(fs::absolute(HostPath(o.Input), ec), ec);
    fs::path target = fs::weakly_canonical(fs::absolute(output, ec), ec);
    auto f = folder.begin(), t = target.begin();
    for (; f != folder.end() && t != target.end() && *f == *t; ++f, ++t) {
    }
    bool inside = (f == folder.end() || (std::next(f) == folder.end() && f->empty())) && t != target.end();
    if (inside)
        throw ToolError(o.Output + ": lies inside " + o.Input +
                        ", the folder being packed; write the launcher outside it");
}

// "32-bit x86 launcher: runs on every Windows"
std::string DescribeLauncher(uint16_t machine) {
    if (machine == MachineX86) return "32-bit x86 launcher: runs on every Windows";
    if (machine == MachineX64) return "x86-64 launcher: 64-bit Windows only";
    return MachineName(machine) + " launcher: Windows on that processor only";
}

std::string Version(uint64_t v) {
    return std::to_string(v >> 48) + "." + std::to_string(v >> 32 & 0xFFFF) + "." + std::to_string(v >> 16 & 0xFFFF) +
           "." + std::to_string(v & 0xFFFF);
}

// The icon and version resources the options ask for, read and checked
// before anything is zipped; failures name the file or the option.
ResourceEdit ReadIdentity(const PackOptions& o, std::ostream& out) {
    std::vector<IconImage> icon;
    if (!o.Icon.empty()) {
        Bytes ico = ReadPathBytes(HostPath(o.Icon), MaxIconFileSize, o.Icon);
        try {
            icon = ParseIconFile(ico);
        } catch (const IdentityError& e) {
            throw ToolError(o.Icon + ": " + e.what() + "; the launcher was not written");
        }
        out << o.Icon << ": icon of " << icon.size() << (icon.size() == 1 ? " image:" : " images:");
        for (const IconImage& image : icon)
            out << " " << (image.Width == 0 ? 256 : image.Width) << "x" << (image.Height == 0 ? 256 : image.Height)
                << "/" << image.BitCount;
        out << "\n";
    }
    std::vector<std::pair<std::string, std::string>> settings;
    if (!o.VersionFile.empty()) {
        try {
            settings = ParseVersionFile(ReadPathBytes(HostPath(o.VersionFile), MaxVersionFileSize, o.VersionFile));
        } catch (const IdentityError& e) {
            throw ToolError(o.VersionFile + ": " + e.what() + "; the launcher was not written");
        }
    }
    settings.insert(settings.end(), o.VersionInfo.begin(), o.VersionInfo.end());
    Bytes version;
    if (!settings.empty()) {
        VersionInfo info = ResolveVersionInfo(settings);
        try {
            version = BuildVersionResource(info);
        } catch (const IdentityError& e) {
            throw ToolError(std::string("version information: ") + e.what());
        }
        out << "version information: file " << Version(info.File) << ", product " << Version(info.Product) << ";";
        for (const auto& value : info.Values) out << " " << value.first;
        out << "\n";
    }
    return IdentityEdit(icon, version);
}

// The stub comes first. A folder in its place, or a file that is no
// Windows program while the second argument is one, means the two were
// given the wrong way round: "" when they were not.
std::string SwappedArguments(const PackOptions& o) {
    std::error_code ec;
    bool stubIsFolder = fs::is_directory(HostPath(o.Stub), ec);
    bool inputIsFile = fs::is_regular_file(HostPath(o.Input), ec);
    auto startsWithMz = [](const std::string& path) {
        std::ifstream f(HostPath(path), std::ios::binary);
        char magic[2] = {};
        return f.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
    };
    std::string what;
    if (stubIsFolder)
        what = o.Stub + " is a folder";
    else if (inputIsFile && fs::is_regular_file(HostPath(o.Stub), ec) && !startsWithMz(o.Stub) && startsWithMz(o.Input))
        what = o.Stub + " is no Windows program";
    else
        return "";
    std::string order = ": pack takes the stub (launcher-stub.exe) first, then the archive or folder:\n  ";
    if (!inputIsFile) return what + order + "sfx pack STUB " + o.Stub + " -o " + o.Output;
    return what + " and " + o.Input + " is a file; the two are the wrong way round" + order + "sfx pack " + o.Input +
           " " + o.Stub + " -o " + o.Output;
}

}  // namespace

int RunPack(const PackOptions& o, std::ostream& out, std::ostream& err) {
    RemoveScratchFilesOnInterrupt();
    std::string swapped = SwappedArguments(o);
    if (!swapped.empty()) {
        err << "sfx: " << swapped << "\n";
        return ExitUsage;
    }
    std::error_code ec;
    bool inputIsFolder = fs::is_directory(HostPath(o.Input), ec);
    Bytes stub = ReadPathBytes(HostPath(o.Stub), MaxStubSize, o.Stub);
    RefuseOutputOverInput(o, inputIsFolder);
    PackOptions options = o;
    // Only a launcher can carry an archive: any other program would never
    // look at it.
    bool launcher = false;
    try {
        PeImage image = ParsePe(stub);
        launcher = (image.Characteristics & 0x2000) == 0 && HasLauncherMarker(ReadResources(stub, image));
        if (launcher) {
            out << o.Stub << ": " << DescribeLauncher(image.Machine) << "\n";
            options.Check.LauncherMachine = image.Machine;
        }
    } catch (const PeError& e) {
        throw ToolError(o.Stub + ": " + e.what());
    }
    if (!launcher && !o.Force) {
        err << "sfx: " << o.Stub << ": not a launcher (it lacks the launcher's marker resource): a program that is "
            << "not the launcher would never unpack the archive; pack into launcher-stub.exe (--force packs anyway)\n";
        return ExitProblems;
    }
    if (!launcher) err << "sfx: " << o.Stub << ": not a launcher; packed into it anyway (--force)\n";
    ResourceEdit identity = ReadIdentity(o, out);

    ZipOptions zipOptions;
    zipOptions.Level = o.Level;
    zipOptions.CapTimes = SourceDateEpoch(zipOptions.TimeCap);

    // The archive: as given, or zipped from the folder into a scratch file,
    // which `check` needs as a file like any archive. Neither is ever held
    // in memory.
    std::string archivePath = o.Input;
    std::string display = o.Input;
    uint64_t archiveSize = 0;
    Scratch scratch;
    const CheckOptions& checkOptions = options.Check;
    if (inputIsFolder) {
        FolderListing listing = ListFolder(o.Input, o.Check.CodePage);
        for (const std::string& u : listing.Unwritable) err << "sfx: " << o.Input << ": " << u << "\n";
        if (!listing.Unwritable.empty()) {
            err << "sfx: " << o.Output << ": not written: " << listing.Unwritable.size()
                << (listing.Unwritable.size() == 1 ? " name" : " names") << " cannot be written in code page "
                << o.Check.CodePage << ", in which the launcher creates them (rename them, or name the users' code "
                << "page with --codepage)\n";
            return ExitProblems;
        }
        for (const std::string& s : listing.Skipped) err << "sfx: " << o.Input << ": skipped " << s << "\n";
        if (listing.Files == 0 && listing.Folders == 0) {
            err << "sfx: " << o.Input << ": " << (listing.Skipped.empty() ? "is empty" : "holds no file or folder to pack")
                << "; " << o.Output << " not written (the folder needs Setup.exe at least)\n";
            return ExitProblems;
        }
        ZipBar bar;
        bar.Bar.Err = o.ShowProgress ? &err : nullptr;
        bar.Bar.Columns = TerminalColumns();
        scratch.File = CreateScratch(o.Output, false);
        archiveSize = WriteFolderZip(listing, scratch.File, zipOptions, &ZipBar::OnProgress, &bar);
        bar.Bar.Clear();
        FinishScratch(scratch.File, archiveSize);
        archivePath = scratch.File.Path;
        out << o.Input << ": zipped " << listing.Files << (listing.Files == 1 ? " file" : " files") << " and "
            << listing.Folders << (listing.Folders == 1 ? " folder" : " folders") << " (" << archiveSize
            << " bytes)\n";
    } else {
        InputFile in = OpenInput(HostPath(o.Input), MaxPayloadSize, o.Input);
        archiveSize = in.Size;
        CloseInput(in);
    }

    CheckReport report;
    try {
        report = CheckArchive(archivePath, checkOptions);
    } catch (const ToolError& e) {
        // The scratch archive is the author's folder as far as they know.
        std::string message = e.what();
        if (message.rfind(archivePath, 0) == 0) message = display + message.substr(archivePath.size());
        throw ToolError(message);
    }
    PrintCheckReport(display, report, out);
    if (!report.Problems.empty() && !o.Force) {
        err << "sfx: " << o.Output << ": not written: the launcher would not install everything from " << display
            << " (--force writes it anyway)\n";
        return ExitProblems;
    }

    // The launcher: the stub's rewritten head, the archive copied in pieces,
    // the tail; the checksum, which covers all three, goes in last.
    EmbedReport embed;
    PlannedImage plan;
    try {
        plan = PlanZipResource(stub, archiveSize, &embed, identity);
    } catch (const PeError& e) {
        throw ToolError(o.Stub + ": " + e.what());
    }
    Scratch written;
    written.File = CreateScratch(o.Output, true);
    PeChecksum sum;
    uint64_t at = 0;
    auto put = [&](const uint8_t* data, size_t size) {
        WriteScratch(written.File, at, data, size);
        sum.Add(data, size);
        at += size;
    };
    put(plan.Head.data(), plan.Head.size());
    {
        InputFile in = OpenInput(HostPath(archivePath), MaxPayloadSize, display);
        in.Size = std::min(in.Size, archiveSize);  // what was checked; a shorter file fails the read
        std::vector<uint8_t> piece(PieceSize);
        try {
            for (uint64_t left = archiveSize; left != 0;) {
                size_t n = ReadInput(in, piece.data(), static_cast<size_t>(std::min<uint64_t>(left, piece.size())));
                if (n == 0) throw ToolError(display + ": cannot read it: it became shorter");
                put(piece.data(), n);
                left -= n;
            }
        } catch (...) {
            CloseInput(in);
            throw;
        }
        CloseInput(in);
    }
    put(plan.Tail.data(), plan.Tail.size());
    uint32_t checkSum = sum.Value();
    uint8_t field[4] = {static_cast<uint8_t>(checkSum), static_cast<uint8_t>(checkSum >> 8),
                        static_cast<uint8_t>(checkSum >> 16), static_cast<uint8_t>(checkSum >> 24)};
    WriteScratch(written.File, plan.CheckSumOffset, field, sizeof field);
    try {
        VerifyResourcesKept(stub, VerifyPlannedImage(plan, checkSum), identity);
    } catch (const PeError& e) {
        throw ToolError(o.Stub + ": " + e.what());
    }
    FinishScratch(written.File, at);
    CommitScratch(written.File.Path, o.Output);
    written.File.Path.clear();
    if (embed.RemovedSignature)
        err << "sfx: " << o.Output << ": the stub's digital signature no longer matches and was removed; sign the launcher again\n";
    out << o.Output << ": written, " << at << " bytes, with " << display << " as resource ZIP/1 ("
        << (embed.ReplacedInPlace ? "resource section rewritten" : "new resource section") << ")\n";
    return ExitOk;
}

}  // namespace sfx
