// Inflate's fast loop: the literal/length and distance codes of a block,
// decoded on the fast bit reader (fast_bits.h) with the packed tables of
// fast_table.cpp, one look-up per code (two for a code longer than the
// root), matches copied in 8- and 16-byte pieces.
//
// Entry assumptions. DecodeSymbols (inflate.cpp) calls DecodeFast before
// each code while the block has a fast table. DecodeFast works in rounds, a
// round being one to three literals or one match, and runs a round only when
// its margins hold; it stops before anything the exact loop does at the
// edges: a refill of InputBuffer, a flush, the end of the block, a damaged
// code. It then leaves the reader in exactly the state the exact loop would
// have reached, so that from the outside the two cannot be told apart (the
// message pump, progress, flush sizes and the bits a data descriptor is
// read from all depend on it).
//
// Margins, checked before every round:
// - Input: a round takes at most MaxRoundBits = 15 + 5 + 15 + 13 = 48 bits
//   (a length code, its extra bits, a distance code, its extra bits) and
//   starts with a refill, which loads the word at the next input byte and
//   leaves at least FastRefillMinBits = 56 bits loaded. A round runs only
//   while a whole word (FastWordBytes) lies before the end of the valid
//   input, so the word never reaches past it.
// - Window: the stretch never fills the window, so no flush falls inside
//   it. A round starts only with WindowPos <= FastWindowLimit, room for three
//   literals and a byte; a match that would reach the window's end is left
//   to the exact loop (the round is given back unread, see below), and one
//   that ends short of it but within CopySlack is copied exactly, byte range
//   for byte range, as the wide pieces' last one may run CopySlack bytes
//   further (they are put back, but must be inside the window).
//
// The reach (fast_bits.h says why the reader's state is fixed by the end
// position and the reach of the exact reader's EnsureBits calls). The fast
// tables are wider than the exact ones, so the fast loop cannot record the
// widths the exact reader would ask for; it finds the reach afterwards. A
// literal or length code asks for at least LiteralBits bits from its start,
// and every earlier call of the exact reader reaches no further than that
// whenever (reach of a code's reading) - (its length) <= LiteralBits for
// every code of both tables (the fast tables record the largest such
// excess; AttachFastTable leaves a block whose codes exceed it to the exact
// loop). So only the last literal/length code and the distance code after
// it count, together with the bits dropped (roundCount marks where that
// code began); their reach is found at the end by walking the exact tables
// over the same bits (WalkCode), whichever table the fast loop used.
// A round given back unread (a match that would fill the window) leaves the
// reader at the round's start with the reach of the exact reader's first
// call for the next code, EnsureBits(LiteralBits) there, which is the very
// next thing the exact loop does; the earlier reads reach no further (the
// condition above), and the bytes it takes lie in InputBuffer (a round
// starts with a word's room), so no refill falls between.
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "codecs/codecs.h"
#include "codecs/fast_bits.h"
#include "codecs/inflate_internal.h"
#include "engine/engine.h"

