// The sfx command line: commands, options, usage, and the one place where
// failures become messages and exit codes.
#include <new>

#include "sfx/archive_scan.h"
#include "sfx/host.h"
#include "sfx/pe_identity.h"
#include "sfx/pe_resources.h"
#include "sfx/sfx.h"

namespace sfx {

namespace {

// One row per command: what `sfx --help` lists and `sfx COMMAND --help`
// shows. A command's options are the rows of Options that name it.
struct CommandHelp {
    const char* Name;
    const char* Arguments;  // after "sfx NAME"
    const char* Text;       // lines of what it does
    bool ReadsArchive;      // takes a launcher wherever an archive stands
};

const CommandHelp Commands[] = {
    {"check", "[--temp-length N] [--codepage N] ARCHIVE",
     "Reports, one line each, everything that would make the launcher skip or\n"
     "fail an entry, or not start Setup.exe; then tests every entry's CRC.\n"
     "Warnings (files beside Setup.exe in the shared temporary folder, entries\n"
     "that overlap) are counted apart and do not change the exit code.\n"
     "Exit code 0 only when the launcher would install everything.",
     true},
    {"list", "ARCHIVE",
     "The entries in directory order: method, flags (E encrypted, D data\n"
     "descriptor, U UTF-8 name flag), sizes, CRC-32, DOS date and time, name.",
     true},
    {"test", "ARCHIVE", "Test-only extraction of every entry, with the engine's result code.", true},
    {"extract", "[--progress] ARCHIVE DESTDIR",
     "Extracts as the launcher does, into DESTDIR (created if missing), with a\n"
     "progress bar on a terminal (or with --progress) and a summary. Ctrl+C\n"
     "stops at the next progress step; the entry under way is removed.",
     true},
    {"cat", "ARCHIVE NAME", "Writes the entry NAME (\"/\" or \"\\\" as separator) to standard output.", true},
    {"pack",
     "STUB ARCHIVE|FOLDER -o OUT.exe [--force] [--level N] [--progress]\n"
     "           [--temp-length N] [--codepage N]\n"
     "           [--icon FILE.ico] [--version-info KEY=VALUE]... [--version-info-file FILE]",
     "Writes OUT.exe: the launcher STUB (launcher-stub.exe) with the archive (or\n"
     "FOLDER, zipped) as its resource \"ZIP\", id 1. Runs check first and writes\n"
     "nothing when it finds a problem, unless --force is given. With\n"
     "SOURCE_DATE_EPOCH set, no entry is younger than it and times are UTC:\n"
     "the same folder gives the same launcher.",
     false},
    {"unpack", "LAUNCHER -o ARCHIVE.zip", "Writes the launcher's archive (its resource ZIP/1) byte for byte.", false},
};

struct OptionHelp {
    const char* Option;
    const char* Commands;  // the commands that take it, each followed by a space
    const char* Text;
};

const OptionHelp Options[] = {
    {"--temp-length N", "check pack ",
     "judge path lengths against a temporary folder path of N\ncharacters (default 64)"},
    {"--codepage N", "check pack ",
     "the ANSI code page of the launcher's users, in which names\nare written and read (default 1252)"},
    {"--force", "pack ", "pack even when check finds problems, or into a program\nthat is not a launcher"},
    {"--level N", "pack ", "deflate level for a FOLDER, 0 (stored) to 9 (the default)"},
    {"--icon FILE.ico", "pack ", "the icon Explorer shows for the launcher"},
    {"--version-info KEY=VALUE", "pack ",
     "version information of the launcher; KEY is one of\n"
     "CompanyName, FileDescription, FileVersion, InternalName,\n"
     "LegalCopyright, LegalTrademarks, OriginalFilename,\n"
     "ProductName, ProductVersion, Comments; FileVersion and\n"
     "ProductVersion are numbers such as 1.2.3.4 (repeatable)"},
    {"--version-info-file FILE", "pack ", "the same as KEY=VALUE lines (UTF-8; # begins a comment)"},
    {"--progress", "extract pack ", "draw the progress bar also when standard error is no terminal"},
    {"-o OUT.exe", "pack unpack ", "the launcher that pack writes (for unpack: the archive)"},
};

const char Purpose[] =
    "Checks ZIP archives against the self-extracting launcher, with the launcher's\n"
    "own walker and extraction engine, and builds launchers that carry them.\n";
const char ExitCodes[] = "Exit codes: 0 ok, 1 problems found or a failure, 2 usage error.\n";
const char GuideNote[] =
    "How to lay out an installer for the launcher: docs/author-guide.md.\n";

// Every line of `text` behind `indent` spaces.
std::string Indented(const std::string& text, size_t indent) {
    std::string out;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        out += std::string(indent, ' ') + text.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return out;
}

std::string OptionLines(const OptionHelp& o) {
    // A long option stands on a line of its own, its text below it.
    std::string first = std::string("  ") + o.Option;
    std::string lines = Indented(o.Text, 19);
    if (first.size() > 18) return first + "\n" + lines;
    first.resize(19, ' ');
    return first + lines.substr(19);
}

const CommandHelp* FindCommand(const std::string& name) {
    for (const CommandHelp& c : Commands)
        if (name == c.Name) return &c;
    return nullptr;
}

std::string UsageText() {
    std::string text = "Usage: sfx COMMAND ARGUMENTS\n       sfx COMMAND --help\n       sfx --version\n\n";
    text += Purpose;
    text += "\nCommands:\n"
            "  Every command that reads an archive also takes a launcher: it then reads\n"
            "  the launcher's resource ZIP/1, as the launcher itself does.\n";
    for (const CommandHelp& c : Commands)
        text += std::string("  sfx ") + c.Name + " " + c.Arguments + "\n" + Indented(c.Text, 6);
    text += "  sfx --help\n\nOptions:\n";
    for (const OptionHelp& o : Options) text += OptionLines(o);
    return text + "\n" + ExitCodes + GuideNote;
}

std::string CommandUsage(const CommandHelp& c) {
    std::string text = std::string("Usage: sfx ") + c.Name + " " + c.Arguments + "\n\n" + Indented(c.Text, 2);
    if (c.ReadsArchive)
        text += "  ARCHIVE may also be a launcher: its resource ZIP/1 is read, as the\n  launcher itself reads it.\n";
    std::string options;
    for (const OptionHelp& o : Options)
        if (std::string(o.Commands).find(std::string(c.Name) + " ") != std::string::npos) options += OptionLines(o);
    if (!options.empty()) text += "\nOptions:\n" + options;
    return text + "\n" + ExitCodes;
}

// `sfx COMMAND ... --help` (or -h) before any "--".
bool AsksForHelp(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size() && args[i] != "--"; i++)
        if (args[i] == "--help" || args[i] == "-h") return true;
    return false;
}

struct CommandLine {
    std::string Command;
    std::vector<std::string> Positional;
    std::string Output;
    bool HasOutput = false;
    bool Force = false;
    bool Progress = false;
    int Level = 9;
    CheckOptions Check;
    PackOptions Pack;  // --icon, --version-info, --version-info-file
};

struct UsageError {
    std::string Message;
};

size_t ParseCount(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{"--temp-length needs a number of characters, not \"" + text + "\""};
    size_t n = std::stoul(text);
    if (n < 3 || n > 240) throw UsageError{"--temp-length must lie between 3 and 240"};
    return n;
}

CommandLine Parse(const std::vector<std::string>& args) {
    CommandLine c;
    c.Command = args[0];
    bool optionsDone = false;
    for (size_t i = 1; i < args.size(); i++) {
        const std::string& a = args[i];
        auto value = [&](const std::string& option) -> std::string {
            if (i + 1 >= args.size()) throw UsageError{option + " needs a value"};
            return args[++i];
        };
        if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
            c.Positional.push_back(a);
        } else if (a == "--") {
            optionsDone = true;
        } else if (a == "--progress" && (c.Command == "extract" || c.Command == "pack")) {
            c.Progress = true;
        } else if (a == "--force" && c.Command == "pack") {
            c.Force = true;
        } else if (a == "--level" && c.Command == "pack") {
            std::string text = value(a);
            if (text.size() != 1 || text[0] < '0' || text[0] > '9')
                throw UsageError{"--level takes a deflate level from 0 (stored) to 9 (smallest), not \"" + text + "\""};
            c.Level = text[0] - '0';
        } else if (a == "-o" && (c.Command == "pack" || c.Command == "unpack")) {
            c.Output = value(a);
            c.HasOutput = true;
        } else if (a == "--temp-length" && (c.Command == "pack" || c.Command == "check")) {
            c.Check.TempDirLength = ParseCount(value(a));
        } else if (a == "--codepage" && (c.Command == "pack" || c.Command == "check")) {
            std::string text = value(a);
            unsigned page = text.size() <= 5 && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos
                                ? static_cast<unsigned>(std::stoul(text))
                                : 0;
            if (!CodePageSupported(page))
                throw UsageError{"--codepage takes a Windows ANSI code page (874, 932, 936, 949, 950, 1250 to 1258), "
                                 "not \"" + text + "\""};
            c.Check.CodePage = page;
        } else if (a == "--icon" && c.Command == "pack") {
            c.Pack.Icon = value(a);
        } else if (a == "--version-info-file" && c.Command == "pack") {
            c.Pack.VersionFile = value(a);
        } else if (a == "--version-info" && c.Command == "pack") {
            // The value as typed (in the ANSI code page on Windows) in UTF-8.
            std::u8string typed = HostPath(value(a)).u8string();
            try {
                c.Pack.VersionInfo.push_back(ParseVersionSetting(std::string(typed.begin(), typed.end())));
            } catch (const IdentityError& e) {
                throw UsageError{"--version-info: " + std::string(e.what())};
            }
        } else if (a.rfind("--temp-length=", 0) == 0 && (c.Command == "pack" || c.Command == "check")) {
            c.Check.TempDirLength = ParseCount(a.substr(14));
        } else if (a == "--version" && c.Command == "pack") {
            throw UsageError{"pack writes version information with --version-info KEY=VALUE (keys: " +
                             KnownVersionKeys() + ")"};
        } else {
            throw UsageError{"unknown option " + a + " for " + c.Command};
        }
    }
    return c;
}

