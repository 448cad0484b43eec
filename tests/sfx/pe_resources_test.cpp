// The PE resource writer of `sfx pack`: images built here byte by byte and
// real programs built with mingw-w64 at test time, rewritten and parsed
// back. The payload is found again through a lookup written here from the
// format (data directory, three table levels, data entry, section table),
// through objdump's resource dump, and, under Wine, through the program's
// own FindResourceA.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/pe_test_image.h"
#include "support/test_util.h"
#include "sfx/pe_resources.h"

using namespace testutil;
using sfx::PeError;
using sfx::ResourceKey;
using sfx::ResourceTree;

namespace {

// A section content maker for MakeImage: the tree laid out for its RVA.
std::function<Bytes(uint32_t)> Laid(const ResourceTree& tree) {
    return [tree](uint32_t rva) { return sfx::BuildResourceSection(tree, rva); };
}

ResourceTree SampleTree() {
    ResourceTree t;
    t[ResourceKey::Number(24)][ResourceKey::Number(1)][ResourceKey::Number(0x409)].Data = {'<', 'm', '/', '>'};
    t[ResourceKey::Named("ZIP")][ResourceKey::Number(1)][ResourceKey::Number(0x409)].Data = {'o', 'l', 'd'};
    t[ResourceKey::Named("ZIP")][ResourceKey::Number(1)][ResourceKey::Number(0x407)].Data = {'a', 'l', 't'};
    t[ResourceKey::Named("ZIP")][ResourceKey::Number(2)][ResourceKey::Number(0)].Data = {'t', 'w', 'o'};
    t[ResourceKey::Named("DATA")][ResourceKey::Named("HELLO")][ResourceKey::Number(0)] = {1252, {'h', 'i'}};
    t[ResourceKey::Named("ABC")][ResourceKey::Number(7)][ResourceKey::Number(0)].Data = {};
    return t;
}

Bytes Payload() {
    Bytes p = PatternBytes(70001, 3);
    p[0] = 'P';
    p[1] = 'K';
    return p;
}

// What every rewritten image must satisfy, checked apart from the writer's
// own verification.
void ExpectPayloadFound(const Bytes& image, const Bytes& payload) {
    sfx::VerifyZipResource(image, payload);
    auto found = LookUpResource(image, "ZIP", 0, 1);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->Language, 0u);
    EXPECT_TRUE(found->Data == payload);
    EXPECT_EQ(OptionalField(image, 64), PeChecksum(image));
}

}  // namespace

TEST(PeResources, TreesRoundTripAndTablesAreSortedNamesFirst) {
    ResourceTree tree = SampleTree();
    for (bool is64 : {false, true}) {
        Bytes image = MakeImage(is64, {{".text", 0x1800, 0x1800}, {".rsrc", 0, 0, Laid(tree)}});
        sfx::PeImage parsed = sfx::ParsePe(image);
        EXPECT_EQ(parsed.Is64, is64);
        EXPECT_EQ(sfx::ReadResources(image, parsed), tree);
        // Root table: 3 named types (ABC, DATA, ZIP in that order), 1 id.
        size_t root = FileOffsetOf(image, parsed.ResourceRva);
        EXPECT_EQ(Get16(image, root + 12), 3u);
        EXPECT_EQ(Get16(image, root + 14), 1u);
        std::vector<std::string> order;
        for (int i = 0; i < 3; i++) {
            size_t s = root + (Get32(image, root + 16 + 8 * i) & 0x7FFFFFFF);
            std::string text;
            for (uint32_t k = 0; k < Get16(image, s); k++) text += static_cast<char>(Get16(image, s + 2 + 2 * k));
            order.push_back(text);
        }
        EXPECT_EQ(order, (std::vector<std::string>{"ABC", "DATA", "ZIP"}));
        EXPECT_EQ(Get32(image, root + 16 + 24), 24u);
        auto data = LookUpResource(image, "DATA", 0, 0);
        EXPECT_FALSE(data.has_value()) << "HELLO is a name, not id 0";
        auto manifest = LookUpResource(image, "", 24, 1);
        ASSERT_TRUE(manifest.has_value());
        EXPECT_EQ(manifest->Data, (Bytes{'<', 'm', '/', '>'}));
    }
}

