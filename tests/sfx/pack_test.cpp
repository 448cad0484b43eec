// `sfx pack`: the check before, the refusal, --force, folders, and the
// written launcher parsed back.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include <sstream>
#include <string>

#include "support/pe_test_image.h"
#include "support/test_util.h"
#include "sfx/host.h"
#include "sfx/pe_resources.h"
#include "sfx/sfx.h"

using namespace testutil;

namespace {

struct PackRun {
    int Code;
    std::string Out, Err;
};

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

PackRun Sfx(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int code = sfx::SfxMain(args, out, err);
    return {code, out.str(), err.str()};
}

ZipEntrySpec Stored(const std::string& name, const std::string& text) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = Bytes(text.begin(), text.end());
    return e;
}

ZipEntrySpec Program(const std::string& name, uint16_t machine = 0x14C) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = MakeProgram(machine);
    return e;
}

// A launcher as pack sees one: a Windows image with the launcher's marker
// resource (and here nothing else of the launcher but `tree`).
Bytes MakeStub(bool is64, bool marker = true, sfx::ResourceTree tree = {}) {
    std::string text = marker ? "ziplauncher" : "something else";
    tree[sfx::ResourceKey::Named("LAUNCHER")][sfx::ResourceKey::Number(1)][sfx::ResourceKey::Number(0)].Data =
        Bytes(text.begin(), text.end());
    return MakeImage(is64, {{".text", 0x600, 0x600},
                            {".data", 0x80, 0x80},
                            {".rsrc", 0, 0, [tree](uint32_t rva) { return sfx::BuildResourceSection(tree, rva); }}});
}

// ---- icon files ----

// One image of an icon: its directory entry's fields and its bytes.
struct IcoImage {
    uint8_t Width, Height;
    uint16_t Planes, BitCount;
    Bytes Data;
};

// A 32-bit icon bitmap of w x h pixels: the header (its height counts the
// colour and the mask bitmap), `colourRows` rows of colour bits, the mask.
Bytes IconBitmap(uint32_t w, uint32_t h, uint32_t colourRows) {
    Bytes b(40, 0);
    PutLe32(b, 0, 40);
    PutLe32(b, 4, w);
    PutLe32(b, 8, 2 * h);
    PutLe16(b, 12, 1);
    PutLe16(b, 14, 32);
    for (uint32_t i = 0; i < w * 4 * colourRows; i++) b.push_back(static_cast<uint8_t>(i * 7));
    b.resize(b.size() + (w + 31) / 32 * 4 * h, 0);
    return b;
}

// The start of a PNG file: signature and IHDR (RGBA, 8 bits), then filler.
Bytes PngStart(uint32_t w, uint32_t h) {
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t v : {w, h})
        for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
    for (uint8_t v : {8, 6, 0, 0, 0}) b.push_back(v);
    b.resize(b.size() + 40, 0x5A);
    return b;
}

// An .ico file: header, directory, the images one after the other.
Bytes IcoFile(const std::vector<IcoImage>& images, uint16_t type = 1) {
    Bytes b;
    AppendLe16(b, 0);
    AppendLe16(b, type);
    AppendLe16(b, static_cast<uint16_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (const IcoImage& image : images) {
        for (uint8_t v : {image.Width, image.Height, uint8_t(0), uint8_t(0)}) b.push_back(v);
        AppendLe16(b, image.Planes);
        AppendLe16(b, image.BitCount);
        AppendLe32(b, static_cast<uint32_t>(image.Data.size()));
        AppendLe32(b, offset);
        offset += static_cast<uint32_t>(image.Data.size());
    }
    for (const IcoImage& image : images) b.insert(b.end(), image.Data.begin(), image.Data.end());
    return b;
}

// The x86 windres of binutils, which decompiles an image's resources to a
// resource script; "" when it is not installed.
std::string WindresScript(const std::string& exe) {
    if (std::string(MINGW_I686_WINDRES).empty()) return "";
    std::string rc = exe + ".rc";
    if (RunShell(std::string(MINGW_I686_WINDRES) + " -i " + exe + " -O rc -o " + rc + " 2>/dev/null") != 0) return "";
    return Text(ReadBytes(rc));
}

struct PackFixture : ::testing::Test {
    ScratchDir dir;
    std::string stub;

    void SetUp() override {
        stub = dir.HostPath("stub.exe");
        WriteBytes(stub, MakeStub(false));
    }

    Bytes Payload(const std::string& exe) {
        auto found = LookUpResource(ReadBytes(exe), "ZIP", 0, 1);
        EXPECT_TRUE(found.has_value()) << exe;
        return found ? found->Data : Bytes();
    }
};

}  // namespace

