// FlushOutput's three destinations, the CRC-32 and the DOS date and time.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/engine.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

struct OutputFixture : ::testing::Test {
    uint8_t window[OutputWindowSize];
    void SetUp() override {
        for (int i = 0; i < OutputWindowSize; i++) window[i] = static_cast<uint8_t>(i * 7);
        EngineState.OutputWindow = window;
        EngineState.RunningCrc = 0xFFFFFFFFu;
    }
    void TearDown() override {
        EngineState.OutputWindow = nullptr;
        EngineState.TestOnly = false;
        EngineState.MemoryOutput = false;
        EngineState.MemoryTarget = nullptr;
        EngineState.MemoryLimit = 0;
        EngineState.MemoryCount = 0;
    }
};

}  // namespace

TEST_F(OutputFixture, CrcMatchesTheReferenceAcrossChainedFlushes) {
    EngineState.TestOnly = true;
    EXPECT_TRUE(FlushOutput(1000));
    EXPECT_TRUE(FlushOutput(32768));
    Bytes all(window, window + 1000);
    all.insert(all.end(), window, window + 32768);
    EXPECT_EQ(~EngineState.RunningCrc, Crc32(all));
    EXPECT_EQ(CrcTable[0], 0u);
    EXPECT_EQ(CrcTable[128], 0xEDB88320u);
}

TEST(Crc, EveryLengthAndAlignmentMatchesTheBitwiseReference) {
    Bytes data = PatternBytes(300, 11);
    for (size_t start = 0; start < 9; start++)
        for (size_t len = 0; len + start <= data.size(); len += (len < 40 ? 1 : 37)) {
            EngineState.RunningCrc = 0xFFFFFFFFu;
            UpdateCrc(data.data() + start, static_cast<int32_t>(len));
            ASSERT_EQ(~EngineState.RunningCrc, Crc32(data.data() + start, len)) << start << "+" << len;
        }
    EngineState.RunningCrc = 0xABCDEF01u;
    UpdateCrc(data.data(), -5);
    EXPECT_EQ(EngineState.RunningCrc, 0xABCDEF01u) << "a negative count changes nothing";
}

// ctest runs every test twice; the "exact:" copies must really run with the
// fast paths off, or the plain routes would go untested.
TEST(PathSwitch, FollowsTheEnvironmentOfTheRun) {
    const char* value = std::getenv("LAUNCHER_EXACT_PATHS");
    bool exactRun = value != nullptr && std::string(value) == "1";
    EXPECT_EQ(FastPathsEnabled, !exactRun);
}

TEST_F(OutputFixture, ZeroBytesStoreNothingInEveryMode) {
    uint8_t block[4] = {1, 2, 3, 4};
    for (int mode = 0; mode < 3; mode++) {
        EngineState.TestOnly = mode == 0;
        EngineState.MemoryOutput = mode == 1;
        EngineState.MemoryTarget = block;
        EngineState.MemoryLimit = 0;
        EngineState.MemoryCount = 0;
        EngineState.OutputFile = win::INVALID_HANDLE_VALUE;
        EngineState.RunningCrc = 0x12345678;
        EXPECT_TRUE(FlushOutput(0)) << mode;
        EXPECT_EQ(EngineState.RunningCrc, 0x12345678u) << mode;
        EXPECT_EQ(EngineState.MemoryTarget, block);
    }
}

TEST_F(OutputFixture, MemoryBlockFillsToItsLimitThenFails) {
    uint8_t block[100];
    std::memset(block, 0xEE, sizeof block);
    EngineState.MemoryOutput = true;
    EngineState.MemoryTarget = block;
    EngineState.MemoryLimit = 100;
    EngineState.MemoryCount = 0;
    EXPECT_TRUE(FlushOutput(60));
    EXPECT_EQ(EngineState.MemoryCount, 60);
    EXPECT_FALSE(FlushOutput(60));
    EXPECT_EQ(EngineState.MemoryCount, 100);
    EXPECT_EQ(EngineState.MemoryTarget, block + 100);
    EXPECT_EQ(0, std::memcmp(block, window, 60));
    EXPECT_EQ(0, std::memcmp(block + 60, window, 40));
    Bytes all(window, window + 60);
    all.insert(all.end(), window, window + 60);
    EXPECT_EQ(~EngineState.RunningCrc, Crc32(all)) << "the CRC covers all 120 bytes";
    EXPECT_FALSE(FlushOutput(1)) << "a full block takes nothing more";
    EXPECT_EQ(EngineState.MemoryCount, 100);
}