TEST(PeResources, ChecksumIsTheLinkersOnMingwPrograms) {
    // Oracle: GNU ld writes the checksum of the programs it links.
    for (const char* gcc : {MINGW_I686_GCC, MINGW_X86_64_GCC}) {
        if (std::string(gcc).empty()) GTEST_SKIP() << "mingw-w64 gcc not installed";
        ScratchDir dir;
        WriteText(dir.HostPath("p.c"), "int main(void) { return 7; }\n");
        ASSERT_EQ(RunShell(std::string(gcc) + " -O2 -o " + dir.HostPath("p.exe") + " " + dir.HostPath("p.c")), 0);
        Bytes exe = ReadBytes(dir.HostPath("p.exe"));
        sfx::PeImage image = sfx::ParsePe(exe);
        ASSERT_NE(image.CheckSum, 0u);
        EXPECT_EQ(sfx::ComputePeChecksum(exe, image.CheckSumOffset), image.CheckSum) << gcc;
        EXPECT_EQ(PeChecksum(exe), image.CheckSum) << "the tests' own checksum, " << gcc;
    }
}

TEST(PeResources, AnImageWithoutResourcesGetsANewLastSection) {
    for (bool is64 : {false, true}) {
        Bytes stub = MakeImage(is64, {{".text", 0x1800, 0x1800}, {".bss", 0x3000, 0}, {".data", 0x300, 0x300}});
        Bytes payload = Payload();
        sfx::EmbedReport report;
        Bytes image = sfx::EmbedZipResource(stub, payload, &report);
        ExpectPayloadFound(image, payload);
        EXPECT_FALSE(report.ReplacedInPlace);
        std::vector<SectionRow> rows = Sections(image);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[3].Name, ".rsrc");
        EXPECT_EQ(rows[3].VirtualAddress, 0x7000u) << "behind .data at 0x6000";
        EXPECT_EQ(rows[3].RawPointer, stub.size());
        EXPECT_EQ(rows[3].RawSize % FileAlign, 0u);
        EXPECT_EQ(image.size(), stub.size() + rows[3].RawSize);
        EXPECT_EQ(OptionalField(image, 56), AlignTo(0x7000 + rows[3].VirtualSize, SectionAlign));
        EXPECT_EQ(OptionalField(image, 8), OptionalField(stub, 8) + rows[3].RawSize);
        EXPECT_EQ(Get32(image, DirectoryAt(is64, 2)), 0x7000u);
        EXPECT_EQ(Get32(image, DirectoryAt(is64, 2) + 4), rows[3].VirtualSize);
        // Everything before the new section is the stub's, but for the
        // header fields that had to change.
        EXPECT_TRUE(std::equal(stub.begin() + HeadersSize, stub.end(), image.begin() + HeadersSize));
    }
}

TEST(PeResources, ALastResourceSectionIsRewrittenInPlaceKeepingOtherResources) {
    ResourceTree tree = SampleTree();
    Bytes stub = MakeImage(false, {{".text", 0x1800, 0x1800}, {".rsrc", 0, 0, Laid(tree)}});
    Bytes payload = Payload();
    sfx::EmbedReport report;
    Bytes image = sfx::EmbedZipResource(stub, payload, &report);
    ExpectPayloadFound(image, payload);
    EXPECT_TRUE(report.ReplacedInPlace);
    std::vector<SectionRow> rows = Sections(image);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].VirtualAddress, 0x3000u);
    EXPECT_EQ(image.size(), rows[1].RawPointer + rows[1].RawSize);
    EXPECT_EQ(OptionalField(image, 8), 0x1800 + rows[1].RawSize);

    ResourceTree after = sfx::ReadResources(image, sfx::ParsePe(image));
    ResourceTree expected = tree;
    auto& zip = expected[ResourceKey::Named("ZIP")];
    zip.erase(ResourceKey::Number(1));  // both languages of ZIP/1 go
    zip[ResourceKey::Number(1)][ResourceKey::Number(0)].Data = payload;
    EXPECT_TRUE(after == expected);

    // A second pack replaces the payload again, in place.
    Bytes second = sfx::EmbedZipResource(image, Bytes{'P', 'K', 3, 4}, &report);
    EXPECT_TRUE(report.ReplacedInPlace);
    ExpectPayloadFound(second, Bytes{'P', 'K', 3, 4});
    EXPECT_LT(second.size(), image.size());
}

