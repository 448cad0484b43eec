// Inflate: ZIP method 8, the deflate format of RFC 1951.
//
// The data is a sequence of blocks, each opened by 3 bits: the last-block
// flag and the block type (0 stored, 1 fixed codes, 2 codes carried in the
// block's header, 3 invalid). A stored block is byte-aligned LEN, NLEN (its
// complement) and LEN raw bytes. A coded block is a stream of literal/length
// codes: literals 0..255, the end-of-block code 256, and lengths 257..285,
// each length followed by its extra bits and a distance code with its own
// extra bits, which copies `length` bytes from `distance` bytes back. A
// dynamic header sends the code lengths of both alphabets themselves coded
// with a small code-length code whose 3-bit lengths come first, in the
// CodeLengthOrder order.
//
// OutputWindow is the 32 KiB dictionary and the output staging area at once:
// bytes are decoded into it at WindowPos, and each time it is full it goes to
// FlushOutput whole and is written over from index 0 again, so that the last
// 32768 bytes are always in it, at their position modulo 32768.
//
// Bounds: WindowPos stays in 0..32768 and is reset to 0 as soon as it
// reaches 32768, so a stored byte always lands inside the window. A match
// source is taken modulo 32768, and each copied chunk ends at the window's
// end or earlier on both sides. Lengths are at most 258 and distances at most
// 32768 (the largest base plus its extra bits). Codes that have no base value
// (lengths 286 and 287, distances 30 and 31) carry the extra-bit count 99,
// which the table builder turns into invalid entries.
#include <bit>
#include <cstring>

#include "codecs/codecs.h"
#include "engine/engine.h"

namespace {

// The order in which a dynamic header gives the code-length code's lengths.
constexpr uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length codes 257..287: base length and extra bits.
constexpr uint16_t LengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                     35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr uint16_t LengthExtraBits[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,  2,
                                          3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};

// Distance codes 0..31: base distance and extra bits. Codes 30 and 31 are
// not part of the format; a dynamic header may still give them lengths (up
// to 32 distance lengths), and their entries then come out invalid.
constexpr uint16_t DistanceBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25, 33,
                                       49,   65,   97,   129,  193,  257,   385,   513,   769, 1025, 1537,
                                       2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 0,   0};
constexpr uint16_t DistanceExtraBits[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                            7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 99, 99};

// Each range of a base and its extra bits ends where the next begins; the
// last length is 258 (code 285, no extra bits, also reachable as 284 + 31),
// the longest distance 32768, the size of the window.
constexpr bool RangesAreContiguous(const uint16_t* base, const uint16_t* extra, int count) {
    for (int i = 0; i + 1 < count; i++)
        if (base[i] + (1 << extra[i]) != base[i + 1]) return false;
    return true;
}
static_assert(RangesAreContiguous(LengthBase, LengthExtraBits, 28) && LengthBase[27] + 31 == 258);
static_assert(RangesAreContiguous(DistanceBase, DistanceExtraBits, 30));
static_assert(DistanceBase[29] + (1 << DistanceExtraBits[29]) - 1 == OutputWindowSize);

constexpr int32_t FixedLiteralBits = 7;
constexpr int32_t FixedDistanceBits = 5;
constexpr int32_t CodeLengthBits = 7;
constexpr int LiteralLengthCodes = 288;
constexpr int DistanceCodes = 32;

// Reads one code through a table of root width `rootBits` and drops its bits.
// Returns its final entry, or null for an invalid code or an empty table.
const DecodeEntry* ReadCode(const DecodeEntry* table, int32_t rootBits) {
    if (table == nullptr) return nullptr;
    EnsureBits(static_cast<uint8_t>(rootBits));
    const DecodeEntry* entry = &table[EngineState.BitBuffer & BitMaskTable[rootBits]];
    while (entry->Op > OpLiteral) {
        if (entry->Op == OpInvalid) return nullptr;
        // A link: its table is 2^(Op - 16) entries, Op - 16 <= 15.
        DropBits(entry->Bits);
        uint8_t subBits = static_cast<uint8_t>(entry->Op - 16);
        EnsureBits(subBits);
        entry = &entry->SubTable[EngineState.BitBuffer & BitMaskTable[subBits]];
    }
    DropBits(entry->Bits);
    return entry;
}

