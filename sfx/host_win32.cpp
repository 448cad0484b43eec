// The sfx tool's host services on Windows: full paths, the console, and a
// message-only window that receives the engine's progress messages.
//
// The engine takes window handles in 16 bits and widens them with zeros.
// Windows (and Wine) accept a window handle whose upper 16 bits are zero as
// the handle with that index, so the truncated handle reaches the same
// window; the window is checked once through the truncated handle anyway.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>

#include "sfx/host.h"

namespace sfx {

namespace {

// The tool's failures; the command line turns them into "sfx: what" as it
// does ToolError (whose header brings the launcher's platform.h, which
// clashes with windows.h).
using ToolError = std::runtime_error;

volatile LONG Interrupted = 0;
ProgressFn ProgressCallback = nullptr;
void* ProgressContext = nullptr;
const char ProgressClassName[] = "SfxProgressWindow";

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    // The second press falls through to the default handler, which ends
    // the process.
    return InterlockedExchange(&Interrupted, 1) == 0 ? TRUE : FALSE;
}

// The registered scratch files, for the console control handler, which
// runs on a thread of its own: the critical section keeps it from reading a
// slot half written.
constexpr int ScratchSlots = 4;
std::wstring ScratchPaths[ScratchSlots];
bool ScratchUsed[ScratchSlots];
CRITICAL_SECTION ScratchLock;
INIT_ONCE ScratchLockOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitScratchLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&ScratchLock);
    return TRUE;
}

struct Locked {
    Locked() {
        InitOnceExecuteOnce(&ScratchLockOnce, InitScratchLock, nullptr, nullptr);
        EnterCriticalSection(&ScratchLock);
    }
    ~Locked() { LeaveCriticalSection(&ScratchLock); }
};

std::wstring Wide(const std::string& ansi) { return HostPath(ansi).native(); }

void Unregister(const std::string& scratch, bool remove) {
    std::wstring wide = Wide(scratch);
    Locked locked;
    for (int slot = 0; slot < ScratchSlots; slot++) {
        if (ScratchUsed[slot] && ScratchPaths[slot] == wide) {
            if (remove) DeleteFileW(wide.c_str());
            ScratchUsed[slot] = false;
        }
    }
}

BOOL WINAPI OnTermination(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) RemoveScratchFiles();
    return FALSE;  // the default handler ends the process
}

std::string ErrorText(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n != 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.' ||
                                message.back() == ' '))
        message.pop_back();
    return message;
}

LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COMMAND) return DefWindowProcA(window, message, wParam, lParam);
    if (lParam == 0) return 0;
    auto* percent = reinterpret_cast<uint16_t*>(lParam);
    if (ProgressCallback != nullptr) ProgressCallback(ProgressContext, *percent);
    if (Interrupted != 0) *percent = 0xFFFF;
    return 0;
}

}  // namespace

std::string AbsoluteCorePath(const std::string& hostPath) {
    char buffer[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(hostPath.c_str(), sizeof buffer, buffer, nullptr);
    std::string full = (n == 0 || n >= sizeof buffer) ? hostPath : std::string(buffer, n);
    for (char& c : full)
        if (c == '/') c = '\\';
    return full;
}

std::filesystem::path HostPath(const std::string& typed) {
    if (typed.empty()) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, typed.data(), static_cast<int>(typed.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, typed.data(), static_cast<int>(typed.size()), wide.data(), n);
    return std::filesystem::path(wide);
}

std::string DisplayPath(const std::filesystem::path& path) { return NameBytes(path); }

std::string LastSystemError() { return ErrorText(GetLastError()); }

InputFile OpenInput(const std::filesystem::path& path, uint64_t limit, const std::string& display) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) throw ToolError(display + ": cannot open it: " + LastSystemError());
    LARGE_INTEGER size = {};
    std::string failure;
    if (!GetFileSizeEx(f, &size))
        failure = "cannot read it: " + LastSystemError();
    else if (static_cast<uint64_t>(size.QuadPart) > limit)
        failure = "too large (" + std::to_string(size.QuadPart) + " bytes)";
    if (!failure.empty()) {
        CloseHandle(f);
        throw ToolError(display + ": " + failure);
    }
    InputFile in;
    in.Handle = reinterpret_cast<intptr_t>(f);
    in.Size = static_cast<uint64_t>(size.QuadPart);
    in.Display = display;
    return in;
}

