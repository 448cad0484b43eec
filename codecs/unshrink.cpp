// Unshrink: compression method 1 (shrinking), LZW with codes of 9 to 13 bits.
//
// The stream is a run of codes, least significant bit first, never byte
// aligned; every code, escape sub-codes included, has the current width.
// Codes 0..255 are bytes, 256 is the escape (sub-code 1: one bit wider from
// the next code on; sub-code 2: partial clear), 257.. name table entries.
// The first code is taken as a literal and makes no entry; after every later
// non-escape code the decoder adds (prefix = previous non-escape code,
// suffix = first byte just output) at the lowest free code. A code that is
// free when it arrives is the encoder's just-defined entry: the previous
// string followed by its own first byte. There is no end code: the stream
// ends when fewer bits than the width remain of CompressedSize x 8.
// CompressedSize comes from the local header, so the budget is only as good
// as the header: a header claiming 2 GiB for a few bytes of data would have
// the decoder spin over the re-served last input block for billions of codes
// and write gigabytes. The decoder therefore also stops, with InputFailed,
// once the reader has run past the end of the file (InputExhausted); a
// well-formed entry never gets there, since its codes end within its data.
//
// All tables live inside the zeroed OutputWindow, so the decoder allocates
// nothing:
//   bytes     0..  766  StagingArea, decoded bytes waiting for FlushOutput
//   bytes   767..16638  PrefixTable, a signed 16-bit word per code 257..8192,
//                       unaligned little-endian; >= 0: in use, the prefix
//                       code; < 0: free, minus the next free code (8193 ends)
//   bytes 16639..24574  SuffixTable, a byte per code 257..8192
//   bytes 24575..32767  DecodeStack, indexes 0..8192, filled from 8192 down
//
// Bounds. Codes read from the stream are below 2^13, so every received code
// indexes the tables. Entries are only written at FreeHead, and the free list
// only ever holds codes 257..8192 ending in 8193, so FreeHead stays in
// 257..8193 and every code below it is in use. An in-use entry holds a
// received code (below 8192) as its prefix. A hostile stream can still make
// an entry refer to a free code or build a loop of prefixes: the chain walk
// refuses a free code and a chain longer than DecodeStack with
// ArchiveDamaged, and the partial clear only unmarks codes inside the range
// it has marked, so a free entry's link is never taken for a prefix.
//
// Fast paths: codes are read on the fast bit reader of fast_bits.h while
// InputBuffer holds a word more (an escape and its sub-code take at most
// 26 bits), strings go to the staging area in one copy, and the partial
// clear works on words; the table, stack, staging area and flushes are the
// plain route's, byte for byte.
#include <cstring>

#include "codecs/codecs.h"
#include "codecs/fast_bits.h"

