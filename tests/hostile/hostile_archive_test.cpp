// The catalogue of hostile archives. Each archive is built here, embedded as
// the launcher's resource and run through the whole launcher on the POSIX
// backend, with the temporary directory inside a scratch folder. After every
// run: exit code 0, nothing in the scratch folder but the temporary
// directory, no "pc.dat" and no failed output left in it, and every good
// entry beside the bad ones extracted with its exact content.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

#include "launcher/launcher.h"
#include "platform/posix/posix_backend.h"
#include "support/test_util.h"
#include "support/zlib_deflate.h"

using namespace testutil;

namespace {

// What a file must hold: its size and CRC-32 (files of 100 MB are compared
// without a second copy in memory).
struct Content {
    uint64_t Size;
    uint32_t Crc;
    bool operator==(const Content&) const = default;
};
Content Of(const Bytes& b) { return {b.size(), Crc32(b)}; }

Content OfFile(const std::string& host) {
    uint32_t crc = 0xFFFFFFFFu;
    uint64_t size = 0;
    FILE* f = std::fopen(host.c_str(), "rb");
    if (f == nullptr) return {~0ull, 0};
    std::vector<uint8_t> buf(1 << 16);
    size_t got;
    while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        // CRC-32 chained over the chunks: Crc32 of a chunk is finalised, so
        // undo the final inversion and feed the state back through a table.
        static const auto table = [] {
            std::vector<uint32_t> t(256);
            for (uint32_t n = 0; n < 256; n++) {
                uint32_t c = n;
                for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                t[n] = c;
            }
            return t;
        }();
        for (size_t i = 0; i < got; i++) crc = table[(crc ^ buf[i]) & 0xFF] ^ (crc >> 8);
        size += got;
    }
    std::fclose(f);
    return {size, ~crc};
}

// The files a run must leave in the temporary directory: name (with "/")
// and content. Nothing else may be there.
using Expected = std::map<std::string, Content>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Content TextOf(const std::string& s) { return Of(Text(s)); }

ZipEntrySpec Stored(const std::string& name, const std::string& text) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = Text(text);
    return e;
}

#ifdef HAVE_ZLIB
// A raw deflate stream (no zlib header) of data.
Bytes Deflate(const Bytes& data, int level = 9) { return testutil::ZlibRawDeflate(data, level); }

ZipEntrySpec Deflated(const std::string& name, const Bytes& data) {
    ZipEntrySpec e;
    e.Name = name;
    e.Data = Deflate(data);
    e.Method = 8;
    e.Crc = Crc32(data);
    e.CrcFromData = false;
    e.UncompressedSize = static_cast<uint32_t>(data.size());
    return e;
}
#endif

// One launcher run: a scratch folder with the temporary directory "tmp"
// inside it, TMPDIR pointing there for the run.
struct HostileRun {
    ScratchDir scratch;
    std::string temp = scratch.HostPath("tmp");

    HostileRun() { EXPECT_EQ(mkdir(temp.c_str(), 0755), 0); }

    // Runs the launcher over archive and checks the common promises; the
    // temporary directory must then hold exactly `expected`.
    void Run(const Bytes& archive, const Expected& expected, const std::string& what = "") {
        SCOPED_TRACE(what);
        const char* old = std::getenv("TMPDIR");
        std::string saved = old != nullptr ? old : "";
        setenv("TMPDIR", temp.c_str(), 1);
        win::posix::RegisterResource("ZIP", 1, archive.data(), static_cast<win::DWORD>(archive.size()));
        int rc = LauncherMain();
        if (old != nullptr)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
        ASSERT_EQ(chdir(scratch.Host.c_str()), 0);  // the engine moves the current directory

        EXPECT_EQ(rc, 0);
        EXPECT_EQ(ListFiles(scratch.Host).size(), ListFiles(temp).size())
            << "something was made outside the temporary directory";
        EXPECT_EQ(TopLevel(), std::vector<std::string>{"tmp"}) << "something was made outside the temporary directory";
        EXPECT_FALSE(Exists(temp + "/pc.dat"));
        std::vector<std::string> names;
        for (const auto& [name, content] : expected) {
            names.push_back(name);
            if (Exists(temp + "/" + name)) EXPECT_TRUE(OfFile(temp + "/" + name) == content) << name;
        }
        EXPECT_EQ(ListFiles(temp), names) << "good entries missing or failed output left";
    }

