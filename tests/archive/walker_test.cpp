// The central-directory walker over archives from Python's zipfile and
// Info-ZIP zip, and over crafted and damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

struct Listed {
    std::string Name;
    int32_t HeaderOffset;
    uint16_t Method, Attributes, Flags;
    uint32_t Crc, CompressedSize, UncompressedSize, DosDateTime;
};

// Walks the whole directory; returns FindFirstEntry's code in *first and the
// code that ended the walk in *last.
std::vector<Listed> Walk(const std::string& winPath, int32_t* first = nullptr, int32_t* last = nullptr) {
    EntrySearch s;
    std::memset(&s, 0, sizeof s);
    std::vector<Listed> out;
    int32_t r = FindFirstEntry(winPath.c_str(), s);
    if (first) *first = r;
    while (r == 0) {
        out.push_back({s.Name, s.HeaderOffset, s.Method, s.Attributes, s.Flags, s.Crc, s.CompressedSize,
                       s.UncompressedSize, s.DosDateTime});
        r = FindNextEntry(s);
    }
    if (last) *last = r;
    EXPECT_EQ(s.Buffer, nullptr) << "a walk that ended must have released its search";
    EXPECT_EQ(FindNextEntry(s), -2);
    EndEntrySearch(s);
    return out;
}

ZipEntrySpec Stored(const std::string& name, const std::string& text) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = Bytes(text.begin(), text.end());
    return e;
}

}  // namespace

TEST(Walker, ListsPythonArchiveInDirectoryOrderWithAllFields) {
    ScratchDir dir;
    std::string zip = dir.HostPath("py.zip");
    ASSERT_EQ(RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    i = zipfile.ZipInfo('b/second.txt', (2021, 3, 4, 5, 6, 8)); i.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(i, b'hello ' * 100)
    z.writestr(zipfile.ZipInfo('a/', (2020, 1, 1, 0, 0, 0)), b'')
    i = zipfile.ZipInfo('first.bin', (1999, 12, 31, 23, 59, 58)); i.create_system = 0; i.external_attr = 0x21
    i.comment = b'entry comment'; i.extra = b'\x99\x99\x04\x00abcd'
    z.writestr(i, bytes(range(256)))
    z.comment = b'archive comment'
)", {zip}), 0);
    int32_t first = 99, last = 99;
    auto entries = Walk(ToWin(zip), &first, &last);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 1);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Name, "b\\second.txt");
    EXPECT_EQ(entries[0].Method, 8);
    EXPECT_EQ(entries[0].UncompressedSize, 600u);
    std::string hello;
    for (int i = 0; i < 100; i++) hello += "hello ";
    EXPECT_EQ(entries[0].Crc, Crc32(Bytes(hello.begin(), hello.end())));
    EXPECT_EQ(entries[0].DosDateTime, ((2021u - 1980) << 25 | 3u << 21 | 4u << 16 | 5u << 11 | 6u << 5 | 4u));
    EXPECT_EQ(entries[0].HeaderOffset, 0);
    EXPECT_EQ(entries[1].Name, "a\\");
    EXPECT_EQ(entries[2].Name, "first.bin");
    EXPECT_EQ(entries[2].Attributes, 0x21) << "made on MS-DOS: the attribute byte counts";
    EXPECT_EQ(entries[2].CompressedSize, 256u);
    EXPECT_GT(entries[2].HeaderOffset, entries[1].HeaderOffset);
}

TEST(Walker, InfoZipArchiveWithSubdirectoriesAndComments) {
    ScratchDir dir;
    ASSERT_EQ(RunShell("cd '" + dir.Host + "' && mkdir -p src/sub && echo one > src/a.txt && echo two > src/sub/b.txt"
                       " && zip -q -r -X iz.zip src && echo 'a comment' | zip -q -z iz.zip"), 0);
    int32_t first = 99;
    auto entries = Walk(dir.WinPath("iz.zip"), &first);
    ASSERT_EQ(first, 0);
    std::vector<std::string> names;
    for (auto& e : entries) names.push_back(e.Name);
    std::sort(names.begin(), names.end());  // zip -r follows the order of readdir
    EXPECT_EQ(names, (std::vector<std::string>{"src\\", "src\\a.txt", "src\\sub\\", "src\\sub\\b.txt"}));
    for (auto& e : entries) EXPECT_EQ(e.Attributes, 0) << "Info-ZIP on Unix records host 3: " << e.Name;
}

TEST(Walker, EmptyShortMissingAndSignaturelessFiles) {
    ScratchDir dir;
    WriteBytes(dir.HostPath("empty.zip"), {});
    WriteBytes(dir.HostPath("short.zip"), Bytes{0x50, 0x4B, 0x05, 0x06, 0, 0, 0});
    WriteBytes(dir.HostPath("noend.zip"), PatternBytes(10000, 3));
    int32_t r = 0;
    Walk(dir.WinPath("empty.zip"), &r);
    EXPECT_EQ(r, -1);
    Walk(dir.WinPath("short.zip"), &r);
    EXPECT_EQ(r, -1) << "shorter than an end record: no window is scanned";
    Walk(dir.WinPath("noend.zip"), &r);
    EXPECT_EQ(r, -1);
    Walk(dir.WinPath("missing.zip"), &r);
    EXPECT_EQ(r, -1);
}

