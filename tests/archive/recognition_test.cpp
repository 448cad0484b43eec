// Archive recognition: plain archives, archives behind an MS-DOS image, and
// the dot and directory rules.
#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

// An MS-DOS header whose image is `imageSize` bytes, padded to that size.
Bytes MzImage(int32_t pages, int32_t lastPageBytes, size_t imageSize) {
    Bytes b(imageSize, 0x90);
    if (b.size() < 10) b.resize(10);
    b[0] = 'M';
    b[1] = 'Z';
    PutLe16(b, 2, static_cast<uint16_t>(lastPageBytes));
    PutLe16(b, 4, static_cast<uint16_t>(pages));
    return b;
}

Bytes SmallZip() {
    ZipEntrySpec e;
    e.Name = "f.txt";
    e.Data = {'h', 'i'};
    return BuildZip({e}).Bytes_;
}

}  // namespace

TEST(Recognition, PlainArchivesAndNonArchives) {
    ScratchDir dir;
    WriteBytes(dir.HostPath("a.zip"), SmallZip());
    EXPECT_TRUE(IsArchiveFile(dir.WinPath("a.zip").c_str()));

    WriteBytes(dir.HostPath("nine.zip"), Bytes{0x50, 0x4B, 0x03, 0x04, 1, 2, 3, 4, 5});
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("nine.zip").c_str())) << "fewer than 10 bytes";
    WriteBytes(dir.HostPath("ten.zip"), Bytes{0x50, 0x4B, 0x03, 0x04, 1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(IsArchiveFile(dir.WinPath("ten.zip").c_str()));

    WriteBytes(dir.HostPath("endonly.zip"), BuildZip({}).Bytes_);
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("endonly.zip").c_str())) << "an end record alone is no archive";
    WriteBytes(dir.HostPath("text.txt"), Bytes(100, 'x'));
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("text.txt").c_str()));
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("missing.zip").c_str()));
}

TEST(Recognition, APathWithoutAnyDotIsNeverAnArchive) {
    ScratchDir dir;  // the scratch folder's own name has no dot
    WriteBytes(dir.HostPath("nodot"), SmallZip());
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("nodot").c_str()));
    // A dot in a directory's name is enough.
    ASSERT_EQ(RunShell("mkdir '" + dir.HostPath("v1.0") + "'"), 0);
    WriteBytes(dir.HostPath("v1.0/nodot"), SmallZip());
    EXPECT_TRUE(IsArchiveFile(dir.WinPath("v1.0\\nodot").c_str()));
}

TEST(Recognition, ADirectoryIsNoArchiveAndBecomesTheCurrentDirectory) {
    ScratchDir dir;
    ASSERT_EQ(RunShell("mkdir -p '" + dir.HostPath("pack.zip") + "' '" + dir.HostPath("other.d") + "'"), 0);
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("pack.zip").c_str()));
    EXPECT_EQ(CurrentDir(), dir.HostPath("pack.zip"));
    EXPECT_FALSE(IsArchiveFile((dir.WinPath("other.d") + "\\").c_str()));
    EXPECT_EQ(CurrentDir(), dir.HostPath("other.d"));
}

TEST(Recognition, ArchiveAppendedToAnMsDosImage) {
    ScratchDir dir;
    Bytes zip = SmallZip();
    struct Case {
        int32_t pages, last;
        size_t imageSize;
        size_t gap;
        bool expected;
    } cases[] = {
        {3, 100, 2 * 512 + 100, 0, true},   // exactly at the image end
        {3, 100, 2 * 512 + 100, 1, true},   // one byte later
        {3, 100, 2 * 512 + 100, 2, false},  // anywhere else
        {2, 0, 2 * 512, 0, true},           // last page full (0 bytes field)
        {0, 0, 16, 0, false},               // image size 0
        {0, 100, 16, 0, false},             // negative image size
    };
    for (const auto& c : cases) {
        Bytes file = MzImage(c.pages, c.last, c.imageSize);
        file.insert(file.end(), c.gap, 0x00);
        file.insert(file.end(), zip.begin(), zip.end());
        WriteBytes(dir.HostPath("sfx.exe"), file);
        EXPECT_EQ(IsArchiveFile(dir.WinPath("sfx.exe").c_str()), c.expected)
            << "pages " << c.pages << " last " << c.last << " gap " << c.gap;
    }
    // An image that claims more than the file holds.
    WriteBytes(dir.HostPath("short.exe"), MzImage(50, 0, 64));
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("short.exe").c_str()));
    // Three bytes of "MZ" header only.
    WriteBytes(dir.HostPath("mz.exe"), Bytes{'M', 'Z', 0});
    EXPECT_FALSE(IsArchiveFile(dir.WinPath("mz.exe").c_str()));
}

TEST(Recognition, InfoZipSelfExtractorLayout) {
    ScratchDir dir;
    // An archive made by zip, appended to an MS-DOS image and with its
    // offsets adjusted by zip -A, as self-extracting archives are made.
    Bytes image = MzImage(1, 200, 200);
    WriteBytes(dir.HostPath("stub.bin"), image);
    ASSERT_EQ(RunShell("cd '" + dir.Host + "' && echo data > f.txt && zip -q -X p.zip f.txt && cat stub.bin p.zip > s.exe"
                       " && zip -q -A s.exe"), 0);
    EXPECT_TRUE(IsArchiveFile(dir.WinPath("s.exe").c_str()));
}

TEST(Recognition, OverlongPathsAreRefusedWithoutOverrun) {
    std::string path = "C:\\" + std::string(400, 'a') + ".zip";
    EXPECT_FALSE(IsArchiveFile(path.c_str()));
}
