// The output window as the ring of a sliding dictionary, shared by explode
// (all 32 KiB) and unreduce (the first 16 KiB). Bytes are written at
// WritePos; the moment the ring is full it goes to FlushOutput whole and the
// writing starts over at 0, so WritePos stays below Size between calls.
//
// A match source is the write position minus the distance, taken modulo
// 65536 and then modulo Size (both powers of two, so the two agree). Until
// the first full ring has gone out, a source at or after the write position
// lies before the start of the output, and those positions read as zero.
#pragma once

#include <cstdint>
#include <cstring>

#include "engine/engine.h"

struct HistoryRing {
    uint8_t* Window;        // EngineState.OutputWindow
    uint16_t Size;          // 16384 or 32768
    uint16_t WritePos;      // 0..Size - 1 between calls
    bool BeforeFirstFlush;  // no full ring has gone out yet
};

inline bool RingFlushIfFull(HistoryRing& ring) {
    if (ring.WritePos < ring.Size) return true;
    if (!FlushOutput(ring.Size)) return false;
    ring.WritePos = 0;
    ring.BeforeFirstFlush = false;
    return true;
}

inline bool RingPut(HistoryRing& ring, uint8_t b) {
    ring.Window[ring.WritePos++] = b;
    return RingFlushIfFull(ring);
}

// Copies length bytes from src on. Each chunk ends where the source or the
// destination reaches the ring's end, so both stay inside the ring; false
// when a flush failed.
inline bool RingCopy(HistoryRing& ring, uint16_t src, uint32_t length) {
    uint8_t* window = ring.Window;
    while (length > 0) {
        src = static_cast<uint16_t>(src & (ring.Size - 1));
        uint32_t w = ring.WritePos;
        uint32_t chunk = ring.Size - (src > w ? src : w);
        if (chunk > length) chunk = length;
        length -= chunk;
        if (ring.BeforeFirstFlush && src >= w) {
            std::memset(window + w, 0, chunk);  // before the start of the output
        } else if (static_cast<int32_t>(w) - src >= static_cast<int32_t>(chunk)) {
            std::memcpy(window + w, window + src, chunk);
        } else {
            // Overlapping source: byte by byte, so a short distance repeats.
            for (uint32_t i = 0; i < chunk; i++) window[w + i] = window[src + i];
        }
        ring.WritePos = static_cast<uint16_t>(w + chunk);
        src = static_cast<uint16_t>(src + chunk);
        if (!RingFlushIfFull(ring)) return false;
    }
    return true;
}

// RingCopy with the same chunks, bytes and flushes, for the fast paths: an
// overlapping source at least eight bytes behind the destination moves eight
// bytes per step (each step reads only bytes written before it), a distance
// of one is a fill, and a source ahead of the destination is a forward move.
inline bool RingCopyFast(HistoryRing& ring, uint16_t src, uint32_t length) {
    uint8_t* window = ring.Window;
    while (length > 0) {
        src = static_cast<uint16_t>(src & (ring.Size - 1));
        uint32_t w = ring.WritePos;
        uint32_t chunk = ring.Size - (src > w ? src : w);
        if (chunk > length) chunk = length;
        length -= chunk;
        int32_t distance = static_cast<int32_t>(w) - src;
        uint8_t* to = window + w;
        const uint8_t* from = window + src;
        if (ring.BeforeFirstFlush && src >= w) {
            std::memset(to, 0, chunk);
        } else if (distance >= static_cast<int32_t>(chunk) || distance < 0) {
            std::memmove(to, from, chunk);
        } else if (distance == 1) {
            std::memset(to, *from, chunk);
        } else if (distance >= 8) {
            uint32_t i = 0;
            for (; i + 8 <= chunk; i += 8) std::memcpy(to + i, from + i, 8);
            for (; i < chunk; i++) to[i] = from[i];
        } else {
            for (uint32_t i = 0; i < chunk; i++) to[i] = from[i];
        }
        ring.WritePos = static_cast<uint16_t>(w + chunk);
        src = static_cast<uint16_t>(src + chunk);
        if (!RingFlushIfFull(ring)) return false;
    }
    return true;
}