namespace {

// Reads or writes at `offset` through an OVERLAPPED position, so that no
// file pointer is shared between the calls.
OVERLAPPED At(uint64_t offset) {
    OVERLAPPED o = {};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

}  // namespace

size_t ReadInput(InputFile& in, uint8_t* buffer, size_t size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, in.Size - std::min(in.Offset, in.Size)));
    size_t done = 0;
    while (done < want) {
        DWORD got = 0;
        DWORD part = static_cast<DWORD>(std::min<size_t>(want - done, 1u << 30));
        OVERLAPPED where = At(in.Offset + done);
        if (!ReadFile(reinterpret_cast<HANDLE>(in.Handle), buffer + done, part, &got, &where) || got == 0) {
            bool end = got == 0 && (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_SUCCESS);
            throw ToolError(in.Display + (end ? std::string(": cannot read it: it became shorter")
                                              : ": cannot read it: " + LastSystemError()));
        }
        done += got;
    }
    in.Offset += done;
    return done;
}

void RewindInput(InputFile& in, uint64_t offset) { in.Offset = offset; }

void CloseInput(InputFile& in) {
    if (in.Handle != -1) CloseHandle(reinterpret_cast<HANDLE>(in.Handle));
    in.Handle = -1;
}

ScratchFile CreateScratch(const std::string& finalPath, bool) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    ScratchFile result;
    result.FinalPath = finalPath;
    HANDLE f = INVALID_HANDLE_VALUE;
    for (int attempt = 0; f == INVALID_HANDLE_VALUE; attempt++) {
        std::string suffix;
        for (int i = 0; i < 6; i++) suffix += letters[random() % (sizeof letters - 1)];
        result.Path = finalPath + "." + suffix + ".part";
        Locked locked;
        int slot = 0;
        while (slot < ScratchSlots && ScratchUsed[slot]) slot++;
        if (slot == ScratchSlots) throw ToolError(finalPath + ": cannot create it: too many scratch files");
        // FILE_SHARE_DELETE: the console control handler may delete it
        // while it is still open.
        f = CreateFileW(Wide(result.Path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) {
            DWORD code = GetLastError();
            if ((code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
            throw ToolError(finalPath + ": cannot create it: " + ErrorText(code));
        }
        ScratchPaths[slot] = Wide(result.Path);
        ScratchUsed[slot] = true;
    }
    result.Handle = reinterpret_cast<intptr_t>(f);
    return result;
}

void WriteScratch(ScratchFile& f, uint64_t offset, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        DWORD wrote = 0;
        DWORD part = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        OVERLAPPED where = At(offset + done);
        if (!WriteFile(reinterpret_cast<HANDLE>(f.Handle), data + done, part, &wrote, &where) || wrote == 0)
            throw ToolError(f.FinalPath + ": cannot write it: " + LastSystemError());
        done += wrote;
    }
}

void FinishScratch(ScratchFile& f, uint64_t length) {
    HANDLE h = reinterpret_cast<HANDLE>(f.Handle);
    f.Handle = -1;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    std::string failure;
    if (!SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h) || !FlushFileBuffers(h))
        failure = LastSystemError();
    if (!CloseHandle(h) && failure.empty()) failure = LastSystemError();
    if (!failure.empty()) throw ToolError(f.FinalPath + ": cannot write it: " + failure);
}

void AbandonScratch(ScratchFile& f) {
    if (f.Handle != -1) CloseHandle(reinterpret_cast<HANDLE>(f.Handle));
    f.Handle = -1;
    if (!f.Path.empty()) RemoveScratch(f.Path);
    f.Path.clear();
}

