// The narrow system interface of the launcher and its engine.
//
// Everything the program asks of the operating system goes through the
// functions declared here. They carry the Win32 names, argument orders,
// results and GetLastError codes, so the core reads like the Windows program
// it is. Two backends implement them: platform/win32 forwards to kernel32,
// user32 and shell32; platform/posix emulates them on Linux (drive "C:" is the
// root of the file system, "\" the separator) so that the core runs natively
// under tests, sanitizers and fuzzers.
//
// The declarations live in namespace `win` so that the Win32 backend can
// include <windows.h> beside them without clashes. No core file includes an
// operating-system header; this one uses only fixed-width integers.
#pragma once

#include <cstdint>

namespace win {

using BOOL = int32_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using SHORT = int16_t;
using WORD = uint16_t;
using HANDLE = void*;
using HWND = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HRSRC = void*;
using HGLOBAL = void*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

// CreateFileA
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;

// SetFilePointer
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// GetLastError codes the program relies on.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_RESOURCE_NOT_FOUND = 1814;

// Messages
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_USER = 0x0400;
constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

// ShellExecuteA / MessageBoxA
constexpr int SW_SHOWNORMAL = 1;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_TASKMODAL = 0x2000;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// 100-nanosecond intervals since 1601-01-01, split as Windows splits it.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// A resource name or type given by number, as MAKEINTRESOURCE makes it.
inline const char* MakeIntResource(uint16_t id) {
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(id));
}

// Module and resources
DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size);
HMODULE GetModuleHandleA(const char* moduleName);
HRSRC FindResourceA(HMODULE module, const char* name, const char* type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
DWORD SizeofResource(HMODULE module, HRSRC resource);
DWORD GetTempPathA(DWORD bufferLength, char* buffer);

// Files
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped);
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod);
DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh);
BOOL CloseHandle(HANDLE object);
BOOL DeleteFileA(const char* fileName);
DWORD GetLastError();
void SetLastError(DWORD errorCode);

// Directories
DWORD GetFileAttributesA(const char* fileName);
BOOL CreateDirectoryA(const char* pathName, void* securityAttributes);
BOOL SetCurrentDirectoryA(const char* pathName);

// File metadata
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime);
BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime);
BOOL SetFileAttributesA(const char* fileName, DWORD fileAttributes);

// Messages and input
BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL IsDialogMessageA(HWND dialog, MSG* msg);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
SHORT GetAsyncKeyState(int virtualKey);
DWORD GetTickCount();
// Asks the thread's message loop to end: WM_QUIT with the exit code as
// wParam, retrieved after every message already posted.
void PostQuitMessage(int exitCode);

// Code pages: true when the byte leads a double-byte character in the
// system's ANSI code page.
BOOL IsDBCSLeadByte(uint8_t testChar);

// Shell and the error report
HINSTANCE ShellExecuteA(HWND window, const char* operation, const char* file, const char* parameters,
                        const char* directory, int showCommand);
int MessageBoxA(HWND window, const char* text, const char* caption, UINT type);
[[noreturn]] void ExitProcess(UINT exitCode);

}  // namespace win
