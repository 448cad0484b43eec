// The shell, the message box, the end of the process and the code page.
//
// ShellExecuteA "opens" a file the way a Linux desktop would run a program:
// a file that starts with "#!" runs through the interpreter named on that
// line (the archive's files carry no execute bit, so the kernel's own "#!"
// handling cannot be relied on); any other file runs directly when it is
// executable. The program starts detached (fork twice, so no zombie is left
// behind and nobody waits for it) in the directory given, and the call
// returns at once with 33, or with the SE_ERR code Windows would give.
//
// The emulated ANSI code page is Windows-1252, which has no double-byte
// characters; MessageBoxA converts its texts from it to UTF-8 for the
// terminal.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_backend.h"

namespace win {

namespace {

constexpr intptr_t ShellSucceeded = 33;  // any value above 32 means success
constexpr intptr_t SE_ERR_FNF = 2;
constexpr intptr_t SE_ERR_PNF = 3;
constexpr intptr_t SE_ERR_NOASSOC = 31;

std::mutex ShellLock;
posix::ShellExecuteRecord LastShell;  // guarded by ShellLock

// Splits a command line into arguments: blanks separate, double quotes group.
std::vector<std::string> SplitParameters(const char* text) {
    std::vector<std::string> out;
    if (text == nullptr) return out;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((*p == ' ' || *p == '\t') && !quoted) {
            if (inArgument) out.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += *p;
            inArgument = true;
        }
    }
    if (inArgument) out.push_back(current);
    return out;
}

// The interpreter line of a script: "#!" interpreter [one argument]. False
// when the file does not start with "#!".
bool ReadInterpreterLine(const std::string& file, std::vector<std::string>& command) {
    FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) return false;
    char line[256] = {};
    bool script = std::fgets(line, sizeof line, in) != nullptr && line[0] == '#' && line[1] == '!';
    std::fclose(in);
    if (!script) return false;
    std::string rest(line + 2);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    size_t start = rest.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    size_t end = rest.find_first_of(" \t", start);
    command.push_back(rest.substr(start, end - start));
    if (end != std::string::npos) {
        // Like the kernel: everything after the interpreter is one argument.
        size_t argStart = rest.find_first_not_of(" \t", end);
        size_t argEnd = rest.find_last_not_of(" \t");
        if (argStart != std::string::npos) command.push_back(rest.substr(argStart, argEnd - argStart + 1));
    }
    return true;
}

// Starts the command detached in `directory`. Returns 0 once the program has
// been exec'd, or the errno that stopped it.
int StartDetached(const std::vector<std::string>& command, const std::string& directory) {
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // The grandchild reports a failed chdir or exec through the pipe; a
    // successful exec closes it (O_CLOEXEC) with nothing written.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return errno;
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        close(report[0]);
        pid_t program = fork();
        int error = 0;
        if (program > 0) _exit(0);  // the middle process ends; init adopts the program
        if (program < 0) {
            error = errno;
        } else {
            setsid();
            if (chdir(directory.c_str()) != 0)
                error = errno;
            else
                execv(argv[0], argv.data());
            if (error == 0) error = errno;
        }
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

bool IsAbsoluteWindowsPath(const char* path) {
    return path[0] == '\\' || path[0] == '/' || (path[0] != '\0' && path[1] == ':');
}

intptr_t Execute(const char* operation, const char* file, const char* parameters, const char* directory,
                 std::string& hostFile) {
    if (file == nullptr || file[0] == '\0') return SE_ERR_FNF;
    if (operation != nullptr && std::strcmp(operation, "open") != 0) return SE_ERR_NOASSOC;
    using posix::detail::HostPath;
    HostPath dir;
    bool hasDirectory = directory != nullptr && directory[0] != '\0';
    struct stat st;
    if (hasDirectory) {
        if (posix::detail::ResolvePath(directory, posix::detail::MaxPath, dir) != 0) return SE_ERR_PNF;
        if (stat(dir.Path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return SE_ERR_PNF;
    } else if (posix::detail::ResolvePath(".", posix::detail::MaxPath, dir) != 0) {
        return SE_ERR_PNF;
    }
    // A relative file name is looked up in the directory given.
    std::string name = file;
    if (!IsAbsoluteWindowsPath(file) && hasDirectory) {
        name = directory;
        if (name.back() != '\\' && name.back() != '/') name += '\\';
        name += file;
    }
    HostPath target;
    DWORD error = posix::detail::ResolvePath(name.c_str(), posix::detail::MaxPath, target);
    if (error == ERROR_PATH_NOT_FOUND) return SE_ERR_PNF;
    if (error != 0) return SE_ERR_FNF;
    if (stat(target.Path.c_str(), &st) != 0)
        return posix::detail::ParentExists(target.Path) ? SE_ERR_FNF : SE_ERR_PNF;
    if (!S_ISREG(st.st_mode)) return SE_ERR_NOASSOC;
    hostFile = target.Path;

    std::vector<std::string> command;
    if (ReadInterpreterLine(target.Path, command))
        command.push_back(target.Path);
    else if (access(target.Path.c_str(), X_OK) == 0)
        command.push_back(target.Path);
    else
        return SE_ERR_NOASSOC;
    // Parameters are ANSI text; the started program reads UTF-8.
    for (std::string& arg : SplitParameters(parameters)) command.push_back(posix::detail::Windows1252ToUtf8(arg));
    return StartDetached(command, dir.Path) == 0 ? ShellSucceeded : SE_ERR_NOASSOC;
}

}  // namespace

HINSTANCE ShellExecuteA(HWND /*window*/, const char* operation, const char* file, const char* parameters,
                        const char* directory, int /*showCommand*/) {
    std::string hostFile;
    intptr_t result = Execute(operation, file, parameters, directory, hostFile);
    {
        std::lock_guard<std::mutex> lock(ShellLock);
        LastShell.Calls++;
        LastShell.File = file != nullptr ? file : "";
        LastShell.Directory = directory != nullptr ? directory : "";
        LastShell.Parameters = parameters != nullptr ? parameters : "";
        LastShell.HostFile = result > 32 ? hostFile : "";
        LastShell.Result = result;
    }
    return reinterpret_cast<HINSTANCE>(result);
}

int MessageBoxA(HWND /*window*/, const char* text, const char* caption, UINT /*type*/) {
    constexpr int IDOK = 1;
    using posix::detail::Windows1252ToUtf8;
    std::string line = "[MessageBox] " + Windows1252ToUtf8(caption != nullptr ? caption : "") + ": " +
                       Windows1252ToUtf8(text != nullptr ? text : "") + "\n";
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return IDOK;
}

void ExitProcess(UINT exitCode) {
    std::fflush(nullptr);
    std::exit(static_cast<int>(exitCode));
}

BOOL IsDBCSLeadByte(uint8_t /*testChar*/) { return 0; }

namespace posix {

ShellExecuteRecord LastShellExecute() {
    std::lock_guard<std::mutex> lock(ShellLock);
    return LastShell;
}

}  // namespace posix

}  // namespace win