TEST(PeResources, AResourceSectionFollowedByOthersIsLeftBehindRenamed) {
    ResourceTree tree = SampleTree();
    Bytes stub = MakeImage(true, {{".text", 0x1800, 0x1800}, {".rsrc", 0, 0, Laid(tree)}, {".reloc", 0x40, 0x40}});
    Bytes payload = Payload();
    sfx::EmbedReport report;
    Bytes image = sfx::EmbedZipResource(stub, payload, &report);
    ExpectPayloadFound(image, payload);
    EXPECT_EQ(report.OldSectionRenamedTo, ".oldrsrc");
    std::vector<SectionRow> rows = Sections(image);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].Name, ".oldrsrc");
    EXPECT_EQ(rows[3].Name, ".rsrc");
    auto manifest = LookUpResource(image, "", 24, 1);
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->Data, (Bytes{'<', 'm', '/', '>'}));
    EXPECT_EQ(manifest->Language, 0x409u);
}

TEST(PeResources, SignaturesAndBoundImportsMakeWayHeaderRoomDoesNotGrow) {
    Bytes stub = MakeImage(false, {{".text", 0x200, 0x200}});
    // A certificate at the end of the file (data directory 4 holds a file
    // offset): it would no longer match, so it goes.
    uint32_t certAt = static_cast<uint32_t>(stub.size());
    stub.resize(stub.size() + 0x100, 0xCE);
    PutLe32(stub, DirectoryAt(false, 4), certAt);
    PutLe32(stub, DirectoryAt(false, 4) + 4, 0x100);
    // Bound imports in the slot behind the section table.
    uint32_t slot = SectionTableAt(false) + 40;
    stub[slot] = 0x11;
    PutLe32(stub, DirectoryAt(false, 11), slot);
    PutLe32(stub, DirectoryAt(false, 11) + 4, 16);
    sfx::EmbedReport report;
    Bytes image = sfx::EmbedZipResource(stub, Payload(), &report);
    ExpectPayloadFound(image, Payload());
    EXPECT_TRUE(report.RemovedSignature);
    EXPECT_EQ(Get32(image, DirectoryAt(false, 4)), 0u);
    EXPECT_EQ(Get32(image, DirectoryAt(false, 11)), 0u);
    EXPECT_EQ(Sections(image)[1].RawPointer, certAt) << "the certificate's bytes are gone";

    // Without bound imports, used bytes in the slot stop the rewrite.
    Bytes busy = MakeImage(false, {{".text", 0x200, 0x200}});
    busy[SectionTableAt(false) + 40 + 3] = 0x22;
    EXPECT_THROW(sfx::EmbedZipResource(busy, Payload()), PeError);
    // A full section table (16 headers reach 0x3F8) has no room for another.
    std::vector<SectionSpec> many;
    for (int i = 0; i < 16; i++) many.push_back({".s" + std::to_string(i), 0x10, 0x10});
    EXPECT_THROW(sfx::EmbedZipResource(MakeImage(false, many), Payload()), PeError);
}

TEST(PeResources, DamagedImagesGiveErrorsNotCrashes) {
    ResourceTree tree = SampleTree();
    Bytes good = MakeImage(false, {{".text", 0x200, 0x200}, {".rsrc", 0, 0, Laid(tree)}, {".reloc", 0x40, 0x40}});
    EXPECT_THROW(sfx::ParsePe(Bytes(good.begin(), good.begin() + 40)), PeError);
    Bytes notPe = good;
    notPe[PeOffset] = 'X';
    EXPECT_THROW(sfx::ParsePe(notPe), PeError);
    Bytes badMagic = good;
    PutLe16(badMagic, PeOffset + 24, 0x107);
    EXPECT_THROW(sfx::ParsePe(badMagic), PeError);
    Bytes cut = good;
    cut.resize(cut.size() - 0x200);  // the last section's data is missing
    EXPECT_THROW(sfx::ParsePe(cut), PeError);
    Bytes loop = good;
    // The type table's first entry points back at the root: a directory
    // where the language level needs data.
    size_t root = FileOffsetOf(good, Get32(good, DirectoryAt(false, 2)));
    PutLe32(loop, root + 16 + 4, 0x80000000u);
    EXPECT_THROW(sfx::EmbedZipResource(loop, Payload()), PeError);

    // Random damage anywhere in headers and tree: the rewrite either fails
    // with a PeError or yields an image that verifies.
    uint32_t x = 12345;
    int rewritten = 0;
    for (int round = 0; round < 3000; round++) {
        Bytes damaged = good;
        for (int k = 0; k < 1 + round % 4; k++) {
            x = x * 1103515245u + 12345u;
            size_t at = (x >> 8) % (0x400 + 0x400);  // headers, .text and the tree
            x = x * 1103515245u + 12345u;
            damaged[at] = static_cast<uint8_t>(x >> 16);
        }
        try {
            Bytes out = sfx::EmbedZipResource(damaged, Bytes{'P', 'K'});
            sfx::VerifyZipResource(out, Bytes{'P', 'K'});
            rewritten++;
        } catch (const PeError&) {
        }
    }
    EXPECT_GT(rewritten, 100) << "most damage to pattern bytes is harmless";
}

