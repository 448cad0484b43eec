// ExtractEntry from the local header to the finished file: results, files,
// directories, times, attributes, descriptors, the busy guard, progress and
// cancel, memory and test-only output.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "engine/engine.h"
#include "platform/posix/posix_backend.h"
#include "support/deflate_writer.h"
#include "support/legacy_encoders.h"
#include "support/test_util.h"
#include "support/zlib_deflate.h"

using namespace testutil;
using namespace testutil::deflate_writer;

namespace {

ZipEntrySpec Stored(const std::string& name, const Bytes& data) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = data;
    return e;
}

struct ExtractFixture : ::testing::Test {
    ScratchDir dir;
    std::string archive;  // Windows path
    ZipLayout zip;

    void Make(const std::vector<ZipEntrySpec>& entries) {
        zip = BuildZip(entries);
        WriteBytes(dir.HostPath("a.zip"), zip.Bytes_);
        archive = dir.WinPath("a.zip");
    }
    ExtractResult Extract(size_t index, const std::string& destRel, uint16_t attributes = 0, uint16_t window = 0,
                          int16_t id = 0) {
        return ExtractEntry(archive.c_str(), dir.WinPath(destRel).c_str(), attributes,
                            static_cast<int32_t>(zip.HeaderOffsets[index]), window, id);
    }
    void TearDown() override {
        EngineState.TestOnly = false;
        EngineState.MemoryOutput = false;
        EngineState.EngineBusy = false;
        win::posix::SetManualTicks(false);
    }
};

}  // namespace

