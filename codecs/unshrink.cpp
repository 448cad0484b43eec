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
#include <cstring>

#include "codecs/codecs.h"

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
