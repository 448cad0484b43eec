// Zipping a folder for `sfx pack`, read back by Python's zipfile and by the
// launcher's own engine.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <sstream>
#include <string>

#include "support/test_util.h"
#include "sfx/sfx.h"
#include "sfx/zip_folder.h"

using namespace testutil;

namespace {

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

void SetTime(const std::string& path, time_t when) {
    utimbuf times{when, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

// The folder zipped into the file `archive`, as pack does it.
struct Zipped {
    size_t Files = 0, Folders = 0;
    std::vector<std::string> Skipped, Unwritable;
    Bytes Archive;
};

Zipped ZipTo(const std::string& root, const std::string& archive, unsigned codePage = 1252,
             const sfx::ZipOptions& options = {}) {
    sfx::FolderListing listing = sfx::ListFolder(root, codePage);
    sfx::ScratchFile f = sfx::CreateScratch(archive, false);
    uint64_t length = sfx::WriteFolderZip(listing, f, options);
    sfx::FinishScratch(f, length);
    sfx::CommitScratch(f.Path, archive);
    return {listing.Files, listing.Folders, listing.Skipped, listing.Unwritable, ReadBytes(archive)};
}

}  // namespace

TEST(ZipFolder, DosTimesAreLocalEvenSecondsWithinTheDosRange) {
    EXPECT_EQ(sfx::DosDateTimeOf(LocalTime(2019, 3, 4, 5, 6, 9)),
              ((39u << 9 | 3u << 5 | 4u) << 16) | (5u << 11 | 6u << 5 | 4u));
    EXPECT_EQ(sfx::DosDateTimeOf(LocalTime(1975, 1, 1, 0, 0, 0)), (1u << 5 | 1u) << 16) << "before 1980";
    EXPECT_EQ(sfx::DosDateTimeOf(LocalTime(1980, 1, 1, 0, 0, 0)), (1u << 5 | 1u) << 16);
    EXPECT_EQ(sfx::DosDateTimeOf(LocalTime(2107, 12, 31, 23, 59, 59)),
              ((127u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u));
}

TEST(ZipFolder, FoldersAndFilesComeBackWithTheirNamesTimesAndData) {
    ScratchDir dir;
    std::string root = dir.HostPath("in");
    mkdir(root.c_str(), 0755);
    mkdir((root + "/sub").c_str(), 0755);
    mkdir((root + "/sub/empty").c_str(), 0755);
    mkdir((root + "/elsewhere").c_str(), 0755);
    WriteText(root + "/Setup.exe", "MZ setup");
    Bytes text = PatternBytes(100000, 1);
    WriteBytes(root + "/sub/text.txt", text);
    Bytes noise(5000);
    uint32_t x = 99;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    WriteBytes(root + "/sub/noise.bin", noise);
    WriteText(root + "/caf\xC3\xA9.txt", "cafe");
    WriteText(root + "/empty.txt", "");
    ASSERT_EQ(symlink("sub/text.txt", (root + "/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("elsewhere", (root + "/linkdir").c_str()), 0);
    SetTime(root + "/Setup.exe", LocalTime(2019, 3, 4, 5, 6, 9));
    SetTime(root + "/sub/empty", LocalTime(2001, 2, 3, 4, 5, 6));

    Zipped zip = ZipTo(root, dir.HostPath("out.zip"));
    EXPECT_EQ(zip.Files, 6u);
    EXPECT_EQ(zip.Folders, 3u);
    ASSERT_EQ(zip.Skipped.size(), 1u);
    EXPECT_EQ(zip.Skipped[0].rfind("linkdir: ", 0), 0u) << zip.Skipped[0];

    // Python reads it: names in order, method, UTF-8 flag, DOS time, data.
    ASSERT_EQ(RunPython(R"(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
z.extractall(sys.argv[3])
with open(sys.argv[2], 'w', encoding='utf-8') as out:
    for i in z.infolist():
        # Without the UTF-8 flag zipfile takes names for code page 437; the
        # bytes are Windows-1252.
        name = i.filename if i.flag_bits & 0x800 else i.filename.encode('cp437').decode('cp1252')
        out.write('%s|%d|%d|%s|%d|%d\n' % (name, i.compress_type, i.flag_bits & 0x800,
                  '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time, i.external_attr, i.create_system))
)",
                        {dir.HostPath("out.zip"), dir.HostPath("listing.txt"), dir.HostPath("py")}),
              0);
    Bytes listing = ReadBytes(dir.HostPath("listing.txt"));
    std::string l(listing.begin(), listing.end());
    std::vector<std::string> names;
    for (size_t at = 0; at < l.size();) {
        size_t end = l.find('\n', at);
        names.push_back(l.substr(at, l.find('|', at) - at));
        at = end + 1;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Setup.exe", "caf\xC3\xA9.txt", "elsewhere/", "empty.txt", "link.txt",
                                               "sub/", "sub/empty/", "sub/noise.bin", "sub/text.txt"}));
    EXPECT_NE(l.find("Setup.exe|0|0|2019-03-04 05:06:08|32|0\n"), std::string::npos) << l;
    EXPECT_NE(l.find("caf\xC3\xA9.txt|0|0|"), std::string::npos) << "in code page 1252, without the UTF-8 flag\n" << l;
    EXPECT_NE(l.find("sub/empty/|0|0|2001-02-03 04:05:06|16|0\n"), std::string::npos) << l;
    EXPECT_NE(l.find("sub/text.txt|8|0|"), std::string::npos) << "compressible data is deflated";
    EXPECT_NE(l.find("sub/noise.bin|0|0|"), std::string::npos) << "noise is stored";
    EXPECT_NE(l.find("empty.txt|0|0|"), std::string::npos);

    EXPECT_EQ(ReadBytes(dir.HostPath("py/link.txt")), text) << "a link to a file is followed";
    EXPECT_EQ(ReadBytes(dir.HostPath("py/sub/noise.bin")), noise);

    // The launcher's own engine takes every entry.
    std::ostringstream out, err;
    EXPECT_EQ(sfx::SfxMain({"extract", dir.HostPath("out.zip"), dir.HostPath("x")}, out, err), 0) << out.str();
    EXPECT_EQ(ReadBytes(dir.HostPath("x/sub/noise.bin")), noise);
    EXPECT_EQ(ReadBytes(dir.HostPath("x/sub/text.txt")), text);
    EXPECT_EQ(ReadBytes(dir.HostPath("x/link.txt")), text);
    EXPECT_TRUE(IsDir(dir.HostPath("x/sub/empty")));
}

TEST(ZipFolder, AnEmptyFolderGivesAnArchiveWithoutEntriesAndAFileIsNoFolder) {
    ScratchDir dir;
    mkdir(dir.HostPath("none").c_str(), 0755);
    Zipped zip = ZipTo(dir.HostPath("none"), dir.HostPath("none.zip"));
    EXPECT_EQ(zip.Archive, BuildZip({}).Bytes_) << "just the end record";
    WriteText(dir.HostPath("f"), "x");
    EXPECT_THROW(sfx::ListFolder(dir.HostPath("f")), std::runtime_error);
    EXPECT_THROW(sfx::ListFolder(dir.HostPath("missing")), std::runtime_error);
}

TEST(ZipFolder, NamesAreWrittenInTheCodePageAndRefusedWhereItHasNoPlaceForThem) {
    // Oracle: Python's codecs cp1252 and cp932 decode what was written.
    struct Row {
        unsigned CodePage;
        std::string Name;  // UTF-8
        bool Writable;
    };
    const Row rows[] = {
        {1252, "\xC3\x9C" "berblick.txt", true},          // Überblick
        {1252, "\xE2\x82\xAC" "uro.txt", true},          // the euro sign, 0x80 in 1252
        {1252, "\xE6\x97\xA5\xE6\x9C\xAC.txt", false},    // 日本
        {932, "\xE6\x97\xA5\xE6\x9C\xAC.txt", true},
        {932, "\xE8\xA1\xA8.txt", true},                 // 表: its second byte is 0x5C
        {932, "\xC3\x9C" "berblick.txt", false},          // Ü has no place in 932
        {1252, "bad\xFF.txt", false},                    // not UTF-8 at all
    };
    for (const Row& row : rows) {
        ScratchDir dir;
        std::string root = dir.HostPath("in");
        mkdir(root.c_str(), 0755);
        WriteText(root + "/" + row.Name, "x");
        Zipped zip = ZipTo(root, dir.HostPath("out.zip"), row.CodePage);
        if (!row.Writable) {
            ASSERT_EQ(zip.Unwritable.size(), 1u) << row.Name;
            EXPECT_EQ(zip.Unwritable[0].rfind(row.Name + ": ", 0), 0u) << zip.Unwritable[0];
            EXPECT_EQ(zip.Files, 0u);
            continue;
        }
        EXPECT_TRUE(zip.Unwritable.empty()) << row.Name;
        ASSERT_EQ(RunPython(R"(
import sys, zipfile
i = zipfile.ZipFile(sys.argv[1]).infolist()[0]
assert i.flag_bits & 0x800 == 0
open(sys.argv[2], 'w', encoding='utf-8').write(i.filename.encode('cp437').decode(sys.argv[3]))
)",
                            {dir.HostPath("out.zip"), dir.HostPath("name.txt"), "cp" + std::to_string(row.CodePage)}),
                  0);
        Bytes name = ReadBytes(dir.HostPath("name.txt"));
        EXPECT_EQ(std::string(name.begin(), name.end()), row.Name);
        // check reads it in the same code page; in another it is refused.
        std::ostringstream out, err;
        sfx::SfxMain({"check", "--codepage", std::to_string(row.CodePage), dir.HostPath("out.zip")}, out, err);
        EXPECT_EQ(out.str().find("above 127"), std::string::npos) << out.str();
        EXPECT_NE(out.str().find("1 name holds characters beyond ASCII, written for code page " +
                                 std::to_string(row.CodePage)),
                  std::string::npos)
            << out.str();
    }
}
