// The sfx commands on good and bad archives, in-process through SfxMain (so
// the sanitizers see them) and a few times as the real binary: check, list,
// test, extract, cat, pack, and the command line itself.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/pe_test_image.h"
#include "support/test_util.h"
#include "sfx/pe_resources.h"
#include "sfx/progress_bar.h"
#include "sfx/sfx.h"

using namespace testutil;

namespace {

struct Outcome {
    int Code = -1;
    std::string Out;
    std::string Err;
};

Outcome Sfx(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Outcome o;
    o.Code = sfx::SfxMain(args, out, err);
    o.Out = out.str();
    o.Err = err.str();
    return o;
}

// The binary, with standard output captured; standard error goes to the
// test log.
Outcome SfxBinary(const std::string& argsLine) {
    Outcome o;
    FILE* p = popen((std::string(SFX_EXE) + " " + argsLine + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return o;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) o.Out.append(buf, n);
    int status = pclose(p);
    o.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return o;
}

size_t CountLines(const std::string& text, const std::string& needle) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(needle) != std::string::npos) count++;
    return count;
}

ZipEntrySpec Stored(const std::string& name, const std::string& text) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = Bytes(text.begin(), text.end());
    return e;
}

// A Setup.exe that Windows would start.
ZipEntrySpec Program(const std::string& name) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = MakeProgram();
    return e;
}

// An entry whose recorded CRC-32 does not match its data.
ZipEntrySpec BadCrc(const std::string& name, const std::string& text) {
    ZipEntrySpec e = Stored(name, text);
    e.CrcFromData = false;
    e.Crc = 1;
    return e;
}

ZipEntrySpec Folder(const std::string& name) {
    ZipEntrySpec e;
    e.Name = name;
    e.ExternalAttributes = 0x10;
    return e;
}

struct SfxFixture : ::testing::Test {
    ScratchDir dir;

    std::string Write(const std::string& rel, const std::vector<ZipEntrySpec>& entries, const Bytes& prefix = {}) {
        WriteBytes(dir.HostPath(rel), BuildZip(entries, prefix).Bytes_);
        return dir.HostPath(rel);
    }

    // An archive made by Python's zipfile: Setup.exe, a folder with a file,
    // a larger compressible file; method as given ("ZIP_STORED", ...).
    std::string PythonGood(const std::string& rel, const std::string& method) {
        std::string path = dir.HostPath(rel);
        WriteBytes(dir.HostPath("setup-program.exe"), MakeProgram());
        EXPECT_EQ(RunPython(R"(
import sys, zipfile
method = getattr(zipfile, sys.argv[2])
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    def add(name, data):
        z.writestr(zipfile.ZipInfo(name, (2021, 6, 7, 8, 9, 10)), data, compress_type=method)
    add('Setup.exe', open(sys.argv[3], 'rb').read())
    add('docs/', b'')
    add('docs/readme.txt', b'read me ' * 700)
    add('data/table.bin', bytes((i * 7919) % 251 for i in range(70000)))
)",
                            {path, method, dir.HostPath("setup-program.exe")}),
                  0);
        return path;
    }
};

}  // namespace

TEST_F(SfxFixture, CheckPassesAGoodArchiveAndStoredOrDeflatedExtractByteExact) {
    for (std::string method : {"ZIP_STORED", "ZIP_DEFLATED"}) {
        std::string zip = PythonGood("good-" + method + ".zip", method);
        Outcome o = Sfx({"check", zip});
        EXPECT_EQ(o.Code, 0) << method << "\n" << o.Out << o.Err;
        EXPECT_NE(o.Out.find("4 entries, no problems"), std::string::npos) << o.Out;

        std::string dest = dir.HostPath("out-" + method);
        o = Sfx({"extract", zip, dest});
        EXPECT_EQ(o.Code, 0) << o.Out << o.Err;
        EXPECT_NE(o.Out.find("extracted 3 files and 1 folder"), std::string::npos) << o.Out;
        EXPECT_EQ(ListFiles(dest), (std::vector<std::string>{"Setup.exe", "data/table.bin", "docs/readme.txt"}));
        std::string readme;
        for (int i = 0; i < 700; i++) readme += "read me ";
        EXPECT_EQ(ReadBytes(dest + "/docs/readme.txt"), Bytes(readme.begin(), readme.end()));

        o = Sfx({"cat", zip, "docs/readme.txt"});
        EXPECT_EQ(o.Code, 0) << o.Err;
        EXPECT_EQ(o.Out, readme);
        o = Sfx({"cat", zip, "data\\table.bin"});
        EXPECT_EQ(Bytes(o.Out.begin(), o.Out.end()), ReadBytes(dest + "/data/table.bin"));
    }
}

