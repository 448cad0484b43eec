// The output side of the engine: FlushOutput hands a stretch of OutputWindow
// to the destination (the output file, a memory block, or nowhere) and always
// runs the same bytes through the CRC-32; the metadata calls give the finished
// file the entry's DOS date and time and the requested attributes.
#include <cstring>

#include "engine/engine.h"

bool FlushOutput(uint16_t n) {
    EngineStateRecord& e = EngineState;
    bool result = true;
    if (e.TestOnly) {
        // Nothing is stored; the CRC below still sees every byte.
    } else if (e.MemoryOutput) {
        int32_t k = n;
        // 64-bit sum: a caller's MemoryCount near the limit cannot wrap.
        if (static_cast<int64_t>(e.MemoryCount) + n > e.MemoryLimit) {
            k = e.MemoryLimit - e.MemoryCount;
            if (k < 0) k = 0;
            result = false;
        }
        if (k > 0) std::memcpy(e.MemoryTarget, e.OutputWindow, static_cast<size_t>(k));
        e.MemoryTarget += k;
        e.MemoryCount += k;
    } else if (n > 0) {
        win::DWORD written = 0;
        if (!win::WriteFile(e.OutputFile, e.OutputWindow, n, &written, nullptr)) {
            // Kept for ExtractEntry, which raises it once the decoder is out.
            e.PendingWriteError = static_cast<int32_t>(win::GetLastError());
            if (e.PendingWriteError == 0) e.PendingWriteError = static_cast<int32_t>(win::ERROR_DISK_FULL);
            result = false;
        } else if (written != n) {
            result = false;
        }
    }
    e.BytesFlushed += n;
    UpdateCrc(e.OutputWindow, n);
    return result;
}

DosTimeFields UnpackDosDateTime(uint32_t dosDateTime) {
    uint16_t t = static_cast<uint16_t>(dosDateTime);
    uint16_t d = static_cast<uint16_t>(dosDateTime >> 16);
    DosTimeFields f;
    f.Year = static_cast<uint16_t>((d >> 9) + 1980);
    f.Month = (d >> 5) & 0x0F;
    f.Day = d & 0x1F;
    f.Hour = t >> 11;
    f.Minute = (t >> 5) & 0x3F;
    f.Second = static_cast<uint16_t>((t & 0x1F) * 2);
    return f;
}

void SetFileTimeFromDos(win::HANDLE outputFile, uint32_t dosDateTime) {
    DosTimeFields f = UnpackDosDateTime(dosDateTime);
    win::SYSTEMTIME st = {};
    st.wYear = f.Year;
    st.wMonth = f.Month;
    st.wDay = f.Day;
    st.wHour = f.Hour;
    st.wMinute = f.Minute;
    st.wSecond = f.Second;
    // The DOS time is local time. A value that is no calendar time (month 0,
    // day 31 in April, hour 24, ...) cannot be converted; the file then keeps
    // the time it has rather than receiving whatever an unconverted FILETIME
    // would hold, and LastFileError tells the caller.
    win::FILETIME local = {};
    win::FILETIME utc = {};
    if (!win::SystemTimeToFileTime(&st, &local) || !win::LocalFileTimeToFileTime(&local, &utc)) {
        EngineState.LastFileError = static_cast<int32_t>(win::GetLastError());
        if (EngineState.LastFileError == 0) EngineState.LastFileError = static_cast<int32_t>(win::ERROR_INVALID_PARAMETER);
        return;
    }
    if (win::SetFileTime(outputFile, nullptr, nullptr, &utc))
        EngineState.LastFileError = 0;
    else
        EngineState.LastFileError = static_cast<int32_t>(win::GetLastError());
}

void ApplyFileAttributes(const char* path, uint16_t attributes) {
    if (win::SetFileAttributesA(path, attributes))
        EngineState.LastFileError = 0;
    else
        EngineState.LastFileError = static_cast<int32_t>(win::GetLastError());
}
