// The sfx tool's host services on Linux, on top of the POSIX backend: its
// path mapping and its emulated windows, whose procedures SendMessageA calls
// directly, as Windows does for a window of the calling thread.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/posix/posix_backend.h"
#include "sfx/host.h"

namespace sfx {

namespace {

volatile std::sig_atomic_t Interrupted = 0;
ProgressFn ProgressCallback = nullptr;
void* ProgressContext = nullptr;

void OnInterrupt(int) { Interrupted = 1; }

win::LRESULT ProgressProc(win::HWND, win::UINT message, win::WPARAM, win::LPARAM lParam) {
    if (message != win::WM_COMMAND || lParam == 0) return 0;
    auto* percent = reinterpret_cast<uint16_t*>(lParam);
    if (ProgressCallback != nullptr) ProgressCallback(ProgressContext, *percent);
    if (Interrupted) *percent = 0xFFFF;
    return 0;
}

}  // namespace

std::string AbsoluteCorePath(const std::string& hostPath) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(hostPath, ec);
    std::string host = ec ? hostPath : absolute.string();
    return win::posix::ToWindowsPath(host.c_str());
}

std::string NameBytes(const std::filesystem::path& name) { return name.native(); }

bool NamesAreUtf8() { return true; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void SetBinaryStdout() {}

void CatchInterrupt() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;  // the second Ctrl+C ends the process
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool InterruptRequested() { return Interrupted != 0; }

uint16_t OpenProgressWindow(ProgressFn onProgress, void* context) {
    win::HWND window = win::posix::CreateTestWindow(ProgressProc);
    auto handle = reinterpret_cast<uintptr_t>(window);
    if (handle == 0 || handle > 0xFFFF) {
        if (handle != 0) win::posix::DestroyTestWindow(window);
        return 0;
    }
    ProgressCallback = onProgress;
    ProgressContext = context;
    return static_cast<uint16_t>(handle);
}

void CloseProgressWindow(uint16_t window) {
    if (window == 0) return;
    win::posix::DestroyTestWindow(reinterpret_cast<win::HWND>(static_cast<uintptr_t>(window)));
    ProgressCallback = nullptr;
    ProgressContext = nullptr;
}

}  // namespace sfx
