// The CRC-32 of ZIP: reflected polynomial 0xEDB88320, processed least
// significant bit first, one table look-up per byte on the plain route.
//
// The fast paths take the same CRC faster: eight bytes per step through
// eight table slices, or, where the processor multiplies carry-less
// (PCLMULQDQ), 64 bytes per step by folding. Folding keeps four 128-bit lanes
// of the message; multiplying a lane by x^n mod P (a constant of crc.h) and
// adding it to the data n bits further on leaves the remainder unchanged, so
// the lanes travel along the message and are finally reduced to 32 bits by a
// Barrett step. Only the function that uses the instructions is compiled for
// them, so the rest of the program keeps its baseline instruction set, and
// the choice is made once, at run time.
#include "engine/crc.h"

#include <array>

#include "engine/engine.h"
#include "engine/zip_records.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define CRC_HAVE_FOLDING 1
#else
#define CRC_HAVE_FOLDING 0
#endif

static constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
extern constexpr std::array<uint32_t, 256> CrcTable = MakeCrcTable();
static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

namespace {

// CrcSlices[k][n] is the CRC of byte n followed by k zero bytes, so the eight
// look-ups of one step together advance the CRC over eight bytes. The 8 KiB
// of slices are computed on first use rather than stored, which keeps the
// launcher small.
// Placed in .bss by name: a zero-filled variable of its own section (one per
// variable, for the linker's garbage collection) would otherwise occupy 8 KiB
// of the Windows launcher's file.
#if defined(_WIN32)
__attribute__((section(".bss")))
#endif
uint32_t CrcSlices[8][256];
bool CrcSlicesReady = false;

void MakeCrcSlices() {
    for (int n = 0; n < 256; n++) CrcSlices[0][n] = CrcTable[static_cast<size_t>(n)];
    for (int k = 1; k < 8; k++)
        for (int n = 0; n < 256; n++) {
            uint32_t c = CrcSlices[k - 1][n];
            CrcSlices[k][n] = (c >> 8) ^ CrcTable[c & 0xFF];
        }
    CrcSlicesReady = true;
}

// 0 = not yet asked, 1 = no folding, 2 = folding.
int8_t FoldingSupport = 0;

#if CRC_HAVE_FOLDING
__attribute__((target("pclmul,sse2"))) inline __m128i FoldLane(__m128i lane, __m128i k, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// count >= 64; returns the CRC over the largest multiple of 16 bytes and
// leaves *done at that count.
__attribute__((target("pclmul,sse2"))) uint32_t FoldBlocks(uint32_t crc, const uint8_t* data, size_t count,
                                                           size_t* done) {
    const uint8_t* p = data;
    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 64;
    count -= 64;

    // Lane i moves 512 bits on: low half times K544, high half times K480.
    __m128i k = _mm_set_epi64x(static_cast<long long>(CrcFoldK480), static_cast<long long>(CrcFoldK544));
    for (; count >= 64; count -= 64, p += 64) {
        x1 = FoldLane(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = FoldLane(x2, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = FoldLane(x3, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = FoldLane(x4, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
    }

    // The four lanes into one, then the rest 16 bytes at a time.
    k = _mm_set_epi64x(static_cast<long long>(CrcFoldK96), static_cast<long long>(CrcFoldK160));
    x1 = FoldLane(x1, k, x2);
    x1 = FoldLane(x1, k, x3);
    x1 = FoldLane(x1, k, x4);
    for (; count >= 16; count -= 16, p += 16)
        x1 = FoldLane(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));

    // 128 bits to 64: the low half times K96 added to the high half.
    __m128i t = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    // 64 bits to 32 (appending the 32 zero bits of the CRC's definition).
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32),
                              _mm_set_epi64x(0, static_cast<long long>(CrcFoldK64)), 0x00);
    x1 = _mm_xor_si128(x1, t);
    // Barrett reduction of the remaining 64 bits to the 32-bit remainder.
    const __m128i barrett =
        _mm_set_epi64x(static_cast<long long>(CrcBarrettMu), static_cast<long long>(CrcPolyReflected));
    t = x1;
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), barrett, 0x10);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, t);
    *done = static_cast<size_t>(p - data);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}
#endif

}  // namespace

uint32_t CrcBytewise(uint32_t crc, const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; i++) crc = CrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t CrcSliced(uint32_t crc, const uint8_t* data, size_t count) {
    if (count >= 16) {
        if (!CrcSlicesReady) MakeCrcSlices();
        const auto& t = CrcSlices;
        for (; count >= 8; count -= 8, data += 8) {
            uint32_t a = crc ^ ReadLe32(data);
            uint32_t b = ReadLe32(data + 4);
            crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
                  t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
        }
    }
    return CrcBytewise(crc, data, count);
}

bool CrcFoldingAvailable() {
    if (FoldingSupport == 0) {
        bool yes = false;
#if CRC_HAVE_FOLDING
        // CPUID leaf 1: ECX bit 1 is PCLMULQDQ, EDX bit 26 is SSE2. Asked
        // directly rather than through the compiler's run-time library, whose
        // processor model costs the launcher kilobytes.
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) yes = (ecx & (1u << 1)) != 0 && (edx & (1u << 26)) != 0;
#endif
        FoldingSupport = yes ? 2 : 1;
    }
    return FoldingSupport == 2;
}

uint32_t CrcFolded(uint32_t crc, const uint8_t* data, size_t count) {
#if CRC_HAVE_FOLDING
    if (count >= 64 && CrcFoldingAvailable()) {
        size_t done = 0;
        crc = FoldBlocks(crc, data, count, &done);
        data += done;
        count -= done;
    }
#endif
    return CrcSliced(crc, data, count);
}

void UpdateCrc(const uint8_t* data, int32_t count) {
    if (count <= 0) return;
    uint32_t crc = EngineState.RunningCrc;
    if (FastPathsEnabled)
        crc = CrcFolded(crc, data, static_cast<size_t>(count));
    else
        crc = CrcBytewise(crc, data, static_cast<size_t>(count));
    EngineState.RunningCrc = crc;
}
