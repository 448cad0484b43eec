// The message pump and the progress protocol.
//
// While an entry is extracted the engine drains the calling thread's message
// queue before every input block, so the caller's windows stay alive. Progress
// goes to a window as WM_COMMAND with the command id as wParam and the address
// of a 16-bit percentage as lParam; the window asks for a stop by storing
// 0xFFFF there. Without a window, a non-zero command id names a key that
// cancels while it is held down.
#include "engine/engine.h"

// A WM_QUIT met in the drain is not the engine's to act on: the caller's own
// message loop must see it to end the application. It is held back while the
// drain goes on (posting it at once would hand it straight back to this loop)
// and posted again, with its exit code, once the queue is empty, as the modal
// loops of the system do.
void PumpMessages() {
    EngineStateRecord& e = EngineState;
    e.LastPumpTick = win::GetTickCount();
    bool quit = false;
    int quitCode = 0;
    win::MSG msg;
    while (win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_REMOVE)) {
        if (msg.message == win::WM_QUIT) {
            quit = true;
            quitCode = static_cast<int>(msg.wParam);
            continue;
        }
        win::HWND progress = reinterpret_cast<win::HWND>(static_cast<uintptr_t>(e.ProgressWindow));
        if (e.ProgressWindow != 0 && win::IsDialogMessageA(progress, &msg)) continue;
        win::TranslateMessage(&msg);
        win::DispatchMessageA(&msg);
    }
    if (quit) win::PostQuitMessage(quitCode);
}

// Percentage of the entry's compressed data read so far: integer arithmetic
// up to 1000000 bytes (BytesRead * 100 still fits in 32 bits), floating point
// beyond. Both truncate; only the low 16 bits of the quotient count.
static uint16_t PercentRead(int32_t bytesRead, int32_t compressedSize) {
    if (bytesRead <= 1000000) {
        int32_t q = (bytesRead * 100) / compressedSize;
        // INT32_MIN / -1 cannot happen: bytesRead * 100 is above -2^31 here.
        return static_cast<uint16_t>(q);
    }
    long double q = static_cast<long double>(bytesRead) * 100.0L / static_cast<long double>(compressedSize);
    // Truncate toward zero; the quotient is below 2^31 * 100 in magnitude, so
    // it fits a 64-bit integer whose low 16 bits are taken.
    return static_cast<uint16_t>(static_cast<int64_t>(q));
}

void ReportProgress() {
    EngineStateRecord& e = EngineState;
    if (e.CompressedSize == 0) return;
    uint16_t p = PercentRead(e.BytesRead, e.CompressedSize);
    if (p > 100) p = 100;
    if (static_cast<int16_t>(p) == e.ProgressPercent) return;
    e.ProgressPercent = static_cast<int16_t>(p);
    if (e.ProgressWindow != 0) {
        // The window may overwrite the percentage with 0xFFFF to ask for a stop.
        uint16_t answer = p;
        win::SendMessageA(reinterpret_cast<win::HWND>(static_cast<uintptr_t>(e.ProgressWindow)), win::WM_COMMAND,
                          static_cast<win::WPARAM>(static_cast<intptr_t>(e.ProgressCommandId)),
                          reinterpret_cast<win::LPARAM>(&answer));
        e.CancelRequested = (answer == 0xFFFF);
    } else if (e.ProgressCommandId != 0) {
        e.CancelRequested = win::GetAsyncKeyState(e.ProgressCommandId) < 0;
    }
}
