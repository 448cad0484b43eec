// Buffered archive input and the least-significant-bit-first bit reader.
//
// The archive is read in whole blocks of InputBufferSize bytes, so the reader
// reads ahead past the end of an entry's data into whatever follows; the data
// descriptor reader of ExtractEntry relies on that. Reading never fails by
// itself: a failed or empty read, or any refill once BytesRead has passed
// CompressedSize + 2, sets InputExhausted and serves the previous block again,
// and the decoders decide what that means.
//
// Invariants: after FillInput, InputPos is 0 and InputLast lies in 0..2047, so
// InputBuffer[InputPos] is in bounds whenever InputPos <= InputLast. Bytes
// enter BitBuffer at bit BitCount; with n <= 24 at most 31 bits are held, and
// the bits at and above BitCount are zero.
#include "engine/engine.h"

EngineStateRecord EngineState;
bool FastPathsEnabled = true;

const uint16_t BitMaskTable[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
                                   0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

void FillInput() {
    EngineStateRecord& e = EngineState;
    // Signed 32-bit, as the sizes are: CompressedSize + 2 cannot overflow for
    // DeferredSize (it is 100 below the maximum).
    if (e.BytesRead > static_cast<int32_t>(static_cast<uint32_t>(e.CompressedSize) + 2u)) {
        e.InputLast = InputBufferSize - 1;
        e.InputExhausted = true;
    } else {
        PumpMessages();
        ReportProgress();
        win::DWORD count = 0;
        win::BOOL ok = win::ReadFile(e.ArchiveFile, e.InputBuffer, InputBufferSize, &count, nullptr);
        if (!ok || count == 0) {
            count = InputBufferSize;
            e.InputExhausted = true;
        }
        e.BytesRead = static_cast<int32_t>(static_cast<uint32_t>(e.BytesRead) + count);
        e.InputLast = static_cast<int32_t>(count) - 1;
    }
    e.InputPos = 0;
}

void ReadInputByte(uint8_t& byte) {
    EngineStateRecord& e = EngineState;
    if (e.InputPos > e.InputLast) FillInput();
    byte = e.InputBuffer[e.InputPos];
    e.InputPos = static_cast<int16_t>(e.InputPos + 1);
}

void EnsureBits(uint8_t n) {
    EngineStateRecord& e = EngineState;
    while (e.BitCount < n) {
        if (e.InputPos > e.InputLast) FillInput();
        uint32_t byte = e.InputBuffer[e.InputPos];
        e.InputPos = static_cast<int16_t>(e.InputPos + 1);
        e.BitBuffer |= byte << e.BitCount;
        e.BitCount = static_cast<uint8_t>(e.BitCount + 8);
    }
}

void DropBits(uint8_t n) {
    EngineStateRecord& e = EngineState;
    e.BitBuffer >>= n;
    e.BitCount = static_cast<uint8_t>(e.BitCount - n);
}

uint32_t TakeBits(uint8_t n) {
    EnsureBits(n);
    uint32_t value = EngineState.BitBuffer & BitMaskTable[n];
    DropBits(n);
    return value;
}
