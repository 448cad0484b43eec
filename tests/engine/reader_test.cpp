// The reader's read-ahead and exhaustion rules, the bit reader, progress and
// cancel, the message pump and the path tokenizer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/posix/posix_backend.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

// Opens a file of `data` as the archive and prepares the reader as a decoder
// does.
struct ReaderFixture : ::testing::Test {
    ScratchDir dir;
    void Open(const Bytes& data, int32_t compressedSize) {
        WriteBytes(dir.HostPath("in.bin"), data);
        EngineState.ArchiveFile = win::CreateFileA(dir.WinPath("in.bin").c_str(), win::GENERIC_READ, win::FILE_SHARE_READ,
                                                   nullptr, win::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(EngineState.ArchiveFile, win::INVALID_HANDLE_VALUE);
        EngineState.CompressedSize = compressedSize;
        EngineState.BytesRead = 0;
        EngineState.InputExhausted = false;
        EngineState.InputPos = 0;
        EngineState.InputLast = -1;
        EngineState.BitBuffer = 0;
        EngineState.BitCount = 0;
        EngineState.ProgressWindow = 0;
        EngineState.ProgressCommandId = 0;
        EngineState.ProgressPercent = 0;
        EngineState.CancelRequested = false;
    }
    void TearDown() override {
        if (EngineState.ArchiveFile) win::CloseHandle(EngineState.ArchiveFile);
        EngineState.ArchiveFile = nullptr;
        EngineState.ProgressWindow = 0;
        EngineState.ProgressCommandId = 0;
    }
};

std::vector<std::pair<win::WPARAM, uint16_t>> g_progress;
uint16_t g_answer = 0;  // stored through lParam when non-zero

win::LRESULT ProgressProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    if (msg == win::WM_COMMAND) {
        auto* percent = reinterpret_cast<uint16_t*>(lParam);
        g_progress.push_back({wParam, *percent});
        if (g_answer) *percent = g_answer;
    }
    return 0;
}

}  // namespace

TEST_F(ReaderFixture, BlocksShortReadsAndExhaustion) {
    Bytes data = PatternBytes(5000, 1);
    Open(data, 4000);
    FillInput();
    EXPECT_EQ(EngineState.InputLast, 2047);
    EXPECT_EQ(EngineState.BytesRead, 2048);
    EXPECT_FALSE(EngineState.InputExhausted);
    FillInput();
    EXPECT_EQ(EngineState.BytesRead, 4096);
    // 4096 > 4000 + 2: nothing is read, the previous block is served again.
    FillInput();
    EXPECT_TRUE(EngineState.InputExhausted);
    EXPECT_EQ(EngineState.BytesRead, 4096);
    EXPECT_EQ(EngineState.InputLast, 2047);
    EXPECT_EQ(EngineState.InputPos, 0);
    EXPECT_EQ(0, std::memcmp(EngineState.InputBuffer, data.data() + 2048, 2048));
}

TEST_F(ReaderFixture, ShortBlockThenEmptyReadAtTheEndOfTheFile) {
    Bytes data = PatternBytes(3000, 2);
    Open(data, DeferredSize);
    FillInput();
    FillInput();
    EXPECT_EQ(EngineState.InputLast, 3000 - 2048 - 1) << "a short block of k bytes gives InputLast k - 1";
    EXPECT_FALSE(EngineState.InputExhausted);
    EXPECT_EQ(EngineState.BytesRead, 3000);
    FillInput();
    EXPECT_TRUE(EngineState.InputExhausted);
    EXPECT_EQ(EngineState.BytesRead, 3000 + 2048) << "an empty read counts as a whole block";
    EXPECT_EQ(EngineState.InputLast, 2047);
}

