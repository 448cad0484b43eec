// A local bit reader for the decoders' fast paths: it takes the entry's bits
// from InputBuffer eight bytes at a time into a 64-bit register and hands
// back, when the decoder returns to the shared reader, every byte that the
// plain reader would not yet have taken.
//
// The plain reader (EnsureBits) takes whole bytes, one at a time and only
// when it is short: after EnsureBits(n) at stream position p it holds the
// bits up to the first byte boundary at or past p + n (boundaries counted
// from where the stretch began, BitCount bits after a byte boundary of the
// buffer). Its state at any moment is thus fixed by the high-water mark of
// p + n over the EnsureBits calls so far. The local reader records that mark
// (Peek) with the very widths the plain route asks for, and SyncFastBits sets
// BitBuffer, BitCount and InputPos from it, so that the shared state is
// exactly what the plain route leaves.
//
// The local reader never refills InputBuffer: it works only while eight
// bytes can be loaded from InputBuffer at once (FastRefill says whether it
// could), so FillInput, with its message pump, progress report and
// InputExhausted, only ever runs on the plain route. Between refills the
// register holds at least 56 bits.
#pragma once

#include <cstdint>
#include <cstring>

#include "engine/engine.h"

struct FastBits {
    uint64_t Bits;        // the stream from the current position on, first bit in bit 0
    uint32_t Count;       // valid bits in Bits (the bits above are later stream bytes or 0)
    int32_t Next;         // InputBuffer index of the next byte to load
    int32_t StartPos;     // InputPos when the stretch began
    uint32_t StartCount;  // BitCount then
    uint32_t Consumed;    // bits dropped since then
    uint32_t HighWater;   // the largest Consumed + n of the would-be EnsureBits(n) calls
};

// Starts a stretch from the shared reader's state.
inline FastBits BeginFastBits() {
    const EngineStateRecord& e = EngineState;
    FastBits f;
    f.Bits = e.BitBuffer;
    f.Count = e.BitCount;
    f.Next = e.InputPos;
    f.StartPos = e.InputPos;
    f.StartCount = e.BitCount;
    f.Consumed = 0;
    f.HighWater = e.BitCount;
    return f;
}

// Loads up to 56..63 valid bits from eight buffered bytes; false (nothing
// changed) when fewer than eight bytes are left in InputBuffer.
inline bool FastRefill(FastBits& f) {
    if (f.Next + 8 > EngineState.InputLast + 1) return false;
    uint64_t word;
    std::memcpy(&word, EngineState.InputBuffer + f.Next, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    f.Bits |= word << f.Count;
    f.Next += static_cast<int32_t>((63 - f.Count) >> 3);
    f.Count |= 56;
    return true;
}

// The plain route's EnsureBits(n): the caller has made sure Count >= n.
inline uint64_t FastPeek(FastBits& f, uint32_t n) {
    if (f.Consumed + n > f.HighWater) f.HighWater = f.Consumed + n;
    return f.Bits;
}

inline void FastDrop(FastBits& f, uint32_t n) {
    f.Bits >>= n;
    f.Count -= n;
    f.Consumed += n;
}

// TakeBits(n) on the local reader.
inline uint32_t FastTake(FastBits& f, uint32_t n) {
    uint32_t value = static_cast<uint32_t>(FastPeek(f, n)) & BitMaskTable[n];
    FastDrop(f, n);
    return value;
}

// Ends the stretch: the shared reader's state becomes what the plain route
// would have left; bytes loaded beyond it go back to InputBuffer.
inline void SyncFastBits(const FastBits& f) {
    EngineStateRecord& e = EngineState;
    uint32_t bytes = f.HighWater > f.StartCount ? (f.HighWater - f.StartCount + 7) / 8 : 0;
    uint32_t held = f.StartCount + 8 * bytes - f.Consumed;
    e.InputPos = static_cast<int16_t>(f.StartPos + static_cast<int32_t>(bytes));
    e.BitCount = static_cast<uint8_t>(held);
    e.BitBuffer = static_cast<uint32_t>(f.Bits & ((uint64_t{1} << held) - 1));
}
