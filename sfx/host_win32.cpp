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

#include <cstdio>
#include <string>

#include "sfx/host.h"

namespace sfx {

namespace {

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