    // Everything directly in the scratch folder, directories included.
    std::vector<std::string> TopLevel() const {
        std::vector<std::string> top;
        if (DIR* d = opendir(scratch.Host.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") top.push_back(n);
            }
            closedir(d);
        }
        std::sort(top.begin(), top.end());
        return top;
    }

    // Empties the scratch folder but for an empty temporary directory, for
    // the next run in the same test.
    void Reset() {
        RemoveBelow(scratch.Host);
        EXPECT_EQ(mkdir(temp.c_str(), 0755), 0);
    }

    static void RemoveBelow(const std::string& dir) {
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) return;
        std::vector<std::string> names;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(dir + "/" + n);
        }
        closedir(d);
        for (const auto& path : names) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                RemoveBelow(path);
                rmdir(path.c_str());
            } else {
                chmod(path.c_str(), 0644);
                unlink(path.c_str());
            }
        }
    }
};

// The directory records of a built archive, for patching: the offset of the
// n-th central record.
size_t DirectoryRecord(const ZipLayout& z, size_t n) {
    size_t at = z.DirectoryOffset;
    for (size_t i = 0; i < n; i++) {
        const Bytes& b = z.Bytes_;
        at += 46 + (b[at + 28] | (b[at + 29] << 8)) + (b[at + 30] | (b[at + 31] << 8)) + (b[at + 32] | (b[at + 33] << 8));
    }
    return at;
}

}  // namespace

TEST(HostileArchive, NamesClimbingOutWithDotsStayInside) {
    HostileRun run;
    auto z = BuildZip({Stored("../up.txt", "no"), Stored("..\\up2.txt", "no"), Stored("a/../../up3.txt", "no"),
                       Stored("a\\..\\..\\up4.txt", "no"), Stored("...\\up5.txt", "no"), Stored(". .\\up6.txt", "no"),
                       Stored("../up/", ""), Stored("good.txt", "good"), Stored("sub/../inside.txt", "no"),
                       Stored("sub\\ok.txt", "ok")});
    run.Run(z.Bytes_, {{"good.txt", TextOf("good")}, {"sub/ok.txt", TextOf("ok")}});
}

TEST(HostileArchive, AbsoluteAndDriveLetteredNamesStayInside) {
    HostileRun run;
    // Absolute names that would land in the scratch folder, so that an
    // escape shows there; and names with drive letters.
    std::string abs = run.scratch.Host.substr(1) + "/abs.txt";
    std::string absWin = run.scratch.Win.substr(2) + "\\abs2.txt";  // "\tmp\zl-..\abs2.txt"
    auto z = BuildZip({Stored("/" + abs, "no"), Stored(absWin, "no"), Stored(run.scratch.Win + "\\drive.txt", "no"),
                       Stored("C:drive2.txt", "no"), Stored("D:\\drive3.txt", "no"), Stored("c:/x/drive4.txt", "no"),
                       Stored("kept.txt", "kept")});
    run.Run(z.Bytes_, {{"kept.txt", TextOf("kept")}});
    EXPECT_FALSE(Exists(run.scratch.HostPath("../drive2.txt")));
}

TEST(HostileArchive, NamesWithColonsAreRefused) {
    HostileRun run;
    auto z = BuildZip({Stored("a:b.txt", "no"), Stored("file.txt:stream", "no"), Stored("dir:/f.txt", "no"),
                       Stored("plain.txt", "plain")});
    run.Run(z.Bytes_, {{"plain.txt", TextOf("plain")}});
}

