// `sfx pack`: a launcher with the author's archive in it. The stub is the
// launcher built without payload (or any launcher: an archive it already
// carries is replaced); the archive becomes its resource "ZIP", id 1.
#include <filesystem>

#include "sfx/archive_scan.h"
#include "sfx/pe_resources.h"
#include "sfx/sfx.h"
#include "sfx/zip_folder.h"

namespace sfx {

namespace {

constexpr uint64_t MaxStubSize = 64ull << 20;
constexpr uint64_t MaxPayloadSize = 0x7FFFFFFF;

// A file that exists for the length of one command.
struct ScratchFile {
    std::string Path;
    ~ScratchFile() {
        std::error_code ignored;
        if (!Path.empty()) std::filesystem::remove(Path, ignored);
    }
};

// "32-bit x86 launcher: runs on every Windows"
std::string DescribeLauncher(uint16_t machine) {
    if (machine == MachineX86) return "32-bit x86 launcher: runs on every Windows";
    if (machine == MachineX64) return "x86-64 launcher: 64-bit Windows only";
    return MachineName(machine) + " launcher: Windows on that processor only";
}

}  // namespace

int RunPack(const PackOptions& o, std::ostream& out, std::ostream& err) {
    Bytes stub = ReadHostFile(o.Stub, MaxStubSize);
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

    // The archive: as given, or zipped from the folder into a scratch file,
    // which `check` needs as a file like any archive.
    std::string archivePath = o.Input;
    std::string display = o.Input;
    Bytes payload;
    ScratchFile scratch;
    std::error_code ec;
    const CheckOptions& checkOptions = options.Check;
    if (std::filesystem::is_directory(o.Input, ec)) {
        FolderZip zip = ZipFolder(o.Input);
        for (const std::string& s : zip.Skipped) err << "sfx: " << o.Input << ": skipped " << s << "\n";
        out << o.Input << ": zipped " << zip.Files << (zip.Files == 1 ? " file" : " files") << " and " << zip.Folders
            << (zip.Folders == 1 ? " folder" : " folders") << " (" << zip.Archive.size() << " bytes)\n";
        scratch.Path = o.Output + ".zip";
        WriteHostFile(scratch.Path, zip.Archive);
        archivePath = scratch.Path;
        payload = std::move(zip.Archive);
    } else {
        payload = ReadHostFile(o.Input, MaxPayloadSize);
    }

    CheckReport report = CheckArchive(archivePath, checkOptions);
    PrintCheckReport(display, report, out);
    if (!report.Problems.empty() && !o.Force) {
        err << "sfx: " << o.Output << ": not written: the launcher would not install everything from " << display
            << " (--force writes it anyway)\n";
        return ExitProblems;
    }

    EmbedReport embed;
    Bytes image;
    try {
        image = EmbedZipResource(stub, payload, &embed);
        VerifyZipResource(image, payload);
    } catch (const PeError& e) {
        throw ToolError(o.Stub + ": " + e.what());
    }
    WriteHostFile(o.Output, image);
    if (embed.RemovedSignature)
        err << "sfx: " << o.Output << ": the stub's digital signature no longer matches and was removed; sign the launcher again\n";
    out << o.Output << ": written, " << image.size() << " bytes, with " << display << " as resource ZIP/1 ("
        << (embed.ReplacedInPlace ? "resource section rewritten" : "new resource section") << ")\n";
    return ExitOk;
}

}  // namespace sfx