// Passes a full window on and starts it over.
bool WindowFull() {
    if (!FlushOutput(static_cast<uint16_t>(OutputWindowSize))) return false;
    EngineState.WindowPos = 0;
    return true;
}

// Copies n bytes inside the window from `from` to `to`, both ranges inside
// it, as if byte by byte in ascending order.
void CopyInWindow(uint8_t* window, int32_t to, int32_t from, int32_t n) {
    if (to - from >= n) {
        // The source ends before the destination starts.
        std::memcpy(window + to, window + from, static_cast<size_t>(n));
    } else if (to > from) {
        // A source just behind the destination repeats the bytes written:
        // [from, to) has period to - from and stays so as it grows, so it
        // can be copied onward in doubling pieces that never overlap.
        while (n > 0) {
            int32_t piece = to - from < n ? to - from : n;
            std::memcpy(window + to, window + from, static_cast<size_t>(piece));
            to += piece;
            n -= piece;
        }
    } else {
        // A source ahead of the destination (older bytes from the window's
        // far end): ascending order reads every byte before it is written.
        std::memmove(window + to, window + from, static_cast<size_t>(n));
    }
}

// Copies `length` bytes from `source` (any 16-bit value; taken modulo the
// window size) to WindowPos.
bool CopyMatch(uint16_t source, uint16_t length) {
    EngineStateRecord& e = EngineState;
    int32_t left = length;
    while (left > 0) {
        int32_t from = source & (OutputWindowSize - 1);
        int32_t to = e.WindowPos;  // 0..32767 here: a full window is flushed at once
        // Split at the window's end, on whichever side reaches it first.
        int32_t chunk = OutputWindowSize - (from > to ? from : to);
        if (chunk > left) chunk = left;
        left -= chunk;
        CopyInWindow(e.OutputWindow, to, from, chunk);
        e.WindowPos = static_cast<uint16_t>(to + chunk);
        source = static_cast<uint16_t>(from + chunk);
        if (e.WindowPos == OutputWindowSize && !WindowFull()) return false;
    }
    return true;
}

// The two codes of a block: the exact tables with the root widths they were
// built with, and their fast forms when the block has them.
struct BlockCodes {
    const DecodeEntry* Literals;
    const DecodeEntry* Distances;
    int32_t LiteralBits;
    int32_t DistanceBits;
    const uint32_t* FastCells;  // their fast table; null: the exact loop alone decodes the block
};