TEST_F(SfxFixture, CheckReportsEveryReasonTheLauncherWouldSkipOrFailAnEntry) {
    // bzip2 from Python's zipfile; the rest crafted.
    std::string bz = dir.HostPath("bz.zip");
    ASSERT_EQ(RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    z.writestr('packed.bz2', b'bzip2 data ' * 100, compress_type=zipfile.ZIP_BZIP2)
)",
                        {bz}),
              0);
    ZipEntrySpec bzip2;
    bzip2.Name = "data/packed.txt";
    {
        // The bzip2 entry's data, copied into the crafted archive.
        Bytes raw = ReadBytes(bz);
        uint16_t n = static_cast<uint16_t>(raw[26] | raw[27] << 8), m = static_cast<uint16_t>(raw[28] | raw[29] << 8);
        uint32_t size = raw[18] | raw[19] << 8 | raw[20] << 16 | static_cast<uint32_t>(raw[21]) << 24;
        bzip2.Data.assign(raw.begin() + 30 + n + m, raw.begin() + 30 + n + m + size);
        bzip2.Method = 12;
        bzip2.UncompressedSize = 1100;
        bzip2.CrcFromData = false;
    }
    ZipEntrySpec encrypted = Stored("secret.txt", "not really encrypted");
    encrypted.Flags = 1;
    ZipEntrySpec utf8 = Stored("caf\xC3\xA9.txt", "cafe");
    utf8.Flags = 0x800;
    std::string zip = Write("bad.zip", {bzip2, Stored("../x", "escape"), encrypted, Stored("README.txt", "a"),
                                        Stored("readme.TXT", "b"), Stored("README.txt", "c"), utf8,
                                        Stored("C:evil.txt", "drive"), Stored("aux.txt", "device"),
                                        Stored("what?.txt", "question")});
    Outcome o = Sfx({"check", zip});
    EXPECT_EQ(o.Code, 1);
    const std::string& r = o.Out;
    EXPECT_EQ(CountLines(r, "\"data\\packed.txt\": bzip2 (12) is not a method the launcher decodes"), 1u) << r;
    EXPECT_EQ(CountLines(r, "\"..\\x\": name is absolute or leaves the destination folder; the launcher skips it"), 1u);
    EXPECT_EQ(CountLines(r, "\"secret.txt\": encrypted; the launcher cannot decrypt it"), 1u);
    EXPECT_EQ(CountLines(r, "\"readme.TXT\": is the same file on Windows as \"README.txt\""), 1u);
    EXPECT_EQ(CountLines(r, "\"README.txt\": appears more than once"), 1u);
    EXPECT_EQ(CountLines(r, "\"caf\xC3\xA9.txt\": name has bytes above 127"), 1u);
    EXPECT_EQ(CountLines(r, "flag 11"), 1u);
    EXPECT_EQ(CountLines(r, "\"C:evil.txt\": name holds \":\""), 1u);
    EXPECT_EQ(CountLines(r, "\"aux.txt\": \"aux.txt\" names a Windows device"), 1u);
    EXPECT_EQ(CountLines(r, "\"what?.txt\": name holds '?'"), 1u);
    EXPECT_EQ(CountLines(r, "no \"Setup.exe\" at the top level"), 1u);
    // Every line names the archive; the last one sums up, warnings apart.
    EXPECT_EQ(CountLines(r, zip + ": "), CountLines(r, "")) << r;
    EXPECT_NE(r.find("10 entries, 10 problems, 1 warning: the launcher would not install everything"),
              std::string::npos)
        << r;
    // The problems above predict the failures; the test extraction adds no
    // second line for them.
    EXPECT_EQ(CountLines(r, "fails the test extraction"), 0u);
}

TEST_F(SfxFixture, CheckFindsDamageOnlyTheEngineSeesAndHeaderTraps) {
    ZipEntrySpec badCrc = BadCrc("Setup.exe", "program");
    ZipEntrySpec shrunk = Stored("old.txt", "xxxx");
    shrunk.Method = 1;
    shrunk.DataDescriptor = true;
    shrunk.UncompressedSize = 9;
    ZipEntrySpec storedDescriptor = Stored("late.txt", "sizes come later");
    storedDescriptor.DataDescriptor = true;
    std::string zip = Write("traps.zip", {badCrc, shrunk, storedDescriptor, Stored("ok.txt", "fine")});
    Outcome o = Sfx({"check", zip});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(CountLines(o.Out, "\"Setup.exe\": fails the test extraction: checksum mismatch (1)"), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "\"Setup.exe\" would not be extracted, so the launcher would start nothing"), 1u);
    EXPECT_EQ(CountLines(o.Out, "\"old.txt\": shrunk entry whose sizes follow its data"), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "\"late.txt\": stored entry whose sizes are only in its data descriptor"), 1u);
    EXPECT_EQ(CountLines(o.Out, "\"ok.txt\": "), 0u) << o.Out;

    // A local header that says something else than the directory.
    Bytes b = BuildZip({Stored("Setup.exe", "program")}).Bytes_;
    b[8] = 9;  // the local header's method
    WriteBytes(dir.HostPath("mismatch.zip"), b);
    o = Sfx({"check", dir.HostPath("mismatch.zip")});
    EXPECT_EQ(CountLines(o.Out, "the local header (deflate64 (9)) disagrees with the directory (stored (0))"), 1u)
        << o.Out;
    EXPECT_EQ(CountLines(o.Out, "deflate64 (9) is not a method the launcher decodes"), 1u);
}