TEST_F(PackFixture, AGoodArchiveIsPackedByteForByte) {
    Bytes zip = BuildZip({Program("Setup.exe"), Stored("data/a.txt", "a")}).Bytes_;
    WriteBytes(dir.HostPath("good.zip"), zip);
    std::string out = dir.HostPath("Installer.exe");
    PackRun r = Sfx({"pack", stub, dir.HostPath("good.zip"), "-o", out});
    EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_EQ(Payload(out), zip);
    EXPECT_EQ(OptionalField(ReadBytes(out), 64), PeChecksum(ReadBytes(out)));
    EXPECT_NE(r.Out.find("2 entries, no problems"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find(out + ": written, "), std::string::npos) << r.Out;
    EXPECT_EQ(ListFiles(dir.Host), (std::vector<std::string>{"Installer.exe", "good.zip", "stub.exe"}))
        << "no scratch files stay behind";

    // The packed launcher is a stub too: packing it again replaces the
    // archive (into another file: the stub itself is never overwritten).
    Bytes other = BuildZip({Program("Setup.exe", 0x8664)}).Bytes_;
    WriteBytes(dir.HostPath("other.zip"), other);
    r = Sfx({"pack", out, dir.HostPath("other.zip"), "-o", out});
    EXPECT_EQ(r.Code, 1) << r.Err;
    EXPECT_EQ(Payload(out), zip);
    r = Sfx({"pack", out, dir.HostPath("other.zip"), "-o", dir.HostPath("Installer2.exe")});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(Payload(dir.HostPath("Installer2.exe")), other);
}

TEST_F(PackFixture, AnArchiveTheLauncherWouldNotFullyInstallIsRefusedUnlessForced) {
    ZipEntrySpec encrypted = Stored("Setup.exe", "program");
    encrypted.Flags = 1;
    Bytes zip = BuildZip({encrypted, Stored("../evil.txt", "x")}).Bytes_;
    WriteBytes(dir.HostPath("bad.zip"), zip);
    std::string out = dir.HostPath("out.exe");
    PackRun r = Sfx({"pack", stub, dir.HostPath("bad.zip"), "-o", out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_FALSE(Exists(out));
    EXPECT_NE(r.Out.find("\"Setup.exe\": encrypted"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\"..\\evil.txt\": name is absolute or leaves"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Err, "sfx: " + out + ": not written: the launcher would not install everything from " +
                         dir.HostPath("bad.zip") + " (--force writes it anyway)\n");

    r = Sfx({"pack", "--force", stub, dir.HostPath("bad.zip"), "-o", out});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(Payload(out), zip);
}

TEST_F(PackFixture, AFolderIsZippedCheckedAndPacked) {
    std::string folder = dir.HostPath("installer");
    mkdir(folder.c_str(), 0755);
    mkdir((folder + "/docs").c_str(), 0755);
    WriteBytes(folder + "/Setup.exe", MakeProgram());
    WriteText(folder + "/docs/notes.txt", "notes");
    std::string out = dir.HostPath("out.exe");
    PackRun r = Sfx({"pack", stub, folder, "-o", out});
    EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(folder + ": zipped 2 files and 1 folder"), std::string::npos) << r.Out;
    WriteBytes(dir.HostPath("back.zip"), Payload(out));
    EXPECT_EQ(Sfx({"check", dir.HostPath("back.zip")}).Code, 0);
    EXPECT_EQ(Sfx({"cat", dir.HostPath("back.zip"), "docs/notes.txt"}).Out, "notes");
    EXPECT_FALSE(Exists(out + ".zip"));

    // Without Setup.exe the folder is refused, and no scratch file stays.
    std::string bare = dir.HostPath("bare");
    mkdir(bare.c_str(), 0755);
    WriteText(bare + "/readme.txt", "r");
    r = Sfx({"pack", stub, bare, "-o", dir.HostPath("bare.exe")});
    EXPECT_EQ(r.Code, 1);
    EXPECT_NE(r.Out.find("no \"Setup.exe\""), std::string::npos) << r.Out;
    EXPECT_FALSE(Exists(dir.HostPath("bare.exe")));
    EXPECT_FALSE(Exists(dir.HostPath("bare.exe.zip")));
}

TEST_F(PackFixture, StubsThatAreNoWindowsProgramsAreNamedInTheError) {
    Bytes zip = BuildZip({Program("Setup.exe")}).Bytes_;
    WriteBytes(dir.HostPath("good.zip"), zip);
    WriteText(dir.HostPath("script.sh"), "#!/bin/sh\necho not a PE file\n");
    PackRun r = Sfx({"pack", dir.HostPath("script.sh"), dir.HostPath("good.zip"), "-o", dir.HostPath("o.exe")});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("script.sh") + ": not a Windows executable (no MZ header)\n");
    r = Sfx({"pack", dir.HostPath("nostub.exe"), dir.HostPath("good.zip"), "-o", dir.HostPath("o.exe")});
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("nostub.exe") + ": cannot open it: No such file or directory\n");
    r = Sfx({"pack", stub, dir.HostPath("nozip.zip"), "-o", dir.HostPath("o.exe")});
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("nozip.zip") + ": cannot open it: No such file or directory\n");
    r = Sfx({"pack", stub, dir.HostPath("good.zip"), "-o", dir.HostPath("no/such/dir/o.exe")});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("no/such/dir/o.exe") + ": cannot create it: No such file or directory\n");
    EXPECT_FALSE(Exists(dir.HostPath("o.exe")));
}