TEST(Walker, ArchiveWithoutEntriesGivesMinusTwo) {
    ScratchDir dir;
    WriteBytes(dir.HostPath("none.zip"), BuildZip({}).Bytes_);
    int32_t r = 0;
    Walk(dir.WinPath("none.zip"), &r);
    EXPECT_EQ(r, -2);
}

TEST(Walker, CommentHoldingEndSignatureIsTakenForTheEndRecord) {
    ScratchDir dir;
    auto good = BuildZip({Stored("x.txt", "x")}, {}, "plain comment");
    WriteBytes(dir.HostPath("good.zip"), good.Bytes_);
    EXPECT_EQ(Walk(dir.WinPath("good.zip")).size(), 1u);

    // A fake end record inside the comment, nearest the end, points at
    // offset 0, where a local header stands: the walk finds no first entry.
    std::string fake("PK\x05\x06", 4);
    fake += std::string(12, '\0');
    fake += std::string(4, '\0');  // directory offset 0
    fake += std::string(2, '\0');
    auto tricked = BuildZip({Stored("x.txt", "x")}, {}, fake);
    WriteBytes(dir.HostPath("tricked.zip"), tricked.Bytes_);
    int32_t r = 0;
    EXPECT_TRUE(Walk(dir.WinPath("tricked.zip"), &r).empty());
    EXPECT_EQ(r, 1);
}

TEST(Walker, EndRecordFarFromTheEndIsFoundThroughOverlappingWindows) {
    ScratchDir dir;
    // An archive comment cannot exceed 65535 bytes; garbage appended after the
    // comment (as some tools leave) pushes the end record further back.
    auto z = BuildZip({Stored("x.txt", "abc"), Stored("y.txt", "def")});
    Bytes data = z.Bytes_;
    // Place the signature so that it straddles the 22-byte overlap of two windows.
    Bytes tail(4096 * 3 + 5, 0x20);
    data.insert(data.end(), tail.begin(), tail.end());
    WriteBytes(dir.HostPath("far.zip"), data);
    auto entries = Walk(dir.WinPath("far.zip"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].Name, "y.txt");

    // Every distance from the end up to a few windows: always found.
    for (size_t pad = 4060; pad < 4120; pad++) {
        Bytes d = z.Bytes_;
        d.insert(d.end(), pad, 0x00);
        WriteBytes(dir.HostPath("pad.zip"), d);
        ASSERT_EQ(Walk(dir.WinPath("pad.zip")).size(), 2u) << "padding " << pad;
    }
}

TEST(Walker, NamesAreCutAtNulAnd259BytesAndSlashesBecomeBackslashes) {
    ScratchDir dir;
    ZipEntrySpec withNul = Stored(std::string("dir/na\0me.txt", 13), "1");
    ZipEntrySpec longName = Stored(std::string(300, 'n'), "2");
    ZipEntrySpec slashes = Stored("a/b/c/d.txt", "3");
    WriteBytes(dir.HostPath("names.zip"), BuildZip({withNul, longName, slashes}).Bytes_);
    auto entries = Walk(dir.WinPath("names.zip"));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Name, "dir\\na");
    EXPECT_EQ(entries[1].Name, std::string(259, 'n'));
    EXPECT_EQ(entries[2].Name, "a\\b\\c\\d.txt");
}

