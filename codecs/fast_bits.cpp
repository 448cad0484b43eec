// The end of a stretch on the fast bit reader: the give-back that
// fast_bits.h argues, in one place for every decoder.
#include "codecs/fast_bits.h"

uint64_t FastBitsAt(FastStart start, uint32_t p, uint32_t bytes) {
    uint64_t value = 0;
    int32_t filled;  // bits of value set so far; negative: bits of the next byte to skip
    uint32_t next;   // index of the next byte after start.In
    if (p < start.Count) {
        value = start.Buffer >> p;
        filled = static_cast<int32_t>(start.Count - p);
        next = 0;
    } else {
        filled = -static_cast<int32_t>((p - start.Count) & 7);
        next = (p - start.Count) >> 3;
    }
    for (; filled < 32 && next < bytes; next++, filled += 8)
        value |= filled >= 0 ? uint64_t{start.In[next]} << filled : uint64_t{start.In[next]} >> -filled;
    return value;
}

// The bytes taken and the bits held follow from (end, reach) as the header
// argues.
void EndFastBits(FastStart start, uint32_t end, uint32_t reach) {
    EngineStateRecord& e = EngineState;
    uint32_t bytes = reach > start.Count ? (reach - start.Count + 7) / 8 : 0;
    uint32_t held = start.Count + 8 * bytes - end;  // below 32, as in BitBuffer
    e.InputPos = static_cast<int16_t>(start.In - e.InputBuffer + static_cast<int32_t>(bytes));
    e.BitCount = static_cast<uint8_t>(held);
    e.BitBuffer = static_cast<uint32_t>(FastBitsAt(start, end, bytes) & ((uint64_t{1} << held) - 1));
}