TEST(HostileArchive, NamesMakingPathsPast259CharactersFailAlone) {
    HostileRun run;
    std::string longName(300, 'n');
    std::string deep;
    while (deep.size() < 280) deep += "dddddddddd/";
    std::string fits = "f/" + std::string(40, 'x') + ".txt";
    auto z = BuildZip({Stored(longName, "no"), Stored(deep + "f.txt", "no"), Stored(deep, ""),
                       Stored(std::string(258, 'm'), "no"), Stored(fits, "fits")});
    run.Run(z.Bytes_, {{fits, TextOf("fits")}});
}

TEST(HostileArchive, LocalHeadersDisagreeingWithTheDirectory) {
    HostileRun run;
    auto z = BuildZip({Stored("sizes.txt", "0123456789"), Stored("method.txt", "abc"), Stored("namelen.txt", "abc"),
                       Stored("crc.txt", "abc"), Stored("sig.txt", "abc"), Stored("good.txt", "good"),
                       Stored("deflate.txt", "not deflate data"), Stored("encrypted.txt", "x")});
    Bytes& b = z.Bytes_;
    PutLe32(b, z.HeaderOffsets[0] + 18, 4000);   // more data than the entry has: reads the next entries
    PutLe32(b, z.HeaderOffsets[0] + 22, 4000);
    PutLe16(b, z.HeaderOffsets[1] + 8, 7);       // a method without decoder
    PutLe16(b, z.HeaderOffsets[2] + 26, 0xFFFF); // data far behind the end
    PutLe32(b, z.HeaderOffsets[3] + 14, 0x12345678);
    b[z.HeaderOffsets[4] + 3] = 0x07;            // not a local header
    PutLe16(b, z.HeaderOffsets[6] + 8, 8);       // stored bytes declared deflated
    PutLe16(b, z.HeaderOffsets[7] + 6, 1);       // encrypted
    run.Run(b, {{"good.txt", TextOf("good")}});
}

TEST(HostileArchive, OverlappingEntriesDecodeWhatTheyPointAt) {
    HostileRun run;
    auto z = BuildZip({Stored("first.txt", "first"), Stored("second.txt", "second"), Stored("third.txt", "third")});
    Bytes& b = z.Bytes_;
    // The second and third records point at the first entry's header: both
    // names get the first entry's content.
    PutLe32(b, DirectoryRecord(z, 1) + 42, z.HeaderOffsets[0]);
    // And a record pointing into the middle of a header.
    PutLe32(b, DirectoryRecord(z, 2) + 42, z.HeaderOffsets[0] + 3);
    run.Run(b, {{"first.txt", TextOf("first")}, {"second.txt", TextOf("first")}});
}

TEST(HostileArchive, HeaderOffsetsPastTheEndOrNegative) {
    HostileRun run;
    auto z = BuildZip({Stored("past.txt", "p"), Stored("negative.txt", "n"), Stored("max.txt", "m"),
                       Stored("last30.txt", "l"), Stored("good.txt", "good")});
    Bytes& b = z.Bytes_;
    PutLe32(b, DirectoryRecord(z, 0) + 42, static_cast<uint32_t>(b.size() + 100));
    PutLe32(b, DirectoryRecord(z, 1) + 42, 0xFFFFFFF0u);
    PutLe32(b, DirectoryRecord(z, 2) + 42, 0x7FFFFFFFu);
    PutLe32(b, DirectoryRecord(z, 3) + 42, static_cast<uint32_t>(b.size() - 20));
    run.Run(b, {{"good.txt", TextOf("good")}});
}

TEST(HostileArchive, DirectoryPointingPastTheEndOrBehindTheEndRecord) {
    HostileRun run;
    auto z = BuildZip({Stored("a.txt", "a"), Stored("b.txt", "b")});
    for (uint32_t directory : {static_cast<uint32_t>(z.Bytes_.size() + 1000), 0xFFFFFFF0u, 0x7FFFFFFFu,
                               z.EndRecordOffset + 5, z.EndRecordOffset + 4, z.DirectoryOffset + 1}) {
        Bytes b = z.Bytes_;
        PutLe32(b, z.EndRecordOffset + 16, directory);
        run.Run(b, {}, "directory at " + std::to_string(directory));
        run.Reset();
    }
    // A directory said to start earlier than it does: the walk meets a local
    // header instead of a directory record and lists nothing.
    Bytes b = z.Bytes_;
    PutLe32(b, z.EndRecordOffset + 16, 0);
    run.Run(b, {});
}