TEST_F(SfxFixture, CheckJudgesNamesAgainstWindowsFoldersAndPathLengths) {
    std::string longName = std::string(150, 'n') + ".txt";
    std::string zip = Write("names.zip", {Stored("Setup.exe", "p"), Stored(longName, "long"), Stored("a/b.txt", "b"),
                                          Stored("A", "file where a folder is needed"), Stored("tools/Setup.exe", "n"),
                                          Stored("trail./x.txt", "trailing dot"), Stored("trail/X.TXT", "same")});
    Outcome o = Sfx({"check", zip});
    EXPECT_EQ(CountLines(o.Out, longName + "\": "), 0u) << "154 + 64 characters fit:\n" << o.Out;
    EXPECT_EQ(CountLines(o.Out, "\"A\": is a file, but other entries need a folder of this name"), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "\"trail\\X.TXT\": is the same file on Windows as \"trail.\\x.txt\""), 1u) << o.Out;
    o = Sfx({"check", "--temp-length", "120", zip});
    EXPECT_EQ(CountLines(o.Out, "path too long: 274 characters with a temporary folder of 120 characters"), 1u)
        << o.Out;
    o = Sfx({"check", "--temp-length=20", zip});
    EXPECT_EQ(CountLines(o.Out, "path too long"), 0u) << o.Out;

    // Setup.exe only inside a folder does not count.
    zip = Write("nested.zip", {Stored("tools/Setup.exe", "n")});
    o = Sfx({"check", zip});
    EXPECT_EQ(CountLines(o.Out, "no \"Setup.exe\" at the top level; the launcher would start nothing (\"tools\\Setup.exe\" "
                                "is in a folder)"),
              1u)
        << o.Out;
    // Case does not matter to the shell.
    zip = Write("lower.zip", {Program("setup.EXE")});
    EXPECT_EQ(Sfx({"check", zip}).Code, 0);
}

TEST_F(SfxFixture, CheckOnFilesTheLauncherWouldNotWalk) {
    WriteText(dir.HostPath("plain.txt"), "just some text, not a zip archive at all");
    Outcome o = Sfx({"check", dir.HostPath("plain.txt")});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(CountLines(o.Out, "not recognised as a ZIP archive"), 1u) << o.Out;

    // Only an end record: recognition fails already (no local header).
    Bytes empty = BuildZip({}).Bytes_;
    WriteBytes(dir.HostPath("empty.zip"), empty);
    EXPECT_EQ(CountLines(Sfx({"check", dir.HostPath("empty.zip")}).Out, "not recognised"), 1u);

    // A directory that breaks after the first record: the walk stops early.
    ZipLayout z = BuildZip({Stored("Setup.exe", "p"), Stored("b.txt", "b"), Stored("c.txt", "c")});
    size_t second = z.DirectoryOffset + 46 + 9;
    z.Bytes_[second] = 'X';  // the second record's signature
    WriteBytes(dir.HostPath("cut.zip"), z.Bytes_);
    o = Sfx({"check", dir.HostPath("cut.zip")});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(CountLines(o.Out, "the directory walk stops after 1 of 3 entries"), 1u) << o.Out;
    o = Sfx({"list", dir.HostPath("cut.zip")});
    EXPECT_EQ(o.Code, 1);
    EXPECT_NE(o.Err.find("stops after 1 of 3"), std::string::npos);

    // A file without dot in its path is judged as the launcher's "pc.dat"
    // would be: by its content.
    std::string good = Write("nodot", {Program("Setup.exe")});
    EXPECT_EQ(Sfx({"check", good}).Code, 0) << Sfx({"check", good}).Out;

    // 2 GiB and more: the directory lies beyond the signed 32-bit range (a
    // sparse file, so it costs no disk space).
    {
        ZipLayout z = BuildZip({Stored("Setup.exe", "p")});
        uint64_t gap = (1ull << 31) + 100;
        Bytes head(z.Bytes_.begin(), z.Bytes_.begin() + z.DirectoryOffset);
        Bytes tail(z.Bytes_.begin() + z.DirectoryOffset, z.Bytes_.end());
        PutLe32(tail, tail.size() - 6, static_cast<uint32_t>(gap));  // the end record's directory offset
        WriteBytes(dir.HostPath("huge.zip"), head);
        FILE* f = std::fopen(dir.HostPath("huge.zip").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseeko(f, static_cast<off_t>(gap), SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), f), tail.size());
        std::fclose(f);
        o = Sfx({"check", dir.HostPath("huge.zip")});
        EXPECT_EQ(o.Code, 1);
        EXPECT_EQ(CountLines(o.Out, "the archive is 2 GiB or larger"), 1u) << o.Out;
    }

    // Behind an MS-DOS image of the size its header gives: recognised.
    Bytes mz(512, 0);
    mz[0] = 'M';
    mz[1] = 'Z';
    mz[2] = 0;  // bytes in the last page: 0 = whole pages
    mz[4] = 1;  // one page
    ZipLayout behind = BuildZip({Program("Setup.exe")}, mz);
    WriteBytes(dir.HostPath("sfx.exe"), behind.Bytes_);
    EXPECT_EQ(Sfx({"check", dir.HostPath("sfx.exe")}).Code, 0);
}

