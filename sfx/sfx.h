// The sfx tool: the commands an installer author runs before shipping a
// launcher, all built on the launcher's own walker and engine.
//
// Every command writes its report to `out` and its errors to `err` and
// returns the process exit code: 0 ok, 1 problems found or failure, 2 usage
// error.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
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
};

struct Problem {
    bool AboutEntry = false;
    std::string Entry;  // the walker's name, when AboutEntry
    std::string Message;
};

struct CheckReport {
    size_t EntryCount = 0;
    std::vector<Problem> Problems;
};

// Everything that would make the launcher skip or fail an entry of the
// archive, or not start Setup.exe. Throws ToolError when the file cannot be
// read at all.
CheckReport CheckArchive(const std::string& hostPath, const CheckOptions& options);
// One line per problem, then a summary line; `display` names the archive.
void PrintCheckReport(const std::string& display, const CheckReport& report, std::ostream& out);

int RunCheck(const std::string& archive, const CheckOptions& options, std::ostream& out, std::ostream& err);
int RunList(const std::string& archive, std::ostream& out, std::ostream& err);
int RunTest(const std::string& archive, std::ostream& out, std::ostream& err);
// `showProgress`: draw a progress bar on standard error.
int RunExtract(const std::string& archive, const std::string& destination, bool showProgress, std::ostream& out,
               std::ostream& err);
int RunCat(const std::string& archive, const std::string& name, std::ostream& out, std::ostream& err);

struct PackOptions {
    std::string Stub;
    std::string Input;   // an archive, or a folder to zip
    std::string Output;
    bool Force = false;
    CheckOptions Check;
};
int RunPack(const PackOptions& options, std::ostream& out, std::ostream& err);

// The command line without the program name.
int SfxMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sfx
