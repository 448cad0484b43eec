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

const char UsageText[] =
    "Usage: sfx COMMAND ARGUMENTS\n"
    "\n"
    "Checks ZIP archives against the self-extracting launcher, with the launcher's\n"
    "own walker and extraction engine, and builds launchers that carry them.\n"
    "\n"
    "Commands:\n"
    "  Every command that reads an archive also takes a launcher: it then reads\n"
    "  the launcher's resource ZIP/1, as the launcher itself does.\n"
    "  sfx check [--temp-length N] [--codepage N] ARCHIVE\n"
    "      Reports, one line each, everything that would make the launcher skip or\n"
    "      fail an entry, or not start Setup.exe; then tests every entry's CRC.\n"
    "      Exit code 0 only when the launcher would install everything.\n"
    "  sfx list ARCHIVE\n"
    "      The entries in directory order: method, flags (E encrypted, D data\n"
    "      descriptor, U UTF-8 name flag), sizes, CRC-32, DOS date and time, name.\n"
    "  sfx test ARCHIVE\n"
    "      Test-only extraction of every entry, with the engine's result code.\n"
    "  sfx extract [--progress] ARCHIVE DESTDIR\n"
    "      Extracts as the launcher does, into DESTDIR (created if missing), with a\n"
    "      progress bar on a terminal (or with --progress) and a summary. Ctrl+C\n"
    "      stops at the next progress step; the entry under way is removed.\n"
    "  sfx cat ARCHIVE NAME\n"
    "      Writes the entry NAME (\"/\" or \"\\\" as separator) to standard output.\n"
    "  sfx pack STUB ARCHIVE|FOLDER -o OUT.exe [--force] [--level N] [--progress]\n"
    "           [--temp-length N] [--codepage N]\n"
    "           [--icon FILE.ico] [--version-info KEY=VALUE]... [--version-info-file FILE]\n"
    "      Writes OUT.exe: the launcher STUB with the archive (or FOLDER, zipped)\n"
    "      as its resource \"ZIP\", id 1. Runs check first and writes nothing when\n"
    "      it finds a problem, unless --force is given. With SOURCE_DATE_EPOCH set,\n"
    "      no entry is younger than it and times are UTC: the same folder gives the\n"
    "      same launcher.\n"
    "  sfx unpack LAUNCHER -o ARCHIVE.zip\n"
    "      Writes the launcher's archive (its resource ZIP/1) byte for byte.\n"
    "  sfx --help\n"
    "\n"
    "Options:\n"
    "  --temp-length N  judge path lengths against a temporary folder path of N\n"
    "                   characters (default 64)\n"
    "  --codepage N     the ANSI code page of the launcher's users, in which names\n"
    "                   are written and read (default 1252)\n"
    "  --force          pack even when check finds problems, or into a program\n"
    "                   that is not a launcher\n"
    "  --level N        deflate level for a FOLDER, 0 (stored) to 9 (the default)\n"
    "  --icon FILE.ico  the icon Explorer shows for the launcher\n"
    "  --version-info KEY=VALUE\n"
    "                   version information of the launcher; KEY is one of\n"
    "                   CompanyName, FileDescription, FileVersion, InternalName,\n"
    "                   LegalCopyright, LegalTrademarks, OriginalFilename,\n"
    "                   ProductName, ProductVersion, Comments; FileVersion and\n"
    "                   ProductVersion are numbers such as 1.2.3.4 (repeatable)\n"
    "  --version-info-file FILE\n"
    "                   the same as KEY=VALUE lines (UTF-8; # begins a comment)\n"
    "  --progress       draw the progress bar also when standard error is no terminal\n"
    "  -o OUT.exe       the launcher that pack writes (for unpack: the archive)\n"
    "\n"
    "Exit codes: 0 ok, 1 problems found or a failure, 2 usage error.\n";

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
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out << UsageText;
        return ExitOk;
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