// ---- the fast stretch ----
//
// DecodeFast decodes while the input buffer and the window have room for a
// whole code, with the bit reader in registers: a 64-bit bit buffer refilled
// a word at a time, the fast tables (one look-up per code, two for a long
// one), matches copied in 8- and 16-byte pieces. It stops before anything
// the exact loop does at the edges: a refill, a flush, an end of block, a
// damaged code. It then leaves the reader in exactly the state the exact
// loop would have reached, so that from the outside the two cannot be told
// apart (the message pump, progress, flush sizes and the bits a data
// descriptor is read from all depend on it).
//
// Margins, checked before every round; a round is one or two literals or
// one match:
// - Input: a round takes at most 15 + 5 + 15 + 13 = 48 bits and starts by
//   loading the 8-byte word at InputPos, of which it counts 7 or 8 bytes
//   (the bit buffer then holds 56 to 63 bits, enough for the round). So
//   FastInputBytes = 8 unread bytes up to InputLast keep the word inside the
//   valid input, which lies inside InputBuffer.
// - Window: a match writes at most 258 bytes and its last piece may run
//   CopySlack bytes further (they are put back, but must be inside the
//   window). With WindowPos <= FastWindowLimit the round ends before the
//   window's end, so no flush falls inside the stretch.
//
// The give-back. The exact reader loads a byte only when EnsureBits(n) is
// short of n bits, so the bytes it has taken after a symbol depend on the
// widths it asked for (root widths, sub-table widths, extra bits), not only
// on the bits it dropped: after a stretch it has taken
// ceil((reach - BitCount at the start) / 8) bytes (or none), where reach is
// the highest bit position (counted from the start of the stretch) that any
// of its EnsureBits calls covered. The fast loop takes more and gives whole
// bytes back. To find the reach it does not track every call: a literal or
// length code asks for at least LiteralBits bits from its start, and every
// earlier call of the exact reader reaches no further than that whenever
// (reach of a code's reading) - (its length) <= LiteralBits for every code
// of both tables (the fast tables record the largest such excess; a block
// whose codes exceed it is left to the exact loop). So only the last
// literal/length code and the distance code after it count, together with
// the bits dropped (roundCount marks where that code began); their reach is found at the end by walking the exact
// tables over the same bits (WalkCode), whichever table the fast loop used.
constexpr int32_t FastInputBytes = 8;
constexpr int32_t MaxMatchLength = 258;
constexpr int32_t CopySlack = 16;
constexpr int32_t FastWindowLimit = OutputWindowSize - MaxMatchLength - CopySlack;
constexpr ExtractResult FastStretchEnded = -100;  // internal: the conditions no longer hold

uint64_t LoadWord(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        uint64_t word = 0;
        for (int i = 7; i >= 0; i--) word = (word << 8) | p[i];
        return word;
    }
}

// The reader's state where a stretch began. Positions in the stretch count
// the bits taken since then: the input bits at position p are BitBuffer's
// while p < BitCount, then InputBuffer's from InputPos on.
struct StretchStart {
    uint32_t BitBuffer;
    uint32_t BitCount;
    int32_t InputPos;
};

// At least 32 input bits from position p on (fewer when the bytes run out),
// reading no more than `bytes` bytes of InputBuffer from the stretch's start.
uint64_t InputBitsAt(const StretchStart& s, uint32_t p, uint32_t bytes) {
    const uint8_t* input = EngineState.InputBuffer + s.InputPos;
    uint64_t value = 0;
    int32_t filled;  // bits of value set so far; negative: bits of the next byte to skip
    uint32_t next;   // index of the next byte
    if (p < s.BitCount) {
        value = s.BitBuffer >> p;
        filled = static_cast<int32_t>(s.BitCount - p);
        next = 0;
    } else {
        filled = -static_cast<int32_t>((p - s.BitCount) & 7);
        next = (p - s.BitCount) >> 3;
    }
    for (; filled < 32 && next < bytes; next++, filled += 8)
        value |= filled >= 0 ? uint64_t{input[next]} << filled : uint64_t{input[next]} >> -filled;
    return value;
}

// Leaves the reader as the exact one would be after dropping the bits up to
// position `end`, its EnsureBits calls having reached position `reach`
// (>= end): whole bytes loaded until the reach was covered.
void LeaveReader(const StretchStart& s, uint32_t end, uint32_t reach) {
    EngineStateRecord& e = EngineState;
    uint32_t bytes = reach > s.BitCount ? (reach - s.BitCount + 7) / 8 : 0;
    uint32_t count = s.BitCount + 8 * bytes - end;  // below 32: a reach is at most 15 bits past a code's start
    e.InputPos = static_cast<int16_t>(s.InputPos + static_cast<int32_t>(bytes));
    e.BitCount = static_cast<uint8_t>(count);
    e.BitBuffer = static_cast<uint32_t>(InputBitsAt(s, end, bytes) & ((uint64_t{1} << count) - 1));
}

