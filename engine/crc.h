// The routes of UpdateCrc, for the tests and the CRC benchmark. Each takes
// the running CRC register (no inversions: those belong to ExtractEntry) and
// returns it advanced over count bytes; all give the same value.
#pragma once

#include <cstddef>
#include <cstdint>

// One table look-up per byte: the plain route.
uint32_t CrcBytewise(uint32_t crc, const uint8_t* data, size_t count);
// Eight bytes per step through eight 256-entry slices.
uint32_t CrcSliced(uint32_t crc, const uint8_t* data, size_t count);
// Carry-less multiplication folding, 64 bytes per step; only where the
// processor has it (CrcFoldingAvailable), else the same as CrcSliced.
uint32_t CrcFolded(uint32_t crc, const uint8_t* data, size_t count);
bool CrcFoldingAvailable();

// The folding constants, for the bit-reflected CRC (polynomial P = 0x104C11DB7,
// reflected 0x1DB710641). Kn is x^n mod P, bit-reflected over 32 bits and
// shifted left by one, so that a 64x64 carry-less product of a reflected
// 64-bit lane with it moves that lane n - 64 bits further along the message:
//   CrcFoldK544, CrcFoldK480  fold four 128-bit lanes across 512 bits
//   CrcFoldK160, CrcFoldK96   fold one lane across 128 bits
//   CrcFoldK64                folds 64 bits down to 32 (+ 32 zero bits)
// CrcBarrettMu is floor(x^64 / P), reflected over 33 bits, and CrcPolyReflected
// P reflected over 33 bits; with them a Barrett reduction takes the last 64
// bits to the 32-bit remainder. The tests recompute all of them with a
// carry-less polynomial routine.
constexpr uint64_t CrcFoldK544 = 0x154442BD4ull;
constexpr uint64_t CrcFoldK480 = 0x1C6E41596ull;
constexpr uint64_t CrcFoldK160 = 0x1751997D0ull;
constexpr uint64_t CrcFoldK96 = 0x0CCAA009Eull;
constexpr uint64_t CrcFoldK64 = 0x163CD6124ull;
constexpr uint64_t CrcBarrettMu = 0x1F7011641ull;
constexpr uint64_t CrcPolyReflected = 0x1DB710641ull;