void CommitScratch(const std::string& scratch, const std::string& finalPath) {
    if (!MoveFileExW(Wide(scratch).c_str(), Wide(finalPath).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        std::string reason = LastSystemError();
        RemoveScratch(scratch);
        throw ToolError(finalPath + ": cannot write it: " + reason);
    }
    Unregister(scratch, false);
}

void RemoveScratch(const std::string& scratch) { Unregister(scratch, true); }

void RemoveScratchFiles() {
    Locked locked;
    for (int slot = 0; slot < ScratchSlots; slot++)
        if (ScratchUsed[slot]) {
            DeleteFileW(ScratchPaths[slot].c_str());
            ScratchUsed[slot] = false;
        }
}

void RemoveScratchFilesOnInterrupt() { SetConsoleCtrlHandler(OnTermination, TRUE); }

bool CodePageSupported(unsigned codePage) {
    return codePage == 874 || codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 ||
           (codePage >= 1250 && codePage <= 1258);
}

std::string EncodeName(const std::filesystem::path& name, unsigned codePage, std::string& problem) {
    problem.clear();
    const std::wstring& wide = name.native();
    if (wide.empty()) return "";
    auto encode = [&](const wchar_t* text, int length, std::string& out) {
        BOOL usedDefault = FALSE;
        int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, length, nullptr, 0, nullptr, &usedDefault);
        if (n <= 0 || usedDefault) return false;
        out.assign(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, length, out.data(), n, nullptr, &usedDefault);
        return !usedDefault;
    };
    std::string out;
    if (encode(wide.data(), static_cast<int>(wide.size()), out)) return out;
    for (size_t i = 0; i < wide.size(); i++) {
        std::string one;
        bool pair = wide[i] >= 0xD800 && wide[i] < 0xDC00 && i + 1 < wide.size();
        if (encode(wide.data() + i, pair ? 2 : 1, one)) continue;
        uint32_t code = pair ? 0x10000 + ((wide[i] - 0xD800u) << 10) + (wide[i + 1] - 0xDC00u) : wide[i];
        char text[80];
        std::snprintf(text, sizeof text, "the character U+%04X has no place in code page %u", code, codePage);
        problem = text;
        return "";
    }
    problem = "it has no form in code page " + std::to_string(codePage);
    return "";
}

bool DecodeName(const std::string& bytes, unsigned codePage, std::string& utf8) {
    utf8.clear();
    if (bytes.empty()) return true;
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    utf8.assign(static_cast<size_t>(m > 0 ? m : 0), '\0');
    if (m > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(), m, nullptr, nullptr);
    return true;
}

std::string NameBytes(const std::filesystem::path& name) {
    const std::wstring& wide = name.native();
    if (wide.empty()) return "";
    int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

bool NamesAreUtf8() { return false; }

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
    return 80;
}

void SetBinaryStdout() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void CatchInterrupt() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool InterruptRequested() { return Interrupted != 0; }

uint16_t OpenProgressWindow(ProgressFn onProgress, void* context) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA cls = {};
    cls.lpfnWndProc = ProgressProc;
    cls.hInstance = instance;
    cls.lpszClassName = ProgressClassName;
    RegisterClassA(&cls);  // fails harmlessly when already registered
    HWND window = CreateWindowExA(0, ProgressClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (window == nullptr) return 0;
    auto handle = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(window));
    HWND widened = reinterpret_cast<HWND>(static_cast<uintptr_t>(handle));
    if (handle == 0 || !IsWindow(widened)) {
        DestroyWindow(window);
        return 0;
    }
    ProgressCallback = onProgress;
    ProgressContext = context;
    return handle;
}

void CloseProgressWindow(uint16_t window) {
    if (window == 0) return;
    DestroyWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)));
    ProgressCallback = nullptr;
    ProgressContext = nullptr;
}

}  // namespace sfx
