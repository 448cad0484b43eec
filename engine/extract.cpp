// ExtractEntry: one entry of a ZIP archive, named by the offset of its local
// file header, becomes a file (or a memory block, or only a CRC check).
//
// The local file header (30 bytes; fields in engine/zip_records.h) gives the
// flags, method, DOS date and time, CRC-32 and both sizes; the data follows
// at 30 + name length + extra length. With flag bit 3 the CRC and sizes may follow the data in a data descriptor
// (optional signature 50 4B 07 08, CRC-32, compressed size, uncompressed size);
// this reader always skips the first four bytes of it and takes the CRC from
// the next four.
#include <cstring>

#include "codecs/codecs.h"
#include "engine/engine.h"
#include "engine/zip_records.h"

namespace {

constexpr int32_t LocalHeaderSize = ZipLocal::Size;

win::HANDLE CreateOutputFile(const char* name) {
    return win::CreateFileA(name, win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL,
                            nullptr);
}

void SendProgress(uint16_t window, int16_t commandId, int16_t* percent) {
    win::SendMessageA(reinterpret_cast<win::HWND>(static_cast<uintptr_t>(window)), win::WM_COMMAND,
                      static_cast<win::WPARAM>(static_cast<intptr_t>(commandId)),
                      reinterpret_cast<win::LPARAM>(percent));
}

// The window is kept from one entry to the next, with how much of it from
// its start may no longer be zero: an installer holds hundreds of small
// files, and zeroing all 32 KiB for each of them cost a fifth of their
// extraction. Every entry still starts on a window of zeros, as on a fresh
// one, since a stream may refer back past its own start and must meet zeros
// there.
uint8_t* SpareWindow = nullptr;
int32_t SpareWritten = 0;

uint8_t* TakeWindow() {
    if (SpareWindow == nullptr) return new uint8_t[OutputWindowSize]();
    uint8_t* window = SpareWindow;
    SpareWindow = nullptr;
    std::memset(window, 0, static_cast<size_t>(SpareWritten));
    return window;
}

// The entry's window goes back, `written` bytes of it from its start
// possibly no longer zero.
void ReleaseWindow(int32_t written) {
    EngineStateRecord& e = EngineState;
    if (SpareWindow == nullptr) {
        SpareWindow = e.OutputWindow;
        SpareWritten = written;
    } else {
        delete[] e.OutputWindow;
    }
    e.OutputWindow = nullptr;
}

// How far from its start the decoder of `method` may have written the
// window. Stored data is read into it in pieces from index 0, at most the
// compressed size. Inflate writes only below WindowPos until the window is
// first full, which is also its first flush of a whole window, and it
// leaves every byte beyond WindowPos as it was (the fast loop puts back
// what its wide copies run over). The other decoders keep tables or a ring
// in the whole window.
int32_t WindowWritten(uint16_t method) {
    const EngineStateRecord& e = EngineState;
    if (method == 0) return e.CompressedSize < 0 ? 0 : e.CompressedSize < OutputWindowSize ? e.CompressedSize : OutputWindowSize;
    if (method == 8 && e.BytesFlushed < static_cast<uint64_t>(OutputWindowSize)) return e.WindowPos;
    return OutputWindowSize;
}

// Every return after the archive is open and before the decoder runs goes
// through here.
ExtractResult GiveUp(ExtractResult result) {
    EngineStateRecord& e = EngineState;
    ReleaseWindow(0);
    win::CloseHandle(e.ArchiveFile);
    e.EngineBusy = false;
    return result;
}

// Enters the components of the working copy one after the other from the
// root of its drive, creating those that are missing, and leaves the process
// in the deepest directory reached. The file name (after the last "\") is not
// entered; for a directory entry that is the empty last token.
void WalkDestinationPath(char* workCopy) {
    const char* after = AfterLastSeparator(workCopy, "\\");
    const char* nameStart = after != workCopy ? after : nullptr;
    char* t = NextPathToken(workCopy, '\\');
    if (t != nullptr && t[0] != '\0' && t[1] == ':') {
        char root[4] = {t[0], ':', '\\', '\0'};
        TryChangeDir(root);
        t = NextPathToken(nullptr, '\\');
    }
    while (t != nullptr && t != nameStart) {
        int32_t code = TryChangeDir(t);
        if (code != 0) {
            code = MakeDir(t);
            if (code == 0) code = TryChangeDir(t);
        }
        if (code != 0) break;
        t = NextPathToken(nullptr, '\\');
    }
}

// Reads the data descriptor behind the compressed data and returns its CRC.
uint32_t ReadDescriptorCrc(uint16_t method) {
    EngineStateRecord& e = EngineState;
    if (method == 0) {
        // CopyStored read straight from the file: start the reader afresh
        // just behind the data.
        e.InputPos = 0;
        e.InputLast = -1;
        e.WindowPos = 0;
        e.BitCount = 0;
        e.BitBuffer = 0;
    } else {
        DropBits(e.BitCount & 7);
    }
    for (int i = 0; i < 2; i++) {  // the signature (or whatever stands there)
        EnsureBits(16);
        DropBits(16);
    }
    EnsureBits(16);
    uint32_t low = e.BitBuffer & 0xFFFF;
    DropBits(16);
    EnsureBits(16);
    uint32_t high = e.BitBuffer & 0xFFFF;
    DropBits(16);
    return low | (high << 16);
}

ExtractResult Decode(uint16_t method) {
    switch (method) {
        case 0:
            return CopyStored();
        case 1:
            return static_cast<ExtractResult>(Unshrink());  // widened with its sign
        case 2:
        case 3:
        case 4:
        case 5:
            return Unreduce(method);
        case 6:
            return Explode();
        case 8: return Inflate();
        default:
            return Unsupported;
    }
}

}  // namespace

