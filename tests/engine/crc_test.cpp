// The routes of the CRC-32 against the bitwise definition, and the folding
// constants recomputed from the polynomial.
#include <gtest/gtest.h>

#include <random>

#include "engine/crc.h"
#include "engine/engine.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

constexpr uint64_t Polynomial = 0x104C11DB7ull;  // x^32 + ... + 1, normal bit order

// x^n mod P by shifting and subtracting (XOR): carry-less arithmetic.
uint64_t PowerModP(int n) {
    uint64_t r = 1;
    for (int i = 0; i < n; i++) {
        r <<= 1;
        if (r & (1ull << 32)) r ^= Polynomial;
    }
    return r;
}

// The carry-less quotient of x^n by P (n <= 64).
uint64_t PowerDivP(int n) {
    // Long division of the 65-bit x^n, kept as (high bit, low 64 bits).
    // Plain 64-bit halves, so that the test also builds where the compiler
    // has no 128-bit integer (i386).
    uint64_t quotient = 0;
    uint64_t high = n == 64 ? 1 : 0;
    uint64_t low = n == 64 ? 0 : 1ull << n;
    for (int shift = n - 32; shift >= 0; shift--) {
        int top = shift + 32;  // the leading term of P, shifted
        if (top == 64 ? high & 1 : (low >> top) & 1) {
            low ^= Polynomial << shift;
            if (shift > 0) high ^= Polynomial >> (64 - shift);
            quotient |= 1ull << shift;
        }
    }
    return quotient;
}

uint64_t Reflect(uint64_t v, int bits) {
    uint64_t r = 0;
    for (int i = 0; i < bits; i++)
        if (v & (1ull << i)) r |= 1ull << (bits - 1 - i);
    return r;
}

uint64_t FoldConstant(int n) { return Reflect(PowerModP(n), 32) << 1; }

uint32_t Reference(uint32_t crc, const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc;
}

using Route = uint32_t (*)(uint32_t, const uint8_t*, size_t);
const Route Routes[] = {CrcBytewise, CrcSliced, CrcFolded};
const char* const RouteNames[] = {"bytewise", "sliced", "folded"};

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

}  // namespace

TEST(CrcFolding, ConstantsAreThePowersOfXModuloThePolynomial) {
    EXPECT_EQ(CrcFoldK544, FoldConstant(4 * 128 + 32));
    EXPECT_EQ(CrcFoldK480, FoldConstant(4 * 128 - 32));
    EXPECT_EQ(CrcFoldK160, FoldConstant(128 + 32));
    EXPECT_EQ(CrcFoldK96, FoldConstant(128 - 32));
    EXPECT_EQ(CrcFoldK64, FoldConstant(64));
    EXPECT_EQ(CrcBarrettMu, Reflect(PowerDivP(64), 33));
    EXPECT_EQ(CrcPolyReflected, Reflect(Polynomial, 33));
    EXPECT_EQ(CrcPolyReflected >> 1, 0xEDB88320u) << "the table's polynomial";
}

TEST(CrcRoutes, EveryLengthAndAlignmentMatchesTheBitwiseReference) {
    Bytes data = RandomBytes(600, 3);
    for (int r = 0; r < 3; r++)
        for (size_t start = 0; start < 16; start++)
            for (size_t len = 0; len + start <= data.size(); len++) {
                uint32_t seed = 0xFFFFFFFFu ^ static_cast<uint32_t>(len * 0x9E3779B9u);
                ASSERT_EQ(Routes[r](seed, data.data() + start, len), Reference(seed, data.data() + start, len))
                    << RouteNames[r] << " " << start << "+" << len;
            }
}

TEST(CrcRoutes, LargeBuffersAndChainedPiecesAgree) {
    Bytes data = RandomBytes((3 << 20) + 77, 9);
    uint32_t want = Reference(0xFFFFFFFFu, data.data(), data.size());
    for (int r = 0; r < 3; r++) {
        EXPECT_EQ(Routes[r](0xFFFFFFFFu, data.data(), data.size()), want) << RouteNames[r];
        // Pieces of awkward sizes chain into the same CRC.
        uint32_t crc = 0xFFFFFFFFu;
        size_t at = 0;
        for (size_t piece = 1; at < data.size(); piece = piece * 3 + 13) {
            size_t n = std::min(piece % 70001, data.size() - at);
            crc = Routes[r](crc, data.data() + at, n);
            at += n;
        }
        EXPECT_EQ(crc, want) << RouteNames[r] << " in pieces";
    }
    // Long runs of one byte, where a lane can fold to zero.
    for (uint8_t fill : {0x00, 0xFF}) {
        Bytes run(100000, fill);
        for (int r = 0; r < 3; r++)
            EXPECT_EQ(Routes[r](0, run.data(), run.size()), Reference(0, run.data(), run.size())) << RouteNames[r];
    }
}

TEST(CrcRoutes, UpdateCrcTakesTheRouteOfTheSwitch) {
    Bytes data = RandomBytes(5000, 4);
    EngineState.RunningCrc = 0x01234567u;
    UpdateCrc(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(EngineState.RunningCrc, Reference(0x01234567u, data.data(), data.size()));
    if (CrcFoldingAvailable()) GTEST_LOG_(INFO) << "the processor folds carry-less";
}