TEST_F(SfxFixture, ListAndTestShowEveryEntryInDirectoryOrder) {
    ZipEntrySpec broken = BadCrc("broken.txt", "data");
    ZipEntrySpec bz = Stored("z.bz2", "xx");
    bz.Method = 12;
    ZipEntrySpec enc = Stored("e.txt", "xx");
    enc.Flags = 1 | 8;
    enc.DataDescriptor = true;
    enc.LocalSizesZero = false;
    std::string zip = Write("l.zip", {Stored("Setup.exe", "p"), Folder("dir/"), broken, bz, enc});
    Outcome o = Sfx({"list", zip});
    EXPECT_EQ(o.Code, 0) << o.Err;
    std::istringstream lines(o.Out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 7u) << o.Out;
    EXPECT_NE(rows[0].find("Method"), std::string::npos);
    EXPECT_NE(rows[1].find("stored (0)"), std::string::npos);
    EXPECT_NE(rows[1].find("2024-05-01 13:25:26"), std::string::npos) << rows[1];
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(Bytes{'p'}));
    EXPECT_NE(rows[1].find(crc), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find("\"dir\\\""), std::string::npos) << rows[2];
    EXPECT_NE(rows[4].find("bzip2 (12)"), std::string::npos);
    EXPECT_NE(rows[5].find(" ED- "), std::string::npos) << rows[5];
    EXPECT_NE(rows[6].find("5 entries"), std::string::npos);

    o = Sfx({"test", zip});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(CountLines(o.Out, " 0 ok                 \"Setup.exe\""), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, " 1 checksum mismatch  \"broken.txt\""), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, " 6 unsupported        \"z.bz2\""), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, " 7 encrypted          \"e.txt\""), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "5 entries tested, 3 failed"), 1u) << o.Out;

    zip = Write("fine.zip", {Stored("Setup.exe", "p"), Folder("dir/")});
    EXPECT_EQ(Sfx({"test", zip}).Code, 0);
}

TEST_F(SfxFixture, ExtractDoesWhatTheLauncherDoesAndReportsTheRest) {
    ZipEntrySpec broken = BadCrc("broken.txt", "data");
    std::string zip = Write("x.zip", {Stored("Setup.exe", "p"), Folder("empty/"), Stored("sub/deep/f.txt", "deep"),
                                      Stored("../up.txt", "up"), broken});
    std::string dest = dir.HostPath("dest/inner");  // missing parents are made
    Outcome o = Sfx({"extract", zip, dest});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(ListFiles(dest), (std::vector<std::string>{"Setup.exe", "sub/deep/f.txt"}));
    EXPECT_TRUE(IsDir(dest + "/empty"));
    EXPECT_FALSE(Exists(dir.HostPath("dest/up.txt")));
    EXPECT_EQ(CountLines(o.Out, "\"../up.txt\""), 0u);
    EXPECT_EQ(CountLines(o.Out, "\"..\\up.txt\": skipped"), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "\"broken.txt\": failed: checksum mismatch (1)"), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "extracted 2 files and 1 folder into " + dest + "; 2 not extracted"), 1u) << o.Out;

    // A file that is not an archive: the folder is still made, as by the
    // launcher, and nothing else.
    WriteText(dir.HostPath("plain.txt"), "plain text");
    o = Sfx({"extract", dir.HostPath("plain.txt"), dir.HostPath("d2")});
    EXPECT_EQ(o.Code, 1);
    EXPECT_TRUE(IsDir(dir.HostPath("d2")));
    EXPECT_NE(o.Err.find("not recognised"), std::string::npos);
}

TEST_F(SfxFixture, TheProgressBarFollowsTheEnginesMessages) {
    ZipEntrySpec big;
    big.Name = "big.bin";
    big.Data = PatternBytes(300000, 7);
    std::string zip = Write("p.zip", {Stored("Setup.exe", "p"), big});
    std::ostringstream out, err;
    EXPECT_EQ(sfx::RunExtract(zip, dir.HostPath("d"), true, out, err), 0);
    std::string bar = err.str();
    // Stored data moves in 32 KiB chunks, so the bar passes several steps of
    // the big entry before it reaches 100 %, and is cleared at the end.
    EXPECT_NE(bar.find("[------------------------------]   0% Setup.exe"), std::string::npos) << bar;
    size_t steps = 0;
    for (size_t at = bar.find("% big.bin"); at != std::string::npos; at = bar.find("% big.bin", at + 1)) steps++;
    EXPECT_GE(steps, 8u) << bar;
    EXPECT_NE(bar.find("[##############################] 100% big.bin"), std::string::npos) << bar;
    EXPECT_EQ(bar.back(), '\r');
    EXPECT_EQ(ReadBytes(dir.HostPath("d/big.bin")), big.Data);

    std::ostringstream quietOut, quietErr;
    EXPECT_EQ(sfx::RunExtract(zip, dir.HostPath("q"), false, quietOut, quietErr), 0);
    EXPECT_EQ(quietErr.str(), "") << "no bar unless asked for";
    EXPECT_EQ(Sfx({"extract", "--progress", zip, dir.HostPath("p")}).Err.find("100% big.bin") != std::string::npos,
              true);
}

TEST(ProgressLine, FitsTheTerminalWithoutTouchingItsLastColumn) {
    std::string longName(300, 'n');
    longName += "/readme.txt";
    std::string wide;  // 日本語 over and over: three bytes, two columns each
    for (int i = 0; i < 40; i++) wide += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
    for (int columns : {1, 5, 12, 19, 20, 40, 79, 80, 120, 200}) {
        for (const std::string& name : {std::string(), std::string("Setup.exe"), longName, wide}) {
            std::string line = sfx::ProgressLine(42, name, columns);
            EXPECT_LE(line.size() + 1, static_cast<size_t>(std::max(columns, 1))) << columns << ": " << line;
            size_t cut = line.find("...");
            if (cut != std::string::npos && cut + 3 < line.size())
                EXPECT_NE(static_cast<unsigned char>(line[cut + 3]) & 0xC0, 0x80) << "cut inside a character: " << line;
        }
    }
    EXPECT_EQ(sfx::ProgressLine(42, longName, 40), "[######---------]  42% ...n/readme.txt");
    EXPECT_EQ(sfx::ProgressLine(100, "Setup.exe", 120),
              "[##############################] 100% Setup.exe" + std::string(71, ' '));
    EXPECT_EQ(sfx::ProgressLine(42, "Setup.exe", 80).substr(0, 47), "[############------------------]  42% Setup.exe")
        << "80 columns: the bar of old";
}

