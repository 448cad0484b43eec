// The sfx tool: the commands an installer author runs before shipping a
// launcher, all built on the launcher's own walker and engine.
//
// Every command writes its report to `out` and its errors to `err` and
// returns the process exit code: 0 ok, 1 problems found or failure, 2 usage
// error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace sfx {

constexpr int ExitOk = 0;
constexpr int ExitProblems = 1;
constexpr int ExitUsage = 2;

// The temporary folder the launcher extracts into is not known in advance;
// path lengths are judged against one of this many characters, which covers
// "C:\Users\<a long user name>\AppData\Local\Temp\".
constexpr size_t DefaultTempDirLength = 64;

struct CheckOptions {
    size_t TempDirLength = DefaultTempDirLength;
    // The machine of the launcher that carries the archive (0x14C, 0x8664),
    // or 0 when the archive is checked on its own.
    uint16_t LauncherMachine = 0;
    // The ANSI code page the launcher's users have: names are read in it.
    unsigned CodePage = 1252;
};

struct Problem {
    bool AboutEntry = false;
    std::string Entry;  // the walker's name, when AboutEntry
    std::string Message;
};

struct CheckReport {
    size_t EntryCount = 0;
    std::vector<Problem> Problems;
    // What works, but not everywhere (a Setup.exe for 64-bit Windows only);
    // printed, but no reason to refuse the archive.
    std::vector<Problem> Warnings;
};

// Everything that would make the launcher skip or fail an entry of the
// archive, or not start Setup.exe. Throws ToolError when the file cannot be
// read at all.
// A launcher is checked through its archive.
CheckReport CheckArchive(const std::string& hostPath, const CheckOptions& options);
struct ArchiveInput;
CheckReport CheckArchive(const ArchiveInput& in, const CheckOptions& options);
// One line per problem, then a summary line; `display` names the archive.
void PrintCheckReport(const std::string& display, const CheckReport& report, std::ostream& out);

int RunCheck(const std::string& archive, const CheckOptions& options, std::ostream& out, std::ostream& err);
int RunList(const std::string& archive, std::ostream& out, std::ostream& err);
int RunTest(const std::string& archive, std::ostream& out, std::ostream& err);
// `showProgress`: draw a progress bar on standard error.
int RunExtract(const std::string& archive, const std::string& destination, bool showProgress, std::ostream& out,
               std::ostream& err);
int RunCat(const std::string& archive, const std::string& name, std::ostream& out, std::ostream& err);
// Writes a launcher's resource ZIP/1 to `output`, byte for byte.
int RunUnpack(const std::string& launcher, const std::string& output, std::ostream& out, std::ostream& err);

struct PackOptions {
    std::string Stub;
    std::string Input;   // an archive, or a folder to zip
    std::string Output;
    bool Force = false;  // pack even when check finds problems, or into a program that is no launcher
    int Level = 9;       // deflate level for a folder, 0 to 9 (0: stored)
    bool ShowProgress = false;  // a progress bar on err while a folder is zipped
    CheckOptions Check;
    // The launcher's identity: an .ico file for its icon, and version
    // information from a file of KEY=VALUE lines and from the command line
    // (KEY, VALUE in UTF-8), the command line's replacing the file's.
    std::string Icon;
    std::string VersionFile;
    std::vector<std::pair<std::string, std::string>> VersionInfo;
};
int RunPack(const PackOptions& options, std::ostream& out, std::ostream& err);

// The command line without the program name.
int SfxMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sfx
