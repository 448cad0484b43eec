// Unreduce: compression methods 2 to 5 (reducing with factors 1 to 4).
//
// Two layers. The stream, least significant bit first, starts with 256
// follower sets, from set 255 down to set 0: 6 bits of size N (0..63), then N
// bytes. Each later byte is coded in the context of the byte decoded before
// it (0 at the start): with an empty set, 8 plain bits; otherwise a flag bit,
// 1 = 8 plain bits follow, 0 = a FollowerIndexWidth[N]-bit index into the
// set. The decoded bytes then run through a state machine in which 144
// introduces either a literal 144 (144, 0) or a copy of 3 or more bytes from
// at most 4096 bytes back; factor f decides how the byte after 144 splits
// into a length and the high bits of the distance.
//
// Bounds. An index has at most 6 bits and every set has 64 entries, zero
// beyond its size, so any index reads inside its set (a member past the size
// is the byte 0). The ring (history_ring.h) is OutputWindow[0..16383], four
// times the longest distance; it keeps every copy inside itself, and
// positions before the start of the output read as zero.
//
// Fast paths: bytes are decoded on the fast bit reader of fast_bits.h while
// InputBuffer holds a word more (a byte takes at most 9 bits), and
// copies move eight bytes per step where they may.
#include <new>

#include "codecs/codecs.h"
#include "codecs/fast_bits.h"
#include "codecs/history_ring.h"

namespace {

constexpr int SetCount = 256;
constexpr int SetCapacity = 64;
constexpr uint16_t RingSize = 16384;
constexpr uint8_t RunMarker = 144;  // 0x90
constexpr int MinCopyLength = 3;

// Indexed by the compression factor f = method - 1; entry 0 is never used.
constexpr uint32_t ReduceLengthMask[5] = {0, 127, 63, 31, 15};
constexpr uint32_t ReduceDistanceShift[5] = {0, 7, 6, 5, 4};
constexpr uint32_t ReduceDistanceMask[5] = {0, 1, 3, 7, 15};

// Bits of a follower index, by set size N. N = 0 never reads an index.
constexpr uint8_t FollowerIndexWidth[SetCapacity] = {
    8, 1, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6};

// The most bits one byte's code takes: a flag bit and 8 plain bits (an
// index has at most 6).
constexpr uint32_t MaxByteCodeBits = 1 + 8;
static_assert(MaxByteCodeBits <= FastRefillMinBits);

static_assert((1 << 6) == SetCapacity, "a 6-bit index stays inside its set");
static_assert(ReduceDistanceMask[4] * 256 + 255 + 1 <= RingSize, "the longest distance fits the ring");

// Working variables of one Unreduce call.
struct ReduceState {
    uint16_t (*FollowerSets)[SetCapacity];  // 256 x 64 members, zero past each size
    uint8_t FollowerCounts[SetCount];       // size of each set
    HistoryRing Ring;                       // OutputWindow[0..16383]
};

ReduceState Reduce;

void LoadFollowerSets() {
    for (int s = SetCount - 1; s >= 0; s--) {
        uint8_t n = static_cast<uint8_t>(TakeBits(6));
        Reduce.FollowerCounts[s] = n;
        for (int j = 0; j < n; j++) Reduce.FollowerSets[s][j] = static_cast<uint16_t>(TakeBits(8));
    }
}

ExtractResult Finish(ExtractResult result) {
    delete[] Reduce.FollowerSets;
    Reduce.FollowerSets = nullptr;
    return result;
}

// Result of a fast stretch that leaves the rest to the plain route.
constexpr ExtractResult GoOnPlain = -100;

// The loop state that both routes carry from byte to byte.
struct ReduceLoop {
    int State;
    uint32_t V;
    uint32_t Len;
    uint8_t Last;
    int32_t Remaining;
};

// Bytes on the local bit reader while InputBuffer holds enough for a whole
// byte's code (at most 9 bits); the same outputs, flushes and reader state
// as the plain loop. InputExhausted and CancelRequested cannot change here,
// since FillInput does not run.
ExtractResult FastBytes(ReduceLoop& loop, int f) {
    FastBits bits = BeginFastBits();
    ExtractResult result = GoOnPlain;
    const uint32_t lengthMask = ReduceLengthMask[f];
    HistoryRing& ring = Reduce.Ring;
    while (loop.Remaining > 0) {
        if (bits.Count < MaxByteCodeBits && !FastRefill(bits)) break;
        uint8_t n = Reduce.FollowerCounts[loop.Last];
        uint8_t y;
        if (n == 0 || FastTake(bits, 1) == 1)
            y = static_cast<uint8_t>(FastTake(bits, 8));
        else
            y = static_cast<uint8_t>(Reduce.FollowerSets[loop.Last][FastTake(bits, FollowerIndexWidth[n])]);

        if (loop.State == 0) {
            if (y == RunMarker) {
                loop.State = 1;
            } else {
                loop.Remaining--;
                if (!RingPut(ring, y)) {
                    result = OutputFailed;
                    break;
                }
            }
        } else if (loop.State == 1) {
            if (y == 0) {
                loop.Remaining--;
                if (!RingPut(ring, RunMarker)) {
                    result = OutputFailed;
                    break;
                }
                loop.State = 0;
            } else {
                loop.V = y;
                loop.Len = loop.V & lengthMask;
                loop.State = loop.Len == lengthMask ? 2 : 3;
            }
        } else if (loop.State == 2) {
            loop.Len += y;
            loop.State = 3;
        } else {
            uint16_t distance =
                static_cast<uint16_t>(((loop.V >> ReduceDistanceShift[f]) & ReduceDistanceMask[f]) * 256 + y + 1);
            uint16_t count = static_cast<uint16_t>(loop.Len + MinCopyLength);
            loop.Remaining -= count;
            uint16_t src = static_cast<uint16_t>(ring.WritePos - distance);
            if (!RingCopyFast(ring, src, count)) {
                result = OutputFailed;
                break;
            }
            loop.State = 0;
        }
        loop.Last = y;
    }
    SyncFastBits(bits);
    return result;
}

}  // namespace

