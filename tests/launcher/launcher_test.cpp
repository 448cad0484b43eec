// The launcher: ForceDirectory, the extract-all loop with its name rules, and
// the whole run, in-process with a registered resource and as the real
// executable with its embedded demo installer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "launcher/launcher.h"
#include "platform/posix/posix_backend.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

ZipEntrySpec Stored(const std::string& name, const std::string& text) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = Bytes(text.begin(), text.end());
    return e;
}

const char SetupScript[] = "#!/bin/sh\n(pwd; ls) > Setup.part\nmv Setup.part Setup.ran\n";

// Waits (bounded) for a file that a started program writes.
bool WaitFor(const std::string& host) {
    for (int i = 0; i < 200; i++) {
        if (Exists(host)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

struct TempDirEnv {
    std::string saved;
    bool had;
    explicit TempDirEnv(const std::string& host) {
        const char* old = std::getenv("TMPDIR");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TMPDIR", host.c_str(), 1);
    }
    ~TempDirEnv() {
        if (had)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
};

}  // namespace

TEST(ForceDirectory, CreatesMissingLevelsTopDownAndStopsAtRootsAndDoubledSeparators) {
    ScratchDir dir;
    ForceDirectory(dir.WinPath("a\\b\\c\\").c_str());
    EXPECT_TRUE(IsDir(dir.HostPath("a/b/c")));
    ForceDirectory("C:\\");
    ForceDirectory("");
    ForceDirectory(dir.WinPath("x\\\\").c_str());
    EXPECT_FALSE(Exists(dir.HostPath("x"))) << "a doubled trailing separator makes nothing";
    EXPECT_TRUE(IsExistingDirectory(dir.Win.c_str()));
    WriteText(dir.HostPath("file"), "f");
    EXPECT_FALSE(IsExistingDirectory(dir.WinPath("file").c_str()));
    EXPECT_FALSE(IsExistingDirectory(dir.WinPath("nothing").c_str()));
}

TEST(EntryNames, NamesLeavingTheDestinationAreUnsafe) {
    for (const char* bad : {"\\abs.txt", "/abs.txt", "C:evil.txt", "dir\\f.txt:stream", "..\\up.txt", "a\\..\\..\\up",
                            "a\\..", "..", "a/../b", "...\\x", ". .\\x", "a\\.. \\x"})
        EXPECT_TRUE(IsUnsafeEntryName(bad)) << bad;
    for (const char* good : {"a.txt", "dir\\sub\\f", "..a", "a..", "dir\\..hidden", ".\\x", "x\\", "", "a b\\c.d"})
        EXPECT_FALSE(IsUnsafeEntryName(good)) << good;
}

TEST(ExtractAll, ExtractsInOrderMakesDirectoriesAndSkipsUnsafeNames) {
    ScratchDir dir;
    ZipEntrySpec dup1 = Stored("dup.txt", "first");
    ZipEntrySpec dup2 = Stored("dup.txt", "second");
    auto z = BuildZip({Stored("top.txt", "top"), Stored("emptydir/", ""), Stored("deep/er/f.txt", "deep"), dup1,
                       Stored("", ""), Stored("../escape.txt", "no"), Stored("/abs.txt", "no"),
                       Stored("c:drive.txt", "no"), dup2});
    WriteBytes(dir.HostPath("arc.zip"), z.Bytes_);
    ExtractAll(dir.WinPath("arc.zip").c_str(), dir.WinPath("dest\\").c_str());
    EXPECT_EQ(ListFiles(dir.HostPath("dest")), (std::vector<std::string>{"deep/er/f.txt", "dup.txt", "top.txt"}));
    EXPECT_TRUE(IsDir(dir.HostPath("dest/emptydir")));
    EXPECT_EQ(ReadBytes(dir.HostPath("dest/dup.txt")), (Bytes{'s', 'e', 'c', 'o', 'n', 'd'})) << "the later one last";
    EXPECT_FALSE(Exists(dir.HostPath("escape.txt")));
    EXPECT_FALSE(Exists("/abs.txt") && ReadBytes("/abs.txt") == (Bytes{'n', 'o'}));
}

TEST(ExtractAll, NotAnArchiveCreatesTheDestinationOnly) {
    ScratchDir dir;
    WriteText(dir.HostPath("not.zip"), "just text, long enough");
    ExtractAll(dir.WinPath("not.zip").c_str(), dir.WinPath("d1\\d2\\").c_str());
    EXPECT_TRUE(IsDir(dir.HostPath("d1/d2")));
    EXPECT_TRUE(ListFiles(dir.HostPath("d1")).empty());
}

TEST(ExtractAll, ATruncatedDirectoryExtractsTheEntriesListedBeforeTheDamage) {
    ScratchDir dir;
    auto z = BuildZip({Stored("a.txt", "a"), Stored("b.txt", "b"), Stored("c.txt", "c")});
    Bytes d = z.Bytes_;
    d[z.DirectoryOffset + 46 + 5 + 46 + 5] = 'Z';  // the third record's signature
    WriteBytes(dir.HostPath("arc.zip"), d);
    ExtractAll(dir.WinPath("arc.zip").c_str(), dir.WinPath("out\\").c_str());
    EXPECT_EQ(ListFiles(dir.HostPath("out")), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST(Launcher, RunsTheWholeSequenceWithARegisteredResource) {
    ScratchDir dir;
    TempDirEnv env(dir.Host);
    auto z = BuildZip({Stored("Setup.exe", SetupScript), Stored("sub/dir/data.txt", "payload"), Stored("sub/", "")});
    WriteText(dir.HostPath("pc.dat"), "stale copy from an earlier run");
    win::posix::RegisterResource("ZIP", 1, z.Bytes_.data(), static_cast<win::DWORD>(z.Bytes_.size()));
    EXPECT_EQ(LauncherMain(), 0);
    EXPECT_EQ(std::string(TempDir), dir.Win + "\\");
    EXPECT_FALSE(Exists(dir.HostPath("pc.dat")));
    EXPECT_EQ(ReadBytes(dir.HostPath("sub/dir/data.txt")), (Bytes{'p', 'a', 'y', 'l', 'o', 'a', 'd'}));
    auto shell = win::posix::LastShellExecute();
    EXPECT_EQ(shell.File, dir.Win + "\\Setup.exe") << "named with its full path, never searched for";
    EXPECT_EQ(shell.Directory, dir.Win + "\\");
    EXPECT_GT(shell.Result, 32);
    ASSERT_TRUE(WaitFor(dir.HostPath("Setup.ran")));
    Bytes report = ReadBytes(dir.HostPath("Setup.ran"));
    std::string ran(report.begin(), report.end());
    EXPECT_EQ(ran.substr(0, ran.find('\n')), dir.Host) << "Setup.exe runs in the temporary directory";
}

TEST(Launcher, WithoutSetupExeTheRunStillSucceeds) {
    ScratchDir dir;
    TempDirEnv env(dir.Host);
    auto z = BuildZip({Stored("readme.txt", "r")});
    win::posix::RegisterResource("ZIP", 1, z.Bytes_.data(), static_cast<win::DWORD>(z.Bytes_.size()));
    EXPECT_EQ(LauncherMain(), 0);
    EXPECT_EQ(ListFiles(dir.Host), (std::vector<std::string>{"readme.txt"}));
    EXPECT_LE(win::posix::LastShellExecute().Result, 32);
}

TEST(Launcher, UnwritableArchiveCopyEndsTheRunWithTheErrorBox) {
    ScratchDir dir;
    ASSERT_EQ(RunShell("mkdir '" + dir.HostPath("pc.dat") + "'"), 0);
    auto z = BuildZip({Stored("Setup.exe", SetupScript), Stored("f.txt", "f")});
    std::string host = dir.Host;
    EXPECT_EXIT(
        {
            setenv("TMPDIR", host.c_str(), 1);
            win::posix::RegisterResource("ZIP", 1, z.Bytes_.data(), static_cast<win::DWORD>(z.Bytes_.size()));
            LauncherMain();
        },
        ::testing::ExitedWithCode(1),
        "Anwendungsfehler.*Exception EInOutError in Modul [^ ]+ bei [0-9A-F]+\\.\n"
        "Dateizugriff verweigert\\.");
    EXPECT_EQ(ListFiles(dir.Host), std::vector<std::string>{}) << "nothing extracted, nothing started";
}

TEST(Launcher, TheBuiltExecutableInstallsItsDemoPayload) {
    ScratchDir dir;
    std::string cmd = "TMPDIR='" + dir.Host + "' '" LAUNCHER_EXE "' > '" + dir.Host + "/../" +
                      dir.Host.substr(dir.Host.rfind('/') + 1) + ".out' 2>&1";
    ASSERT_EQ(RunShell(cmd), 0);
    unlink((dir.Host + "/../" + dir.Host.substr(dir.Host.rfind('/') + 1) + ".out").c_str());
    EXPECT_FALSE(Exists(dir.HostPath("pc.dat")));
    EXPECT_TRUE(Exists(dir.HostPath("Setup.exe")));
    EXPECT_TRUE(Exists(dir.HostPath("readme.txt")));
    EXPECT_TRUE(Exists(dir.HostPath("data/nested/blob.bin")));
    EXPECT_TRUE(IsDir(dir.HostPath("docs")));
    ASSERT_TRUE(WaitFor(dir.HostPath("Setup.ran")));
    Bytes report = ReadBytes(dir.HostPath("Setup.ran"));
    std::string text(report.begin(), report.end());
    EXPECT_NE(text.find("Setup.exe ran in " + dir.Host), std::string::npos) << text;
    EXPECT_NE(text.find("./data/table.csv"), std::string::npos) << text;
}