namespace {

constexpr int StagingSize = 767;
constexpr int FirstTableCode = 257;
constexpr int LastTableCode = 8192;
constexpr int FreeListEnd = 8193;
constexpr int TableCodes = LastTableCode - FirstTableCode + 1;  // 7936
constexpr int PrefixTableOffset = StagingSize;
constexpr int SuffixTableOffset = PrefixTableOffset + 2 * TableCodes;
constexpr int DecodeStackOffset = SuffixTableOffset + TableCodes;
constexpr int StackEmpty = 8192;  // index of the next free slot when empty
constexpr uint16_t EscapeCode = 256;
constexpr uint8_t FirstWidth = 9;
constexpr uint8_t LastWidth = 13;
constexpr uint16_t MarkBit = 0x8000;
constexpr uint16_t FreeBit = 0x4000;

static_assert(SuffixTableOffset == 16639 && DecodeStackOffset == 24575);
static_assert(DecodeStackOffset + StackEmpty + 1 == OutputWindowSize, "the stack fills the window to its end");
static_assert((1 << LastWidth) - 1 < LastTableCode + 1, "every 13-bit code has a table entry");
// The most bits one step of the fast loop reads: an escape and its sub-code.
constexpr uint32_t MaxStepBits = 2 * LastWidth;
static_assert(MaxStepBits <= FastRefillMinBits);

// Working variables of one Unshrink call.
struct ShrinkState {
    uint8_t* Window;       // EngineState.OutputWindow
    int16_t FreeHead;      // first code of the free list, 257..8193
    int32_t StackIndex;    // next free DecodeStack slot; StackEmpty when empty, -1 when full
    uint16_t StagedCount;  // bytes in StagingArea, 0..766 between calls of StageByte
};

ShrinkState Shrink;

int16_t Prefix(int code) {
    const uint8_t* p = Shrink.Window + PrefixTableOffset + 2 * (code - FirstTableCode);
    return static_cast<int16_t>(p[0] | (p[1] << 8));
}

void SetPrefix(int code, int16_t value) {
    uint8_t* p = Shrink.Window + PrefixTableOffset + 2 * (code - FirstTableCode);
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
}

uint8_t& Suffix(int code) { return Shrink.Window[SuffixTableOffset + (code - FirstTableCode)]; }

// Pushes one byte; false when DecodeStack is full (a chain no valid table
// can hold).
bool Push(uint8_t b) {
    if (Shrink.StackIndex < 0) return false;
    Shrink.Window[DecodeStackOffset + Shrink.StackIndex] = b;
    Shrink.StackIndex--;
    return true;
}

// Stages one decoded byte; a full StagingArea goes to FlushOutput at once.
bool StageByte(uint8_t b) {
    Shrink.Window[Shrink.StagedCount] = b;
    Shrink.StagedCount++;
    if (Shrink.StagedCount < StagingSize) return true;
    Shrink.StagedCount = 0;
    return FlushOutput(StagingSize);
}

bool FlushStaged() { return FlushOutput(Shrink.StagedCount); }

// The partial clear: every code from 257 to FreeHead - 1 that no code of that
// range has as its prefix becomes free again. The freed codes are linked in
// ascending order in front of the old free list, which keeps the whole list
// ascending, so freed codes are reused lowest first.
void ClearLeafCodes() {
    int last = Shrink.FreeHead - 1;
    for (int k = FirstTableCode; k <= last; k++) SetPrefix(k, static_cast<int16_t>(Prefix(k) | MarkBit));
    for (int k = FirstTableCode; k <= last; k++) {
        int p = static_cast<uint16_t>(Prefix(k)) & 0x7FFF;
        // Only codes of the marked range carry a mark. A prefix above it is
        // left alone: in a valid stream its entry has no mark to clear, and
        // in a damaged one it may be a free entry whose link must survive.
        if (p >= FirstTableCode && p <= last) SetPrefix(p, static_cast<int16_t>(Prefix(p) & ~MarkBit));
    }
    int previousFreed = 0;
    for (int k = FirstTableCode; k <= last; k++) {
        if ((static_cast<uint16_t>(Prefix(k)) & (MarkBit | FreeBit)) == 0) continue;
        if (previousFreed == 0)
            Shrink.FreeHead = static_cast<int16_t>(k);
        else
            SetPrefix(previousFreed, static_cast<int16_t>(-k));
        previousFreed = k;
    }
    if (previousFreed != 0) SetPrefix(previousFreed, static_cast<int16_t>(-(last + 1)));
}

// ---- the fast paths: the same table, stack and staging area, in words ----

int16_t FastPrefix(int code) {
    uint16_t v;
    std::memcpy(&v, Shrink.Window + PrefixTableOffset + 2 * (code - FirstTableCode), 2);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap16(v);
#endif
    return static_cast<int16_t>(v);
}

void FastSetPrefix(int code, int16_t value) {
    uint16_t v = static_cast<uint16_t>(value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap16(v);
#endif
    std::memcpy(Shrink.Window + PrefixTableOffset + 2 * (code - FirstTableCode), &v, 2);
}

// ClearLeafCodes in two passes. The plain route marks every code of the
// range, unmarks each one that a code of the range names as its prefix, and
// frees what is marked or free. Here the prefixes named are collected in
// prefixNamed first (on the stack: a static array would add its 8 KiB to
// the launcher's file); a code not named is freed whatever its entry holds
// (its mark would be set), a named one keeps its entry without the mark bit
// and is freed only when that entry is free (bit 14).
void FastClearLeafCodes() {
    int last = Shrink.FreeHead - 1;
    if (last < FirstTableCode) return;
    uint8_t prefixNamed[LastTableCode + 1];
    std::memset(prefixNamed + FirstTableCode, 0, static_cast<size_t>(last - FirstTableCode + 1));
    for (int k = FirstTableCode; k <= last; k++) {
        int p = static_cast<uint16_t>(FastPrefix(k)) & 0x7FFF;
        if (p >= FirstTableCode && p <= last) prefixNamed[p] = 1;
    }
    int previousFreed = 0;
    for (int k = FirstTableCode; k <= last; k++) {
        if (prefixNamed[k] != 0) {
            uint16_t kept = static_cast<uint16_t>(FastPrefix(k)) & 0x7FFF;
            if ((kept & FreeBit) == 0) {
                FastSetPrefix(k, static_cast<int16_t>(kept));
                continue;
            }
        }
        if (previousFreed == 0)
            Shrink.FreeHead = static_cast<int16_t>(k);
        else
            FastSetPrefix(previousFreed, static_cast<int16_t>(-k));
        previousFreed = k;
    }
    if (previousFreed != 0) FastSetPrefix(previousFreed, static_cast<int16_t>(-(last + 1)));
}

// Stages count bytes at once, flushing at the same 767-byte marks as
// StageByte; false when a flush failed.
bool StageBytes(const uint8_t* bytes, int32_t count) {
    while (count > 0) {
        int32_t room = StagingSize - Shrink.StagedCount;
        int32_t k = count < room ? count : room;
        std::memcpy(Shrink.Window + Shrink.StagedCount, bytes, static_cast<size_t>(k));
        Shrink.StagedCount = static_cast<uint16_t>(Shrink.StagedCount + k);
        bytes += k;
        count -= k;
        if (Shrink.StagedCount == StagingSize) {
            Shrink.StagedCount = 0;
            if (!FlushOutput(StagingSize)) return false;
        }
    }
    return true;
}

// Result of a fast stretch that leaves the rest to the plain route.
constexpr ExtractResult GoOnPlain = -100;

// Codes on the local bit reader while InputBuffer holds enough bytes for an
// escape and its sub-code; the same table, outputs, flushes and reader state
// as the plain loop. CancelRequested and InputExhausted cannot change here,
// since FillInput does not run.
ExtractResult FastCodes(uint8_t& width, int64_t& budget, uint16_t& previousCode, uint8_t& firstByte) {
    FastBits f = BeginFastBits();
    uint8_t* window = Shrink.Window;
    ExtractResult result = GoOnPlain;
    while (width <= budget) {
        if (f.Count < MaxStepBits && !FastRefill(f)) break;
        uint16_t received = static_cast<uint16_t>(FastTake(f, width));
        budget -= width;
        if (received == EscapeCode) {
            uint16_t subCode = static_cast<uint16_t>(FastTake(f, width));
            budget -= width;
            if (subCode == 1) {
                width++;
                if (width > LastWidth) {
                    result = ArchiveDamaged;
                    break;
                }
            } else if (subCode == 2) {
                FastClearLeafCodes();
            } else {
                result = ArchiveDamaged;
                break;
            }
            continue;
        }

        int code = received;
        if (code < EscapeCode) {
            firstByte = static_cast<uint8_t>(code);
            window[Shrink.StagedCount++] = firstByte;
            if (Shrink.StagedCount == StagingSize) {
                Shrink.StagedCount = 0;
                if (!FlushOutput(StagingSize)) {
                    result = OutputFailed;
                    break;
                }
            }
        } else {
            int32_t top = StackEmpty;  // the next free DecodeStack slot
            uint8_t* stack = window + DecodeStackOffset;
            if (FastPrefix(code) < 0) {
                stack[top--] = firstByte;
                code = previousCode;
            }
            while (code > EscapeCode) {
                int16_t prefix = FastPrefix(code);
                if (prefix < 0 || top < 0) break;
                stack[top--] = Suffix(code);
                code = prefix;
            }
            if (code > EscapeCode) {
                result = ArchiveDamaged;
                break;
            }
            firstByte = static_cast<uint8_t>(code);
            int32_t count = StackEmpty - top;
            int32_t staged = Shrink.StagedCount;
            if (staged + 1 + count < StagingSize) {
                // The usual case: the string fits the staging area without a flush.
                uint8_t* to = window + staged;
                const uint8_t* from = stack + top + 1;
                to[0] = firstByte;
                for (int32_t i = 0; i < count; i++) to[i + 1] = from[i];
                Shrink.StagedCount = static_cast<uint16_t>(staged + 1 + count);
            } else if (!StageBytes(&firstByte, 1) || !StageBytes(stack + top + 1, count)) {
                result = OutputFailed;
                break;
            }
        }

        if (Shrink.FreeHead < FreeListEnd) {
            int k = Shrink.FreeHead;
            Shrink.FreeHead = static_cast<int16_t>(-FastPrefix(k));
            FastSetPrefix(k, static_cast<int16_t>(previousCode));
            Suffix(k) = firstByte;
        }
        previousCode = received;
    }
    SyncFastBits(f);
    return result;
}

}  // namespace

int16_t Unshrink() {
    EngineStateRecord& e = EngineState;
    // The end of the codes is known only from the compressed size.
    if (e.CompressedSize == DeferredSize) return Unsupported;

    e.InputPos = 0;
    e.InputLast = -1;
    e.BitBuffer = 0;
    e.BitCount = 0;

    Shrink.Window = e.OutputWindow;
    std::memset(Shrink.Window, 0, OutputWindowSize);
    for (int k = FirstTableCode; k <= LastTableCode; k++) SetPrefix(k, static_cast<int16_t>(-(k + 1)));
    Shrink.FreeHead = FirstTableCode;
    Shrink.StackIndex = StackEmpty;
    Shrink.StagedCount = 0;
    uint8_t width = FirstWidth;

    // The bit budget in 64 bits: CompressedSize x 8 does not fit 32 bits for
    // entries of 256 MiB and more. An entry too short to hold one code (an
    // empty file) has no first code and decodes to nothing.
    int64_t budget = static_cast<int64_t>(e.CompressedSize) * 8;
    if (budget >= FirstWidth) {
        uint16_t previousCode = static_cast<uint16_t>(TakeBits(FirstWidth));
        budget -= FirstWidth;
        uint8_t firstByte = static_cast<uint8_t>(previousCode);
        if (!StageByte(firstByte)) return OutputFailed;

        while (!e.CancelRequested && !e.InputExhausted && width <= budget) {
            if (FastPathsEnabled) {
                ExtractResult result = FastCodes(width, budget, previousCode, firstByte);
                if (result != GoOnPlain) return static_cast<int16_t>(result);
                if (width > budget) break;
            }
            // One code on the plain route; near the end of InputBuffer the
            // fast paths come here too, until FillInput has brought the next
            // block.
            uint16_t received = static_cast<uint16_t>(TakeBits(width));
            budget -= width;
            if (received == EscapeCode) {
                uint16_t subCode = static_cast<uint16_t>(TakeBits(width));
                budget -= width;
                if (subCode == 1) {
                    width++;
                    if (width > LastWidth) return ArchiveDamaged;
                } else if (subCode == 2) {
                    ClearLeafCodes();
                } else {
                    return ArchiveDamaged;
                }
                continue;
            }

            int code = received;
            if (code < EscapeCode) {
                firstByte = static_cast<uint8_t>(code);
                if (!StageByte(firstByte)) return OutputFailed;
            } else {
                if (Prefix(code) < 0) {
                    // The code the encoder is just defining: the previous
                    // string and its own first byte.
                    Push(firstByte);
                    code = previousCode;
                }
                while (code > EscapeCode) {
                    int16_t prefix = Prefix(code);
                    if (prefix < 0 || !Push(Suffix(code))) return ArchiveDamaged;
                    code = prefix;
                }
                firstByte = static_cast<uint8_t>(code);
                if (!StageByte(firstByte)) return OutputFailed;
                while (Shrink.StackIndex < StackEmpty) {
                    Shrink.StackIndex++;
                    if (!StageByte(Shrink.Window[DecodeStackOffset + Shrink.StackIndex])) return OutputFailed;
                }
            }

            if (Shrink.FreeHead < FreeListEnd) {  // else the table is full: nothing is added
                int k = Shrink.FreeHead;
                Shrink.FreeHead = static_cast<int16_t>(-Prefix(k));
                SetPrefix(k, static_cast<int16_t>(previousCode));
                Suffix(k) = firstByte;
            }
            previousCode = received;
        }
    }

    if (e.CancelRequested) return Cancelled;
    if (e.InputExhausted) return InputFailed;
    return FlushStaged() ? Ok : OutputFailed;
}
