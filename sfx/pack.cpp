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

}  // namespace

int RunPack(const PackOptions& o, std::ostream& out, std::ostream& err) {
    Bytes stub = ReadHostFile(o.Stub, MaxStubSize);
    try {
        ParsePe(stub);
    } catch (const PeError& e) {
        throw ToolError(o.Stub + ": " + e.what());
    }

    // The archive: as given, or zipped from the folder into a scratch file,
    // which `check` needs as a file like any archive.
    std::string archivePath = o.Input;
    std::string display = o.Input;
    Bytes payload;
    ScratchFile scratch;
    std::error_code ec;
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

    CheckReport report = CheckArchive(archivePath, o.Check);
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