// Copies n bytes to `to` from `from`, where the source ends before the
// destination starts (to - from >= C) or lies ahead of it (from > to): in
// ascending C-byte pieces each piece reads only bytes already final, as the
// exact byte-by-byte copy would. The last piece may write up to C - 1 bytes
// past to + n, which are history later matches may reach: they are saved
// before and put back after. to + n + C and the pieces read lie inside the
// window.
template <int C>
void CopyPieces(uint8_t* to, const uint8_t* from, uint32_t n) {
    uint8_t* const end = to + n;
    uint8_t kept[C];
    uint8_t piece[C];
    std::memcpy(kept, end, C);
    do {
        std::memcpy(piece, from, C);
        std::memcpy(to, piece, C);
        to += C;
        from += C;
    } while (to < end);
    std::memcpy(end, kept, C);
}

// A match in the fast stretch that CopyPieces<16> cannot take: a distance
// below 16, or a source ahead in the window's previous round that reaches
// its end. Out of line, to keep the fast loop's registers for the common
// case.
[[gnu::noinline]] void CopyMatchOdd(uint8_t* window, uint32_t windowPos, uint32_t distance, uint32_t length) {
    uint8_t* to = window + windowPos;
    if (distance <= windowPos) {
        const uint8_t* from = to - distance;
        if (distance >= 8)
            CopyPieces<8>(to, from, length);
        else if (distance == 1)
            std::memset(to, *from, length);
        else
            CopyInWindow(window, static_cast<int32_t>(windowPos), static_cast<int32_t>(windowPos - distance),
                         static_cast<int32_t>(length));
        return;
    }
    uint32_t from = (windowPos - distance) & (OutputWindowSize - 1);
    uint32_t firstPart = OutputWindowSize - from < length ? OutputWindowSize - from : length;
    CopyInWindow(window, static_cast<int32_t>(windowPos), static_cast<int32_t>(from), static_cast<int32_t>(firstPart));
    if (firstPart < length)
        CopyInWindow(window, static_cast<int32_t>(windowPos + firstPart), 0, static_cast<int32_t>(length - firstPart));
}

// A match in the fast stretch: WindowPos + length + CopySlack <= 32768. A
// source behind the destination by 16 or more, or ahead of it (in the
// window's previous round) and not reaching the window's end, goes in
// 16-byte pieces.
inline void CopyMatchFast(uint8_t* window, uint32_t windowPos, uint32_t distance, uint32_t length) {
    uint32_t from = (windowPos - distance) & (OutputWindowSize - 1);
    if ((distance <= windowPos) ? distance >= 16 : from + length + CopySlack <= OutputWindowSize)
        CopyPieces<16>(window + windowPos, window + from, length);
    else
        CopyMatchOdd(window, windowPos, distance, length);
}