// ---- programs built by mingw-w64 ----

namespace {

const char ProbeSource[] = R"(#include <windows.h>
#include <stdio.h>
/* Prints the size and CRC-32 of the program's own resource "ZIP", id 1. */
int main(void) {
    HRSRC r = FindResourceA(NULL, MAKEINTRESOURCEA(1), "ZIP");
    if (r == NULL) { printf("none\n"); return 1; }
    DWORD n = SizeofResource(NULL, r);
    const unsigned char* p = (const unsigned char*)LockResource(LoadResource(NULL, r));
    unsigned long c = 0xFFFFFFFFul;
    for (DWORD i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320ul ^ (c >> 1) : c >> 1;
    }
    printf("%lu %08lx\n", (unsigned long)n, ~c & 0xFFFFFFFFul);
    return 0;
}
)";

struct MingwProgram {
    std::string Path;
    Bytes Manifest;
};

// The probe, linked by gcc with `linkFlags`, with resources compiled by
// windres (a manifest, an old ZIP/1, a named resource) unless `bare`.
MingwProgram BuildProbe(const ScratchDir& dir, const std::string& gcc, const std::string& windres, bool bare,
                        const std::string& linkFlags, const std::string& name) {
    MingwProgram p;
    WriteText(dir.HostPath("probe.c"), ProbeSource);
    std::string objects;
    if (!bare) {
        std::string manifest = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>\n";
        p.Manifest = Bytes(manifest.begin(), manifest.end());
        WriteText(dir.HostPath("manifest.xml"), manifest);
        WriteText(dir.HostPath("old.bin"), "an older archive");
        WriteText(dir.HostPath("hello.txt"), "hello");
        WriteText(dir.HostPath("r.rc"), "1 24 \"" + dir.HostPath("manifest.xml") + "\"\n1 ZIP \"" +
                                             dir.HostPath("old.bin") + "\"\nHELLO TEXT \"" + dir.HostPath("hello.txt") +
                                             "\"\n");
        if (RunShell(windres + " " + dir.HostPath("r.rc") + " -O coff -o " + dir.HostPath(name + ".res.o")) != 0)
            return p;
        objects = dir.HostPath(name + ".res.o");
    }
    std::string out = dir.HostPath(name + ".exe");
    if (RunShell(gcc + " -Os -s " + linkFlags + " -o " + out + " " + dir.HostPath("probe.c") + " " + objects) != 0)
        return p;
    p.Path = out;
    return p;
}

std::string ObjdumpPrivateHeaders(const std::string& exe) {
    std::string outFile = exe + ".objdump";
    if (RunShell(std::string(MINGW_OBJDUMP) + " -p " + exe + " > " + outFile + " 2>/dev/null") != 0) return "";
    Bytes text = ReadBytes(outFile);
    return std::string(text.begin(), text.end());
}

}  // namespace