TEST(HostileArchive, SizesNear2To31AndDeferredSizes) {
    HostileRun run;
    std::vector<ZipEntrySpec> entries;
    const uint32_t sizes[] = {0x7FFFFFFFu, 0x7FFFFF9Bu, 0x80000000u, 0xFFFFFFFFu, 0x7FFFFFFDu};
    for (uint32_t s : sizes) {
        ZipEntrySpec e = Stored("stored-" + std::to_string(s), "tiny data");
        entries.push_back(e);
        ZipEntrySpec d = Stored("deflated-" + std::to_string(s), std::string("\x03\x00", 2));  // an empty fixed block
        d.Method = 8;
        d.UncompressedSize = s;
        entries.push_back(d);
    }
    // A deferred-size entry whose descriptor never comes: the data runs into
    // the directory.
    ZipEntrySpec cut = Stored("deferred-cut.txt", std::string("\x05\x00", 2));  // a fixed block without its end
    cut.Method = 8;
    cut.DataDescriptor = true;
    cut.DescriptorSignature = false;
    entries.push_back(cut);
    entries.push_back(Stored("good.txt", "good"));
    auto z = BuildZip(entries);
    Bytes& b = z.Bytes_;
    for (size_t i = 0; i < std::size(sizes); i++) {
        PutLe32(b, z.HeaderOffsets[2 * i] + 18, sizes[i]);
        PutLe32(b, z.HeaderOffsets[2 * i] + 22, sizes[i]);
        PutLe32(b, z.HeaderOffsets[2 * i + 1] + 18, sizes[i]);
    }
    run.Run(b, {{"good.txt", TextOf("good")}});
}

TEST(HostileArchive, OlderMethodsWithLyingSizesAndGarbageData) {
    // Shrunk, reduced and imploded entries whose headers claim sizes near
    // 2^31 or defer them, over zeros and over garbage. A shrunk entry of
    // zeros claiming 2 GiB used to decode the re-served last block for
    // billions of codes, writing gigabytes.
    HostileRun run;
    std::vector<ZipEntrySpec> entries;
    Bytes garbage = PatternBytes(3000, 11);
    for (uint16_t method : {1, 2, 3, 4, 5, 6}) {
        for (int variant = 0; variant < 4; variant++) {
            ZipEntrySpec e;
            e.Name = "m" + std::to_string(method) + "-" + std::to_string(variant);
            e.Method = method;
            e.Data = variant % 2 == 0 ? Bytes(100, 0) : garbage;
            e.UncompressedSize = 0x7FFFFF00u;
            e.Flags = method == 6 ? 6 : 0;
            if (variant == 3) e.DataDescriptor = true;
            entries.push_back(e);
        }
    }
    entries.push_back(Stored("good.txt", "good"));
    auto z = BuildZip(entries);
    Bytes& b = z.Bytes_;
    for (size_t i = 0; i + 1 < entries.size(); i++)
        if (i % 4 < 2) PutLe32(b, z.HeaderOffsets[i] + 18, 0x7FFFFF00u);
    run.Run(b, {{"good.txt", TextOf("good")}});
}