namespace {

// The bit budget of a round against what a refill gives.
constexpr uint32_t MaxRoundBits = 2 * MaxDeflateCodeBits + MaxLengthExtraBits + MaxDistanceExtraBits;
static_assert(MaxRoundBits == 48 && MaxRoundBits <= FastRefillMinBits);
static_assert(3 * MaxDeflateCodeBits <= MaxRoundBits);  // three literals
// All 64 bits of the register are input after a refill, so after a round at
// least 64 - MaxRoundBits remain for looking up the next round's first cell
// before this round's output is written.
static_assert(8 * FastWordBytes - MaxRoundBits >= FastLiteralBits);
// A code with its extra bits fits the 32-bit `code` and a cell's 6-bit drop
// count.
static_assert(MaxDeflateCodeBits + MaxDistanceExtraBits <= 32);

// Copy pieces, the window room their last piece may run into (the bytes
// kept from behind it reach up to a whole piece further), and the last
// window position a round starts from: three literals must not fill it.
constexpr int32_t WidePiece = 16;
constexpr int32_t NarrowPiece = 8;
constexpr int32_t CopySlack = 16;
constexpr int32_t FastWindowLimit = OutputWindowSize - 4;
static_assert(CopySlack >= WidePiece && WidePiece >= NarrowPiece);

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

// A match in the fast stretch that the wide pieces cannot take: a distance
// below WidePiece, a source ahead in the window's previous round that
// reaches its end, or a destination near the window's end (windowPos +
// length < OutputWindowSize). Out of line, to keep the fast loop's registers
// for the common case.
[[gnu::noinline]] void CopyMatchOdd(uint8_t* window, uint32_t windowPos, uint32_t distance, uint32_t length) {
    uint8_t* to = window + windowPos;
    if (distance <= windowPos) {
        const uint8_t* from = to - distance;
        if (distance >= NarrowPiece && windowPos + length + NarrowPiece <= OutputWindowSize)
            CopyPieces<NarrowPiece>(to, from, length);
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

// Whether a match goes in wide pieces: a source behind the destination by
// WidePiece or more, or ahead of it (in the window's previous round), with
// neither range coming within CopySlack of the window's end (so the match
// does not fill the window either). The rest goes to CopyMatchOdd, or to
// the exact loop when it would fill the window.
inline bool WideCopyFits(uint32_t windowPos, uint32_t from, uint32_t distance, uint32_t length) {
    uint32_t higher = from > windowPos ? from : windowPos;
    return distance >= WidePiece && higher + length + CopySlack <= OutputWindowSize;
}

}  // namespace

void AttachFastTable(BlockCodes& codes, const FastTable& table) {
    if (table.Cells != nullptr && table.MaxOverreach <= codes.LiteralBits) codes.FastCells = table.Cells;
}

namespace {

// The loop itself, compiled twice (see DecodeFast).
[[gnu::always_inline]] inline ExtractResult DecodeFastLoop(const BlockCodes& codes) {
    EngineStateRecord& e = EngineState;
    FastBits f = BeginFastBits();
    // Rounds run while a word can be loaded and out <= outLimit.
    if (!FastCanLoad(f) || e.WindowPos > FastWindowLimit) return FastStretchEnded;
    uint64_t& bits = f.Bits;    // the next input bits, first in bit 0; `count` of them are loaded,
    uint32_t& count = f.Count;  // the ones above are zero or the input that follows
    uint8_t* const window = e.OutputWindow;
    uint8_t* out = window + e.WindowPos;
    const uint8_t* const outLimit = window + FastWindowLimit;
    const uint32_t* const cells = codes.FastCells;
    // A word can be loaded while In <= inLimit (inside InputBuffer: the
    // check above found a word's room).
    const uint8_t* const inLimit = f.End - FastWordBytes;
    constexpr uint32_t LiteralMask = (1u << FastLiteralBits) - 1;
    constexpr uint32_t DistanceMask = (1u << FastDistanceBits) - 1;

    ExtractResult result = FastStretchEnded;
    bool givenBack = false;  // the last round was left unread to the exact loop
    // Each round starts with a refill, so that all 64 bits of `bits` are
    // input and the round needs at most MaxRoundBits of them: the next
    // round's literal/length cell can be looked up before this round's
    // output is written (the refill only adds bits above `count`), which
    // lets the two overlap.
    auto refill = [&] { FastLoad(f); };
    refill();
    uint32_t cell = cells[FastLiteralRoot + (bits & LiteralMask)];
    uint32_t roundCount;  // `count` where the last round began, set as it ends
    for (;;) {
        const uint32_t startCount = count;
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
                // A second literal in the same round, and maybe a third:
                // the three take at most 45 bits (no more than a match),
                // and the round's reach is now the last one's.
                used = next & 63;
                bits >>= used;
                count -= used;
                *out++ = static_cast<uint8_t>(next >> 16);
                next = cells[FastLiteralRoot + (bits & LiteralMask)];
                if (next & FastLiteral) {
                    used = next & 63;
                    bits >>= used;
                    count -= used;
                    *out++ = static_cast<uint8_t>(next >> 16);
                    next = cells[FastLiteralRoot + (bits & LiteralMask)];
                }
                if (f.In > inLimit || out > outLimit) {
                    roundCount = count + used;
                    break;
                }
            } else if (f.In > inLimit || out > outLimit) {
                roundCount = startCount;
                break;
            }
            refill();
            cell = next;
            continue;
        }
        if (cell & (FastInvalid | FastEndOfBlock)) {
            if (cell & FastInvalid) {
                result = ArchiveDamaged;
            } else {
                bits >>= used;
                count -= used;
                result = Ok;
            }
            roundCount = startCount;
            break;
        }
        bits >>= used;
        count -= used;
        // The extra bits, none when the cell resolved them.
        const uint32_t length = (cell >> 16) + ((code & ~(~0u << used)) >> ((cell >> 8) & 15));

        cell = cells[bits & DistanceMask];
        if (cell & FastLink)
            cell = cells[(cell >> 16) + ((bits >> FastDistanceBits) & ((1u << ((cell >> 8) & 15)) - 1))];
        if (cell & FastInvalid) {
            result = ArchiveDamaged;
            roundCount = startCount;
            break;
        }
        used = cell & 63;
        code = static_cast<uint32_t>(bits);  // at most 28 bits
        bits >>= used;
        count -= used;
        const uint32_t distance = (cell >> 16) + ((code & ~(~0u << used)) >> ((cell >> 8) & 15));
        const uint32_t next = cells[FastLiteralRoot + (bits & LiteralMask)];
        const uint32_t outPos = static_cast<uint32_t>(out - window);
        const uint32_t from = (outPos - distance) & (OutputWindowSize - 1);
        if (WideCopyFits(outPos, from, distance, length)) {
            CopyPieces<WidePiece>(out, window + from, length);
        } else if (outPos + length >= OutputWindowSize) {
            // It would fill the window, whose flush is the exact loop's.
            givenBack = true;
            roundCount = startCount;
            break;
        } else {
            CopyMatchOdd(window, outPos, distance, length);
        }
        out += length;
        if (f.In > inLimit || out > outLimit) {
            roundCount = startCount;
            break;
        }
        refill();
        cell = next;
    }
    e.WindowPos = static_cast<uint16_t>(out - window);

    // The give-back. The last round is read again through the exact tables
    // from where it began: the reach of its literal/length code and, when it
    // went on to a distance code, of that; an invalid code stops the exact
    // reader inside it.
    const uint32_t loadedBytes = static_cast<uint32_t>(f.In - f.Start.In);
    const uint32_t loaded = f.Start.Count + 8 * loadedBytes;
    const uint32_t roundStart = loaded - roundCount;
    if (givenBack) {
        EndFastBits(f.Start, roundStart, roundStart + static_cast<uint32_t>(codes.LiteralBits));
        return result;
    }
    uint32_t end = FastPosition(f);
    CodeWalk walk = WalkCode(codes.Literals, codes.LiteralBits,
                             static_cast<uint32_t>(FastBitsAt(f.Start, roundStart, loadedBytes)));
    uint32_t reach = roundStart + static_cast<uint32_t>(walk.Reach);
    if (walk.Entry->Op == OpInvalid) {
        end = roundStart + static_cast<uint32_t>(walk.Depth);
    } else if (walk.Entry->Op < OpEndOfBlock) {
        // A length: its distance code starts after the length code and its
        // extra bits.
        const uint32_t distanceStart = roundStart + static_cast<uint32_t>(walk.Depth) + walk.Entry->Bits + walk.Entry->Op;
        walk = WalkCode(codes.Distances, codes.DistanceBits,
                        static_cast<uint32_t>(FastBitsAt(f.Start, distanceStart, loadedBytes)));
        if (distanceStart + static_cast<uint32_t>(walk.Reach) > reach)
            reach = distanceStart + static_cast<uint32_t>(walk.Reach);
        if (result == ArchiveDamaged) end = distanceStart + static_cast<uint32_t>(walk.Depth);
    }
    if (end > reach) reach = end;
    EndFastBits(f.Start, end, reach);
    return result;
}

// The Windows builds leave the BMI2 copy out (INFLATE_ONE_FAST_LOOP): there
// the launcher's size comes first, and the copy is about 1 KiB of code.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(INFLATE_ONE_FAST_LOOP)
#define INFLATE_BMI2_COPY 1
#endif

#if INFLATE_BMI2_COPY
// The loop shifts and masks by amounts read from its cells several times a
// round; BMI2's shifts take the amount from any register and leave the flags
// alone, and BZHI masks in one instruction, which spares the loop about a
// fifth of its instructions and the moves through CL that crowd its
// registers. Only this copy is compiled for BMI2; the choice is made once,
// at run time, as for the CRC.
[[gnu::target("bmi2")]] ExtractResult DecodeFastBmi2(const BlockCodes& codes) { return DecodeFastLoop(codes); }

bool Bmi2Available() {
    static int support = 0;  // 0: not asked yet, 1: no, 2: yes
    if (support == 0) {
        // CPUID leaf 7, sub-leaf 0: EBX bit 8 is BMI2.
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        support = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & (1u << 8)) != 0 ? 2 : 1;
    }
    return support == 2;
}
#endif

}  // namespace

// Kept out of its caller when the program is optimised across files (the
// Windows launcher): inlined into DecodeSymbols, the loop came out with
// about 3% more instructions per byte on i686.
[[gnu::noinline]] ExtractResult DecodeFast(const BlockCodes& codes) {
#if INFLATE_BMI2_COPY
    if (Bmi2Available()) return DecodeFastBmi2(codes);
#endif
    return DecodeFastLoop(codes);
}
