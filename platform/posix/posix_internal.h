// Shared pieces of the POSIX backend: the mapping of Windows paths onto the
// host file system and of errno values onto the codes Windows reports.
// Private to platform/posix.
#pragma once

#include <string>

#include "platform/platform.h"

namespace win::posix::detail {

// Windows' classic path limit, counted in characters of the full path
// without its NUL.
constexpr size_t MaxPath = 260;

constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// A Windows path resolved against the current directory.
struct HostPath {
    std::string Path;        // host path, absolute when the cwd was known; no trailing "/" except for the root
    bool TrailingSeparator;  // the Windows name ended in "\" or "/" (and is not a root)
    bool IsRoot;             // the name was a drive root such as "C:\"
};

// Resolves a Windows path the way Win32 does before it touches the disk:
// drive, separators, "." and ".." taken lexically, trailing dots and spaces
// of components dropped, characters Windows forbids in names refused.
// `limit` is the largest full path length (characters) the calling function
// accepts. Returns 0 or the Windows error code of a name that can never
// resolve (no drive C, forbidden character, too long, empty).
DWORD ResolvePath(const char* windowsPath, size_t limit, HostPath& out);

// The Windows code for an errno left by an operation on `hostPath`. ENOENT
// becomes ERROR_FILE_NOT_FOUND when the parent directory exists and
// ERROR_PATH_NOT_FOUND when it does not.
DWORD ErrorFromErrno(int error, const std::string& hostPath);

// Names and texts between the emulated ANSI code page (Windows-1252, or 932)
// and the host's UTF-8; the two Windows1252 forms are the default page's.
std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);
std::string Windows1252ToUtf8(const std::string& text);
std::string Utf8ToWindows1252(const std::string& text);
// True when c leads a double-byte character of the emulated code page.
bool IsLeadByte(unsigned char c);

// True when the parent directory of hostPath exists.
bool ParentExists(const std::string& hostPath);

}  // namespace win::posix::detail