TEST_F(ExtractFixture, PythonStoredEntriesExtractByteExact) {
    std::string zipHost = dir.HostPath("py.zip");
    ASSERT_EQ(RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:
    z.writestr(zipfile.ZipInfo('empty.txt', (2020, 1, 2, 3, 4, 6)), b'')
    z.writestr(zipfile.ZipInfo('big.bin', (2020, 1, 2, 3, 4, 6)), bytes((i * 31 + i // 977) % 256 for i in range(100000)))
)", {zipHost}), 0);
    archive = ToWin(zipHost);
    EntrySearch s;
    std::memset(&s, 0, sizeof s);
    ASSERT_EQ(FindFirstEntry(archive.c_str(), s), 0);
    std::vector<std::pair<std::string, int32_t>> entries;
    do entries.push_back({s.Name, s.HeaderOffset});
    while (FindNextEntry(s) == 0);
    ASSERT_EQ(entries.size(), 2u);
    for (auto& [name, offset] : entries)
        EXPECT_EQ(ExtractEntry(archive.c_str(), dir.WinPath("out\\" + name).c_str(), 0, offset, 0, 0), Ok) << name;
    EXPECT_EQ(ReadBytes(dir.HostPath("out/empty.txt")).size(), 0u);
    Bytes big = ReadBytes(dir.HostPath("out/big.bin"));
    ASSERT_EQ(big.size(), 100000u);
    for (size_t i = 0; i < big.size(); i++) ASSERT_EQ(big[i], (i * 31 + i / 977) % 256) << i;
    EXPECT_FALSE(EngineState.EngineBusy);
    EXPECT_EQ(EngineState.OutputWindow, nullptr);
}

TEST_F(ExtractFixture, MissingDirectoriesAreWalkedAndTheWalkLeavesTheCurrentDirectory) {
    Make({Stored("f.txt", Bytes{'o', 'k'})});
    EXPECT_EQ(Extract(0, "T\\A\\B\\F.TXT"), Ok);
    EXPECT_EQ(ReadBytes(dir.HostPath("T/A/B/F.TXT")), (Bytes{'o', 'k'}));
    EXPECT_EQ(CurrentDir(), dir.HostPath("T/A/B"));
}

TEST_F(ExtractFixture, DirectoryEntriesMakeEveryComponentAndNoFile) {
    Make({Stored("d/", {}), Stored("x", Bytes{1})});
    EXPECT_EQ(Extract(0, "D1\\D2\\"), Ok);
    EXPECT_TRUE(IsDir(dir.HostPath("D1/D2")));
    EXPECT_EQ(CurrentDir(), dir.HostPath("D1/D2"));
    // The directory bit marks a directory entry without a final "\".
    EXPECT_EQ(Extract(1, "E1\\E2", 0x10), Ok);
    EXPECT_TRUE(IsDir(dir.HostPath("E1/E2")));
    EXPECT_EQ(ListFiles(dir.Host), (std::vector<std::string>{"a.zip"}));
}

// In code page 932 the second byte of 表, ソ and 能 is that of "\\": the walk
// must neither cut a name there nor take a name that ends in one for a
// directory.
TEST_F(ExtractFixture, DoubleByteNamesWhoseSecondByteIsABackslash) {
    AnsiCodePageScope cp932(932);
    Make({Stored("f", Bytes{'o', 'k'}), Stored("d/", {})});
    EXPECT_EQ(Extract(0, Hyo932 + "\\" + So932 + "\\" + No932 + ".txt"), Ok);
    EXPECT_EQ(ReadBytes(dir.HostPath(HyoUtf8 + "/" + SoUtf8 + "/" + NoUtf8 + ".txt")), (Bytes{'o', 'k'}));
    EXPECT_EQ(CurrentDir(), dir.HostPath(HyoUtf8 + "/" + SoUtf8));
    EXPECT_EQ(Extract(0, No932 + "\\" + So932), Ok) << "a file whose name ends in the byte of \\";
    EXPECT_EQ(ReadBytes(dir.HostPath(NoUtf8 + "/" + SoUtf8)), (Bytes{'o', 'k'}));
    EXPECT_EQ(Extract(1, So932 + "\\" + Hyo932 + "\\"), Ok);
    EXPECT_TRUE(IsDir(dir.HostPath(SoUtf8 + "/" + HyoUtf8)));
    EXPECT_EQ(Extract(1, "x\\" + Hyo932, 0x10), Ok) << "the directory bit appends the \\";
    EXPECT_TRUE(IsDir(dir.HostPath("x/" + HyoUtf8)));
}

TEST_F(ExtractFixture, RelativeDestinationWithMissingDirectoryFails) {
    Make({Stored("f", Bytes{1, 2})});
    ASSERT_EQ(TryChangeDir(dir.Win.c_str()), 0);
    ExtractResult r = ExtractEntry(archive.c_str(), "R1\\R2\\f.bin", 0, 0, 0, 0);
    EXPECT_EQ(r, OutputFailed);
    EXPECT_TRUE(IsDir(dir.HostPath("R1/R2"))) << "the walk made the components";
    EXPECT_FALSE(Exists(dir.HostPath("R1/R2/f.bin")));
    EXPECT_FALSE(Exists(dir.HostPath("R1/R2/R1")));
}

TEST_F(ExtractFixture, FirstCreationFailingOtherwiseGivesOutputFailedWithoutWalk) {
    Make({Stored("f", Bytes{1})});
    ASSERT_EQ(RunShell("mkdir -p '" + dir.HostPath("isdir") + "'"), 0);
    std::string before = CurrentDir();
    EXPECT_EQ(Extract(0, "isdir"), OutputFailed);
    EXPECT_EQ(CurrentDir(), before) << "access denied: no walk";
    EXPECT_TRUE(IsDir(dir.HostPath("isdir")));
}

TEST_F(ExtractFixture, HeaderProblemsLeaveNothingBehind) {
    Make({Stored("f", Bytes{1, 2, 3})});
    Bytes broken = zip.Bytes_;
    broken[0] = 'X';
    WriteBytes(dir.HostPath("bad.zip"), broken);
    std::string dest = dir.WinPath("o\\f");
    EXPECT_EQ(ExtractEntry(dir.WinPath("bad.zip").c_str(), dest.c_str(), 0, 0, 0, 0), ArchiveDamaged);
    int32_t size = static_cast<int32_t>(zip.Bytes_.size());
    EXPECT_EQ(ExtractEntry(archive.c_str(), dest.c_str(), 0, size - 29, 0, 0), ArchiveDamaged) << "29 bytes left";
    EXPECT_EQ(ExtractEntry(archive.c_str(), dest.c_str(), 0, size + 1000, 0, 0), ArchiveDamaged) << "past the end";
    EXPECT_EQ(ExtractEntry(archive.c_str(), dest.c_str(), 0, -5, 0, 0), ArchiveDamaged) << "negative";
    EXPECT_EQ(ExtractEntry(dir.WinPath("none.zip").c_str(), dest.c_str(), 0, 0, 0, 0), InputFailed);
    EXPECT_FALSE(Exists(dir.HostPath("o")));
    EXPECT_FALSE(EngineState.EngineBusy);
}

TEST_F(ExtractFixture, MethodAndEncryptionTests) {
    ZipEntrySpec m7 = Stored("m7", Bytes{1});
    m7.Method = 7;
    ZipEntrySpec m9 = Stored("m9", Bytes{1});
    m9.Method = 9;
    m9.UncompressedSize = 1;
    ZipEntrySpec m32 = Stored("m32", Bytes{1});
    m32.Method = 32;
    m32.UncompressedSize = 1;
    ZipEntrySpec enc = Stored("enc", Bytes{1, 2, 3});
    enc.Flags = 1;
    ZipEntrySpec enc9 = m9;
    enc9.Flags = 1;
    Make({m7, m9, m32, enc, enc9});
    EXPECT_EQ(Extract(0, "n1\\m7"), Unsupported);
    EXPECT_EQ(Extract(1, "n2\\m9"), Unsupported);
    EXPECT_FALSE(Exists(dir.HostPath("n1"))) << "refused before any directory is made";
    EXPECT_FALSE(Exists(dir.HostPath("n2")));
    // Method 32 passes the bit test (bit 0): its output and directories are
    // made before the dispatch refuses it, and the file is deleted again.
    EXPECT_EQ(Extract(2, "n3\\m32"), Unsupported);
    EXPECT_TRUE(IsDir(dir.HostPath("n3")));
    EXPECT_FALSE(Exists(dir.HostPath("n3/m32")));
    EXPECT_EQ(Extract(3, "n4\\enc"), Encrypted);
    EXPECT_EQ(Extract(4, "n5\\enc9"), Unsupported) << "the method test comes first";
    EXPECT_FALSE(Exists(dir.HostPath("n4")));
    EXPECT_EQ(SupportedMethods(), 0x17F);
}

TEST_F(ExtractFixture, ChecksumMismatchDeletesTheOutputAndSkipsAttributes) {
    ZipEntrySpec e = Stored("f", Bytes{'d', 'a', 't', 'a'});
    e.CrcFromData = false;
    e.Crc = 0x12345678;
    Make({e});
    EXPECT_EQ(Extract(0, "f.txt", 1), ChecksumMismatch);
    EXPECT_FALSE(Exists(dir.HostPath("f.txt")));
}

TEST_F(ExtractFixture, TimesAndAttributesOfTheFinishedFile) {
    ZipEntrySpec e = Stored("f", Bytes{'r', 'o'});
    e.DosDateTime = (40u << 25) | (6u << 21) | (15u << 16) | (12u << 11) | (30u << 5) | 10u;  // 2020-06-15 12:30:20
    Make({e});
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(Extract(0, "ro.txt", win::FILE_ATTRIBUTE_READONLY), Ok);
    struct stat st;
    ASSERT_EQ(stat(dir.HostPath("ro.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1592224220);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only";
    unsetenv("TZ");
    tzset();
}

TEST_F(ExtractFixture, DataDescriptorsOfStoredEntries) {
    Bytes data = PatternBytes(70000, 5);
    ZipEntrySpec withSizes = Stored("a", data);
    withSizes.DataDescriptor = true;
    withSizes.LocalSizesZero = false;
    withSizes.CrcFromData = true;
    ZipEntrySpec sizesZero = Stored("b", data);
    sizesZero.DataDescriptor = true;  // a stored entry keeps the header's sizes: 0
    ZipEntrySpec noSignature = Stored("c", data);
    noSignature.DataDescriptor = true;
    noSignature.LocalSizesZero = false;
    noSignature.DescriptorSignature = false;
    Make({withSizes, sizesZero, noSignature});
    // Local CRC zeroed too when sizes are zero; with sizes kept, the CRC
    // in the header is correct but the descriptor's replaces it.
    EXPECT_EQ(Extract(0, "a"), Ok);
    EXPECT_EQ(ReadBytes(dir.HostPath("a")), data);
    EXPECT_EQ(Extract(1, "b"), ChecksumMismatch) << "nothing copied; the descriptor is read from the data";
    EXPECT_EQ(Extract(2, "c"), ChecksumMismatch) << "the compressed-size field is taken for the CRC";
    EXPECT_FALSE(Exists(dir.HostPath("b")));
    EXPECT_FALSE(Exists(dir.HostPath("c")));
}

TEST_F(ExtractFixture, TruncatedStoredDataFailsAndLeavesNoFile) {
    Bytes data = PatternBytes(50000, 6);
    Make({Stored("f", data)});
    Bytes cut(zip.Bytes_.begin(), zip.Bytes_.begin() + 40000);
    WriteBytes(dir.HostPath("a.zip"), cut);
    EXPECT_EQ(Extract(0, "f"), InputFailed);
    EXPECT_FALSE(Exists(dir.HostPath("f")));
}

TEST_F(ExtractFixture, OverlongDestinationIsRefusedAndCreatesNothing) {
    Make({Stored("f", Bytes{1})});
    std::string dest = dir.Win + "\\" + std::string(300 - dir.Win.size(), 'p');
    ASSERT_GT(dest.size(), 259u);
    EXPECT_EQ(ExtractEntry(archive.c_str(), dest.c_str(), 0, 0, 0, 0), OutputFailed);
    std::string exact = dir.Win + "\\" + std::string(258 - dir.Win.size(), 'q');
    ASSERT_EQ(exact.size(), 259u);
    EXPECT_EQ(ExtractEntry(archive.c_str(), exact.c_str(), 0x10, 0, 0, 0), OutputFailed)
        << "259 characters plus the appended \\ do not fit";
    EXPECT_EQ(ListFiles(dir.Host), (std::vector<std::string>{"a.zip"}));
}

TEST_F(ExtractFixture, TestOnlyCreatesAnEmptyFileAndStillChecksTheCrc) {
    ZipEntrySpec bad = Stored("bad", Bytes{1, 2, 3});
    bad.CrcFromData = false;
    bad.Crc = 7;
    Make({Stored("good", PatternBytes(100000, 9)), bad});
    EngineState.TestOnly = true;
    EXPECT_EQ(Extract(0, "good"), Ok);
    EXPECT_EQ(Extract(1, "bad"), ChecksumMismatch);
    EXPECT_EQ(ReadBytes(dir.HostPath("good")).size(), 0u);
    EXPECT_FALSE(Exists(dir.HostPath("bad")));
}

TEST_F(ExtractFixture, MemoryOutputFillsOneBlockAcrossEntries) {
    Bytes a = PatternBytes(40000, 1), b = PatternBytes(100, 2);
    Make({Stored("a", a), Stored("b", b)});
    Bytes block(40050, 0);
    EngineState.MemoryOutput = true;
    EngineState.MemoryTarget = block.data();
    EngineState.MemoryLimit = static_cast<int32_t>(block.size());
    EngineState.MemoryCount = 0;
    EXPECT_EQ(ExtractEntry(archive.c_str(), nullptr, 0, static_cast<int32_t>(zip.HeaderOffsets[0]), 0, 0), Ok);
    EXPECT_EQ(ExtractEntry(archive.c_str(), nullptr, 0, static_cast<int32_t>(zip.HeaderOffsets[1]), 0, 0), OutputFailed);
    EXPECT_EQ(EngineState.MemoryCount, 40050);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), block.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 50, block.begin() + 40000));
    EngineState.MemoryTarget = nullptr;
}

TEST_F(ExtractFixture, EveryEntryStartsOnAWindowOfZerosWhateverTheOneBeforeLeft) {
    // A stream whose matches reach back past its start: 258 bytes from
    // 32768 back, then 258 from 1000 back, which a fresh window gives as zeros.
    BitWriter w;
    BlockHeader(w, true, 1);
    PutMatch(w, FixedLiterals(), FixedDistances(), 258, 32768);
    PutMatch(w, FixedLiterals(), FixedDistances(), 258, 1000);
    FixedLiterals().Put(w, 256);
    ZipEntrySpec reader;
    reader.Name = "reader";
    reader.Data = w.Finish();
    reader.Method = 8;
    reader.CrcFromData = false;
    reader.Crc = Crc32(Bytes(516, 0));
    reader.UncompressedSize = 516;

    auto deflated = [](const std::string& name, const Bytes& data) {
        ZipEntrySpec e;
        e.Name = name;
        e.Data = ZlibRawDeflate(data, 6);
        e.Method = 8;
        e.CrcFromData = false;
        e.Crc = Crc32(data);
        e.UncompressedSize = static_cast<uint32_t>(data.size());
        return e;
    };
    Bytes noise = PatternBytes(50000, 5);
    for (auto& b : noise) b |= 1;  // no zeros in what the entries before leave
    ZipEntrySpec damaged = deflated("damaged", Bytes(noise.begin(), noise.begin() + 20000));
    damaged.Data.resize(damaged.Data.size() / 2);
    ZipEntrySpec shrunk;
    shrunk.Name = "shrunk";
    std::mt19937 rng(3);
    shrunk.Data = ShrinkEncode(Bytes(noise.begin(), noise.begin() + 3000), 0.0, rng);
    shrunk.Method = 1;
    shrunk.CrcFromData = false;
    shrunk.Crc = Crc32(Bytes(noise.begin(), noise.begin() + 3000));
    shrunk.UncompressedSize = 3000;
    // What each entry before leaves in the window: a few bytes, part of it,
    // all of it and beyond; stored and deflated; a stream cut short; a
    // decoder that keeps its tables in the window.
    const std::vector<ZipEntrySpec> before = {
        Stored("s5", Bytes(noise.begin(), noise.begin() + 5)),
        Stored("s3000", Bytes(noise.begin(), noise.begin() + 3000)),
        Stored("s40000", Bytes(noise.begin(), noise.begin() + 40000)),
        deflated("d3000", Bytes(noise.begin(), noise.begin() + 3000)),
        deflated("d32767", Bytes(noise.begin(), noise.begin() + 32767)),
        deflated("d50000", noise),
        damaged,
        shrunk,
    };
    for (size_t i = 0; i < before.size(); i++) {
        SCOPED_TRACE(before[i].Name);
        Make({before[i], reader});
        EngineState.TestOnly = true;
        ExtractResult first = Extract(0, "first");
        EXPECT_EQ(first == Ok, before[i].Name != "damaged");
        EXPECT_EQ(Extract(1, "reader"), Ok);
        EXPECT_EQ(EngineState.BytesFlushed, 516u);
    }
}

// ---- busy guard, progress and cancel ----

namespace {

std::vector<uint16_t> g_seen;
bool g_stopAt100 = false;
bool g_stopAtFirst = false;
bool g_deleteOutput = false;
std::string g_outputHost;
ExtractResult g_nested = 99;
std::string g_archive;

win::LRESULT Proc(win::HWND, win::UINT msg, win::WPARAM, win::LPARAM lParam) {
    if (msg == win::WM_COMMAND) {
        auto* p = reinterpret_cast<uint16_t*>(lParam);
        g_seen.push_back(*p);
        if (g_deleteOutput && *p > 0 && *p < 100) unlink(g_outputHost.c_str());
        if ((g_stopAt100 && *p == 100) || (g_stopAtFirst && *p > 0 && *p < 100) || (g_deleteOutput && *p > 0 && *p < 100))
            *p = 0xFFFF;
    }
    if (msg == win::WM_USER) g_nested = ExtractEntry(g_archive.c_str(), "C:\\tmp\\never", 0, 0, 0, 0);
    return 0;
}

uint16_t Handle16(win::HWND h) { return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(h)); }

}  // namespace

TEST_F(ExtractFixture, ProgressWindowSeesZeroToHundredAndCanCancelAtTheEnd) {
    Make({Stored("f", PatternBytes(200000, 4))});
    win::HWND w = win::posix::CreateTestWindow(Proc);
    g_seen.clear();
    g_stopAt100 = false;
    EXPECT_EQ(Extract(0, "f", 0, Handle16(w), 7), Ok);
    ASSERT_GE(g_seen.size(), 3u);
    EXPECT_EQ(g_seen.front(), 0);
    EXPECT_EQ(g_seen.back(), 100);
    for (size_t i = 1; i < g_seen.size(); i++) EXPECT_LE(g_seen[i - 1], g_seen[i]);

    g_stopAt100 = true;
    EXPECT_EQ(Extract(0, "f2", 0, Handle16(w), 7), Cancelled);
    EXPECT_FALSE(Exists(dir.HostPath("f2"))) << "the fully written output is deleted";
    g_stopAt100 = false;

    g_stopAtFirst = true;
    EXPECT_EQ(Extract(0, "f3", 0, Handle16(w), 7), Cancelled);
    EXPECT_FALSE(Exists(dir.HostPath("f3")));
    g_stopAtFirst = false;

    // With memory output nothing is deleted, the result is still Cancelled.
    g_stopAt100 = true;
    Bytes block(200000);
    EngineState.MemoryOutput = true;
    EngineState.MemoryTarget = block.data();
    EngineState.MemoryLimit = 200000;
    EngineState.MemoryCount = 0;
    EXPECT_EQ(ExtractEntry(archive.c_str(), nullptr, 0, 0, Handle16(w), 7), Cancelled);
    EXPECT_EQ(EngineState.MemoryCount, 200000);
    EngineState.MemoryOutput = false;
    g_stopAt100 = false;
    win::posix::DestroyTestWindow(w);
}

TEST_F(ExtractFixture, HeldKeyAtTheLastReportOfAStoredEntryCancels) {
    Make({Stored("f", PatternBytes(40000, 4))});
    win::posix::SetKeyDown(0x1B, true);
    EXPECT_EQ(Extract(0, "f", 0, 0, 0x1B), Cancelled);
    win::posix::SetKeyDown(0x1B, false);
    EXPECT_FALSE(Exists(dir.HostPath("f")));
    EXPECT_EQ(Extract(0, "f", 0, 0, 0x1B), Ok);
    // Pressed only between the report at 81 % and the last one, after the
    // whole entry has been copied.
    win::posix::SetKeyDownAfterPolls(0x1B, 1);
    EXPECT_EQ(Extract(0, "g", 0, 0, 0x1B), Cancelled);
    EXPECT_LT(win::GetAsyncKeyState(0x1B), 0) << "the key went down at the second poll";
    win::posix::SetKeyDown(0x1B, false);
    EXPECT_FALSE(Exists(dir.HostPath("g"))) << "the fully written output is deleted";
}

TEST_F(ExtractFixture, BusyGuardTurnsAwayEveryCallWhileTheFlagIsSet) {
    Make({Stored("f", Bytes{1})});
    win::posix::SetManualTicks(true, 100000);
    EngineState.EngineBusy = true;
    EngineState.LastPumpTick = 0;
    EngineState.CancelRequested = true;
    EXPECT_EQ(Extract(0, "f"), Busy);
    EXPECT_FALSE(EngineState.CancelRequested) << "cleared before the busy test";
    EXPECT_TRUE(EngineState.EngineBusy);
    EngineState.LastPumpTick = 70000;
    EXPECT_EQ(Extract(0, "f"), Busy) << "30000 ms: still busy";
    EngineState.LastPumpTick = 69999;
    EXPECT_EQ(Extract(0, "f"), Busy) << "30001 ms: a set flag is never stale";
    EXPECT_TRUE(EngineState.EngineBusy);
    EngineState.LastPumpTick = 130000;  // a tick in the future
    EXPECT_EQ(Extract(0, "f"), Busy);
    EXPECT_FALSE(Exists(dir.HostPath("f")));
    EngineState.EngineBusy = false;
    EXPECT_EQ(Extract(0, "f"), Ok);
}

namespace {

// A progress window whose procedure, at the second report within the entry,
// lets `g_stall` milliseconds pass (a modal box) and then calls the engine.
win::DWORD g_stall = 0;
int g_reports = 0;
std::string g_nestedDest;
win::LRESULT StallingProc(win::HWND, win::UINT msg, win::WPARAM, win::LPARAM lParam) {
    uint16_t p = *reinterpret_cast<uint16_t*>(lParam);
    if (msg == win::WM_COMMAND && p > 0 && p < 100 && ++g_reports == 2) {
        win::posix::AdvanceTicks(g_stall);
        g_nested = ExtractEntry(g_archive.c_str(), g_nestedDest.c_str(), 0, 0, 0, 0);
    }
    return 0;
}

}  // namespace

// A nested call is refused however the tick count stands (past 2^31 after
// 24.8 days of uptime, about to wrap at 2^32) and however long the window
// procedure blocked; the outer entry finishes intact.
TEST_F(ExtractFixture, NestedCallIsRefusedAtAnyTickCountAndAfterALongStall) {
    Bytes data = PatternBytes(300000, 8);
    ZipEntrySpec deflated = Stored("d", data);
#ifdef HAVE_ZLIB
    deflated.Method = 8;
    deflated.Data = ZlibRawDeflate(data, 0);  // stored blocks: many input blocks, many reports
    deflated.UncompressedSize = static_cast<uint32_t>(data.size());
    deflated.Crc = Crc32(data);
    deflated.CrcFromData = false;
#endif
    Make({Stored("s", data), deflated});
    g_archive = archive;
    win::HWND w = win::posix::CreateTestWindow(StallingProc);
    const struct {
        win::DWORD start, stall;
    } rows[] = {{100000, 31000},     {0x7FFFFFF0u, 0x20}, {0x80000000u, 0},
                {0x80000010u, 31000}, {0xFFFFFF00u, 0},    {0xFFFFFFF0u, 0x20}};
    for (const auto& row : rows)
        for (size_t index = 0; index < 2; index++) {
            std::string where = "start " + std::to_string(row.start) + ", stall " + std::to_string(row.stall) +
                                ", entry " + std::to_string(index);
            win::posix::SetManualTicks(true, row.start);
            g_stall = row.stall;
            g_reports = 0;
            g_nested = 99;
            std::string out = "out" + std::to_string(&row - rows) + std::to_string(index);
            g_nestedDest = dir.WinPath("nested-" + out);
            EXPECT_EQ(Extract(index, out, 0, Handle16(w), 1), Ok) << where;
            EXPECT_GT(g_reports, 2) << where << ": the call came in the middle of the entry";
            EXPECT_EQ(g_nested, Busy) << where;
            EXPECT_TRUE(ReadBytes(dir.HostPath(out)) == data) << where;
            EXPECT_FALSE(Exists(dir.HostPath("nested-" + out))) << where;
            EXPECT_FALSE(EngineState.EngineBusy) << where;
        }
    win::posix::DestroyTestWindow(w);
}

TEST_F(ExtractFixture, NestedCallFromAPumpedWindowIsTurnedAway) {
    Make({Stored("f", PatternBytes(10000, 4))});
    g_archive = archive;
    g_nested = 99;
    win::HWND w = win::posix::CreateTestWindow(Proc);
    win::posix::PostMessageA(w, win::WM_USER, 0, 0);
    EXPECT_EQ(Extract(0, "f"), Ok);
    EXPECT_EQ(g_nested, Busy);
    win::posix::DestroyTestWindow(w);
}

// A code without a text of its own is given by number; the address has
// all the digits of a pointer.
TEST(IoErrorDeathTest, UnknownCodesAreNumbered) {
    const std::string digits = std::to_string(sizeof(void*) * 2);
    EXPECT_EXIT(RaiseIoError(32), ::testing::ExitedWithCode(1),
                "Exception EInOutError in Modul [^ ]+ bei [0-9A-F]{" + digits + "}\\.\nE/A-Fehler 32\\.");
    EXPECT_EXIT(RaiseIoError(-1450), ::testing::ExitedWithCode(1), "\nE/A-Fehler -1450\\.");
}

TEST_F(ExtractFixture, FailedDeletionOfAFailedOutputEndsTheRunWithTheErrorBox) {
    Make({Stored("f", PatternBytes(300000, 4))});
    g_outputHost = dir.HostPath("f");
    std::string dest = dir.WinPath("f");
    std::string arch = archive;
    EXPECT_EXIT(
        {
            win::HWND w = win::posix::CreateTestWindow(Proc);
            g_deleteOutput = true;
            ExtractEntry(arch.c_str(), dest.c_str(), 0, 0, Handle16(w), 1);
        },
        ::testing::ExitedWithCode(1),
        "Anwendungsfehler.*Exception EInOutError in Modul [^ ]+ bei [0-9A-F]+\\..*Datei nicht gefunden\\.");
}