TEST(HostileArchive, AShrunkEntryClaiming2GiBOverAZeroTail) {
    // A shrunk entry whose local header claims 2 GiB of data stands in the
    // archive comment, followed by zeros to the end of the file, so that the
    // re-served last input block decodes to zeros for ever: only the end of
    // the file can stop the decoder before it has written gigabytes.
    HostileRun run;
    Bytes header;
    AppendLe32(header, 0x04034B50);
    AppendLe16(header, 20);
    AppendLe16(header, 0);   // flags
    AppendLe16(header, 1);   // shrunk
    AppendLe32(header, 0x58A16B2D);
    AppendLe32(header, 0);   // CRC
    AppendLe32(header, 0x7FFFFF00u);
    AppendLe32(header, 0x7FFFFF00u);
    AppendLe16(header, 1);
    AppendLe16(header, 0);
    header.push_back('z');
    header.resize(header.size() + 8192, 0);
    ZipEntrySpec shrunk = Stored("z", "");
    shrunk.Method = 1;
    auto z = BuildZip({Stored("good.txt", "good"), shrunk}, {}, std::string(header.begin(), header.end()));
    PutLe32(z.Bytes_, DirectoryRecord(z, 1) + 42, z.EndRecordOffset + 22);
    run.Run(z.Bytes_, {{"good.txt", TextOf("good")}});
}

#ifdef HAVE_ZLIB
TEST(HostileArchive, AHundredKilobyteEntryExpandingToAHundredMegabytes) {
    HostileRun run;
    Bytes zeros(100u << 20, 0);
    ZipEntrySpec bomb = Deflated("bomb.bin", zeros);
    const Content bombContent{zeros.size(), bomb.Crc};
    zeros = Bytes();
    EXPECT_LT(bomb.Data.size(), 110u * 1024);
    ZipEntrySpec lie = bomb;
    lie.Name = "bomb-bad-crc.bin";
    lie.Crc ^= 1;
    auto z = BuildZip({bomb, lie, Stored("after.txt", "after")});
    bomb.Data.clear();
    run.Run(z.Bytes_, {{"after.txt", TextOf("after")}, {"bomb.bin", bombContent}});
}

TEST(HostileArchive, EntriesFailingMidWayLeaveNoOutput) {
    HostileRun run;
    Bytes big = PatternBytes(200000, 7);
    // A deflated entry damaged after its first 32 KiB went to the file.
    ZipEntrySpec damaged = Deflated("damaged.bin", big);
    damaged.Data.resize(damaged.Data.size() * 3 / 4);
    damaged.Data.resize(damaged.Data.size() + 64, 0xFF);
    // A stored entry whose data ends with the file.
    ZipEntrySpec cutStored = Stored("cut-stored.bin", std::string(100000, 's'));
    // A deflated entry with a wrong CRC.
    ZipEntrySpec wrongCrc = Deflated("wrong-crc.bin", big);
    wrongCrc.Crc ^= 0x80000000u;
    ZipEntrySpec good = Deflated("good.bin", big);
    auto z = BuildZip({damaged, wrongCrc, good, cutStored});
    Bytes b = z.Bytes_;
    // The stored entry claims 100000 bytes, but only 50000 are in the file
    // before the directory; its local header keeps the full size.
    size_t cutAt = z.HeaderOffsets[3] + 30 + cutStored.Name.size() + 50000;
    Bytes tail(b.begin() + z.DirectoryOffset, b.end());
    b.resize(cutAt);
    uint32_t shift = z.DirectoryOffset - static_cast<uint32_t>(cutAt);
    b.insert(b.end(), tail.begin(), tail.end());
    PutLe32(b, b.size() - 22 + 16, z.DirectoryOffset - shift);
    run.Run(b, {{"good.bin", Of(big)}});
}

TEST(HostileArchive, AWriteFailingWithASystemErrorEndsTheRunWithTheErrorBox) {
    HostileRun run;
    // Very compressible, so that the archive is small and the file big.
    Bytes piece = PatternBytes(3000, 9);
    Bytes big;
    for (int i = 0; i < 100; i++) big.insert(big.end(), piece.begin(), piece.end());
    auto z = BuildZip({Deflated("big.bin", big), Stored("later.txt", "later")});
    ASSERT_LT(z.Bytes_.size(), 60000u);
    std::string temp = run.temp;
    EXPECT_EXIT(
        {
            // Files may grow to 60000 bytes: pc.dat fits, big.bin does not.
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = 60000;
            setrlimit(RLIMIT_FSIZE, &limit);
            setenv("TMPDIR", temp.c_str(), 1);
            win::posix::RegisterResource("ZIP", 1, z.Bytes_.data(), static_cast<win::DWORD>(z.Bytes_.size()));
            LauncherMain();
        },
        ::testing::ExitedWithCode(1), "Anwendungsfehler.*Exception EInOutError");
    // The failed output is deleted before the error ends the run; pc.dat
    // stays, and nothing later was extracted.
    EXPECT_EQ(ListFiles(run.temp), std::vector<std::string>{"pc.dat"});
    EXPECT_EQ(ListFiles(run.scratch.Host), std::vector<std::string>{"tmp/pc.dat"});
}
#endif