ExtractResult DecodeFast(const BlockCodes& codes) {
    EngineStateRecord& e = EngineState;
    // Rounds run while in <= inLimit (FastInputBytes unread bytes up to
    // InputLast) and out <= outLimit (FastWindowLimit).
    if (e.InputPos > e.InputLast + 1 - FastInputBytes || e.WindowPos > FastWindowLimit) return FastStretchEnded;
    const StretchStart start = {e.BitBuffer, e.BitCount, e.InputPos};
    const uint8_t* in = e.InputBuffer + e.InputPos;
    const uint8_t* const inLimit = e.InputBuffer + (e.InputLast + 1 - FastInputBytes);
    uint64_t bits = e.BitBuffer;  // the next input bits, first in bit 0; `count` of them are loaded,
    uint32_t count = e.BitCount;  // the ones above are zero or the input that follows
    uint8_t* const window = e.OutputWindow;
    uint8_t* out = window + e.WindowPos;
    const uint8_t* const outLimit = window + FastWindowLimit;
    const uint32_t* const cells = codes.FastCells;
    constexpr uint32_t LiteralMask = (1u << FastLiteralBits) - 1;
    constexpr uint32_t DistanceMask = (1u << FastDistanceBits) - 1;

    ExtractResult result = FastStretchEnded;
    // Each round starts with 56..63 bits loaded: the word at `in`, of which
    // 7 or 8 bytes are counted. All 64 bits of `bits` are input then, and a
    // round takes at most 48 of them, so the next round's literal/length
    // cell can be looked up before this round's output is written (the
    // refill only adds bits above `count`), which lets the two overlap.
    auto refill = [&] {
        bits |= LoadWord(in) << count;
        in += (63 - count) >> 3;
        count |= 56;
    };
    refill();
    uint32_t cell = cells[FastLiteralRoot + (bits & LiteralMask)];
    uint32_t roundCount;  // `count` where the last round began
    for (;;) {
        roundCount = count;
        if (cell & FastLink)
            cell = cells[(cell >> 16) + ((bits >> FastLiteralBits) & ((1u << ((cell >> 8) & 15)) - 1))];
        uint32_t used = cell & 63;
        uint32_t code = static_cast<uint32_t>(bits);  // the code and its extra bits (at most 20)
        if (cell & FastLiteral) {
            bits >>= used;
            count -= used;
            uint32_t next = cells[FastLiteralRoot + (bits & LiteralMask)];
            *out++ = static_cast<uint8_t>(cell >> 16);
            if (next & FastLiteral) {
                // A second literal in the same round: the two take at most
                // 30 bits, and the round's reach is now this code's.
                roundCount = count;
                used = next & 63;
                bits >>= used;
                count -= used;
                *out++ = static_cast<uint8_t>(next >> 16);
                next = cells[FastLiteralRoot + (bits & LiteralMask)];
            }
            if (in > inLimit || out > outLimit) break;
            refill();
            cell = next;
            continue;
        }
        uint32_t length = cell >> 16;
        if (cell & (FastInvalid | FastEndOfBlock | FastExtraBits)) {
            if (cell & FastInvalid) {
                result = ArchiveDamaged;
                break;
            }
            bits >>= used;
            count -= used;
            if (cell & FastEndOfBlock) {
                result = Ok;
                break;
            }
            length += (code & ~(~0u << used)) >> ((cell >> 8) & 15);
        } else {
            bits >>= used;
            count -= used;
        }

        cell = cells[bits & DistanceMask];
        if (cell & FastLink)
            cell = cells[(cell >> 16) + ((bits >> FastDistanceBits) & ((1u << ((cell >> 8) & 15)) - 1))];
        if (cell & FastInvalid) {
            result = ArchiveDamaged;
            break;
        }
        used = cell & 63;
        code = static_cast<uint32_t>(bits);  // at most 28 bits
        bits >>= used;
        count -= used;
        const uint32_t distance = (cell >> 16) + ((code & ~(~0u << used)) >> ((cell >> 8) & 15));
        const uint32_t next = cells[FastLiteralRoot + (bits & LiteralMask)];
        CopyMatchFast(window, static_cast<uint32_t>(out - window), distance, length);
        out += length;
        if (in > inLimit || out > outLimit) break;
        refill();
        cell = next;
    }
    e.WindowPos = static_cast<uint16_t>(out - window);

    // The give-back. The last round is read again through the exact tables
    // from where it began: the reach of its literal/length code and, when it
    // went on to a distance code, of that; an invalid code stops the exact
    // reader inside it.
    const uint32_t loadedBytes = static_cast<uint32_t>(in - (e.InputBuffer + start.InputPos));
    const uint32_t loaded = start.BitCount + 8 * loadedBytes;
    const uint32_t roundStart = loaded - roundCount;
    uint32_t end = loaded - count;
    CodeWalk walk = WalkCode(codes.Literals, codes.LiteralBits,
                             static_cast<uint32_t>(InputBitsAt(start, roundStart, loadedBytes)));
    uint32_t reach = roundStart + static_cast<uint32_t>(walk.Reach);
    if (walk.Entry->Op == OpInvalid) {
        end = roundStart + static_cast<uint32_t>(walk.Depth);
    } else if (walk.Entry->Op < OpEndOfBlock) {
        // A length: its distance code starts after the length code and its
        // extra bits.
        const uint32_t distanceStart = roundStart + static_cast<uint32_t>(walk.Depth) + walk.Entry->Bits + walk.Entry->Op;
        walk = WalkCode(codes.Distances, codes.DistanceBits,
                        static_cast<uint32_t>(InputBitsAt(start, distanceStart, loadedBytes)));
        if (distanceStart + static_cast<uint32_t>(walk.Reach) > reach)
            reach = distanceStart + static_cast<uint32_t>(walk.Reach);
        if (result == ArchiveDamaged) end = distanceStart + static_cast<uint32_t>(walk.Depth);
    }
    if (end > reach) reach = end;
    LeaveReader(start, end, reach);
    return result;
}