void Expect(const CommandLine& c, size_t count, const char* operands) {
    if (c.Positional.size() != count) throw UsageError{c.Command + " takes " + operands};
}

int Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CommandLine c = Parse(args);
    if (c.Command == "check") {
        Expect(c, 1, "ARCHIVE");
        return RunCheck(c.Positional[0], c.Check, out, err);
    }
    if (c.Command == "list") {
        Expect(c, 1, "ARCHIVE");
        return RunList(c.Positional[0], out, err);
    }
    if (c.Command == "test") {
        Expect(c, 1, "ARCHIVE");
        return RunTest(c.Positional[0], out, err);
    }
    if (c.Command == "extract") {
        Expect(c, 2, "ARCHIVE DESTDIR");
        CatchInterrupt();
        return RunExtract(c.Positional[0], c.Positional[1], c.Progress || StderrIsTerminal(), out, err);
    }
    if (c.Command == "cat") {
        Expect(c, 2, "ARCHIVE NAME");
        return RunCat(c.Positional[0], c.Positional[1], out, err);
    }
    if (c.Command == "unpack") {
        Expect(c, 1, "LAUNCHER -o ARCHIVE.zip");
        if (!c.HasOutput || c.Output.empty()) throw UsageError{"unpack needs -o ARCHIVE.zip"};
        return RunUnpack(c.Positional[0], c.Output, out, err);
    }
    if (c.Command == "pack") {
        Expect(c, 2, "STUB ARCHIVE|FOLDER -o OUT.exe");
        if (!c.HasOutput || c.Output.empty()) throw UsageError{"pack needs -o OUT.exe"};
        PackOptions o = c.Pack;
        o.Stub = c.Positional[0];
        o.Input = c.Positional[1];
        o.Output = c.Output;
        o.Force = c.Force;
        o.Level = c.Level;
        o.ShowProgress = c.Progress || StderrIsTerminal();
        o.Check = c.Check;
        return RunPack(o, out, err);
    }
    throw UsageError{"unknown command \"" + c.Command + "\""};
}

}  // namespace

int SfxMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << "sfx: a command is needed\nTry 'sfx --help'.\n";
        return ExitUsage;
    }
    if (args[0] == "--version") {
        out << "sfx " << SFX_VERSION << "\n";
        return ExitOk;
    }
    if (args[0] == "--help" || args[0] == "-h" || (args[0] == "help" && args.size() == 1)) {
        out << UsageText();
        return ExitOk;
    }
    const CommandHelp* help = FindCommand(args[0] == "help" ? args[1] : args[0]);
    if (help != nullptr && (args[0] == "help" || AsksForHelp(args))) {
        out << CommandUsage(*help);
        return ExitOk;
    }
    if (args[0] == "help") {
        err << "sfx: no command \"" << args[1] << "\"\nTry 'sfx --help'.\n";
        return ExitUsage;
    }
    try {
        return Dispatch(args, out, err);
    } catch (const UsageError& e) {
        err << "sfx: " << e.Message << "\nTry 'sfx --help'.\n";
        return ExitUsage;
    } catch (const ToolError& e) {
        err << "sfx: " << e.what() << "\n";
    } catch (const std::bad_alloc&) {
        err << "sfx: not enough memory\n";
    } catch (const std::exception& e) {
        err << "sfx: " << e.what() << "\n";
    }
    return ExitProblems;
}

}  // namespace sfx
