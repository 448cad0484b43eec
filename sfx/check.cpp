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
#include <algorithm>
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

// The name of the launcher's own copy of the archive in the temporary
// folder, as WindowsKey gives it.
const char ArchiveCopyKey[] = "PC.DAT";

// Names that installers of other makes drop at the top of the temporary
// folder too (a widely used installer's setup.ini, data1.cab, data1.hdr, ...).
bool IsCommonInstallerName(const std::string& key) {
    static const std::set<std::string> names = {"SETUP.INI", "SETUP.INX", "SETUP.LST", "LAYOUT.BIN"};
    if (names.count(key) != 0) return true;
    // DATA1.CAB, DATA2.CAB, DATA1.HDR: "DATA", digits, ".CAB" or ".HDR".
    if (key.size() < 9 || key.compare(0, 4, "DATA") != 0) return false;
    std::string tail = key.substr(key.size() - 4);
    std::string digits = key.substr(4, key.size() - 8);
    return (tail == ".CAB" || tail == ".HDR") && digits.find_first_not_of("0123456789") == std::string::npos;
}

bool EndsWith(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Why a file of a name that others use too, beside Setup.exe at the top of
// the temporary folder that the user's programs share, is better put in
// the product's folder; "" for other names. `key` is the name as WindowsKey
// gives it.
std::string TopLevelNameWarning(const std::string& key) {
    if (EndsWith(key, ".DLL"))
        return "a DLL at the top level of the temporary folder can be loaded by any program started from there "
               "(Windows looks for a program's DLLs in the program's own folder first), and another installer may "
               "leave one of this name there: put it in the product's folder and load it from there by its full path";
    if (EndsWith(key, ".MSI"))
        return "an installer package at the top level of the temporary folder, which other installers share: a "
               "package of this name from another one replaces it, and Windows Installer records this path as the "
               "source for later repairs; put it in the product's folder";
    if (IsCommonInstallerName(key))
        return "other installers drop files of this name at the top level of the temporary folder too: run one "
               "after the other, they replace each other's, and Setup.exe may read another installer's; put it in "
               "the product's folder";
    return "";
}

// "a", "a" and "b", "a", "b", "c" and 4 more entries
std::string NameList(const std::vector<const ArchiveEntry*>& entries) {
    constexpr size_t Shown = 3;
    std::string text;
    size_t shown = entries.size() > Shown + 1 ? Shown : entries.size();
    for (size_t i = 0; i < shown; i++) {
        if (i > 0) text += i + 1 == shown && shown == entries.size() ? " and " : ", ";
        text += Quote(entries[i]->Name);
    }
    if (shown < entries.size()) text += " and " + std::to_string(entries.size() - shown) + " more entries";
    return text;
}

struct Checker {
    const std::string& HostPath;
    const std::string& CorePath;
    const CheckOptions& Options;
    CheckReport& Report;
    LocalHeaderFile Headers{CorePath};  // the local headers, read through one open handle
    size_t NonAsciiNames = 0;
    // Where the local header and data of every entry that passed its test
    // extraction lie in the archive, [Start, End), and what it decoded to.
    struct Span {
        uint64_t Start, End, Size;
        const ArchiveEntry* Entry;
    };
    std::vector<Span> Spans = {};

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
        if (trial.Result == Ok && local) {
            uint64_t start = static_cast<uint32_t>(e.HeaderOffset);
            uint64_t data = deferred ? e.CompressedSize : local->CompressedSize;
            Spans.push_back({start, start + ZipLocal::Size + local->NameLength + local->ExtraLength + data,
                             trial.DecodedSize, &e});
        }
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

    // The launcher extracts into the root of the user's temporary folder,
    // which all the user's programs share: files there meet those that other
    // installers leave, before or after, under the same names. And the
    // launcher's own archive copy, pc.dat, is in use there while it
    // extracts and is deleted afterwards.
    void CheckLayout(const std::vector<const ArchiveEntry*>& extracted) {
        std::set<std::string> seen;
        std::vector<const ArchiveEntry*> others;
        for (const ArchiveEntry* e : extracted) {
            std::string key = WindowsKey(e->Name);
            if (key.substr(0, key.find('\\')) == ArchiveCopyKey) {
                EntryProblem(*e, "the launcher keeps its copy of the archive as \"pc.dat\" in the temporary folder "
                                 "while it extracts, and deletes it afterwards: nothing of this name can be extracted "
                                 "there");
                continue;
            }
            if (e->IsDirectory() || key.find('\\') != std::string::npos || key == "SETUP.EXE") continue;
            if (!seen.insert(key).second) continue;
            std::string warning = TopLevelNameWarning(key);
            if (!warning.empty())
                EntryWarning(*e, warning);
            else
                others.push_back(e);
        }
        if (!others.empty())
            Report.Warnings.push_back({false, "", NameList(others) + (others.size() == 1 ? " lies" : " lie") +
                                                      " at the top level of the temporary folder, among other "
                                                      "installers' files: keep everything but Setup.exe in one "
                                                      "folder named after the product"});
    }

    // Entries whose local headers and data overlap: the archive holds the
    // data once, and the launcher writes it once for each of them. No
    // archiver writes that; it is how the overlapping-entry zip bombs turn
    // kilobytes into gigabytes. Spans that only touch do not overlap.
    void CheckOverlaps() {
        std::stable_sort(Spans.begin(), Spans.end(), [](const Span& a, const Span& b) { return a.Start < b.Start; });
        for (size_t i = 0; i < Spans.size();) {
            uint64_t end = Spans[i].End, total = Spans[i].Size;
            std::vector<const ArchiveEntry*> group = {Spans[i].Entry};
            size_t j = i + 1;
            for (; j < Spans.size() && Spans[j].Start < end; j++) {
                end = std::max(end, Spans[j].End);
                total += Spans[j].Size;
                group.push_back(Spans[j].Entry);
            }
            if (group.size() > 1)
                Report.Warnings.push_back(
                    {false, "",
                     NameList(group) + " overlap in the archive (their local headers and data lie in bytes " +
                         std::to_string(Spans[i].Start) + " to " + std::to_string(end - 1) +
                         "): the launcher writes the shared data once for each, " + std::to_string(total) +
                         " bytes in all; no archiver writes that, it is how overlapping-entry zip bombs grow"});
            i = j;
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
    checker.CheckLayout(extracted);
    checker.CheckSetup(extracted, failed);
    checker.CheckOverlaps();
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
    auto count = [](size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string summary = count(report.EntryCount, "entry", "entries") + ", " +
                          (report.Problems.empty() ? "no problems" : count(report.Problems.size(), "problem", "problems"));
    if (!report.Warnings.empty()) summary += ", " + count(report.Warnings.size(), "warning", "warnings");
    out << display << ": " << summary
        << (report.Problems.empty() ? ": the launcher extracts every entry and starts Setup.exe\n"
                                    : ": the launcher would not install everything\n");
}

int RunCheck(const std::string& archive, const CheckOptions& options, std::ostream& out, std::ostream&) {
    std::unique_ptr<ArchiveInput> in = OpenArchive(archive);
    CheckReport report = CheckArchive(*in, options);
    PrintCheckReport(in->Display, report, out);
    return report.Problems.empty() ? ExitOk : ExitProblems;
}

}  // namespace sfx