ExtractResult DecodeSymbols(const BlockCodes& codes) {
    EngineStateRecord& e = EngineState;
    for (;;) {
        if (e.CancelRequested || e.InputExhausted) return e.CancelRequested ? Cancelled : InputFailed;

        if (FastPathsEnabled && codes.FastCells != nullptr) {
            ExtractResult fast = DecodeFast(codes);
            if (fast != FastStretchEnded) return fast;
        }

        // One code near the end of the input buffer or of the window.
        const DecodeEntry* entry = ReadCode(codes.Literals, codes.LiteralBits);
        if (entry == nullptr) return ArchiveDamaged;
        if (entry->Op == OpLiteral) {
            e.OutputWindow[e.WindowPos] = static_cast<uint8_t>(entry->Value);
            e.WindowPos = static_cast<uint16_t>(e.WindowPos + 1);
            if (e.WindowPos == OutputWindowSize && !WindowFull()) return OutputFailed;
            continue;
        }
        if (entry->Op == OpEndOfBlock) return Ok;

        // A length: Op is its extra-bit count (0..5), the sum at most 258.
        uint16_t length = static_cast<uint16_t>(entry->Value + TakeBits(entry->Op));

        const DecodeEntry* distance = ReadCode(codes.Distances, codes.DistanceBits);
        if (distance == nullptr) return ArchiveDamaged;
        // Extra bits 0..13; the distance is at most 32768.
        uint32_t extra = TakeBits(distance->Op);
        uint16_t source = static_cast<uint16_t>(e.WindowPos - distance->Value - extra);
        if (!CopyMatch(source, length)) return OutputFailed;
    }
}

// The fast form of a block's codes, unless a code reads further ahead than
// the give-back of DecodeFast allows.
void AttachFastTable(BlockCodes& codes, const FastTable& table) {
    if (table.Cells != nullptr && table.MaxOverreach <= codes.LiteralBits) codes.FastCells = table.Cells;
}

int32_t LongestCode(const uint16_t* lengths, int32_t count) {
    int32_t longest = 0;
    for (int32_t i = 0; i < count; i++)
        if (lengths[i] > longest) longest = lengths[i];
    return longest;
}

ExtractResult CopyStoredBlock() {
    EngineStateRecord& e = EngineState;
    DropBits(e.BitCount & 7);  // to the byte boundary; whole bytes held are used next
    uint32_t length = TakeBits(16);
    EnsureBits(16);
    if (length != (~e.BitBuffer & 0xFFFF)) return ArchiveDamaged;
    DropBits(16);

    while (length > 0 && !e.CancelRequested && !e.InputExhausted) {
        if (FastPathsEnabled && e.BitCount == 0 && e.InputPos <= e.InputLast) {
            // A run straight from InputBuffer, up to the end of its bytes or
            // of the window: byte for byte what the loop below does, which
            // refills only when InputBuffer is used up (the flags change only
            // then) and flushes only a full window.
            uint32_t run = length;
            if (run > static_cast<uint32_t>(e.InputLast + 1 - e.InputPos))
                run = static_cast<uint32_t>(e.InputLast + 1 - e.InputPos);
            if (run > static_cast<uint32_t>(OutputWindowSize - e.WindowPos))
                run = static_cast<uint32_t>(OutputWindowSize - e.WindowPos);
            std::memcpy(e.OutputWindow + e.WindowPos, e.InputBuffer + e.InputPos, run);
            e.InputPos = static_cast<int16_t>(e.InputPos + static_cast<int32_t>(run));
            e.WindowPos = static_cast<uint16_t>(e.WindowPos + run);
            length -= run;
            if (e.WindowPos == OutputWindowSize && !WindowFull()) {
                // The loop below fails with the last byte still in the bit
                // buffer.
                e.BitBuffer = e.OutputWindow[OutputWindowSize - 1];
                e.BitCount = 8;
                return OutputFailed;
            }
            continue;
        }
        length--;
        EnsureBits(8);
        e.OutputWindow[e.WindowPos] = static_cast<uint8_t>(e.BitBuffer);
        e.WindowPos = static_cast<uint16_t>(e.WindowPos + 1);
        if (e.WindowPos == OutputWindowSize && !WindowFull()) return OutputFailed;
        DropBits(8);
    }
    if (e.CancelRequested) return Cancelled;
    if (e.InputExhausted) return InputFailed;
    return Ok;
}