TEST_F(PackFixture, OnlyALauncherIsPackedIntoUnlessForcedAndPackSaysWhichOne) {
    Bytes zip = BuildZip({Program("Setup.exe")}).Bytes_;
    std::string archive = dir.HostPath("good.zip");
    WriteBytes(archive, zip);
    std::string out = dir.HostPath("out.exe");
    PackRun r = Sfx({"pack", stub, archive, "-o", out});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out.find(stub + ": 32-bit x86 launcher: runs on every Windows\n"), 0u) << r.Out;
    WriteBytes(dir.HostPath("stub64.exe"), MakeStub(true));
    r = Sfx({"pack", dir.HostPath("stub64.exe"), archive, "-o", out});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out.find(dir.HostPath("stub64.exe") + ": x86-64 launcher: 64-bit Windows only\n"), 0u) << r.Out;

    // Programs that are no launcher: one without resources (Setup.exe
    // itself), one with a marker of the wrong text, and a DLL.
    Bytes dll = MakeStub(false);
    PutLe16(dll, PeOffset + 4 + 18, 0x2102);
    const std::pair<std::string, Bytes> others[] = {
        {"Setup.exe", MakeProgram()}, {"other.exe", MakeStub(false, false)}, {"library.dll", dll}};
    for (const auto& [name, bytes] : others) {
        std::string path = dir.HostPath(name);
        WriteBytes(path, bytes);
        std::string target = dir.HostPath("into-" + name);
        r = Sfx({"pack", path, archive, "-o", target});
        EXPECT_EQ(r.Code, 1) << name;
        EXPECT_EQ(r.Err.find("sfx: " + path + ": not a launcher"), 0u) << r.Err;
        EXPECT_NE(r.Err.find("--force"), std::string::npos) << r.Err;
        EXPECT_FALSE(Exists(target)) << name;
        r = Sfx({"pack", "--force", path, archive, "-o", target});
        EXPECT_EQ(r.Code, 0) << name << r.Err;
        EXPECT_EQ(r.Err.find("sfx: " + path + ": not a launcher; packed into it anyway (--force)"), 0u) << r.Err;
        EXPECT_EQ(Payload(target), zip);
    }
}

TEST_F(PackFixture, SetupExeMustBeAProgramWindowsStartsAndFitTheLaunchersWindows) {
    WriteBytes(dir.HostPath("stub64.exe"), MakeStub(true));
    Bytes dll = MakeProgram();
    PutLe16(dll, PeOffset + 4 + 18, 0x2102);
    struct Row {
        const char* What;
        Bytes Setup;
        bool Launcher64;
        int Code;         // of pack
        std::string Line;  // in pack's report, "" for none beyond the summary
    };
    std::string text = "@echo off\r\necho I am a batch file\r\n";
    const Row rows[] = {
        {"x86 program", MakeProgram(), false, 0, ""},
        {"console program", MakeProgram(0x14C, 3), false, 0, ""},
        {"x86-64 program in the x86-64 launcher", MakeProgram(0x8664), true, 0, ""},
        {"text file", Bytes(text.begin(), text.end()), false, 1,
         "\"Setup.exe\": is not a Windows executable (no MZ header); Windows would not start it"},
        {"MZ without PE", Bytes{'M', 'Z', 0, 0}, false, 1, "\"Setup.exe\": is not a Windows executable (no MZ header)"},
        {"DLL", dll, false, 1, "\"Setup.exe\": is a DLL, not a program"},
        {"native subsystem", MakeProgram(0x14C, 1), false, 1, "\"Setup.exe\": has subsystem 1, neither a Windows GUI"},
        {"x86-64 program in the 32-bit launcher", MakeProgram(0x8664), false, 0,
         "\"Setup.exe\": warning: is built for x86-64: the 32-bit launcher runs on every Windows, but Setup.exe "
         "starts only on 64-bit Windows"},
    };
    for (const Row& row : rows) {
        ZipEntrySpec setup;
        setup.Name = "Setup.exe";
        setup.Data = row.Setup;
        WriteBytes(dir.HostPath("a.zip"), BuildZip({setup}).Bytes_);
        std::string out = dir.HostPath("out.exe");
        std::remove(out.c_str());
        PackRun r = Sfx({"pack", row.Launcher64 ? dir.HostPath("stub64.exe") : stub, dir.HostPath("a.zip"), "-o", out});
        EXPECT_EQ(r.Code, row.Code) << row.What << "\n" << r.Out << r.Err;
        EXPECT_EQ(Exists(out), row.Code == 0) << row.What;
        if (!row.Line.empty()) EXPECT_NE(r.Out.find(dir.HostPath("a.zip") + ": " + row.Line), std::string::npos) << r.Out;
        else EXPECT_EQ(r.Out.find("warning"), std::string::npos) << row.What << "\n" << r.Out;
    }

    // A bare archive has no launcher: the x86-64 Setup.exe is only said to
    // need 64-bit Windows, and the archive passes.
    ZipEntrySpec setup64 = Program("Setup.exe", 0x8664);
    WriteBytes(dir.HostPath("b.zip"), BuildZip({setup64}).Bytes_);
    PackRun r = Sfx({"check", dir.HostPath("b.zip")});
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_NE(r.Out.find("\"Setup.exe\": warning: is built for x86-64 and starts only on 64-bit Windows\n"),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find("1 entry, no problems"), std::string::npos) << r.Out;
}