TEST_F(SfxFixture, CatWritesOneEntryOrSaysWhyNot) {
    ZipEntrySpec broken = BadCrc("broken.txt", "data");
    ZipEntrySpec lying = Stored("lying.txt", "longer than the directory says");
    std::string zip = Write("c.zip", {Stored("a.txt", "first"), Stored("a.txt", "second"), Folder("dir/"), broken});
    Outcome o = Sfx({"cat", zip, "a.txt"});
    EXPECT_EQ(o.Code, 0);
    EXPECT_EQ(o.Out, "second") << "the later of two equal names is what the launcher leaves";
    o = Sfx({"cat", zip, "nothing"});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Err, "sfx: " + zip + ": no entry named \"nothing\"\n");
    o = Sfx({"cat", zip, "dir/"});
    EXPECT_EQ(o.Code, 1);
    EXPECT_NE(o.Err.find("is a folder"), std::string::npos);
    o = Sfx({"cat", zip, "broken.txt"});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Out, "") << "nothing of a damaged entry reaches the output";
    EXPECT_NE(o.Err.find("checksum mismatch (1)"), std::string::npos);

    // The directory claims 5 bytes; the local header (which the engine
    // follows) holds more: the memory block is full.
    ZipLayout z = BuildZip({lying});
    PutLe32(z.Bytes_, z.DirectoryOffset + 24, 5);
    WriteBytes(dir.HostPath("lying.zip"), z.Bytes_);
    o = Sfx({"cat", dir.HostPath("lying.zip"), "lying.txt"});
    EXPECT_EQ(o.Code, 1);
    EXPECT_NE(o.Err.find("output failed (2), it is larger than the directory says"), std::string::npos) << o.Err;
}