TEST(HostileArchive, TruncationsAtEveryByteOfASmallArchive) {
    HostileRun run;
    ZipEntrySpec deflated = Stored("d/deflated.txt", std::string("\x4b\x4c\x4a\x06\x00", 5));  // "abc"
    deflated.Method = 8;
    deflated.Crc = Crc32(Text("abc"));
    deflated.CrcFromData = false;
    deflated.UncompressedSize = 3;
    ZipEntrySpec described = deflated;
    described.Name = "described.txt";
    described.DataDescriptor = true;
    auto z = BuildZip({Stored("first.txt", "first"), Stored("d/", ""), deflated, described, Stored("last.txt", "last")});
    const Expected full = {{"first.txt", TextOf("first")},
                           {"d/deflated.txt", TextOf("abc")},
                           {"described.txt", TextOf("abc")},
                           {"last.txt", TextOf("last")}};
    run.Run(z.Bytes_, full, "whole archive");
    run.Reset();
    for (size_t n = 0; n < z.Bytes_.size(); n++) {
        Bytes cut(z.Bytes_.begin(), z.Bytes_.begin() + static_cast<std::ptrdiff_t>(n));
        // The end record is gone in every truncation but those inside the
        // 22 bytes... which cut it too: nothing is listed, nothing extracted.
        run.Run(cut, {}, "truncated to " + std::to_string(n) + " bytes");
        run.Reset();
    }
}

TEST(HostileArchive, TruncatedEntryDataBehindAnIntactDirectory) {
    // The directory stays whole and the entries' data is cut at every byte:
    // each entry is either extracted whole or not at all.
    HostileRun run;
    auto z = BuildZip({Stored("one.txt", "one one"), Stored("two.txt", "two two two")});
    Bytes directory(z.Bytes_.begin() + z.DirectoryOffset, z.Bytes_.end());
    for (size_t n = 0; n < z.DirectoryOffset; n++) {
        Bytes b(z.Bytes_.begin(), z.Bytes_.begin() + static_cast<std::ptrdiff_t>(n));
        b.resize(z.DirectoryOffset, 0xEE);  // the same offsets, the data gone
        b.insert(b.end(), directory.begin(), directory.end());
        Expected expected;
        if (n >= z.HeaderOffsets[1]) expected["one.txt"] = TextOf("one one");
        run.Run(b, expected, "data cut at " + std::to_string(n));
        run.Reset();
    }
}

TEST(HostileArchive, OddEntriesBesideGoodOnes) {
    HostileRun run;
    ZipEntrySpec method32 = Stored("method32.txt", "x");
    method32.Method = 32;
    ZipEntrySpec method99 = Stored("method99.txt", "x");
    method99.Method = 99;
    ZipEntrySpec withNul = Stored(std::string("nul\0tail.txt", 12), "nul");
    auto z = BuildZip({Stored("pc.dat", "would overwrite the archive"), method32, method99, Stored("file", "file"),
                       Stored("file/inside.txt", "no"), withNul, Stored("", ""), Stored("dup.txt", "1"),
                       Stored("dup.txt", "2"), Stored("end.txt", "end")});
    run.Run(z.Bytes_, {{"file", TextOf("file")}, {"nul", TextOf("nul")}, {"dup.txt", TextOf("2")}, {"end.txt", TextOf("end")}});
}