TEST_F(PackFixture, PackNeverDestroysOrHalfWritesAFile) {
    std::string folder = dir.HostPath("app");
    mkdir(folder.c_str(), 0755);
    WriteBytes(folder + "/Setup.exe", MakeProgram());
    std::string out = dir.HostPath("MyApp.exe");
    // Files with the names scratch files once had stay as they are.
    for (const char* name : {"MyApp.exe.zip", "MyApp.exe.part", "MyApp.exe.zip.part"}) WriteText(dir.HostPath(name), name);
    WriteText(out, "the old launcher");
    ASSERT_EQ(link(out.c_str(), dir.HostPath("kept.exe").c_str()), 0);
    PackRun r = Sfx({"pack", stub, folder, "-o", out});
    ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
    for (const char* name : {"MyApp.exe.zip", "MyApp.exe.part", "MyApp.exe.zip.part"})
        { Bytes got = ReadBytes(dir.HostPath(name)); EXPECT_EQ(std::string(got.begin(), got.end()), name); }
    Bytes kept = ReadBytes(dir.HostPath("kept.exe"));
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "the old launcher") << "replaced by a rename, not overwritten";
    struct stat st = {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0100, 0u) << "the launcher is executable";
    EXPECT_EQ(ListFiles(dir.Host), (std::vector<std::string>{"MyApp.exe", "MyApp.exe.part", "MyApp.exe.zip",
                                                             "MyApp.exe.zip.part", "app/Setup.exe", "kept.exe",
                                                             "stub.exe"}));

    // -o may not name what pack reads, nor a place in the folder it zips.
    WriteBytes(dir.HostPath("a.zip"), BuildZip({Program("Setup.exe")}).Bytes_);
    Bytes stubBefore = ReadBytes(stub), zipBefore = ReadBytes(dir.HostPath("a.zip"));
    std::string empty = dir.HostPath("empty");
    mkdir(empty.c_str(), 0755);
    struct Row {
        std::vector<std::string> Args;
        std::string Err;
        int Code = 1;
    };
    const Row rows[] = {
        {{"pack", folder, stub, "-o", dir.HostPath("swapped.exe")},
         folder + " is a folder and " + stub + " is a file; the two are the wrong way round: pack takes the stub "
         "(launcher-stub.exe) first, then the archive or folder:\n  sfx pack " + stub + " " + folder + " -o " +
         dir.HostPath("swapped.exe") + "\n", 2},
        {{"pack", dir.HostPath("a.zip"), stub, "-o", dir.HostPath("swapped.exe")},
         dir.HostPath("a.zip") + " is no Windows program and " + stub + " is a file; the two are the wrong way round", 2},
        {{"pack", stub, empty, "-o", dir.HostPath("empty.exe")},
         empty + ": is empty; " + dir.HostPath("empty.exe") + " not written (the folder needs Setup.exe at least)\n"},
        {{"pack", stub, dir.HostPath("a.zip"), "-o", stub}, stub + ": is the stub itself"},
        {{"pack", stub, dir.HostPath("a.zip"), "-o", dir.Host + "/./a.zip"}, dir.Host + "/./a.zip: is the archive being packed"},
        {{"pack", stub, folder, "-o", folder + "/MyApp.exe"}, folder + "/MyApp.exe: lies inside " + folder},
        {{"pack", stub, folder + "/", "-o", folder + "/sub/../x.exe"}, folder + "/sub/../x.exe: lies inside"},
        {{"pack", stub, folder, "-o", folder}, folder + ": is a folder"},
    };
    for (const Row& row : rows) {
        r = Sfx(row.Args);
        EXPECT_EQ(r.Code, row.Code) << row.Err;
        EXPECT_EQ(r.Err.find("sfx: " + row.Err), 0u) << r.Err;
    }
    EXPECT_FALSE(Exists(dir.HostPath("swapped.exe")));
    EXPECT_FALSE(Exists(dir.HostPath("empty.exe")));
    EXPECT_EQ(ListFiles(dir.Host).size(), 8u) << "no scratch file either";
    EXPECT_EQ(ReadBytes(stub), stubBefore);
    EXPECT_EQ(ReadBytes(dir.HostPath("a.zip")), zipBefore);
    EXPECT_EQ(ListFiles(folder), (std::vector<std::string>{"Setup.exe"}));
}

TEST_F(PackFixture, TheCleanupRoutineRemovesTheScratchFilesStillRegistered) {
    std::string out = dir.HostPath("o.exe");
    std::string a = sfx::WriteScratchBeside(out, {1, 2, 3}, false);
    std::string b = sfx::WriteScratchBeside(out, {4}, true);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(out + ".", 0), 0u) << "beside the output: " << a;
    EXPECT_EQ(ReadBytes(a), (Bytes{1, 2, 3}));
    sfx::RemoveScratch(a);
    EXPECT_FALSE(Exists(a));
    std::string c = sfx::WriteScratchBeside(out, {5}, false);
    sfx::CommitScratch(c, out);
    sfx::RemoveScratchFiles();
    EXPECT_FALSE(Exists(b));
    EXPECT_EQ(ReadBytes(out), (Bytes{5})) << "a committed scratch file is no longer the routine's";
}