TEST_F(SfxFixture, EveryReadingCommandTakesALauncherThroughItsArchive) {
    ZipEntrySpec broken = BadCrc("broken.txt", "data");
    Bytes zip = BuildZip({Stored("Setup.exe", "MZ program"), Folder("docs/"), Stored("docs/a.txt", "alpha"), broken})
                    .Bytes_;
    std::string launcher = dir.HostPath("MyApp.exe");
    WriteBytes(launcher, sfx::EmbedZipResource(MakeImage(false, {{".text", 0x600, 0x600}}), zip));
    // The scratch copies go below TMPDIR: it must be empty again after each command.
    std::string temp = dir.HostPath("tmp");
    ASSERT_EQ(RunShell("mkdir -p '" + temp + "'"), 0);
    const char* oldTemp = std::getenv("TMPDIR");
    std::string savedTemp = oldTemp != nullptr ? oldTemp : "";
    setenv("TMPDIR", temp.c_str(), 1);
    const std::string shown = launcher + " (its archive)";

    Outcome o = Sfx({"check", launcher});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(CountLines(o.Out, shown + ": \"broken.txt\": fails the test extraction: checksum mismatch (1)"), 1u) << o.Out;
    EXPECT_EQ(CountLines(o.Out, "pc.dat"), 0u) << "never the scratch name:\n" << o.Out;
    EXPECT_EQ(ListFiles(temp), std::vector<std::string>{});
    o = Sfx({"list", launcher});
    EXPECT_EQ(o.Code, 0) << o.Err;
    EXPECT_EQ(CountLines(o.Out, "\"docs\\a.txt\""), 1u) << o.Out;
    o = Sfx({"test", launcher});
    EXPECT_EQ(CountLines(o.Out, shown + ": 4 entries tested, 1 failed"), 1u) << o.Out;
    o = Sfx({"extract", launcher, dir.HostPath("out")});
    EXPECT_EQ(ListFiles(dir.HostPath("out")), (std::vector<std::string>{"Setup.exe", "docs/a.txt"}));
    EXPECT_EQ(CountLines(o.Out, shown + ": \"broken.txt\": failed: checksum mismatch (1)"), 1u) << o.Out;
    o = Sfx({"cat", launcher, "docs/a.txt"});
    EXPECT_EQ(o.Out, "alpha");
    o = Sfx({"cat", launcher, "missing"});
    EXPECT_EQ(o.Err, "sfx: " + shown + ": no entry named \"missing\"\n");
    EXPECT_EQ(ListFiles(temp), std::vector<std::string>{}) << "no scratch copy stays behind";
    EXPECT_TRUE(IsDir(temp));

    // unpack: the resource byte for byte, never over the launcher itself.
    o = Sfx({"unpack", launcher, "-o", dir.HostPath("back.zip")});
    EXPECT_EQ(o.Code, 0) << o.Err;
    EXPECT_EQ(ReadBytes(dir.HostPath("back.zip")), zip);
    Bytes before = ReadBytes(launcher);
    o = Sfx({"unpack", launcher, "-o", launcher});
    EXPECT_EQ(o.Code, 1);
    EXPECT_NE(o.Err.find("is the launcher itself"), std::string::npos) << o.Err;
    EXPECT_EQ(ReadBytes(launcher), before);
    o = Sfx({"unpack", dir.HostPath("back.zip"), "-o", dir.HostPath("again.zip")});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Err, "sfx: " + dir.HostPath("back.zip") + ": not a launcher: no resource ZIP/1 in it\n");
    EXPECT_FALSE(Exists(dir.HostPath("again.zip")));
    EXPECT_EQ(Sfx({"unpack", launcher}).Code, 2) << "no -o";
    if (oldTemp != nullptr)
        setenv("TMPDIR", savedTemp.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

TEST_F(SfxFixture, CommandLineErrorsAndHelp) {
    Outcome o = Sfx({});
    EXPECT_EQ(o.Code, 2);
    o = Sfx({"--help"});
    EXPECT_EQ(o.Code, 0);
    for (const char* command : {"sfx check", "sfx list", "sfx test", "sfx extract", "sfx cat", "sfx pack", "sfx unpack"})
        EXPECT_NE(o.Out.find(command), std::string::npos) << command;
    EXPECT_EQ(Sfx({"help"}).Out, o.Out);
    // Every command's own help: its synopsis and only its options.
    for (const char* command : {"check", "list", "test", "extract", "cat", "pack", "unpack"}) {
        Outcome help = Sfx({command, "--help"});
        EXPECT_EQ(help.Code, 0) << command;
        EXPECT_EQ(help.Out.find(std::string("Usage: sfx ") + command + " "), 0u) << help.Out;
        EXPECT_EQ(Sfx({"help", command}).Out, help.Out) << command;
    }
    o = Sfx({"check", "-h", "--no-such-option"});
    EXPECT_EQ(o.Code, 0);
    EXPECT_NE(o.Out.find("--codepage N"), std::string::npos) << o.Out;
    EXPECT_EQ(o.Out.find("--force"), std::string::npos) << o.Out;
    EXPECT_EQ(Sfx({"check", "--", "--help"}).Code, 1) << "after --, a file name";
    EXPECT_EQ(Sfx({"help", "frobnicate"}).Code, 2);
    o = Sfx({"--version"});
    EXPECT_EQ(o.Code, 0);
    EXPECT_EQ(o.Out, "sfx " SFX_VERSION "\n");
    EXPECT_EQ(Sfx({"frobnicate"}).Code, 2);
    EXPECT_EQ(Sfx({"check"}).Code, 2);
    EXPECT_EQ(Sfx({"check", "a", "b"}).Code, 2);
    EXPECT_EQ(Sfx({"list", "--force", "a.zip"}).Code, 2);
    EXPECT_EQ(Sfx({"check", "--temp-length", "lots", "a.zip"}).Code, 2);
    EXPECT_EQ(Sfx({"check", "--temp-length"}).Code, 2);
    EXPECT_EQ(Sfx({"pack", "stub.exe", "a.zip"}).Code, 2) << "no -o";
    o = Sfx({"extract", "a.zip"});
    EXPECT_EQ(o.Code, 2);
    EXPECT_EQ(o.Err, "sfx: extract takes ARCHIVE DESTDIR\nTry 'sfx --help'.\n");

    // Files that are not there or not files: exit 1, one line naming them.
    o = Sfx({"check", dir.HostPath("missing.zip")});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Err, "sfx: " + dir.HostPath("missing.zip") + ": no such file\n");
    o = Sfx({"list", dir.Host});
    EXPECT_EQ(o.Err, "sfx: " + dir.Host + ": is a folder, not an archive\n");
    // "--" ends the options.
    o = Sfx({"check", "--", "-odd.zip"});
    EXPECT_EQ(o.Code, 1);
    EXPECT_EQ(o.Err, "sfx: -odd.zip: no such file\n");
}

TEST_F(SfxFixture, TheBinaryGivesTheSameExitCodes) {
    std::string good = Write("good.zip", {Program("Setup.exe")});
    std::string bad = Write("bad.zip", {Stored("readme.txt", "no setup")});
    EXPECT_EQ(SfxBinary("--help").Code, 0);
    EXPECT_NE(SfxBinary("--help").Out.find("Usage: sfx"), std::string::npos);
    EXPECT_EQ(SfxBinary("").Code, 2);
    EXPECT_EQ(SfxBinary("check '" + good + "'").Code, 0);
    EXPECT_EQ(SfxBinary("check '" + bad + "'").Code, 1);
    Outcome cat = SfxBinary("cat '" + good + "' Setup.exe");
    EXPECT_EQ(cat.Code, 0);
    EXPECT_EQ(Bytes(cat.Out.begin(), cat.Out.end()), MakeProgram());
}

