// The few things the sfx tool needs from the machine it runs on, apart from
// what the launcher's platform layer already offers: path conversion, the
// terminal, the interrupt key, and a window that receives the engine's
// progress messages. One implementation per backend (host_posix.cpp,
// host_win32.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

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

// Paths as the user typed them (std::string: the bytes of the command line,
// in the ANSI code page on Windows) and as the file system takes them. The
// C++ library's own conversion takes strings for UTF-8, which they are not
// on Windows, so every conversion goes through these two.
std::filesystem::path HostPath(const std::string& typed);
std::string DisplayPath(const std::filesystem::path& path);

// The system's text for the last error of the calling thread (strerror of
// errno, FormatMessage of GetLastError).
std::string LastSystemError();

// The whole file, through the wide-character calls on Windows; failures
// name `display` and give the system's reason. Files above `limit` bytes
// are refused without being read.
std::vector<uint8_t> ReadPathBytes(const std::filesystem::path& path, uint64_t limit, const std::string& display);

// A file read in pieces (pack reads the folder's files and the archive so,
// never whole). Size is the length when it was opened; ReadInput fills the
// buffer up to that length and throws ToolError naming `display` when the
// system fails or the file became shorter. CloseInput is safe to call twice.
struct InputFile {
    intptr_t Handle = -1;
    uint64_t Size = 0;
    uint64_t Offset = 0;  // where the next read starts
    std::string Display;
};
// Opens a regular file of at most `limit` bytes; throws ToolError as
// ReadPathBytes does.
InputFile OpenInput(const std::filesystem::path& path, uint64_t limit, const std::string& display);
// Up to `size` bytes from Offset on, fewer only at the recorded end.
size_t ReadInput(InputFile& in, uint8_t* buffer, size_t size);
// Moves Offset (to read a file again from its start).
void RewindInput(InputFile& in, uint64_t offset);
void CloseInput(InputFile& in);

// Scratch files for `sfx pack`, so that it never destroys or half-writes a
// file: a scratch file is created exclusively (a name that no existing file
// has) beside its final name, so that the final rename stays in one folder
// and replaces the old file in one step. It is registered at once for
// removal by RemoveScratchFiles, which the interrupt handlers call. Failures
// name `finalPath`, never the scratch name. `executable`: mode 0777 less
// the umask on POSIX.
std::string WriteScratchBeside(const std::string& finalPath, const std::vector<uint8_t>& data, bool executable);
// The same in pieces: CreateScratch makes and registers the file, WriteScratch
// writes at an offset (pack writes a ZIP header, the data behind it, then
// the header again with the sizes), FinishScratch cuts the file to `length`,
// flushes it to the disk and closes it. Failures throw ToolError naming
// FinalPath; the file stays registered until CommitScratch or
// AbandonScratch.
struct ScratchFile {
    intptr_t Handle = -1;
    std::string Path;       // the scratch name
    std::string FinalPath;  // the name messages give
};
ScratchFile CreateScratch(const std::string& finalPath, bool executable);
void WriteScratch(ScratchFile& f, uint64_t offset, const uint8_t* data, size_t size);
void FinishScratch(ScratchFile& f, uint64_t length);
// Closes the file if it is open and removes it.
void AbandonScratch(ScratchFile& f);
// Renames the scratch file over `finalPath`; the scratch file is gone
// afterwards, whatever happened.
void CommitScratch(const std::string& scratch, const std::string& finalPath);
// Deletes one scratch file (nothing when it is gone already).
void RemoveScratch(const std::string& scratch);
// Deletes every scratch file still registered; safe in a signal handler.
void RemoveScratchFiles();
// SIGINT and SIGTERM (the console control handler on Windows) delete the
// scratch files, then end the process as the signal would have.
void RemoveScratchFilesOnInterrupt();

// Names in the launcher's code page. The launcher creates files under the
// bytes of their names in the user's ANSI code page (874, 932, 936, 949,
// 950 or 1250 to 1258), so pack writes names in the code page the author
// names, and check reads them in it.
constexpr unsigned DefaultCodePage = 1252;
bool CodePageSupported(unsigned codePage);
// A file name (on Linux its UTF-8 bytes, on Windows its UTF-16) in the code
// page; on failure "" and `problem` says why ("the character U+65E5 has no
// place in code page 1252", "is not valid UTF-8").
std::string EncodeName(const std::filesystem::path& name, unsigned codePage, std::string& problem);
// Bytes of a name in the code page as UTF-8 (for messages), or false when
// they are no valid text in it.
bool DecodeName(const std::string& bytes, unsigned codePage, std::string& utf8);

// True when standard error is a terminal (the progress bar goes there).
bool StderrIsTerminal();
// The width of the terminal on standard error in characters, or 80 when it
// cannot be known.
int TerminalColumns();

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
