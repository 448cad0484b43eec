// Windows, message queues, keys and the clock, emulated.
//
// There is no window system: a window is a small integer handle (0x100,
// 0x101, ... so that it survives the engine's 16-bit handle fields) bound to
// a procedure in a process-wide table. Each thread has its own queue;
// PostMessageA appends to the caller's queue, PeekMessageA takes from it
// with the window and range filters of Win32, DispatchMessageA and
// SendMessageA call the procedure on the calling thread.
#include <time.h>

#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_backend.h"

namespace win {

namespace {

struct WindowInfo {
    posix::WNDPROC Proc;
    bool IsDialog;
};

constexpr uintptr_t FirstWindowHandle = 0x100;
// Handles stay below 0x10000: the engine keeps window handles in 16 bits.
constexpr uintptr_t LastWindowHandle = 0xFFFF;

std::mutex WindowsLock;
std::map<uintptr_t, WindowInfo> Windows;  // guarded by WindowsLock
uintptr_t NextWindowHandle = FirstWindowHandle;  // guarded by WindowsLock

thread_local std::deque<MSG> ThreadQueue;

std::array<std::atomic<bool>, 256> KeysDown{};

std::atomic<bool> ManualTicks{false};
std::atomic<DWORD> ManualTickValue{0};

bool FindWindow(HWND window, WindowInfo& info) {
    std::lock_guard<std::mutex> lock(WindowsLock);
    auto it = Windows.find(reinterpret_cast<uintptr_t>(window));
    if (it == Windows.end()) return false;
    info = it->second;
    return true;
}

// The Win32 filters of PeekMessageA: a null window takes every message of
// the thread, (HWND)-1 only thread messages, any other handle that
// window's; a range of 0..0 takes every message.
bool Matches(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
    if (window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) {
        if (msg.hwnd != nullptr) return false;
    } else if (window != nullptr && msg.hwnd != window) {
        return false;
    }
    if (filterMin == 0 && filterMax == 0) return true;
    if (filterMin > filterMax) return true;  // an empty range filters nothing
    return msg.message >= filterMin && msg.message <= filterMax;
}

}  // namespace

DWORD GetTickCount() {
    if (ManualTicks.load()) return ManualTickValue.load();
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    return static_cast<DWORD>(ms);  // wraps after 49.7 days, like Windows' count
}

BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (msg == nullptr) return 0;
    for (auto it = ThreadQueue.begin(); it != ThreadQueue.end(); ++it) {
        if (!Matches(*it, window, filterMin, filterMax)) continue;
        *msg = *it;
        if (removeMsg & PM_REMOVE) ThreadQueue.erase(it);
        return 1;
    }
    return 0;
}

BOOL IsDialogMessageA(HWND dialog, MSG* msg) {
    if (msg == nullptr || dialog == nullptr || msg->hwnd != dialog) return 0;
    WindowInfo info;
    if (!FindWindow(dialog, info) || !info.IsDialog) return 0;
    info.Proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
    return 1;
}

BOOL TranslateMessage(const MSG* /*msg*/) {
    return 0;  // no keyboard messages, so nothing to translate
}

LRESULT DispatchMessageA(const MSG* msg) {
    WindowInfo info;
    if (msg == nullptr || msg->hwnd == nullptr || !FindWindow(msg->hwnd, info)) return 0;
    return info.Proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowInfo info;
    if (!FindWindow(window, info)) {
        SetLastError(posix::detail::ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return info.Proc(window, message, wParam, lParam);
}

SHORT GetAsyncKeyState(int virtualKey) {
    if (virtualKey < 0 || virtualKey >= static_cast<int>(KeysDown.size())) return 0;
    return KeysDown[static_cast<size_t>(virtualKey)].load() ? static_cast<SHORT>(0x8000) : 0;
}

namespace posix {

HWND CreateTestWindow(WNDPROC proc, bool isDialog) {
    std::lock_guard<std::mutex> lock(WindowsLock);
    // Handles are handed out in turn and reused only after the range ran out.
    for (uintptr_t tries = FirstWindowHandle; tries <= LastWindowHandle; tries++) {
        uintptr_t handle = NextWindowHandle;
        NextWindowHandle = handle == LastWindowHandle ? FirstWindowHandle : handle + 1;
        if (Windows.count(handle) != 0) continue;
        Windows[handle] = WindowInfo{proc, isDialog};
        return reinterpret_cast<HWND>(handle);
    }
    return nullptr;
}

void DestroyTestWindow(HWND window) {
    {
        std::lock_guard<std::mutex> lock(WindowsLock);
        Windows.erase(reinterpret_cast<uintptr_t>(window));
    }
    // Messages still queued for the window go with it.
    std::erase_if(ThreadQueue, [window](const MSG& msg) { return msg.hwnd == window; });
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowInfo info;
    if (window != nullptr && !FindWindow(window, info)) {
        SetLastError(detail::ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    ThreadQueue.push_back(MSG{window, message, wParam, lParam, GetTickCount(), POINT{0, 0}});
    return 1;
}

void DiscardThreadMessages() { ThreadQueue.clear(); }

void SetKeyDown(int virtualKey, bool down) {
    if (virtualKey >= 0 && virtualKey < static_cast<int>(KeysDown.size()))
        KeysDown[static_cast<size_t>(virtualKey)].store(down);
}

void SetManualTicks(bool on, DWORD value) {
    ManualTickValue.store(value);
    ManualTicks.store(on);
}

void AdvanceTicks(DWORD ms) { ManualTickValue.fetch_add(ms); }

}  // namespace posix

}  // namespace win
