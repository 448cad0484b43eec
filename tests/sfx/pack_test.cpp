// `sfx pack`: the check before, the refusal, --force, folders, and the
// written launcher parsed back.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <string>

#include "support/pe_test_image.h"
#include "support/test_util.h"
#include "sfx/sfx.h"

using namespace testutil;

namespace {

struct PackRun {
    int Code;
    std::string Out, Err;
};

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

struct PackFixture : ::testing::Test {
    ScratchDir dir;
    std::string stub;

    void SetUp() override {
        stub = dir.HostPath("stub.exe");
        WriteBytes(stub, MakeImage(false, {{".text", 0x600, 0x600}, {".data", 0x80, 0x80}}));
    }

    Bytes Payload(const std::string& exe) {
        auto found = LookUpResource(ReadBytes(exe), "ZIP", 0, 1);
        EXPECT_TRUE(found.has_value()) << exe;
        return found ? found->Data : Bytes();
    }
};

}  // namespace

TEST_F(PackFixture, AGoodArchiveIsPackedByteForByte) {
    Bytes zip = BuildZip({Stored("Setup.exe", "MZ program"), Stored("data/a.txt", "a")}).Bytes_;
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

    // The packed launcher is a stub too: packing it again replaces the archive.
    Bytes other = BuildZip({Stored("Setup.exe", "MZ newer program")}).Bytes_;
    WriteBytes(dir.HostPath("other.zip"), other);
    r = Sfx({"pack", out, dir.HostPath("other.zip"), "-o", out});
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(Payload(out), other);
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
    WriteText(folder + "/Setup.exe", "MZ the installer");
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
    Bytes zip = BuildZip({Stored("Setup.exe", "MZ program")}).Bytes_;
    WriteBytes(dir.HostPath("good.zip"), zip);
    WriteText(dir.HostPath("script.sh"), "#!/bin/sh\necho not a PE file\n");
    PackRun r = Sfx({"pack", dir.HostPath("script.sh"), dir.HostPath("good.zip"), "-o", dir.HostPath("o.exe")});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("script.sh") + ": not a Windows executable (no MZ header)\n");
    r = Sfx({"pack", dir.HostPath("nostub.exe"), dir.HostPath("good.zip"), "-o", dir.HostPath("o.exe")});
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("nostub.exe") + ": no such file\n");
    r = Sfx({"pack", stub, dir.HostPath("nozip.zip"), "-o", dir.HostPath("o.exe")});
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("nozip.zip") + ": no such file\n");
    r = Sfx({"pack", stub, dir.HostPath("good.zip"), "-o", dir.HostPath("no/such/dir/o.exe")});
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err, "sfx: " + dir.HostPath("no/such/dir/o.exe") + ": cannot create it\n");
    EXPECT_FALSE(Exists(dir.HostPath("o.exe")));
}