TEST(Walker, NonDosHostGivesNoAttributesAndExtrasAndCommentsAreSteppedOver) {
    ScratchDir dir;
    ZipEntrySpec unix = Stored("u.txt", "u");
    unix.HostSystem = 3;
    unix.ExternalAttributes = (0100644u << 16) | 0x21;
    unix.Extra = Bytes(300, 0xEE);
    unix.Comment = std::string(70000 % 65535, 'c');
    ZipEntrySpec dos = Stored("d.txt", "d");
    dos.ExternalAttributes = 0x27;
    WriteBytes(dir.HostPath("hosts.zip"), BuildZip({unix, dos}).Bytes_);
    auto entries = Walk(dir.WinPath("hosts.zip"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Attributes, 0);
    EXPECT_EQ(entries[1].Attributes, 0x27);
    EXPECT_EQ(entries[1].Name, "d.txt");
}

TEST(Walker, LargeDirectoriesAreStreamedThroughTheWindow) {
    ScratchDir dir;
    // 1200 entries with 60-byte names: about 127 KB of directory, beyond both
    // 64000 and 65536 bytes, with records straddling every window edge.
    std::vector<ZipEntrySpec> specs;
    for (int i = 0; i < 1200; i++) {
        char name[80];
        std::snprintf(name, sizeof name, "dir%04d/%050d.txt", i, i);
        ZipEntrySpec e = Stored(name, std::to_string(i));
        if (i % 7 == 0) e.Extra = Bytes(static_cast<size_t>(i % 50), 0xAB);
        if (i % 11 == 0) e.Comment = std::string(static_cast<size_t>(i % 90), 'k');
        specs.push_back(e);
    }
    auto z = BuildZip(specs);
    ASSERT_GT(z.EndRecordOffset - z.DirectoryOffset, 65536u);
    WriteBytes(dir.HostPath("big.zip"), z.Bytes_);
    int32_t last = 0;
    auto entries = Walk(dir.WinPath("big.zip"), nullptr, &last);
    ASSERT_EQ(entries.size(), 1200u);
    EXPECT_EQ(last, 1);
    for (int i = 0; i < 1200; i++) {
        char name[80];
        std::snprintf(name, sizeof name, "dir%04d\\%050d.txt", i, i);
        ASSERT_EQ(entries[static_cast<size_t>(i)].Name, name);
        ASSERT_EQ(entries[static_cast<size_t>(i)].HeaderOffset, static_cast<int32_t>(z.HeaderOffsets[static_cast<size_t>(i)]));
    }
}

TEST(Walker, StoppingEarlyReleasesAWindowedSearch) {
    ScratchDir dir;
    std::vector<ZipEntrySpec> specs;
    for (int i = 0; i < 1500; i++) specs.push_back(Stored(std::string(50, 'a') + std::to_string(i), "x"));
    WriteBytes(dir.HostPath("big.zip"), BuildZip(specs).Bytes_);
    EntrySearch s;
    std::memset(&s, 0, sizeof s);
    ASSERT_EQ(FindFirstEntry(dir.WinPath("big.zip").c_str(), s), 0);
    EXPECT_EQ(s.BufferSize, 64000);
    ASSERT_EQ(FindNextEntry(s), 0);
    EndEntrySearch(s);
    EXPECT_EQ(s.Buffer, nullptr);
    EndEntrySearch(s);  // again: nothing happens
    EXPECT_EQ(FindNextEntry(s), -2);
}

TEST(Walker, DamagedDirectoriesEndTheListingWithoutReadingUnreadBytes) {
    ScratchDir dir;
    std::vector<ZipEntrySpec> specs = {Stored("a.txt", "aaaa"), Stored("b.txt", "bbbb"), Stored("c.txt", "cccc")};
    auto z = BuildZip(specs);
    const std::string path = dir.HostPath("d.zip");
    int32_t first = 0, last = 0;

    // The second record's signature broken: one entry, then 1.
    Bytes d = z.Bytes_;
    size_t second = z.DirectoryOffset + 46 + 5;
    d[second] = 'X';
    WriteBytes(path, d);
    EXPECT_EQ(Walk(ToWin(path), &first, &last).size(), 1u);
    EXPECT_EQ(last, 1);

    // The first record's name length runs past the directory: 1 at once.
    d = z.Bytes_;
    PutLe16(d, z.DirectoryOffset + 28, 5000);
    WriteBytes(path, d);
    EXPECT_TRUE(Walk(ToWin(path), &first).empty());
    EXPECT_EQ(first, 1);

    // A directory offset past the end of the file lies behind the end record
    // as well: the span from it to the end record is negative, and the walk
    // is refused before anything is read (no short read of the directory).
    d = z.Bytes_;
    PutLe32(d, z.EndRecordOffset + 16, static_cast<uint32_t>(d.size() + 100000));
    WriteBytes(path, d);
    EXPECT_TRUE(Walk(ToWin(path), &first).empty());
    EXPECT_NE(first, 0);
    EXPECT_EQ(first, -1);

    // A directory offset behind the end record: a negative span, refused.
    d = z.Bytes_;
    PutLe32(d, z.EndRecordOffset + 16, z.EndRecordOffset + 10);
    WriteBytes(path, d);
    EXPECT_TRUE(Walk(ToWin(path), &first).empty());
    EXPECT_EQ(first, -1);

    // A negative directory offset: the seek fails.
    d = z.Bytes_;
    PutLe32(d, z.EndRecordOffset + 16, 0xFFFFFF00u);
    WriteBytes(path, d);
    EXPECT_TRUE(Walk(ToWin(path), &first).empty());
    EXPECT_EQ(first, -1);

    // A local header record between the directory records ends the listing.
    d = z.Bytes_;
    d[z.DirectoryOffset + 2] = 3;
    d[z.DirectoryOffset + 3] = 4;
    WriteBytes(path, d);
    EXPECT_TRUE(Walk(ToWin(path), &first).empty());
    EXPECT_EQ(first, 1);
}

TEST(Walker, EveryTruncationEndsCleanly) {
    ScratchDir dir;
    auto z = BuildZip({Stored("a.txt", "alpha"), Stored("dir/b.txt", "beta"), Stored("c", "")}, {}, "cmt");
    const std::string path = dir.HostPath("t.zip");
    for (size_t len = 0; len < z.Bytes_.size(); len++) {
        WriteBytes(path, Bytes(z.Bytes_.begin(), z.Bytes_.begin() + static_cast<long>(len)));
        int32_t first = 0;
        auto entries = Walk(ToWin(path), &first);
        ASSERT_LE(entries.size(), 3u) << len;
        for (auto& e : entries) ASSERT_TRUE(e.Name == "a.txt" || e.Name == "dir\\b.txt" || e.Name == "c") << len;
    }
}
