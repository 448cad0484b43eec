// The few things the sfx tool needs from the machine it runs on, apart from
// what the launcher's platform layer already offers: path conversion, the
// terminal, the interrupt key, and a window that receives the engine's
// progress messages. One implementation per backend (host_posix.cpp,
// host_win32.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace sfx {

// The absolute form of a host path in the launcher's notation: on Windows
// the full path, on Linux "C:" followed by the absolute path with "\".
// Relative paths must not reach the engine, which changes the current
// directory while it creates folders.
std::string AbsoluteCorePath(const std::string& hostPath);

// The bytes of a file name as the launcher's system sees them: on Linux
// the name itself (UTF-8 by convention), on Windows the name in the ANSI
// code page. NamesAreUtf8 says which.
std::string NameBytes(const std::filesystem::path& name);
bool NamesAreUtf8();

// True when standard error is a terminal (the progress bar goes there).
bool StderrIsTerminal();

// Standard output without newline translation (for `sfx cat`).
void SetBinaryStdout();

// Ctrl+C: the first press only sets a flag, which the extraction turns into
// a cancel through the engine's progress protocol; a second press ends the
// process as usual.
void CatchInterrupt();
bool InterruptRequested();

// Receives the engine's progress notifications: the percentage of the
// current entry's compressed data read so far (0..100).
using ProgressFn = void (*)(void* context, uint16_t percent);

// A window whose procedure handles the engine's WM_COMMAND messages: it
// hands the percentage behind lParam to `onProgress` and, after an
// interrupt, stores 0xFFFF there to ask the engine to stop. The result is
// the handle in the engine's 16-bit form, or 0 when no window could be made
// (the extraction then runs without progress). One window at a time.
uint16_t OpenProgressWindow(ProgressFn onProgress, void* context);
void CloseProgressWindow(uint16_t window);

}  // namespace sfx