int32_t SupportedMethods() { return 0x17F; }

ExtractResult CopyStored() {
    EngineStateRecord& e = EngineState;
    while (e.BytesRead < e.CompressedSize && !e.CancelRequested) {
        int32_t k = e.CompressedSize - e.BytesRead;
        if (k > OutputWindowSize) k = OutputWindowSize;
        win::DWORD got = 0;
        if (!win::ReadFile(e.ArchiveFile, e.OutputWindow, static_cast<win::DWORD>(k), &got, nullptr) ||
            got != static_cast<win::DWORD>(k))
            return InputFailed;
        if (!FlushOutput(static_cast<uint16_t>(k))) return OutputFailed;
        e.BytesRead += k;
        PumpMessages();
        ReportProgress();
    }
    return e.CancelRequested ? Cancelled : Ok;
}

ExtractResult ExtractEntry(const char* archivePath, const char* destPath, uint16_t attributes, int32_t headerOffset,
                           uint16_t progressWindow, int16_t progressCommandId) {
    EngineStateRecord& e = EngineState;

    // Busy guard. The flag is set only while a call is really
    // running: every return clears it, and the paths that do not return (an
    // I/O error) end the process. A set flag therefore always means that this
    // call comes from a window procedure pumped by the extraction under way,
    // however long that procedure blocked before (a modal box can sit for
    // minutes), and such a call would free the window, the handles and the
    // decoder state that the outer call is still using. So it is always
    // refused; no time since the last pump can make it safe.
    e.CancelRequested = false;
    if (e.EngineBusy) return Busy;

    // The window, and the archive opened for reading.
    e.EngineBusy = true;
    e.OutputWindow = TakeWindow();
    e.ArchiveFile = win::CreateFileA(archivePath, win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                     nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (e.ArchiveFile == win::INVALID_HANDLE_VALUE) {
        ReleaseWindow(0);
        e.EngineBusy = false;
        return InputFailed;
    }

    // The local header: positioned, read whole, its signature checked.
    // Without a high part, a position of 0xFFFFFFFF cannot be a success.
    if (win::SetFilePointer(e.ArchiveFile, headerOffset, nullptr, win::FILE_BEGIN) == win::INVALID_SET_FILE_POINTER)
        return GiveUp(ArchiveDamaged);
    win::DWORD got = 0;
    if (!win::ReadFile(e.ArchiveFile, e.InputBuffer, LocalHeaderSize, &got, nullptr) || got < LocalHeaderSize)
        return GiveUp(ArchiveDamaged);
    const uint8_t* h = e.InputBuffer;
    if (!HasSignature(h, ZipLocal::Signature)) return GiveUp(ArchiveDamaged);

    // The local header's fields.
    LocalHeaderFields local = ReadLocalHeaderFields(h);
    int32_t dataOffset = static_cast<int32_t>(static_cast<uint32_t>(headerOffset) + LocalHeaderSize +
                                              local.NameLength + local.ExtraLength);
    uint32_t dosDateTime = local.DosDateTime;
    uint16_t method = local.Method;
    e.CompressedSize = static_cast<int32_t>(local.CompressedSize);
    e.UncompressedSize = static_cast<int32_t>(local.UncompressedSize);
    uint32_t storedCrc = local.Crc;
    e.EntryFlags = local.Flags;

    // Sizes deferred to the data descriptor.
    if ((e.EntryFlags & 8) != 0 && method != 0 && e.CompressedSize == 0) {
        e.CompressedSize = DeferredSize;
        e.UncompressedSize = DeferredSize;
        storedCrc = 0;
    }

    // Method and encryption tests. Only the low five bits of the method choose the bit, so methods
    // 32 and above reach the dispatch, which refuses them.
    if ((SupportedMethods() & (1 << (method % 32))) == 0) return GiveUp(Unsupported);
    if ((e.EntryFlags & 1) != 0) return GiveUp(Encrypted);

    // To the start of the data (the outcome of this seek is not tested).
    e.BytesRead = 0;
    win::SetFilePointer(e.ArchiveFile, dataOffset, nullptr, win::FILE_BEGIN);

    // The destination: created, with missing directories walked and made.
    if (!e.MemoryOutput) {
        char workCopy[PathBufferSize];
        size_t len = destPath != nullptr ? std::strlen(destPath) : 0;
        bool wantsSlash = (attributes & 0x10) != 0 && len > 0 && !EndsWithBackslash(destPath);
        // A path that does not fit the working copy is refused before
        // anything is created for it.
        if (destPath == nullptr || len + (wantsSlash ? 1 : 0) > MaxPathLength) return GiveUp(OutputFailed);
        std::memcpy(workCopy, destPath, len + 1);
        if (wantsSlash) {
            workCopy[len++] = '\\';
            workCopy[len] = '\0';
        }
        char outputName[PathBufferSize];
        std::memcpy(outputName, workCopy, len + 1);
        bool isDirectory = EndsWithBackslash(workCopy);

        int32_t code = 0;
        e.OutputFile = CreateOutputFile(outputName);
        if (e.OutputFile == win::INVALID_HANDLE_VALUE) code = static_cast<int32_t>(win::GetLastError());
        if (code == static_cast<int32_t>(win::ERROR_PATH_NOT_FOUND) || isDirectory) {
            WalkDestinationPath(workCopy);
            if (isDirectory) {
                // A created file of a directory's name would be a stray: the
                // first attempt fails for a name ending in "\" anyway.
                if (code == 0) win::CloseHandle(e.OutputFile);
                return GiveUp(Ok);
            }
            code = 0;
            e.OutputFile = CreateOutputFile(outputName);
            if (e.OutputFile == win::INVALID_HANDLE_VALUE) code = static_cast<int32_t>(win::GetLastError());
        }
        if (code != 0) return GiveUp(OutputFailed);
    }

    // Decoding.
    e.InputExhausted = false;
    e.PendingWriteError = 0;
    e.ProgressWindow = progressWindow;
    e.ProgressCommandId = progressCommandId;
    PumpMessages();
    e.ProgressPercent = 0;
    if (progressWindow != 0) SendProgress(progressWindow, progressCommandId, &e.ProgressPercent);
    e.RunningCrc = 0xFFFFFFFFu;
    e.BytesFlushed = 0;
    ExtractResult result = Decode(method);

    // The data descriptor's CRC, the final CRC, the archive closed.
    if (result == Ok && (e.EntryFlags & 8) != 0) storedCrc = ReadDescriptorCrc(method);
    e.RunningCrc = ~e.RunningCrc;
    win::CloseHandle(e.ArchiveFile);

    // Output closed. The time is set whatever the result, before a failed output goes.
    if (!e.MemoryOutput) {
        SetFileTimeFromDos(e.OutputFile, dosDateTime);
        win::CloseHandle(e.OutputFile);
    }

    // The outcome: a failed output is deleted, a good one gets its attributes.
    if (result != Ok) {
        if (!e.MemoryOutput) {
            if (!win::DeleteFileA(destPath)) RaiseIoError(static_cast<int32_t>(win::GetLastError()));
            if (e.PendingWriteError != 0) RaiseIoError(e.PendingWriteError);
        }
    } else if (e.RunningCrc != storedCrc) {
        result = ChecksumMismatch;
        if (!e.MemoryOutput) win::DeleteFileA(destPath);
    } else {
        e.ProgressPercent = 100;
        if (progressWindow != 0) {
            SendProgress(progressWindow, progressCommandId, &e.ProgressPercent);
            if (static_cast<uint16_t>(e.ProgressPercent) == 0xFFFF) {
                result = Cancelled;
                if (!e.MemoryOutput) win::DeleteFileA(destPath);
            }
        }
        if (result == Ok && !e.MemoryOutput) ApplyFileAttributes(destPath, attributes);
    }

    // Release.
    ReleaseWindow(WindowWritten(method));
    e.EngineBusy = false;
    return result;
}