ExtractResult DecodeFixedBlock() {
    uint16_t lengths[LiteralLengthCodes];
    int s = 0;
    for (; s < 144; s++) lengths[s] = 8;
    for (; s < 256; s++) lengths[s] = 9;
    for (; s < 280; s++) lengths[s] = 7;
    for (; s < 288; s++) lengths[s] = 8;

    DecodeEntry* literalTable = nullptr;
    int32_t literalBits = FixedLiteralBits;
    TableResult built =
        BuildDecodeTable(lengths, 288, 257, LengthBase, LengthExtraBits, &literalTable, &literalBits);
    if (built != TableComplete) {
        // Only TableNoMemory can happen here; its number reads as InputFailed.
        if (built == TableIncomplete) FreeDecodeTable(literalTable);
        return built;
    }

    for (s = 0; s < 30; s++) lengths[s] = 5;
    DecodeEntry* distanceTable = nullptr;
    int32_t distanceBits = FixedDistanceBits;
    // Always incomplete: the codes of 30 and 31 are left unused.
    built = BuildDecodeTable(lengths, 30, 0, DistanceBase, DistanceExtraBits, &distanceTable, &distanceBits);
    if (built != TableComplete && built != TableIncomplete) {
        FreeDecodeTable(literalTable);
        return ArchiveDamaged;
    }

    BlockCodes codes = {literalTable, distanceTable, literalBits, distanceBits, nullptr};
    if (FastPathsEnabled) {
        // The fixed codes' fast table is made once, from the first fixed
        // block's tables, and kept for the process like any constant table.
        static FastTable fixedCodes = {nullptr, 0};
        if (fixedCodes.Cells == nullptr)
            BuildFastTable(literalTable, literalBits, 9, distanceTable, distanceBits, 5, fixedCodes);
        AttachFastTable(codes, fixedCodes);
    }
    ExtractResult result = DecodeSymbols(codes);
    FreeDecodeTable(literalTable);
    FreeDecodeTable(distanceTable);
    return result;
}

