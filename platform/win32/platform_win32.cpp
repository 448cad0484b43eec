// The Win32 backend: every win:: function forwards to the kernel32, user32 or
// shell32 call of the same name, with the same arguments, results and
// GetLastError codes.
//
// platform.h comes first: <windows.h> defines GENERIC_READ, ERROR_SUCCESS and
// the other constants as macros, which would rewrite the constexpr
// declarations of namespace win. After <windows.h> this file therefore names
// only functions and types, never a constant of platform.h.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <cstddef>

// The records cross the interface by address, so their layouts must be the
// system's own.
static_assert(sizeof(win::MSG) == sizeof(::MSG) && offsetof(win::MSG, pt) == offsetof(::MSG, pt));
static_assert(offsetof(win::MSG, time) == offsetof(::MSG, time));
static_assert(sizeof(win::SYSTEMTIME) == sizeof(::SYSTEMTIME));
static_assert(sizeof(win::FILETIME) == sizeof(::FILETIME));
static_assert(sizeof(win::DWORD) == sizeof(::DWORD) && sizeof(win::LONG) == sizeof(::LONG));
static_assert(sizeof(win::WPARAM) == sizeof(::WPARAM) && sizeof(win::LPARAM) == sizeof(::LPARAM));

namespace win {

// Module and resources

DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size) {
    return ::GetModuleFileNameA(static_cast<::HMODULE>(module), fileName, size);
}

HMODULE GetModuleHandleA(const char* moduleName) { return ::GetModuleHandleA(moduleName); }

HRSRC FindResourceA(HMODULE module, const char* name, const char* type) {
    return ::FindResourceA(static_cast<::HMODULE>(module), name, type);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    return ::LoadResource(static_cast<::HMODULE>(module), static_cast<::HRSRC>(resource));
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    return ::SizeofResource(static_cast<::HMODULE>(module), static_cast<::HRSRC>(resource));
}

DWORD GetTempPathA(DWORD bufferLength, char* buffer) { return ::GetTempPathA(bufferLength, buffer); }

// Files

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileA(fileName, desiredAccess, shareMode, static_cast<::LPSECURITY_ATTRIBUTES>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    ::DWORD got = 0;
    ::BOOL ok = ::ReadFile(file, buffer, bytesToRead, &got, static_cast<::LPOVERLAPPED>(overlapped));
    if (bytesRead != nullptr) *bytesRead = got;
    return ok;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped) {
    ::DWORD put = 0;
    ::BOOL ok = ::WriteFile(file, buffer, bytesToWrite, &put, static_cast<::LPOVERLAPPED>(overlapped));
    if (bytesWritten != nullptr) *bytesWritten = put;
    return ok;
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) {
    ::LONG high = distanceToMoveHigh != nullptr ? *distanceToMoveHigh : 0;
    ::DWORD low = ::SetFilePointer(file, distanceToMove, distanceToMoveHigh != nullptr ? &high : nullptr, moveMethod);
    if (distanceToMoveHigh != nullptr) *distanceToMoveHigh = high;
    return low;
}

DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
    ::DWORD high = 0;
    ::DWORD low = ::GetFileSize(file, fileSizeHigh != nullptr ? &high : nullptr);
    if (fileSizeHigh != nullptr) *fileSizeHigh = high;
    return low;
}

BOOL CloseHandle(HANDLE object) { return ::CloseHandle(object); }

BOOL DeleteFileA(const char* fileName) { return ::DeleteFileA(fileName); }

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD errorCode) { ::SetLastError(errorCode); }

// Directories

DWORD GetFileAttributesA(const char* fileName) { return ::GetFileAttributesA(fileName); }

BOOL CreateDirectoryA(const char* pathName, void* securityAttributes) {
    return ::CreateDirectoryA(pathName, static_cast<::LPSECURITY_ATTRIBUTES>(securityAttributes));
}

BOOL SetCurrentDirectoryA(const char* pathName) { return ::SetCurrentDirectoryA(pathName); }

// File metadata

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
    return ::SystemTimeToFileTime(reinterpret_cast<const ::SYSTEMTIME*>(systemTime),
                                  reinterpret_cast<::FILETIME*>(fileTime));
}

BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime) {
    return ::LocalFileTimeToFileTime(reinterpret_cast<const ::FILETIME*>(localFileTime),
                                     reinterpret_cast<::FILETIME*>(fileTime));
}

BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime) {
    return ::SetFileTime(file, reinterpret_cast<const ::FILETIME*>(creationTime),
                         reinterpret_cast<const ::FILETIME*>(lastAccessTime),
                         reinterpret_cast<const ::FILETIME*>(lastWriteTime));
}

BOOL SetFileAttributesA(const char* fileName, DWORD fileAttributes) {
    return ::SetFileAttributesA(fileName, fileAttributes);
}

// Messages and input

BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
    return ::PeekMessageA(reinterpret_cast<::MSG*>(msg), static_cast<::HWND>(window), filterMin, filterMax, removeMsg);
}

BOOL IsDialogMessageA(HWND dialog, MSG* msg) {
    return ::IsDialogMessageA(static_cast<::HWND>(dialog), reinterpret_cast<::MSG*>(msg));
}

BOOL TranslateMessage(const MSG* msg) { return ::TranslateMessage(reinterpret_cast<const ::MSG*>(msg)); }

LRESULT DispatchMessageA(const MSG* msg) { return ::DispatchMessageA(reinterpret_cast<const ::MSG*>(msg)); }

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(static_cast<::HWND>(window), message, wParam, lParam);
}

SHORT GetAsyncKeyState(int virtualKey) { return ::GetAsyncKeyState(virtualKey); }

DWORD GetTickCount() { return ::GetTickCount(); }

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

BOOL IsDBCSLeadByte(uint8_t testChar) { return ::IsDBCSLeadByte(testChar); }

// Shell and the error report

HINSTANCE ShellExecuteA(HWND window, const char* operation, const char* file, const char* parameters,
                        const char* directory, int showCommand) {
    return ::ShellExecuteA(static_cast<::HWND>(window), operation, file, parameters, directory, showCommand);
}

int MessageBoxA(HWND window, const char* text, const char* caption, UINT type) {
    return ::MessageBoxA(static_cast<::HWND>(window), text, caption, type);
}

void ExitProcess(UINT exitCode) { ::ExitProcess(exitCode); }

}  // namespace win