TEST_F(PackFixture, AnInterruptedPackLeavesNoScratchFileBehind) {
    // The child is held after zipping, with the scratch archive written: its
    // check report (a problem line for each of 3000 names with "?") fills a
    // pipe that nobody reads, so it waits in a write until the signal comes.
    std::string folder = dir.HostPath("many");
    mkdir(folder.c_str(), 0755);
    WriteBytes(folder + "/Setup.exe", MakeProgram());
    for (int i = 0; i < 3000; i++) WriteText(folder + "/q?" + std::to_string(i) + ".txt", "x");
    for (int signal : {SIGINT, SIGTERM}) {
        std::string outDir = dir.HostPath("out" + std::to_string(signal));
        mkdir(outDir.c_str(), 0755);
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            execl(SFX_EXE, SFX_EXE, "pack", "--force", stub.c_str(), folder.c_str(), "-o",
                  (outDir + "/Big.exe").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        bool scratchSeen = false;
        for (int i = 0; i < 6000 && !scratchSeen; i++) {
            scratchSeen = !ListFiles(outDir).empty();
            if (!scratchSeen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(scratchSeen) << "the child never wrote its scratch archive";
        kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(pipeFds[0]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "ended by the signal, status " << status;
        EXPECT_EQ(ListFiles(outDir), std::vector<std::string>{}) << "signal " << signal;
    }
}

namespace {

// Sets an environment variable for the length of a scope (TZ takes effect
// through tzset).
struct ScopedEnv {
    std::string Name;
    ScopedEnv(const std::string& name, const char* value) : Name(name) {
        if (value != nullptr) setenv(name.c_str(), value, 1);
        else unsetenv(name.c_str());
        tzset();
    }
    ~ScopedEnv() {
        unsetenv(Name.c_str());
        tzset();
    }
};

}  // namespace

TEST_F(PackFixture, TheSameFolderGivesTheSameLauncherWhenSourceDateEpochIsSet) {
    // Files of every kind, created in one order here and in the reverse
    // order in a copy, whose folder then lists them in another order.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"Setup.exe", ""}, {"b.txt", "bee"}, {"a/z.txt", std::string(5000, 'z')}, {"a/y.bin", "y"},
        {"C.txt", "upper"}, {"a.txt", "sorts before a/ by its bytes"}};
    auto make = [&](const std::string& root, bool reverse) {
        mkdir(root.c_str(), 0755);
        mkdir((root + "/a").c_str(), 0755);
        std::vector<std::pair<std::string, std::string>> order = files;
        if (reverse) std::reverse(order.begin(), order.end());
        for (const auto& [name, text] : order) {
            if (name == "Setup.exe") WriteBytes(root + "/" + name, MakeProgram());
            else WriteText(root + "/" + name, text);
        }
    };
    std::string folder = dir.HostPath("app"), copy = dir.HostPath("copy");
    make(folder, false);
    make(copy, true);
    auto pack = [&](const std::string& from, const std::string& name) {
        std::string out = dir.HostPath(name);
        PackRun r = Sfx({"pack", stub, from, "-o", out});
        EXPECT_EQ(r.Code, 0) << r.Out << r.Err;
        return ReadBytes(out);
    };
    // 2020-09-13 12:26:40 UTC: the files are younger, so every time is capped.
    Bytes first, touched, otherZone, copied, uncapped;
    {
        ScopedEnv epoch("SOURCE_DATE_EPOCH", "1600000000");
        {
            ScopedEnv zone("TZ", "UTC");
            first = pack(folder, "first.exe");
        }
        // Every file and folder touched: an hour later than now.
        ASSERT_EQ(RunPython(R"(
import os, sys, time
later = time.time() + 3600
for base, dirs, names in os.walk(sys.argv[1]):
    for n in dirs + names:
        os.utime(os.path.join(base, n), (later, later))
)",
                            {folder}),
                  0);
        {
            ScopedEnv zone("TZ", "UTC");
            touched = pack(folder, "touched.exe");
            copied = pack(copy, "copied.exe");
        }
        ScopedEnv zone("TZ", "Pacific/Chatham");  // UTC+12:45 or +13:45
        otherZone = pack(folder, "zone.exe");
    }
    uncapped = pack(folder, "uncapped.exe");
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(touched == first) << "touching the files changed the launcher";
    EXPECT_TRUE(otherZone == first) << "the time zone changed the launcher";
    EXPECT_TRUE(copied == first) << "the order the folder lists its files in changed the launcher";
    EXPECT_TRUE(uncapped != first) << "without SOURCE_DATE_EPOCH the files' own times count";

    ScopedEnv bad("SOURCE_DATE_EPOCH", "yesterday");
    PackRun r = Sfx({"pack", stub, folder, "-o", dir.HostPath("bad.exe")});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "sfx: SOURCE_DATE_EPOCH must be a number of seconds since 1970-01-01 UTC, not \"yesterday\"\n");
}

TEST_F(PackFixture, LevelZeroStoresEveryFile) {
    std::string folder = dir.HostPath("app");
    mkdir(folder.c_str(), 0755);
    WriteBytes(folder + "/Setup.exe", MakeProgram());
    WriteText(folder + "/text.txt", std::string(10000, 'a'));
    for (const char* level : {"0", "1", "9"}) {
        std::string out = dir.HostPath(std::string("l") + level + ".exe");
        PackRun r = Sfx({"pack", "--level", level, stub, folder, "-o", out});
        ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
        WriteBytes(dir.HostPath("back.zip"), Payload(out));
        std::string listing = Sfx({"list", dir.HostPath("back.zip")}).Out;
        bool stored = listing.find("deflated") == std::string::npos;
        EXPECT_EQ(stored, std::string(level) == "0") << level << "\n" << listing;
    }
    PackRun r = Sfx({"pack", "--level", "10", stub, folder, "-o", dir.HostPath("x.exe")});
    EXPECT_EQ(r.Code, 2);
    EXPECT_NE(r.Err.find("--level takes a deflate level from 0 (stored) to 9"), std::string::npos) << r.Err;
}

TEST_F(PackFixture, TheLauncherGetsTheIconAndVersionInformationAndKeepsTheStubsOtherResources) {
    using sfx::ResourceKey;
    // The stub: a manifest, a text resource, and an icon of three images and
    // version information that pack replaces.
    sfx::ResourceTree tree;
    std::string manifest = "<assembly><requestedExecutionLevel level=\"asInvoker\"/></assembly>";
    tree[ResourceKey::Number(24)][ResourceKey::Number(1)][ResourceKey::Number(0x409)].Data = Bytes(manifest.begin(), manifest.end());
    tree[ResourceKey::Named("TEXT")][ResourceKey::Named("HELLO")][ResourceKey::Number(0)].Data = {'h', 'i'};
    for (uint16_t id = 1; id <= 3; id++)
        tree[ResourceKey::Number(3)][ResourceKey::Number(id)][ResourceKey::Number(0x409)].Data = Bytes(20, uint8_t(id));
    tree[ResourceKey::Number(14)][ResourceKey::Number(7)][ResourceKey::Number(0x409)].Data = Bytes(6 + 3 * 14, 0);
    tree[ResourceKey::Number(16)][ResourceKey::Number(1)][ResourceKey::Number(0x409)].Data = Bytes(64, 0x16);
    WriteBytes(stub, MakeStub(false, true, tree));

    // A bitmap whose entry leaves planes and bits at 0, and a PNG image.
    const std::vector<IcoImage> images = {{16, 16, 0, 0, IconBitmap(16, 16, 16)}, {0, 0, 1, 32, PngStart(256, 256)}};
    WriteBytes(dir.HostPath("app.ico"), IcoFile(images));
    WriteText(dir.HostPath("version.txt"), "\xEF\xBB\xBF# written by the build\r\nCompanyName = Example Software Ltd\r\n"
                                           "FileVersion=9.9\r\n\r\nProductName=Example\r\n");
    WriteBytes(dir.HostPath("a.zip"), BuildZip({Program("Setup.exe")}).Bytes_);
    std::string out = dir.HostPath("Example.exe");
    PackRun r = Sfx({"pack", stub, dir.HostPath("a.zip"), "-o", out, "--icon", dir.HostPath("app.ico"),
                     "--version-info-file", dir.HostPath("version.txt"), "--version-info", "FileVersion=1.2.3.4",
                     "--version-info", "ProductVersion=1.2", "--version-info", "LegalCopyright=\xC2\xA9 2026 Example",
                     "--version-info", "FileDescription=Example setup", "--version-info", "OriginalFilename=Example.exe"});
    ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(dir.HostPath("app.ico") + ": icon of 2 images: 16x16/32 256x256/32\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("version information: file 1.2.3.4, product 1.2.0.0; CompanyName FileDescription FileVersion "
                         "LegalCopyright OriginalFilename ProductName ProductVersion\n"),
              std::string::npos)
        << r.Out;
    Bytes image = ReadBytes(out);

    // The group, read with the tests' own resource lookup: its entries
    // (planes and bits taken from the bitmap) name the RT_ICON images, which
    // hold the images' bytes; the stub's third image is gone.
    auto group = LookUpResource(image, "", 14, 1);
    ASSERT_TRUE(group.has_value());
    ASSERT_EQ(group->Data.size(), 6u + 14 * images.size());
    EXPECT_EQ(Get16(group->Data, 2), 1u);
    EXPECT_EQ(Get16(group->Data, 4), images.size());
    for (size_t i = 0; i < images.size(); i++) {
        size_t at = 6 + 14 * i;
        EXPECT_EQ(group->Data[at], images[i].Width);
        EXPECT_EQ(group->Data[at + 1], images[i].Height);
        EXPECT_EQ(Get16(group->Data, at + 4), 1u) << i;
        EXPECT_EQ(Get16(group->Data, at + 6), 32u) << i;
        EXPECT_EQ(Get32(group->Data, at + 8), images[i].Data.size());
        auto icon = LookUpResource(image, "", 3, Get16(group->Data, at + 12));
        ASSERT_TRUE(icon.has_value()) << "image " << i << " is not where the group says";
        EXPECT_EQ(icon->Data, images[i].Data) << i;
    }
    EXPECT_FALSE(LookUpResource(image, "", 3, 3).has_value()) << "the stub's icon images went with its group";
    EXPECT_FALSE(LookUpResource(image, "", 14, 7).has_value());
    auto kept = LookUpResource(image, "", 24, 1);
    ASSERT_TRUE(kept.has_value()) << "the manifest went missing";
    EXPECT_EQ(Text(kept->Data), manifest);
    EXPECT_EQ(kept->Language, 0x409u);
    sfx::ResourceTree after = sfx::ReadResources(image, sfx::ParsePe(image));
    EXPECT_EQ(after[ResourceKey::Named("TEXT")][ResourceKey::Named("HELLO")][ResourceKey::Number(0)].Data, (Bytes{'h', 'i'}));
    EXPECT_TRUE(sfx::HasLauncherMarker(after));
    EXPECT_EQ(Payload(out), ReadBytes(dir.HostPath("a.zip")));

    // The version information, decompiled by binutils: the numbers in the
    // fixed part, the texts (the command line's FileVersion over the
    // file's) in the US English, UTF-16 table, and the translation.
    std::string script = WindresScript(out);
    if (!script.empty()) {
        size_t begin = script.find("1 VERSIONINFO");
        ASSERT_NE(begin, std::string::npos) << script;
        std::string block = script.substr(begin, script.find("\nEND\n", begin) + 5 - begin);
        EXPECT_EQ(block, "1 VERSIONINFO\n"
                         " FILEVERSION 1, 2, 3, 4\n"
                         " PRODUCTVERSION 1, 2, 0, 0\n"
                         " FILEFLAGSMASK 0x3f\n"
                         " FILEOS 0x40004\n"
                         " FILETYPE 0x1\n"
                         "BEGIN\n"
                         "  BLOCK \"StringFileInfo\"\n"
                         "  BEGIN\n"
                         "    BLOCK \"040904B0\"\n"
                         "    BEGIN\n"
                         "      VALUE \"CompanyName\", \"Example Software Ltd\"\n"
                         "      VALUE \"FileDescription\", \"Example setup\"\n"
                         "      VALUE \"FileVersion\", \"1.2.3.4\"\n"
                         "      VALUE \"LegalCopyright\", L\"\\251 2026 Example\"\n"
                         "      VALUE \"OriginalFilename\", \"Example.exe\"\n"
                         "      VALUE \"ProductName\", \"Example\"\n"
                         "      VALUE \"ProductVersion\", \"1.2\"\n"
                         "    END\n"
                         "  END\n"
                         "  BLOCK \"VarFileInfo\"\n"
                         "  BEGIN\n"
                         "    VALUE \"Translation\", 0x409, 1200\n"
                         "  END\n"
                         "END\n")
            << script;
    }

    // Packed again without the options, the launcher keeps both.
    r = Sfx({"pack", out, dir.HostPath("a.zip"), "-o", dir.HostPath("again.exe")});
    ASSERT_EQ(r.Code, 0) << r.Err;
    Bytes again = ReadBytes(dir.HostPath("again.exe"));
    for (uint32_t type : {3u, 14u, 16u, 24u})
        EXPECT_EQ(LookUpResource(again, "", type, 1)->Data, LookUpResource(image, "", type, 1)->Data) << type;
    if (script.empty()) GTEST_SKIP() << "i686-w64-mingw32-windres not installed: the version information was not decompiled";
}

