// The fast bit reader of every decoder: it takes the entry's bits from
// InputBuffer eight bytes at a time into a 64-bit register, and when the
// decoder goes back to the shared reader (EnsureBits, DropBits) it leaves
// that reader exactly as the plain route would have left it.
//
// A stretch on this reader starts from the shared state: BitCount bits in
// BitBuffer, then the bytes of InputBuffer from InputPos on. Positions in
// the stretch count bits from there: position p lies in BitBuffer while
// p < BitCount, else in byte (p - BitCount) / 8 after InputPos.
//
// The reader never refills InputBuffer: it loads a word only while eight
// bytes are left up to InputLast, so FillInput, with its message
// pump, progress report and InputExhausted, only ever runs on the plain
// route, and the bytes loaded are always the entry's valid input.
//
// The give-back, the one argument all fast paths rest on. The plain reader
// (EnsureBits) takes whole bytes, one at a time and only when it is short
// of the n bits asked for. After a run of EnsureBits and DropBits calls that
// dropped the bits up to position `end` and whose EnsureBits(n) calls at
// positions p reached at most `reach` = max(p + n) (reach >= end), it has
// therefore taken exactly ceil((reach - BitCount) / 8) bytes after InputPos
// (none when reach <= BitCount), and holds the bits from `end` up to the
// last of those bytes. Its state is thus a function of (end, reach) alone,
// and EndFastBits sets BitBuffer, BitCount and InputPos from the two. A
// fast path only has to know both: `end` is where it stopped, and `reach`
// it either records with the very widths the plain route asks for (FastPeek:
// explode, unshrink, unreduce) or finds afterwards (inflate, whose fast
// tables look up wider roots than the exact ones; see inflate_fast.cpp).
// Bytes loaded beyond the reach go back to InputBuffer by InputPos alone:
// they were never taken from it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "engine/engine.h"

// A refill loads one word and counts 7 or 8 of its bytes: the register then
// holds FastRefillMinBits to 63 bits, all 64 of its bits being input.
constexpr int32_t FastWordBytes = 8;
constexpr uint32_t FastRefillMinBits = 56;
static_assert(FastRefillMinBits == 8 * (FastWordBytes - 1));
static_assert(FastWordBytes <= InputBufferSize);

// Where a stretch began: the shared reader's state then.
struct FastStart {
    const uint8_t* In;  // InputBuffer + InputPos
    uint32_t Buffer;    // BitBuffer
    uint32_t Count;     // BitCount
};

struct FastBits {
    uint64_t Bits;       // the input from the current position on, first bit in bit 0
    uint32_t Count;      // bits of Bits loaded (those above are later input or 0)
    const uint8_t* In;   // the next byte of InputBuffer to load
    const uint8_t* End;  // one past InputLast: the end of the valid input
    FastStart Start;
    // The tracked reads (FastPeek, FastDrop): position and reach so far.
    uint32_t Consumed;
    uint32_t HighWater;
};

// Starts a stretch from the shared reader's state.
inline FastBits BeginFastBits() {
    EngineStateRecord& e = EngineState;
    FastBits f;
    f.Bits = e.BitBuffer;
    f.Count = e.BitCount;
    f.In = e.InputBuffer + e.InputPos;
    f.End = e.InputBuffer + (e.InputLast + 1);
    f.Start = {f.In, e.BitBuffer, e.BitCount};
    f.Consumed = 0;
    f.HighWater = e.BitCount;
    return f;
}

// Whether a word can be loaded at In.
inline bool FastCanLoad(const FastBits& f) { return f.End - f.In >= FastWordBytes; }

inline uint64_t LoadInputWord(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// Loads the word at In (the caller has checked FastCanLoad) and counts its
// bytes up to 56..63 loaded bits.
inline void FastLoad(FastBits& f) {
    f.Bits |= LoadInputWord(f.In) << f.Count;
    f.In += (63 - f.Count) >> 3;
    f.Count |= FastRefillMinBits;
}

// FastLoad when a word can be loaded; false, with nothing changed, otherwise.
inline bool FastRefill(FastBits& f) {
    if (!FastCanLoad(f)) return false;
    FastLoad(f);
    return true;
}

// The position the stretch has dropped the bits up to.
inline uint32_t FastPosition(const FastBits& f) {
    return f.Start.Count + 8 * static_cast<uint32_t>(f.In - f.Start.In) - f.Count;
}

// ---- tracked reads: the plain route's EnsureBits(n) calls, recorded ----

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

// TakeBits(n) on the fast reader.
inline uint32_t FastTake(FastBits& f, uint32_t n) {
    uint32_t value = static_cast<uint32_t>(FastPeek(f, n)) & BitMaskTable[n];
    FastDrop(f, n);
    return value;
}

// ---- the end of a stretch ----

// At least 32 input bits from position p on (fewer when the bytes run out),
// reading no more than `bytes` bytes of InputBuffer from the stretch's start.
uint64_t FastBitsAt(FastStart start, uint32_t p, uint32_t bytes);

// Leaves the shared reader as the plain route leaves it after dropping the
// bits up to position `end` with its EnsureBits calls reaching `reach`
// (>= end, and less than 25 bits beyond it: no read asks for more than 24).
// Out of line, as it runs once a stretch; it takes the start by value, so
// that the reader itself stays in registers.
void EndFastBits(FastStart start, uint32_t end, uint32_t reach);

// The end of a stretch of tracked reads.
inline void SyncFastBits(const FastBits& f) { EndFastBits(f.Start, f.Consumed, f.HighWater); }
