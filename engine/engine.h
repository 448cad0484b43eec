// The extraction engine: one process-wide state, the buffered and bit-wise
// reader of an entry's compressed data, progress and cancel, the output
// window with its CRC-32, file metadata, and ExtractEntry, the engine's one
// entry point.
//
// The engine serves one entry at a time. ExtractEntry sets the per-entry
// fields of EngineState, the decoder of the entry's method pulls its input
// through FillInput/EnsureBits/DropBits/ReadInputByte and pushes its output
// through FlushOutput, and ExtractEntry finishes the file.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

// Result of ExtractEntry, CopyStored and every decompressor.
using ExtractResult = int32_t;
constexpr ExtractResult Busy = -1;
constexpr ExtractResult Ok = 0;
constexpr ExtractResult ChecksumMismatch = 1;
constexpr ExtractResult OutputFailed = 2;
constexpr ExtractResult InputFailed = 3;
constexpr ExtractResult ArchiveDamaged = 4;
constexpr ExtractResult Cancelled = 5;
constexpr ExtractResult Unsupported = 6;
constexpr ExtractResult Encrypted = 7;

// Both sizes of an entry whose sizes follow its data: 100 below the largest
// signed 32-bit value, so that FillInput keeps reading (BytesRead stays far
// below CompressedSize + 2) until the decoder finds the end by itself.
constexpr int32_t DeferredSize = 0x7FFFFF9B;

constexpr int InputBufferSize = 2048;
constexpr int OutputWindowSize = 32768;

// All of the engine's working data. Group 1 starts with the values given,
// group 2 starts zeroed; both live for the whole process.
struct EngineStateRecord {
    // Group 1
    int32_t MemoryCount = 0;        // bytes stored into the memory block so far
    bool MemoryOutput = false;      // decoded data goes to MemoryTarget
    bool TestOnly = false;          // decoded data only passes through the CRC
    uint8_t* MemoryTarget = nullptr;  // where the next byte for the memory block goes
    int32_t MemoryLimit = 0;        // capacity of the memory block
    // (inflate's two root widths for dynamic blocks, 9 and 6 bits, are
    // constants of codecs/inflate.cpp: with them here the record would be
    // initialised data, 2 KiB of the Windows launcher's file, where all
    // zeros live in .bss.)
    uint8_t* OutputWindow = nullptr;  // the per-entry 32 KiB window
    bool EngineBusy = false;        // an extraction is under way
    // GetTickCount at the last PumpMessages, as the system gives it: an
    // unsigned count of milliseconds that passes 2^31 after 24.8 days and
    // wraps after 49.7, so only unsigned differences of it mean anything.
    uint32_t LastPumpTick = 0;

    // Group 2
    uint8_t InputBuffer[InputBufferSize] = {};
    int16_t InputPos = 0;           // next byte to take from InputBuffer
    int32_t InputLast = 0;          // index of the last valid byte in InputBuffer
    uint16_t ProgressWindow = 0;    // 0 = none; widened with zeros when used
    int16_t ProgressCommandId = 0;  // command id, or the cancel key without a window
    uint16_t WindowPos = 0;         // bytes staged in OutputWindow since its last flush
    uint32_t BitBuffer = 0;         // bit accumulator; bits at and above BitCount are 0
    uint8_t BitCount = 0;           // valid bits in BitBuffer
    win::HANDLE ArchiveFile = nullptr;
    win::HANDLE OutputFile = nullptr;
    int32_t CompressedSize = 0;     // or DeferredSize
    int32_t BytesRead = 0;          // archive bytes taken for this entry so far
    int32_t UncompressedSize = 0;   // or DeferredSize
    int16_t ProgressPercent = 0;    // the percentage announced last
    uint32_t RunningCrc = 0;
    uint64_t BytesFlushed = 0;      // output handed to FlushOutput for this entry, in any output mode
    uint16_t EntryFlags = 0;        // general-purpose flags of the local header
    bool CancelRequested = false;
    bool InputExhausted = false;    // reader ran past the data or the file, or a read failed
    char* TokenCursor = nullptr;    // NextPathToken's cursor; null = no more tokens
    int32_t LastFileError = 0;      // outcome of the last time/attribute call
    // System error of a failed output write, raised by ExtractEntry after the
    // decoder has returned (0 = none).
    int32_t PendingWriteError = 0;
};

extern EngineStateRecord EngineState;

// The fast paths: the CRC and the decoders take faster routes (word-wise
// refills, wider tables, sliced CRC) that leave every observable result,
// byte and bit state just as the plain routes do. Always on in the product;
// the test suite runs a second time with it cleared so that the plain routes
// are checked on their own, and a differential fuzzer compares the two.
extern bool FastPathsEnabled;

// 2^n - 1 for n = 0..16.
extern const uint16_t BitMaskTable[17];

// ---- input (reader.cpp) ----
void FillInput();
void ReadInputByte(uint8_t& byte);
// Afterwards BitCount >= n; n is at most 24.
void EnsureBits(uint8_t n);
void DropBits(uint8_t n);
// Takes the next n (at most 16) bits: EnsureBits(n), the low n bits of
// BitBuffer, DropBits(n).
uint32_t TakeBits(uint8_t n);

// ---- messages and progress (progress.cpp) ----
void PumpMessages();
void ReportProgress();

// ---- path operations (paths.cpp) ----
// Paths are bytes of the system's ANSI code page. In a double-byte code page
// (932 Japanese, 936, 949, 950) the second byte of a character may have the
// value of "\" or of another ASCII character, so every search for a
// separator goes through FindSeparator, which steps over both bytes of each
// double-byte character.
//
// The first byte at or after text that is one of `separators` and not the
// second byte of a double-byte character; null when there is none.
const char* FindSeparator(const char* text, const char* separators);
// Just after the last separator of text (text itself when it has none).
const char* AfterLastSeparator(const char* text, const char* separators);
// True when the last character of text is "\" (a directory path).
bool EndsWithBackslash(const char* text);
char* NextPathToken(char* text, char separator);
int32_t TryChangeDir(const char* path);
int32_t MakeDir(const char* path);

// ---- CRC-32 (crc.cpp) ----
// The 256-entry table of the CRC-32 of ZIP (reflected polynomial 0xEDB88320).
extern const std::array<uint32_t, 256> CrcTable;

struct DosTimeFields {
    uint16_t Year;
    uint16_t Month;
    uint16_t Day;
    uint16_t Hour;
    uint16_t Minute;
    uint16_t Second;
};

void UpdateCrc(const uint8_t* data, int32_t count);

// ---- output window and file metadata (output.cpp) ----
// n: 0..32768 bytes from the start of OutputWindow.
bool FlushOutput(uint16_t n);
DosTimeFields UnpackDosDateTime(uint32_t dosDateTime);
void SetFileTimeFromDos(win::HANDLE outputFile, uint32_t dosDateTime);
void ApplyFileAttributes(const char* path, uint16_t attributes);

// ---- entry extraction (extract.cpp) ----
int32_t SupportedMethods();
ExtractResult CopyStored();
ExtractResult ExtractEntry(const char* archivePath, const char* destPath, uint16_t attributes, int32_t headerOffset,
                           uint16_t progressWindow, int16_t progressCommandId);

// ---- the uncaught I/O error (ioerror.cpp) ----
// Ends the run: shows the error report for the system error code and exits
// the process with code 1. Nothing catches it.
[[noreturn]] void RaiseIoError(int32_t code);