// Archives as third-party writers make them (Python's zipfile, patched where
// a writer of another kind would differ), each with what the launcher does
// with it and the line that must say so.
TEST_F(SfxFixture, CheckAndTestSayPreciselyWhatTheLauncherDoes) {
    WriteBytes(dir.HostPath("program.exe"), MakeProgram());
    ASSERT_EQ(RunPython(R"(
import io, struct, sys, zipfile, zlib
out = sys.argv[1]
def good(extra=()):
    b = io.BytesIO()
    with zipfile.ZipFile(b, 'w') as z:
        z.writestr('Setup.exe', b'MZ program')
        for name, data in extra:
            z.writestr(name, data, compress_type=zipfile.ZIP_DEFLATED)
    return bytearray(b.getvalue())
def eocd(d):
    return d.rindex(b'PK\x05\x06')
def save(name, d):
    open(out + '/' + name, 'wb').write(bytes(d))

# A spanning marker, and zero padding, before the first local header.
d = good(); save('spanned.zip', b'PK\x07\x08' + d)
save('padded.zip', b'\0' * 16 + d)

# ZIP64: the end record defers the directory's offset to a ZIP64 end record.
d = good(); e = eocd(d)
count, size, offset = struct.unpack('<10xHII', d[e:e + 20])
z64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, count, count, size, offset)
loc = struct.pack('<IIQI', 0x07064b50, 0, e, 1)
save('zip64-end.zip', d[:e] + z64 + loc + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, count, count, size, 0xFFFFFFFF, 0))

# ZIP64 sizes in an entry (local sizes 0xFFFFFFFF and a ZIP64 extra).
b = io.BytesIO()
with zipfile.ZipFile(b, 'w') as z:
    z.writestr('Setup.exe', b'MZ program')
    with z.open('big.bin', 'w', force_zip64=True) as f: f.write(b'data' * 10)
save('zip64-entry.zip', b.getvalue())

# Locator bytes inside a name, directly in front of the end record.
b = io.BytesIO()
with zipfile.ZipFile(b, 'w') as z:
    z.writestr('Setup.exe', b'MZ program')
    z.writestr('PK\x06\x07' + 'x' * 16, b'no zip64 here')
d = bytearray(b.getvalue()); e = eocd(d)
d[e - 12:e - 4] = bytes(8)  # the locator's offset: 0, a local header and no ZIP64 end record
save('fake-locator.zip', d)

# An entry that decodes to more than both headers say.
d = good([('grows.bin', b'\0' * 262150)])
lh = d.rindex(b'PK\x03\x04', 0, d.index(b'grows.bin') + 1)
struct.pack_into('<I', d, lh + 22, 10)
ch = d.rindex(b'PK\x01\x02', 0, d.rindex(b'grows.bin') + 1)
struct.pack_into('<I', d, ch + 24, 10)
save('grows.zip', d)

# A local header whose CRC and compressed size disagree with the directory.
d = good([('a.txt', b'alpha ' * 50)])
lh = d.rindex(b'PK\x03\x04', 0, d.index(b'a.txt') + 1)
struct.pack_into('<I', d, lh + 14, 0x12345678)
ch = d.rindex(b'PK\x01\x02', 0, d.rindex(b'a.txt') + 1)
(csize,) = struct.unpack_from('<I', d, ch + 20)
struct.pack_into('<I', d, ch + 20, csize + 1)
save('local-differs.zip', d)

# A data descriptor without its signature (written for a stream, then the
# four signature bytes dropped and the offsets behind them moved).
class Stream(io.RawIOBase):
    def __init__(self): self.b = bytearray()
    def writable(self): return True
    def write(self, x): self.b += x; return len(x)
s = Stream()
with zipfile.ZipFile(s, 'w', compression=zipfile.ZIP_DEFLATED) as z:
    z.writestr('Setup.exe', b'MZ program')
    with z.open('late.txt', 'w') as f: f.write(b'written late ' * 40)
d = s.b
dd = d.rindex(b'PK\x07\x08', 0, d.index(b'PK\x01\x02'))  # late.txt's, the last before the directory
del d[dd:dd + 4]
e = eocd(d)
struct.pack_into('<I', d, e + 16, struct.unpack_from('<I', d, e + 16)[0] - 4)
save('no-descriptor-signature.zip', d)

# An end record inside the archive comment.
d = good(); e = eocd(d)
fake = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 1, 1, 46, 0, 0)
comment = b'see ' + fake + b' here'
d[e + 20:e + 22] = struct.pack('<H', len(comment))
save('comment-end.zip', d + comment)

# A directory offset outside the file.
d = good(); e = eocd(d)
struct.pack_into('<I', d, e + 16, len(d) + 1000)
save('far-offset.zip', d)

# Files beside Setup.exe in the shared temporary folder, and one inside the
# product's folder (no warning); one more Setup.exe in it does not count.
program = open(sys.argv[2], 'rb').read()
def archive(name, entries):
    b = io.BytesIO()
    with zipfile.ZipFile(b, 'w') as z:
        z.writestr('Setup.exe', program)
        for entry, data in entries:
            z.writestr(entry, data)
    save(name, b.getvalue())
    return bytearray(b.getvalue())
archive('layout.zip', [('setup.ini', b'[Startup]'), ('Data1.cab', b'cab'), ('helper.dll', b'MZ'),
                       ('product.msi', b'msi'), ('readme.txt', b'r'), ('MyApp/readme.txt', b'r'),
                       ('MyApp/Setup.exe', b'x')])
archive('pcdat.zip', [('PC.DAT', b'x')])

# Two directory records that point at the same local header: its data is
# written twice.
d = archive('overlap.zip', [('one.bin', b'\0' * 100000)])
e = eocd(d)
record = d.rindex(b'PK\x01\x02', 0, e)
twin = bytearray(d[record:e]); twin[46:53] = b'two.bin'
d[e:e] = twin; e += len(twin)
count, size = struct.unpack_from('<HI', d, e + 10)
struct.pack_into('<HHI', d, e + 8, count + 1, count + 1, size + len(twin))
save('overlap.zip', d)

