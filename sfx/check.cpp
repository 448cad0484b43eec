// `sfx check`: everything that would make the launcher skip or fail an entry.
//
// The launcher reports nothing: an entry it cannot extract is simply missing
// on the user's machine. So this walks the archive exactly as the launcher
// does (recognition, then the walker), applies the launcher's own rules to
// every name and header (the refused names, the methods ExtractEntry
// decodes, encryption, sizes deferred to a data descriptor), adds what
// Windows itself refuses or merges (characters, device names, path lengths,
// names equal but for case), and finally runs every file entry through the
// engine in test-only mode, which checks its CRC.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "launcher/launcher.h"
#include "sfx/archive_scan.h"
#include "sfx/host.h"
#include "sfx/pe_resources.h"
#include "sfx/sfx.h"

namespace sfx {

namespace {

constexpr uint64_t TwoGiB = 1ull << 31;
// CreateDirectoryA takes at most MAX_PATH - 12 characters with the NUL.
constexpr size_t MaxDirectoryPath = 247;
// Enough of Setup.exe for its headers.
constexpr uint32_t SetupHeadBytes = 64 * 1024;

std::vector<std::string> SplitComponents(const std::string& name) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : name) {
        if (c == '\\') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

// The name as Windows compares it: ASCII letters folded to upper case, and
// the trailing dots and spaces it drops from every component removed.
// (Letters above 127 fold by the system's code page, which is not known
// here; they are compared as they are.)
std::string WindowsKey(const std::string& name) {
    std::string key;
    std::vector<std::string> parts = SplitComponents(name);
    if (!parts.empty() && parts.back().empty()) parts.pop_back();  // a directory's trailing "\"
    for (size_t i = 0; i < parts.size(); i++) {
        std::string p = parts[i];
        while (!p.empty() && (p.back() == '.' || p.back() == ' ')) p.pop_back();
        for (char& c : p)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (i > 0) key += '\\';
        key += p;
    }
    return key;
}

bool IsDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    static const std::set<std::string> devices = {"CON", "PRN", "AUX", "NUL"};
    if (devices.count(base) != 0) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

// What Windows refuses in a name the launcher passes on; "" when nothing.
std::string WindowsNameProblem(const std::string& name) {
    for (unsigned char c : name) {
        if (c < 0x20) return "name holds a control character, which Windows does not allow in file names";
        if (std::strchr("<>\"|?*", c) != nullptr && c != 0)
            return std::string("name holds '") + static_cast<char>(c) + "', which Windows does not allow in file names";
    }
    for (const std::string& part : SplitComponents(name))
        if (IsDeviceName(part)) return "\"" + part + "\" names a Windows device, not a file; it cannot be created";
    return "";
}

struct Checker {
    const std::string& HostPath;
    const std::string& CorePath;
    const CheckOptions& Options;
    CheckReport& Report;
    LocalHeaderFile Headers{CorePath};  // the local headers, read through one open handle
    size_t NonAsciiNames = 0;

    void ArchiveProblem(const std::string& message) { Report.Problems.push_back({false, "", message}); }
    void EntryWarning(const ArchiveEntry& e, const std::string& message) {
        Report.Warnings.push_back({true, e.Name, message});
    }
    void EntryProblem(const ArchiveEntry& e, const std::string& message) {
        Report.Problems.push_back({true, e.Name, message});
    }

    void CheckPathLength(const ArchiveEntry& e) {
        size_t temp = Options.TempDirLength;
        size_t full = temp + e.Name.size();
        // The folder that has to exist: the entry itself for a directory
        // entry (without its "\"), else everything before the last "\".
        size_t directory = full - 1;
        if (!e.IsDirectory()) {
            std::string::size_type lastSep = e.Name.rfind('\\');
            directory = lastSep == std::string::npos ? 0 : temp + lastSep;
        }
        std::string context = " with a temporary folder of " + std::to_string(temp) + " characters";
        if (!e.IsDirectory() && full > static_cast<size_t>(MaxPathLength))
            EntryProblem(e, "path too long: " + std::to_string(full) + " characters" + context + ", Windows takes " +
                                std::to_string(static_cast<size_t>(MaxPathLength)));
        else if (directory > MaxDirectoryPath)
            EntryProblem(e, "folder path too long: " + std::to_string(directory) + " characters" + context +
                                ", Windows creates folders of at most " + std::to_string(MaxDirectoryPath));
    }

    void CheckName(const ArchiveEntry& e) {
        if (e.StoredName.find('\0') != std::string::npos)
            EntryProblem(e, "the stored name holds a NUL byte; the launcher cuts it there");
        else if (e.StoredName.size() > static_cast<size_t>(MaxPathLength))
            EntryProblem(e, "the stored name has " + std::to_string(e.StoredName.size()) +
                                " bytes; the launcher cuts it to " + std::to_string(static_cast<size_t>(MaxPathLength)));
        std::string windows = WindowsNameProblem(e.Name);
        if (!windows.empty()) EntryProblem(e, windows);
        bool high = false;
        for (unsigned char c : e.Name) high = high || c > 127;
        if (high) {
            // The launcher creates the name from its bytes in the user's
            // ANSI code page; the UTF-8 flag (bit 11) is not honoured.
            std::string text;
            bool valid = DecodeName(e.Name, Options.CodePage, text);
            std::string page = "code page " + std::to_string(Options.CodePage);
            if ((e.Flags & 0x800) != 0)
                EntryProblem(e, "name has bytes above 127 and is flagged UTF-8 (flag 11), but the launcher creates it in "
                                "the ANSI code page: " +
                                    (valid ? "with " + page + " it becomes \"" + text + "\""
                                           : "in " + page + " it is no valid name"));
            else if (!valid)
                EntryProblem(e, "name has bytes above 127 that are no valid text in " + page +
                                    ", in which the launcher creates it (--codepage names another)");
            else
                NonAsciiNames++;
        }
        CheckPathLength(e);
    }

    // The entry's data: what ExtractEntry will make of its local header, then
    // the test extraction. Returns true when the launcher would extract it.
    bool CheckData(const ArchiveEntry& e) {
        std::optional<LocalHeader> local = ReadLocalHeader(Headers, e.HeaderOffset);
        uint16_t method = local ? local->Method : e.Method;
        uint16_t flags = local ? local->Flags : e.Flags;
        if (local && (local->Method != e.Method || (local->Flags & 1) != (e.Flags & 1)))
            EntryProblem(e, "the local header (" + MethodLabel(local->Method) +
                                ((local->Flags & 1) != 0 ? ", encrypted" : "") + ") disagrees with the directory (" +
                                MethodLabel(e.Method) + ((e.Flags & 1) != 0 ? ", encrypted" : "") +
                                "); the launcher follows the local header");
        bool fails = false;
        if (!MethodSupported(method)) {
            EntryProblem(e, MethodLabel(method) + " is not a method the launcher decodes");
            fails = true;
        }
        if ((flags & 1) != 0) {
            EntryProblem(e, "encrypted; the launcher cannot decrypt it");
            fails = true;
        }
        bool deferred = local && (flags & 8) != 0 && local->CompressedSize == 0;
        if (!fails && deferred && method >= 1 && method <= 6) {
            EntryProblem(e, MethodName(method) +
                                " entry whose sizes follow its data (data descriptor); the launcher's decoder needs them "
                                "in the local header");
            fails = true;
        }
        if (!fails && deferred && method == 0 && e.CompressedSize != 0) {
            EntryProblem(e, "stored entry whose sizes are only in its data descriptor; the launcher copies nothing of it");
            fails = true;
        }
        if (!fails && IsZip64Entry(e, local)) {
            for (const std::string& note : ExplainEntry(HostPath, e, local, nullptr)) EntryProblem(e, note);
            fails = true;
        }
        if (fails) return false;
        if (local) CompareLocalHeader(e, *local, method);
        EntryTrial trial = TryEntry(CorePath, e.HeaderOffset);
        std::vector<std::string> notes = ExplainEntry(HostPath, e, local, &trial);
        if (trial.Result != Ok)
            EntryProblem(e, "fails the test extraction: " + ResultName(trial.Result) + " (" +
                                std::to_string(trial.Result) + ")" + (notes.empty() ? "" : ": " + notes.front()));
        else
            for (const std::string& note : notes) EntryProblem(e, note);
        return trial.Result == Ok && notes.empty();
    }

    // The fields ExtractEntry takes from the local header and not from the
    // directory: the CRC-32 (unless a data descriptor supplies it) and both
    // sizes (unless they are deferred to the descriptor).
    void CompareLocalHeader(const ArchiveEntry& e, const LocalHeader& local, uint16_t method) {
        auto hex = [](uint32_t v) {
            char text[12];
            std::snprintf(text, sizeof text, "%08x", v);
            return std::string(text);
        };
        if ((local.Flags & 8) == 0 && local.Crc != e.Crc)
            EntryProblem(e, "the local header's CRC-32 (" + hex(local.Crc) + ") differs from the directory's (" +
                                hex(e.Crc) + "); the launcher checks the data against the local header's");
        bool deferred = (local.Flags & 8) != 0 && method != 0 && local.CompressedSize == 0;
        if (deferred) return;
        if (local.CompressedSize != e.CompressedSize)
            EntryProblem(e, "the local header's compressed size (" + std::to_string(local.CompressedSize) +
                                ") differs from the directory's (" + std::to_string(e.CompressedSize) +
                                "); the launcher reads as much data as the local header says");
        if (local.UncompressedSize != e.UncompressedSize)
            EntryProblem(e, "the local header's uncompressed size (" + std::to_string(local.UncompressedSize) +
                                ") differs from the directory's (" + std::to_string(e.UncompressedSize) +
                                "); the launcher's decoders follow the local header's");
    }

    // Names that Windows takes for the same file, and files that stand where
    // other entries need a folder.
    void CheckCollisions(const std::vector<const ArchiveEntry*>& extracted) {
        std::set<std::string> folders;
        for (const ArchiveEntry* e : extracted) {
            std::string key = WindowsKey(e->Name);
            if (e->IsDirectory()) folders.insert(key);
            for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
                folders.insert(key.substr(0, at));
        }
        std::map<std::string, const ArchiveEntry*> files;
        for (const ArchiveEntry* e : extracted) {
            if (e->IsDirectory()) continue;
            std::string key = WindowsKey(e->Name);
            if (folders.count(key) != 0)
                EntryProblem(*e, "is a file, but other entries need a folder of this name; one of them cannot be created");
            auto [it, inserted] = files.emplace(key, e);
            if (inserted) continue;
            if (it->second->Name == e->Name)
                EntryProblem(*e, "appears more than once; the later entry overwrites the earlier");
            else
                EntryProblem(*e, "is the same file on Windows as " + Quote(it->second->Name) +
                                     " (the names differ only in case or trailing dots and spaces); the later entry "
                                     "overwrites the earlier");
        }
    }

    void CheckSetup(const std::vector<const ArchiveEntry*>& extracted, const std::set<const ArchiveEntry*>& failed) {
        const ArchiveEntry* top = nullptr;
        const ArchiveEntry* nested = nullptr;
        for (const ArchiveEntry* e : extracted) {
            if (e->IsDirectory()) continue;
            std::string key = WindowsKey(e->Name);
            if (key == "SETUP.EXE") top = e;
            if (key.size() > 10 && key.compare(key.size() - 10, 10, "\\SETUP.EXE") == 0) nested = e;
        }
        if (top == nullptr)
            ArchiveProblem("no \"Setup.exe\" at the top level; the launcher would start nothing" +
                           (nested != nullptr ? " (" + Quote(nested->Name) + " is in a folder)" : std::string()));
        else if (failed.count(top) != 0)
            ArchiveProblem(Quote(top->Name) + " would not be extracted, so the launcher would start nothing");
        else
            CheckProgram(*top);
    }

    // Setup.exe must be a program Windows starts: MZ and PE headers, the GUI
    // or the console subsystem; one for another processor than the
    // launcher's starts only where that processor's programs run.
    void CheckProgram(const ArchiveEntry& setup) {
        Bytes head;
        ExtractToMemory(CorePath, setup.HeaderOffset, SetupHeadBytes, head);
        ProgramKind kind;
        try {
            kind = ReadProgramKind(head);
        } catch (const PeError& e) {
            EntryProblem(setup, std::string("is ") + e.what() + "; Windows would not start it");
            return;
        }
        if (kind.IsDll) {
            EntryProblem(setup, "is a DLL, not a program; Windows would not start it");
            return;
        }
        if (kind.Subsystem != SubsystemGui && kind.Subsystem != SubsystemConsole) {
            EntryProblem(setup, "has subsystem " + std::to_string(kind.Subsystem) +
                                    ", neither a Windows GUI (2) nor a console (3) program; Windows would not start it");
            return;
        }
        if (kind.Machine == MachineX86 || kind.Machine == Options.LauncherMachine) return;
        std::string built = "is built for " + MachineName(kind.Machine);
        std::string where = kind.Machine == MachineX64 ? "64-bit Windows" : "Windows on that processor";
        if (Options.LauncherMachine == MachineX86)
            EntryWarning(setup, built + ": the 32-bit launcher runs on every Windows, but Setup.exe starts only on " + where);
        else
            EntryWarning(setup, built + " and starts only on " + where);
    }
};

}  // namespace

CheckReport CheckArchive(const std::string& hostPath, const CheckOptions& options) {
    return CheckArchive(*OpenArchive(hostPath), options);
}

CheckReport CheckArchive(const ArchiveInput& in, const CheckOptions& options) {
    CheckReport report;
    uint64_t size = in.Size;
    const std::string& hostPath = in.HostPath;
    const std::string& core = in.CorePath;
    Checker checker{hostPath, core, options, report};
    if (size >= TwoGiB)
        checker.ArchiveProblem("the archive is 2 GiB or larger; the launcher handles file positions as signed 32-bit "
                               "numbers");
    if (!RecognisedAsArchive(core)) {
        checker.ArchiveProblem("not recognised as a ZIP archive (it must begin with a local header, or directly follow "
                               "an MS-DOS executable image); the launcher would extract nothing");
        return report;
    }
    ArchiveWalk walk = WalkArchive(hostPath, core);
    if (walk.FirstResult != 0) {
        checker.ArchiveProblem(DescribeFirstResult(walk) + "; the launcher would extract nothing");
        return report;
    }
    report.EntryCount = walk.Entries.size();
    std::string stop = DescribeEarlyStop(walk);
    if (!stop.empty()) checker.ArchiveProblem(stop);

    std::vector<const ArchiveEntry*> extracted;
    std::set<const ArchiveEntry*> failed;
    for (size_t i = 0; i < walk.Entries.size(); i++) {
        const ArchiveEntry& e = walk.Entries[i];
        // An empty name is the destination folder itself: nothing happens. A
        // stored name that begins with NUL is cut to that empty name, so the
        // entry is never written.
        if (e.Name.empty()) {
            if (!e.StoredName.empty())
                checker.Report.Problems.push_back(
                    {true, e.StoredName,
                     "the stored name begins with a NUL byte; the launcher cuts it to an empty name and never writes "
                     "this entry"});
            continue;
        }
        if (IsUnsafeEntryName(e.Name.c_str())) {
            checker.EntryProblem(e, e.Name.find(':') != std::string::npos
                                        ? "name holds \":\" (a drive or a stream); the launcher skips it"
                                        : "name is absolute or leaves the destination folder; the launcher skips it");
            continue;
        }
        size_t before = report.Problems.size();
        checker.CheckName(e);
        extracted.push_back(&e);
        // Folders are made by the launcher itself; only files reach the engine.
        if (!e.IsDirectory()) checker.CheckData(e);
        if (report.Problems.size() != before) failed.insert(&e);
    }
    checker.CheckCollisions(extracted);
    checker.CheckSetup(extracted, failed);
    if (checker.NonAsciiNames != 0)
        report.Warnings.push_back({false, "", std::to_string(checker.NonAsciiNames) +
                                                  (checker.NonAsciiNames == 1 ? " name holds" : " names hold") +
                                                  " characters beyond ASCII, written for code page " +
                                                  std::to_string(options.CodePage) +
                                                  ": users whose Windows has another ANSI code page get other names"});
    return report;
}

void PrintCheckReport(const std::string& display, const CheckReport& report, std::ostream& out) {
    for (const Problem& p : report.Problems)
        out << display << ": " << (p.AboutEntry ? Quote(p.Entry) + ": " : std::string()) << p.Message << "\n";
    for (const Problem& p : report.Warnings)
        out << display << ": " << (p.AboutEntry ? Quote(p.Entry) + ": " : std::string()) << "warning: " << p.Message
            << "\n";
    std::string entries = std::to_string(report.EntryCount) + (report.EntryCount == 1 ? " entry" : " entries");
    if (report.Problems.empty())
        out << display << ": " << entries << ", no problems: the launcher extracts every entry and starts Setup.exe\n";
    else
        out << display << ": " << entries << ", " << report.Problems.size()
            << (report.Problems.size() == 1 ? " problem" : " problems")
            << ": the launcher would not install everything\n";
}

int RunCheck(const std::string& archive, const CheckOptions& options, std::ostream& out, std::ostream&) {
    std::unique_ptr<ArchiveInput> in = OpenArchive(archive);
    CheckReport report = CheckArchive(*in, options);
    PrintCheckReport(in->Display, report, out);
    return report.Problems.empty() ? ExitOk : ExitProblems;
}

}  // namespace sfx