TEST_F(ReaderFixture, BitsArriveLeastSignificantFirst) {
    Open(Bytes{0xB4, 0x5A, 0xFF, 0x01}, 4);
    EnsureBits(0);
    EXPECT_EQ(EngineState.BitCount, 0) << "n = 0 reads nothing";
    EnsureBits(3);
    EXPECT_EQ(EngineState.BitCount, 8);
    EXPECT_EQ(EngineState.BitBuffer & BitMaskTable[3], 0x4u);  // 0xB4 = 10110100: low bits 100
    DropBits(3);
    EnsureBits(5);
    EXPECT_EQ(EngineState.BitCount, 5) << "enough bits held: nothing read";
    EXPECT_EQ(EngineState.BitBuffer, 0x16u);
    EnsureBits(24);
    EXPECT_EQ(EngineState.BitCount, 29);
    EXPECT_EQ(EngineState.BitBuffer, 0x16u | (0x5Au << 5) | (0xFFu << 13) | (0x01u << 21));
    EXPECT_EQ(EngineState.BitBuffer >> EngineState.BitCount, 0u) << "bits above BitCount stay zero";
    uint8_t b = 0;
    ReadInputByte(b);  // past the end of the file: an empty read
    EXPECT_TRUE(EngineState.InputExhausted);
    EXPECT_EQ(b, 0xB4) << "the previous block is served again";
    EXPECT_EQ(BitMaskTable[16], 0xFFFF);
    EXPECT_EQ(BitMaskTable[0], 0);
}

TEST_F(ReaderFixture, ProgressWindowReceivesChangedPercentagesOnlyAndCanStop) {
    g_progress.clear();
    g_answer = 0;
    win::HWND wnd = win::posix::CreateTestWindow(ProgressProc);
    Open(PatternBytes(10000, 3), 8192);
    EngineState.ProgressWindow = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(wnd));
    EngineState.ProgressCommandId = -3;
    for (int i = 0; i < 4; i++) FillInput();
    ASSERT_EQ(g_progress.size(), 3u) << "the first refill reports 0 %, which equals the start value";
    EXPECT_EQ(g_progress[0].second, 25);
    EXPECT_EQ(g_progress[2].second, 75);
    EXPECT_EQ(g_progress[0].first, static_cast<win::WPARAM>(static_cast<intptr_t>(-3))) << "sign-extended id";
    EXPECT_FALSE(EngineState.CancelRequested);
    g_answer = 0xFFFF;
    EngineState.BytesRead = 8192;
    ReportProgress();
    EXPECT_TRUE(EngineState.CancelRequested);
    // The same percentage again: nothing is sent, the flag keeps its value.
    size_t sent = g_progress.size();
    ReportProgress();
    EXPECT_EQ(g_progress.size(), sent);
    EXPECT_TRUE(EngineState.CancelRequested);
    win::posix::DestroyTestWindow(wnd);
    g_answer = 0;
}

TEST_F(ReaderFixture, PercentageArithmeticAndClamp) {
    Open(Bytes(10, 0), 3);
    g_progress.clear();
    win::HWND wnd = win::posix::CreateTestWindow(ProgressProc);
    EngineState.ProgressWindow = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(wnd));
    EngineState.BytesRead = 2048;  // read-ahead past the data: 68266 %, announced as 100
    ReportProgress();
    ReportProgress();
    ASSERT_EQ(g_progress.size(), 1u);
    EXPECT_EQ(g_progress[0].second, 100);

    // Integer arithmetic at 1000000, floating point from 1000001 on; both truncate.
    EngineState.CompressedSize = 3000001;
    EngineState.BytesRead = 1000000;
    ReportProgress();
    EXPECT_EQ(EngineState.ProgressPercent, 33);
    EngineState.CompressedSize = 1000002;
    EngineState.BytesRead = 1000001;
    ReportProgress();
    EXPECT_EQ(EngineState.ProgressPercent, 99);
    // Deferred sizes read 0 % for a long while.
    EngineState.CompressedSize = DeferredSize;
    EngineState.BytesRead = 21474835;
    ReportProgress();
    EXPECT_EQ(EngineState.ProgressPercent, 0);
    EngineState.BytesRead = 21474836;
    ReportProgress();
    EXPECT_EQ(EngineState.ProgressPercent, 1);
    win::posix::DestroyTestWindow(wnd);
}

TEST_F(ReaderFixture, ZeroCompressedSizeNeverReportsOrCancels) {
    Open(Bytes(10, 0), 0);
    EngineState.ProgressCommandId = 0x41;
    win::posix::SetKeyDown(0x41, true);
    EngineState.BytesRead = 5000;
    EngineState.CancelRequested = false;
    ReportProgress();
    EXPECT_FALSE(EngineState.CancelRequested);
    EXPECT_EQ(EngineState.ProgressPercent, 0);
    win::posix::SetKeyDown(0x41, false);
}

