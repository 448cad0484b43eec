// The output side of the engine: FlushOutput hands a stretch of OutputWindow
// to the destination (the output file, a memory block, or nowhere) and always
// runs the same bytes through the CRC-32; the metadata calls give the finished
// file the entry's DOS date and time and the requested attributes.
#include <array>
#include <cstring>

#include "engine/engine.h"

// The CRC-32 of ZIP: reflected polynomial 0xEDB88320, processed least
// significant bit first.
static constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
extern constexpr std::array<uint32_t, 256> CrcTable = MakeCrcTable();
static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

// Eight bytes at a time ("slicing by 8"), with the same results as the byte
// loop: CrcSlices[k][n] is the CRC of byte n followed by k zero bytes, so the
// eight look-ups of one step together advance the CRC over eight bytes. The
// 8 KiB of slices are computed on first use rather than stored, which keeps
// the launcher small.
namespace {

uint32_t CrcSlices[8][256];
bool CrcSlicesReady = false;

void MakeCrcSlices() {
    for (int n = 0; n < 256; n++) CrcSlices[0][n] = CrcTable[static_cast<size_t>(n)];
    for (int k = 1; k < 8; k++)
        for (int n = 0; n < 256; n++) {
            uint32_t c = CrcSlices[k - 1][n];
            CrcSlices[k][n] = (c >> 8) ^ CrcTable[c & 0xFF];
        }
    CrcSlicesReady = true;
}

uint32_t Le32At(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void UpdateCrc(const uint8_t* data, int32_t count) {
    uint32_t crc = EngineState.RunningCrc;
    if (count >= 16 && FastPathsEnabled) {
        if (!CrcSlicesReady) MakeCrcSlices();
        const auto& t = CrcSlices;
        for (; count >= 8; count -= 8, data += 8) {
            uint32_t a = crc ^ Le32At(data);
            uint32_t b = Le32At(data + 4);
            crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
                  t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
        }
    }
    for (int32_t i = 0; i < count; i++) crc = CrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    EngineState.RunningCrc = crc;
}

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