TEST_F(PackFixture, BadIconsAndVersionSettingsAreRefusedWithTheReason) {
    WriteBytes(dir.HostPath("a.zip"), BuildZip({Program("Setup.exe")}).Bytes_);
    Bytes bitmap = IconBitmap(16, 16, 16);
    Bytes jpeg(60, 0);
    jpeg[0] = 0xFF, jpeg[1] = 0xD8;
    Bytes outside = IcoFile({{16, 16, 1, 32, bitmap}});
    PutLe32(outside, 6 + 12, static_cast<uint32_t>(outside.size()) - 8);
    Bytes cutDirectory = IcoFile({{16, 16, 1, 32, bitmap}});
    PutLe16(cutDirectory, 4, 300);
    const std::pair<std::string, Bytes> icons[] = {
        {"empty.ico", {}},
        {"text.ico", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}},
        {"cursor.ico", IcoFile({{16, 16, 1, 32, bitmap}}, 2)},
        {"none.ico", IcoFile({})},
        {"cut.ico", cutDirectory},
        {"outside.ico", outside},
        {"zero.ico", IcoFile({{16, 16, 1, 32, {}}})},
        {"jpeg.ico", IcoFile({{16, 16, 1, 32, jpeg}})},
        {"size.ico", IcoFile({{32, 32, 1, 32, bitmap}})},
        {"png.ico", IcoFile({{16, 16, 1, 32, bitmap}, {32, 32, 1, 32, PngStart(48, 48)}})},
        {"short.ico", IcoFile({{16, 16, 1, 32, IconBitmap(16, 16, 3)}})},
    };
    for (const auto& [name, bytes] : icons) WriteBytes(dir.HostPath(name), bytes);
    WriteText(dir.HostPath("bad-key.txt"), "CompanyName=Example\n\n# ok so far\nCompany=Example\n");
    WriteText(dir.HostPath("bad-number.txt"), "FileVersion=1.0-beta\n");
    std::string keys = "(keys: CompanyName, FileDescription, FileVersion, InternalName, LegalCopyright, LegalTrademarks, "
                       "OriginalFilename, ProductName, ProductVersion, Comments)";
    struct Row {
        std::vector<std::string> Options;
        int Code;
        std::string Err;  // after "sfx: "
    };
    auto ico = [&](const std::string& name) { return dir.HostPath(name); };
    const Row rows[] = {
        {{"--icon", ico("empty.ico")}, 1, ico("empty.ico") + ": is too short for an icon file; the launcher was not written"},
        {{"--icon", ico("text.ico")}, 1, ico("text.ico") + ": is not an icon file (.ico files begin with 00 00 01 00)"},
        {{"--icon", ico("cursor.ico")}, 1, ico("cursor.ico") + ": is a cursor file, not an icon"},
        {{"--icon", ico("none.ico")}, 1, ico("none.ico") + ": is an icon file without images"},
        {{"--icon", ico("cut.ico")}, 1, ico("cut.ico") + ": is cut short: its directory of 300 images runs past the end"},
        {{"--icon", ico("outside.ico")}, 1,
         ico("outside.ico") + ": image 1 of 1 lies outside the file (" + std::to_string(bitmap.size()) + " bytes at offset " +
             std::to_string(outside.size() - 8) + " of " + std::to_string(outside.size()) + ")"},
        {{"--icon", ico("zero.ico")}, 1, ico("zero.ico") + ": image 1 of 1 is empty"},
        {{"--icon", ico("jpeg.ico")}, 1, ico("jpeg.ico") + ": image 1 of 1 is neither a bitmap (BITMAPINFOHEADER) nor a PNG image"},
        {{"--icon", ico("size.ico")}, 1, ico("size.ico") + ": image 1 of 1 is a bitmap of 16x16 pixels, the directory says 32x32"},
        {{"--icon", ico("png.ico")}, 1, ico("png.ico") + ": image 2 of 2 is a PNG image of 48x48 pixels, the directory says 32x32"},
        {{"--icon", ico("short.ico")}, 1, ico("short.ico") + ": image 1 of 1 is cut short: " +
                                              std::to_string(IconBitmap(16, 16, 3).size()) +
                                              " bytes for a bitmap of 16x16 pixels at 32 bits"},
        {{"--icon", ico("missing.ico")}, 1, ico("missing.ico") + ": cannot open it: No such file or directory"},
        {{"--version-info", "Company=Example"}, 2, "--version-info: unknown key \"Company\" " + keys},
        {{"--version-info", "CompanyName"}, 2, "--version-info: \"CompanyName\" is not KEY=VALUE " + keys},
        {{"--version-info", "CompanyName= "}, 2, "--version-info: CompanyName needs a value"},
        {{"--version-info", "CompanyName=Tab\there"}, 2, "--version-info: the value of CompanyName holds a control character"},
        {{"--version-info", "CompanyName=\xFF"}, 2, "--version-info: the value of CompanyName is not valid UTF-8"},
        {{"--version-info", "CompanyName=" + std::string(1025, 'x')}, 2,
         "--version-info: the value of CompanyName is longer than 1024 characters"},
        {{"--version-info", "FileVersion=1.2.3.4.5"}, 2, "--version-info: \"1.2.3.4.5\" has more than four parts: a version"},
        {{"--version-info", "FileVersion=1.70000"}, 2, "--version-info: \"1.70000\": 70000 is above 65535: a version is up "
                                                       "to four numbers of 0 to 65535 with dots between them, such as 1.2.3.4"},
        {{"--version-info", "ProductVersion=1..2"}, 2, "--version-info: \"1..2\" is not a version number"},
        {{"--version-info", "ProductVersion=v1"}, 2, "--version-info: \"v1\" is not a version number"},
        {{"--version", "1.2"}, 2, "pack writes version information with --version-info KEY=VALUE " + keys},
        {{"--version-info-file", ico("bad-key.txt")}, 1,
         ico("bad-key.txt") + ": line 4: unknown key \"Company\" " + keys + "; the launcher was not written"},
        {{"--version-info-file", ico("bad-number.txt")}, 1, ico("bad-number.txt") + ": line 1: \"1.0-beta\" is not a version number"},
    };
    std::string out = dir.HostPath("out.exe");
    for (const Row& row : rows) {
        std::vector<std::string> args = {"pack", stub, dir.HostPath("a.zip"), "-o", out};
        args.insert(args.end(), row.Options.begin(), row.Options.end());
        PackRun r = Sfx(args);
        EXPECT_EQ(r.Code, row.Code) << row.Err << "\n" << r.Err;
        EXPECT_EQ(r.Err.find("sfx: " + row.Err), 0u) << r.Err;
        EXPECT_FALSE(Exists(out)) << row.Err;
    }
}