TEST_F(OutputFixture, FileWritesAndAFailedWriteIsKeptForTheExtractor) {
    ScratchDir dir;
    EngineState.OutputFile = win::CreateFileA(dir.WinPath("o.bin").c_str(), win::GENERIC_WRITE, 0, nullptr,
                                              win::CREATE_ALWAYS, 0, nullptr);
    EngineState.PendingWriteError = 0;
    EXPECT_TRUE(FlushOutput(5000));
    win::CloseHandle(EngineState.OutputFile);
    EXPECT_EQ(ReadBytes(dir.HostPath("o.bin")), Bytes(window, window + 5000));

    // A handle open for reading only: the write fails with a system error.
    EngineState.OutputFile = win::CreateFileA(dir.WinPath("o.bin").c_str(), win::GENERIC_READ, 0, nullptr,
                                              win::OPEN_EXISTING, 0, nullptr);
    EngineState.RunningCrc = 0xFFFFFFFFu;
    EXPECT_FALSE(FlushOutput(10));
    EXPECT_NE(EngineState.PendingWriteError, 0);
    EXPECT_EQ(~EngineState.RunningCrc, Crc32(window, 10)) << "the CRC still covers the bytes";
    win::CloseHandle(EngineState.OutputFile);
    EngineState.PendingWriteError = 0;
}

TEST(DosTime, UnpacksWithoutValidation) {
    // 2024-05-01 13:25:58 -> date 0x58A1, time 0x6B3D
    DosTimeFields f = UnpackDosDateTime(0x58A16B3Du);
    EXPECT_EQ(f.Year, 2024);
    EXPECT_EQ(f.Month, 5);
    EXPECT_EQ(f.Day, 1);
    EXPECT_EQ(f.Hour, 13);
    EXPECT_EQ(f.Minute, 25);
    EXPECT_EQ(f.Second, 58);
    f = UnpackDosDateTime(0);
    EXPECT_EQ(f.Year, 1980);
    EXPECT_EQ(f.Month, 0);
    EXPECT_EQ(f.Day, 0);
    f = UnpackDosDateTime(0xFFFFFFFFu);
    EXPECT_EQ(f.Year, 2107);
    EXPECT_EQ(f.Month, 15);
    EXPECT_EQ(f.Day, 31);
    EXPECT_EQ(f.Hour, 31);
    EXPECT_EQ(f.Minute, 63);
    EXPECT_EQ(f.Second, 62);
}

namespace {

struct FixedZone {
    std::string saved;
    bool had;
    explicit FixedZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~FixedZone() {
        if (had)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

time_t MTime(const std::string& host) {
    struct stat st;
    stat(host.c_str(), &st);
    return st.st_mtime;
}

}  // namespace

TEST(DosTime, LastWriteTimeIsTheLocalDosTime) {
    FixedZone zone("XST-3");  // three hours east of UTC, no daylight saving
    ScratchDir dir;
    WriteText(dir.HostPath("f.txt"), "x");
    win::HANDLE h = win::CreateFileA(dir.WinPath("f.txt").c_str(), win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
                                     0, nullptr);
    // 2024-05-01 13:25:58 local = 10:25:58 UTC
    SetFileTimeFromDos(h, 0x58A16B3Du);
    EXPECT_EQ(EngineState.LastFileError, 0);
    win::CloseHandle(h);
    EXPECT_EQ(MTime(dir.HostPath("f.txt")), 1714559158);
}

TEST(DosTime, NoCalendarTimeLeavesTheFileTimeAsItWas) {
    ScratchDir dir;
    WriteText(dir.HostPath("f.txt"), "x");
    time_t before = MTime(dir.HostPath("f.txt"));
    win::HANDLE h = win::CreateFileA(dir.WinPath("f.txt").c_str(), win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
                                     0, nullptr);
    const uint32_t bad[] = {
        0,                                   // 1980-00-00
        (44u << 25) | (4u << 21) | (31u << 16),  // 31 April 2024
        (44u << 25) | (2u << 21) | (30u << 16),  // 30 February 2024
        (45u << 25) | (2u << 21) | (29u << 16),  // 29 February 2025
        (44u << 25) | (1u << 21) | (1u << 16) | (24u << 11),  // hour 24
        (44u << 25) | (1u << 21) | (1u << 16) | (61u << 5),   // minute 61
        (44u << 25) | (13u << 21) | (1u << 16),               // month 13
    };
    for (uint32_t v : bad) {
        SetFileTimeFromDos(h, v);
        EXPECT_NE(EngineState.LastFileError, 0) << std::hex << v;
    }
    // 29 February 2024 is a day.
    SetFileTimeFromDos(h, (44u << 25) | (2u << 21) | (29u << 16));
    EXPECT_EQ(EngineState.LastFileError, 0);
    win::CloseHandle(h);
    EXPECT_NE(MTime(dir.HostPath("f.txt")), before);
}

TEST(Attributes, ReadOnlyAndNormalAndMissing) {
    ScratchDir dir;
    WriteText(dir.HostPath("f.txt"), "x");
    ApplyFileAttributes(dir.WinPath("f.txt").c_str(), win::FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(EngineState.LastFileError, 0);
    EXPECT_EQ(win::GetFileAttributesA(dir.WinPath("f.txt").c_str()) & win::FILE_ATTRIBUTE_READONLY, 1u);
    ApplyFileAttributes(dir.WinPath("f.txt").c_str(), 0);
    EXPECT_EQ(EngineState.LastFileError, 0);
    EXPECT_EQ(win::GetFileAttributesA(dir.WinPath("f.txt").c_str()) & win::FILE_ATTRIBUTE_READONLY, 0u);
    ApplyFileAttributes(dir.WinPath("nope.txt").c_str(), 0);
    EXPECT_EQ(EngineState.LastFileError, 2);
}