# The local header of b.txt begins at the last byte of a.txt's data: one
# byte of overlap.
d = archive('overlap-by-one.zip', [('a.txt', b'ends in P'), ('b.txt', b'bee')])
lb = d.index(b'PK\x03\x04', d.index(b'ends in P'))
del d[lb]
cb = d.rindex(b'PK\x01\x02', 0, d.rindex(b'b.txt') + 1)
struct.pack_into('<I', d, cb + 42, lb - 1)
e = eocd(d)
struct.pack_into('<I', d, e + 16, struct.unpack_from('<I', d, e + 16)[0] - 1)
save('overlap-by-one.zip', d)
)", {dir.Host, dir.HostPath("program.exe")}), 0);

    ZipEntrySpec nul = Stored(std::string("\0hidden.txt", 11), "never written");
    Write("nul-name.zip", {Stored("Setup.exe", "p"), nul});

    struct Row {
        const char* File;
        const char* Command;
        int Code;
        const char* Line;  // on standard output or error
    };
    const Row rows[] = {
        {"nul-name.zip", "check", 1, "\"\\x00hidden.txt\": the stored name begins with a NUL byte; the launcher cuts it "
                                     "to an empty name and never writes this entry"},
        {"nul-name.zip", "extract", 1, "\"\\x00hidden.txt\": skipped: the stored name begins with a NUL byte"},
        {"spanned.zip", "test", 1, "not recognised as a ZIP archive"},
        {"spanned.zip", "list", 1, "not recognised as a ZIP archive"},
        {"padded.zip", "test", 1, "not recognised as a ZIP archive"},
        {"zip64-end.zip", "check", 1, "ZIP64 archive: the end record leaves the directory's offset to a ZIP64 record"},
        {"zip64-end.zip", "test", 1, "ZIP64 archive"},
        {"zip64-entry.zip", "check", 1, "\"big.bin\": ZIP64 entry: its sizes stand in a ZIP64 extra field"},
        {"zip64-entry.zip", "test", 1, "(ZIP64 entry"},
        {"fake-locator.zip", "list", 0, "2 entries"},
        {"grows.zip", "check", 1, "\"grows.bin\": decodes to 262150 bytes, but the directory says 10 and the local "
                                  "header 10; the launcher writes all 262150 bytes"},
        {"grows.zip", "test", 1, "decodes to 262150 bytes"},
        {"local-differs.zip", "check", 1, "\"a.txt\": the local header's CRC-32 (12345678) differs from the "
                                          "directory's"},
        {"local-differs.zip", "check", 1, "\"a.txt\": the local header's compressed size"},
        {"no-descriptor-signature.zip", "check", 1, "\"late.txt\": fails the test extraction: checksum mismatch (1): "
                                                    "its data descriptor has no signature (50 4B 07 08)"},
        {"no-descriptor-signature.zip", "test", 1, "its data descriptor has no signature"},
        {"comment-end.zip", "check", 1, "the archive comment (behind the end record at offset"},
        {"far-offset.zip", "check", 1, "the end record's directory offset"},
        {"far-offset.zip", "list", 1, "lies outside the file"},
        // Warnings: counted apart, exit code unchanged.
        {"layout.zip", "check", 0, "layout.zip: 8 entries, no problems, 5 warnings: the launcher extracts every"},
        {"layout.zip", "check", 0, "\"setup.ini\": warning: other installers drop files of this name"},
        {"layout.zip", "check", 0, "\"Data1.cab\": warning: other installers drop files of this name"},
        {"layout.zip", "check", 0, "\"helper.dll\": warning: a DLL at the top level of the temporary folder can be "
                                   "loaded by any program started from there"},
        {"layout.zip", "check", 0, "\"product.msi\": warning: an installer package at the top level"},
        {"layout.zip", "check", 0, "warning: \"readme.txt\" lies at the top level of the temporary folder, among other "
                                   "installers' files: keep everything but Setup.exe in one folder named after the "
                                   "product"},
        {"pcdat.zip", "check", 1, "\"PC.DAT\": the launcher keeps its copy of the archive as \"pc.dat\""},
        {"overlap.zip", "check", 0, "warning: \"one.bin\" and \"two.bin\" overlap in the archive (their local "
                                    "headers and data lie in bytes "},
        {"overlap.zip", "check", 0, "once for each, 200000 bytes in all; no archiver writes that"},
        {"overlap-by-one.zip", "check", 0, "warning: \"a.txt\" and \"b.txt\" overlap in the archive"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {row.Command, dir.HostPath(row.File)};
        if (std::string(row.Command) == "extract") args.push_back(dir.HostPath(std::string("x-") + row.File));
        Outcome o = Sfx(args);
        EXPECT_EQ(o.Code, row.Code) << row.File << " " << row.Command << "\n" << o.Out << o.Err;
        EXPECT_EQ(CountLines(o.Out + o.Err, row.Line), 1u) << row.File << " " << row.Command << "\n" << o.Out << o.Err;
    }
    // The fake locator makes no ZIP64 archive.
    EXPECT_EQ(Sfx({"list", dir.HostPath("fake-locator.zip")}).Err, "");
}