TEST_F(ReaderFixture, HeldKeyCancelsWithoutAWindowOnlyWhenThePercentageChanges) {
    Open(Bytes(10, 0), 1000);
    EngineState.ProgressCommandId = 0x1B;  // Escape
    win::posix::SetKeyDown(0x1B, true);
    EngineState.BytesRead = 500;
    ReportProgress();
    EXPECT_TRUE(EngineState.CancelRequested);
    win::posix::SetKeyDown(0x1B, false);
    ReportProgress();
    EXPECT_TRUE(EngineState.CancelRequested) << "unchanged percentage: the key is not polled";
    EngineState.BytesRead = 600;
    ReportProgress();
    EXPECT_FALSE(EngineState.CancelRequested) << "each evaluation overwrites the flag";
    // No window and no key: nothing can cancel.
    EngineState.ProgressCommandId = 0;
    win::posix::SetKeyDown(0, true);
    EngineState.BytesRead = 700;
    ReportProgress();
    EXPECT_FALSE(EngineState.CancelRequested);
    win::posix::SetKeyDown(0, false);
}

namespace {
std::vector<std::string> g_pumped;
win::LRESULT RecordProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    g_pumped.push_back(std::to_string(msg) + ":" + std::to_string(wParam));
    return 0;
}
}  // namespace

TEST(Pump, DrainsEveryQueuedMessageOfTheThreadAndStampsTheTick) {
    g_pumped.clear();
    win::HWND a = win::posix::CreateTestWindow(RecordProc);
    win::HWND dialog = win::posix::CreateTestWindow(RecordProc, true);
    win::posix::PostMessageA(a, win::WM_USER, 1, 0);
    win::posix::PostMessageA(dialog, win::WM_USER, 2, 0);
    win::posix::PostMessageA(a, win::WM_USER, 3, 0);
    win::posix::SetManualTicks(true, 123456);
    EngineState.ProgressWindow = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(dialog));
    PumpMessages();
    EngineState.ProgressWindow = 0;
    EXPECT_EQ(EngineState.LastPumpTick, 123456);
    EXPECT_EQ(g_pumped, (std::vector<std::string>{"1024:1", "1024:2", "1024:3"}));
    win::MSG m;
    EXPECT_FALSE(win::PeekMessageA(&m, nullptr, 0, 0, win::PM_REMOVE));
    win::posix::SetManualTicks(false);
    win::posix::DestroyTestWindow(a);
    win::posix::DestroyTestWindow(dialog);
}

TEST(PathToken, ReturnsEmptyTokensAndCutsInPlace) {
    char text[] = "C:\\a\\\\b\\";
    std::vector<std::string> tokens;
    for (char* t = NextPathToken(text, '\\'); t != nullptr; t = NextPathToken(nullptr, '\\')) tokens.push_back(t);
    EXPECT_EQ(tokens, (std::vector<std::string>{"C:", "a", "", "b", ""}));
    EXPECT_EQ(NextPathToken(nullptr, '\\'), nullptr);
    char lead[] = "\\x";
    EXPECT_STREQ(NextPathToken(lead, '\\'), "");
    EXPECT_STREQ(NextPathToken(nullptr, '\\'), "x");
}

TEST(PathToken, ChangeAndMakeDirReportSystemCodes) {
    ScratchDir dir;
    EXPECT_EQ(TryChangeDir(dir.Win.c_str()), 0);
    EXPECT_EQ(MakeDir("sub"), 0) << "relative to the current directory";
    EXPECT_TRUE(IsDir(dir.HostPath("sub")));
    EXPECT_EQ(MakeDir("sub"), 183);
    EXPECT_EQ(MakeDir("x\\y"), 3);
    EXPECT_EQ(TryChangeDir("sub"), 0);
    EXPECT_EQ(CurrentDir(), dir.HostPath("sub"));
    EXPECT_NE(TryChangeDir("missing"), 0);
    EXPECT_EQ(CurrentDir(), dir.HostPath("sub")) << "a failed change changes nothing";
}