ExtractResult DecodeDynamicBlock() {
    EngineStateRecord& e = EngineState;
    const int32_t literalCount = static_cast<int32_t>(TakeBits(5)) + 257;   // HLIT, up to 288
    const int32_t distanceCount = static_cast<int32_t>(TakeBits(5)) + 1;    // HDIST, up to 32
    const int32_t codeLengthCount = static_cast<int32_t>(TakeBits(4)) + 4;  // HCLEN
    const int32_t total = literalCount + distanceCount;

    // Literal/length and distance lengths in one sequence: a repeat may run
    // from the one into the other.
    uint16_t lengths[LiteralLengthCodes + DistanceCodes] = {};
    for (int32_t i = 0; i < codeLengthCount; i++) lengths[CodeLengthOrder[i]] = static_cast<uint16_t>(TakeBits(3));

    DecodeEntry* codeLengthTable = nullptr;
    int32_t codeLengthBits = CodeLengthBits;
    TableResult built = BuildDecodeTable(lengths, 19, 19, nullptr, nullptr, &codeLengthTable, &codeLengthBits);
    if (built != TableComplete) {
        if (built == TableIncomplete) FreeDecodeTable(codeLengthTable);
        return ArchiveDamaged;
    }

    // The code lengths. The code-length code's lengths are at most 7 bits and
    // the root is at least as wide as its longest code: one level. A 1-bit
    // code-length code may leave its other pattern unused; meeting it, like
    // any lookup in an empty table, is damage.
    ExtractResult result = Ok;
    uint16_t previous = 0;
    for (int32_t i = 0; i < total;) {
        const DecodeEntry* entry = ReadCode(codeLengthTable, codeLengthBits);
        if (entry == nullptr) {
            result = ArchiveDamaged;
            break;
        }
        uint16_t symbol = entry->Value;
        if (symbol < 16) {
            lengths[i++] = symbol;
            previous = symbol;
            continue;
        }
        int32_t repeat;
        uint16_t value;
        if (symbol == 16) {
            repeat = static_cast<int32_t>(TakeBits(2)) + 3;
            value = previous;
        } else if (symbol == 17) {
            repeat = static_cast<int32_t>(TakeBits(3)) + 3;
            value = 0;
        } else {
            repeat = static_cast<int32_t>(TakeBits(7)) + 11;
            value = 0;
        }
        if (i + repeat > total) {
            // Codes 16 and 17 report this overrun with 1, code 18 as damage.
            result = symbol == 18 ? ArchiveDamaged : ChecksumMismatch;
            break;
        }
        while (repeat-- > 0) lengths[i++] = value;
        previous = value;
    }
    FreeDecodeTable(codeLengthTable);
    if (result != Ok) return result;

    DecodeEntry* literalTable = nullptr;
    int32_t literalBits = e.LiteralLookupBits;
    built = BuildDecodeTable(lengths, static_cast<uint16_t>(literalCount), 257, LengthBase, LengthExtraBits,
                             &literalTable, &literalBits);
    if (built != TableComplete) {
        if (built == TableIncomplete) FreeDecodeTable(literalTable);
        return ArchiveDamaged;
    }

    DecodeEntry* distanceTable = nullptr;
    int32_t distanceBits = e.DistanceLookupBits;
    built = BuildDecodeTable(lengths + literalCount, static_cast<uint16_t>(distanceCount), 0, DistanceBase,
                             DistanceExtraBits, &distanceTable, &distanceBits);
    if (built != TableComplete && built != TableIncomplete) {
        FreeDecodeTable(literalTable);
        return ArchiveDamaged;
    }

    BlockCodes codes = {literalTable, distanceTable, literalBits, distanceBits, nullptr};
    FastTable fast = {nullptr, 0};
    if (FastPathsEnabled &&
        BuildFastTable(literalTable, literalBits, LongestCode(lengths, literalCount), distanceTable, distanceBits,
                       LongestCode(lengths + literalCount, distanceCount), fast))
        AttachFastTable(codes, fast);
    result = DecodeSymbols(codes);
    FreeFastTable(fast);
    FreeDecodeTable(literalTable);
    FreeDecodeTable(distanceTable);
    return result;
}

ExtractResult DecodeNextBlock(bool& lastBlock) {
    lastBlock = TakeBits(1) != 0;
    switch (TakeBits(2)) {
        case 0:
            return CopyStoredBlock();
        case 1:
            return DecodeFixedBlock();
        case 2:
            return DecodeDynamicBlock();
        default:
            return ArchiveDamaged;
    }
}

}  // namespace

ExtractResult Inflate() {
    EngineStateRecord& e = EngineState;
    e.InputPos = 0;
    e.InputLast = -1;
    e.WindowPos = 0;
    e.BitCount = 0;
    e.BitBuffer = 0;

    bool lastBlock = false;
    do {
        ExtractResult result = DecodeNextBlock(lastBlock);
        if (result != Ok) return result;
    } while (!lastBlock);

    // What follows the final block stays in BitBuffer and InputBuffer: a data
    // descriptor is read from there.
    return FlushOutput(e.WindowPos) ? Ok : OutputFailed;
}
