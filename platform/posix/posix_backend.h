// What the POSIX backend offers beyond the Win32 interface of platform.h:
// the path mapping between Windows and Linux names (the launcher's Linux
// entry and sfx use it in production), the resource registry that stands in
// for the module's resource section, and, for tests, emulated windows, keys
// and clock and the record of the last shell call.
//
// The backend presents Linux as a Windows machine:
// - Drive "C:" is the root of the host file system, "\" and "/" both
//   separate; "C:\tmp\x\" is /tmp/x/, "\foo" is /foo. Relative names and
//   drive-relative names ("C:foo") resolve from the real current directory,
//   which SetCurrentDirectoryA changes. Other drives do not exist. Names are
//   case-sensitive (Windows would ignore case); device names such as NUL or
//   CON are ordinary names. Names are bytes of the ANSI code page
//   Windows-1252; on the host they are stored in UTF-8.
// - "." and ".." are taken lexically, trailing dots and spaces of a
//   component are dropped, and full paths of MAX_PATH (260) characters or
//   more fail with ERROR_FILENAME_EXCED_RANGE, as Win32 does.
// - Sharing modes are enforced between the process's own handles
//   (ERROR_SHARING_VIOLATION 32); a read-only file cannot be opened for
//   writing or deleted (5), whoever runs the process.
// - Windows are small integer handles (0x100, 0x101, ...) with a procedure;
//   each thread has its own message queue.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace win::posix {

// Paths. ToHostPath gives the Linux path of a Windows name (absolute when the
// current directory is known), or "" for a name that cannot resolve.
// ToWindowsPath gives the Windows form of a Linux path ("/a/b" -> "C:\a\b";
// relative names keep being relative, with "\"; characters that
// Windows-1252 lacks become "?").
std::string ToHostPath(const char* windowsPath);
std::string ToWindowsPath(const char* hostPath);

// Resources of the program's own module: FindResourceA(module, id, type)
// finds what was registered here. A second registration of the same type and
// id replaces the first. The data is not copied and must outlive its use.
void RegisterResource(const char* type, uint16_t id, const void* data, DWORD size);

// Windows. Handles are small integers, process-wide; the procedures run on
// the thread that dispatches or sends to them.
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
HWND CreateTestWindow(WNDPROC proc, bool isDialog = false);
void DestroyTestWindow(HWND window);
// Queues a message on the calling thread's queue. A null window makes a
// thread message; an unknown window fails with ERROR_INVALID_WINDOW_HANDLE.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Drops every message queued for the calling thread.
void DiscardThreadMessages();

// Keys: GetAsyncKeyState reports a key as down (0x8000) while set here.
void SetKeyDown(int virtualKey, bool down);

// Clock: with manual ticks on, GetTickCount returns `value` plus what
// AdvanceTicks added since; off, it returns real milliseconds again.
void SetManualTicks(bool on, DWORD value = 0);
void AdvanceTicks(DWORD ms);

// The last ShellExecuteA call of the process.
struct ShellExecuteRecord {
    uint32_t Calls = 0;       // ShellExecuteA calls so far
    std::string File;         // as passed ("" for null)
    std::string Directory;    // as passed ("" for null)
    std::string Parameters;   // as passed ("" for null)
    std::string HostFile;     // the Linux path that was started, if any
    intptr_t Result = 0;      // the value returned, as a number
};
ShellExecuteRecord LastShellExecute();

}  // namespace win::posix