ExtractResult Unreduce(uint16_t method) {
    EngineStateRecord& e = EngineState;
    if (method < 2 || method > 5) return Unsupported;
    const int f = method - 1;

    e.InputExhausted = false;
    e.BitBuffer = 0;
    e.BitCount = 0;
    e.InputPos = 0;
    e.InputLast = -1;
    Reduce.Ring = HistoryRing{e.OutputWindow, RingSize, 0, true};
    int state = 0;
    uint32_t v = 0;
    uint32_t len = 0;
    uint8_t last = 0;
    int32_t remaining = e.UncompressedSize;

    // The only allocation of the decoder; without it nothing can be decoded,
    // and the entry fails like an entry whose input cannot be had.
    Reduce.FollowerSets = new (std::nothrow) uint16_t[SetCount][SetCapacity]();
    if (Reduce.FollowerSets == nullptr) return InputFailed;

    LoadFollowerSets();

    while (remaining > 0 && !e.InputExhausted && !e.CancelRequested) {
        if (FastPathsEnabled) {
            ReduceLoop loop = {state, v, len, last, remaining};
            ExtractResult result = FastBytes(loop, f);
            state = loop.State;
            v = loop.V;
            len = loop.Len;
            last = loop.Last;
            remaining = loop.Remaining;
            if (result != GoOnPlain) return Finish(result);
            if (remaining <= 0) break;
        }
        // One byte on the plain route; near the end of InputBuffer the fast
        // paths come here too, until FillInput has brought the next block.
        uint8_t n = Reduce.FollowerCounts[last];
        uint8_t y;
        if (n == 0 || TakeBits(1) == 1)
            y = static_cast<uint8_t>(TakeBits(8));
        else
            y = static_cast<uint8_t>(Reduce.FollowerSets[last][TakeBits(FollowerIndexWidth[n])]);

        switch (state) {
            case 0:
                if (y == RunMarker) {
                    state = 1;
                } else {
                    remaining--;
                    if (!RingPut(Reduce.Ring, y)) return Finish(OutputFailed);
                }
                break;
            case 1:
                if (y == 0) {
                    remaining--;
                    if (!RingPut(Reduce.Ring, RunMarker)) return Finish(OutputFailed);
                    state = 0;
                } else {
                    v = y;
                    len = v & ReduceLengthMask[f];
                    state = len == ReduceLengthMask[f] ? 2 : 3;
                }
                break;
            case 2:
                len += y;
                state = 3;
                break;
            default: {
                uint16_t distance =
                    static_cast<uint16_t>(((v >> ReduceDistanceShift[f]) & ReduceDistanceMask[f]) * 256 + y + 1);
                uint16_t count = static_cast<uint16_t>(len + MinCopyLength);
                remaining -= count;  // all of it, even past the expected size
                uint16_t src = static_cast<uint16_t>(Reduce.Ring.WritePos - distance);
                if (!RingCopy(Reduce.Ring, src, count)) return Finish(OutputFailed);
                state = 0;
                break;
            }
        }
        last = y;
    }

    if (e.CancelRequested) return Finish(Cancelled);
    return Finish(FlushOutput(Reduce.Ring.WritePos) ? Ok : OutputFailed);
}