TEST_F(PackFixture, ASignedLauncherVerifiesAndPackingItAgainRemovesTheSignature) {
    if (std::string(OSSLSIGNCODE_EXE).empty() || std::string(OPENSSL_EXE).empty())
        GTEST_SKIP() << "osslsigncode or openssl not installed (Debian: apt-get install osslsigncode openssl)";
    WriteBytes(dir.HostPath("a.zip"), BuildZip({Program("Setup.exe")}).Bytes_);
    std::string packed = dir.HostPath("packed.exe"), signedExe = dir.HostPath("signed.exe");
    ASSERT_EQ(Sfx({"pack", stub, dir.HostPath("a.zip"), "-o", packed}).Code, 0);
    // A throwaway certificate, its own authority.
    std::string quiet = " > " + dir.HostPath("tool.log") + " 2>&1";
    ASSERT_EQ(RunShell(std::string(OPENSSL_EXE) + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ziplauncher-test" +
                       " -keyout " + dir.HostPath("key.pem") + " -out " + dir.HostPath("cert.pem") + quiet),
              0);
    std::string ossl = OSSLSIGNCODE_EXE;
    ASSERT_EQ(RunShell(ossl + " sign -certs " + dir.HostPath("cert.pem") + " -key " + dir.HostPath("key.pem") +
                       " -n Example -in " + packed + " -out " + signedExe + quiet),
              0)
        << Text(ReadBytes(dir.HostPath("tool.log")));
    std::string verify = ossl + " verify -CAfile " + dir.HostPath("cert.pem") + " -in ";
    EXPECT_EQ(RunShell(verify + signedExe + quiet), 0) << Text(ReadBytes(dir.HostPath("tool.log")));
    EXPECT_NE(Get32(ReadBytes(signedExe), DirectoryAt(false, 4) + 4), 0u);
    EXPECT_EQ(Payload(signedExe), ReadBytes(dir.HostPath("a.zip"))) << "signing leaves the archive alone";

    // Packing the signed launcher again: the signature would no longer
    // match, so it goes, with a message; without it the launcher is the
    // unsigned one, byte for byte.
    std::string repacked = dir.HostPath("repacked.exe");
    PackRun r = Sfx({"pack", signedExe, dir.HostPath("a.zip"), "-o", repacked});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Err, "sfx: " + repacked + ": the stub's digital signature no longer matches and was removed; sign the "
                                          "launcher again\n");
    EXPECT_EQ(Get32(ReadBytes(repacked), DirectoryAt(false, 4) + 4), 0u);
    EXPECT_EQ(ReadBytes(repacked), ReadBytes(packed));
    EXPECT_NE(RunShell(verify + repacked + quiet), 0) << "no signature to verify";
}