TEST(PeResourcesMingw, PackedProgramsKeepTheirResourcesAndObjdumpFindsThePayload) {
    struct Variant {
        const char* Gcc;
        const char* Windres;
        bool Bare;
        const char* LinkFlags;
        bool ExpectInPlace;
    };
    // i686 with .reloc behind .rsrc (new section), i686 without relocations
    // (.rsrc last: rewritten in place), x86_64 (PE32+), and a program without
    // any resource.
    const Variant variants[] = {
        {MINGW_I686_GCC, MINGW_I686_WINDRES, false, "", false},
        {MINGW_I686_GCC, MINGW_I686_WINDRES, false, "-Wl,--disable-reloc-section", true},
        {MINGW_X86_64_GCC, MINGW_X86_64_WINDRES, false, "", false},
        {MINGW_I686_GCC, MINGW_I686_WINDRES, true, "", false},
    };
    if (std::string(MINGW_I686_GCC).empty() || std::string(MINGW_X86_64_GCC).empty() ||
        std::string(MINGW_I686_WINDRES).empty() || std::string(MINGW_X86_64_WINDRES).empty())
        GTEST_SKIP() << "mingw-w64 compilers or windres not installed";
    ScratchDir dir;
    Bytes payload = Payload();
    int n = 0;
    for (const Variant& v : variants) {
        std::string name = "v" + std::to_string(n++);
        MingwProgram program = BuildProbe(dir, v.Gcc, v.Windres, v.Bare, v.LinkFlags, name);
        ASSERT_FALSE(program.Path.empty()) << name;
        Bytes stub = ReadBytes(program.Path);
        sfx::EmbedReport report;
        Bytes image = sfx::EmbedZipResource(stub, payload, &report);
        ExpectPayloadFound(image, payload);
        EXPECT_EQ(report.ReplacedInPlace, v.ExpectInPlace) << name;
        if (!v.Bare) {
            auto manifest = LookUpResource(image, "", 24, 1);
            ASSERT_TRUE(manifest.has_value()) << name;
            EXPECT_EQ(manifest->Data, program.Manifest);
            ResourceTree tree = sfx::ReadResources(image, sfx::ParsePe(image));
            EXPECT_EQ(tree[ResourceKey::Named("TEXT")][ResourceKey::Named("HELLO")].size(), 1u);
        }
        std::string packed = dir.HostPath(name + ".packed.exe");
        WriteBytes(packed, image);

        if (std::string(MINGW_OBJDUMP).empty()) continue;
        std::string dump = ObjdumpPrivateHeaders(packed);
        ASSERT_FALSE(dump.empty()) << "objdump cannot read " << packed;
        char line[64];
        std::snprintf(line, sizeof line, "Size: 0x%06zx, Codepage: 0", payload.size());
        EXPECT_NE(dump.find(line), std::string::npos) << name << "\n" << dump;
        EXPECT_NE(dump.find("name: [val: "), std::string::npos);
        EXPECT_NE(dump.find("]: ZIP, Value: "), std::string::npos) << dump;
        std::snprintf(line, sizeof line, "SizeOfImage\t\t%08x", OptionalField(image, 56));
        EXPECT_NE(dump.find(line), std::string::npos) << dump;
    }
}

TEST(PeResourcesMingw, UnderWineTheProgramFindsItsPayloadThroughFindResourceA) {
    if (std::string(MINGW_X86_64_GCC).empty() || std::string(MINGW_X86_64_WINDRES).empty())
        GTEST_SKIP() << "x86_64 mingw-w64 compiler or windres not installed";
    if (std::string(WINE64_EXE).empty()) GTEST_SKIP() << "Wine not installed";
    ScratchDir dir;
    MingwProgram program = BuildProbe(dir, MINGW_X86_64_GCC, MINGW_X86_64_WINDRES, false, "", "w");
    ASSERT_FALSE(program.Path.empty());
    Bytes payload = Payload();
    WriteBytes(dir.HostPath("packed.exe"), sfx::EmbedZipResource(ReadBytes(program.Path), payload));
    // Wine wants a prefix of its own; one in the scratch folder keeps the
    // user's alone.
    std::string run = "cd " + dir.Host + " && WINEPREFIX=" + dir.HostPath("wineprefix") +
                      " WINEDEBUG=-all timeout 240 " + WINE64_EXE + " ";
    int startedOriginal = RunShell(run + program.Path + " > " + dir.HostPath("old.txt") + " 2>/dev/null");
    if (startedOriginal != 0) GTEST_SKIP() << "Wine cannot run a 64-bit program here (exit " << startedOriginal << ")";
    EXPECT_EQ(RunShell(run + dir.HostPath("packed.exe") + " > " + dir.HostPath("new.txt") + " 2>/dev/null"), 0);
    Bytes said = ReadBytes(dir.HostPath("new.txt"));
    char expected[64];
    std::snprintf(expected, sizeof expected, "%zu %08x", payload.size(), Crc32(payload));
    EXPECT_EQ(std::string(said.begin(), said.end()).substr(0, std::strlen(expected)), expected);
}
