// Deflated entries through ExtractEntry: archives written by Python's zipfile
// and by Info-ZIP zip (also streamed, with data descriptors and sizes 0 in the
// local headers), the shared corpus, hand-made descriptors after streams that
// end at every bit position, cancel in the middle of the data, and the whole
// launcher on an installer of stored and deflated entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codecs/codecs.h"
#include "engine/engine.h"
#include "launcher/launcher.h"
#include "platform/posix/posix_backend.h"
#include "support/bit_writer.h"
#include "support/test_util.h"

using namespace testutil;

namespace {

struct Listed {
    std::string Name;  // "\" separators, as the walker gives it
    int32_t Offset;
    uint16_t Method;
    uint16_t Flags;
    uint32_t Crc;
    uint32_t Size;
};

std::vector<Listed> ListArchive(const std::string& winPath) {
    std::vector<Listed> out;
    EntrySearch s;
    std::memset(&s, 0, sizeof s);
    if (FindFirstEntry(winPath.c_str(), s) != 0) return out;
    do out.push_back({s.Name, s.HeaderOffset, s.Method, s.Flags, s.Crc, s.UncompressedSize});
    while (FindNextEntry(s) == 0);
    EndEntrySearch(s);
    return out;
}

struct MemoryExtract {
    ExtractResult Result;
    Bytes Data;
};

MemoryExtract ExtractToMemory(const std::string& archive, int32_t offset, size_t capacity, int16_t cancelKey = 0) {
    Bytes block(capacity + 1);
    EngineStateRecord& e = EngineState;
    e.MemoryOutput = true;
    e.MemoryTarget = block.data();
    e.MemoryLimit = static_cast<int32_t>(capacity);
    e.MemoryCount = 0;
    ExtractResult r = ExtractEntry(archive.c_str(), nullptr, 0, offset, 0, cancelKey);
    block.resize(static_cast<size_t>(e.MemoryCount));
    e.MemoryOutput = false;
    e.MemoryTarget = nullptr;
    e.MemoryLimit = 0;
    e.MemoryCount = 0;
    return {r, block};
}

// Source files of various kinds, written into dir/src.
std::map<std::string, Bytes> WriteSources(const ScratchDir& dir) {
    std::mt19937 rng(5);
    std::map<std::string, Bytes> files;
    std::string text;
    while (text.size() < 2200000) text += "line " + std::to_string(rng() % 100000) + " of the installer's readme\n";
    files["big.txt"] = Bytes(text.begin(), text.end());
    files["small.txt"] = Bytes(text.begin(), text.begin() + 100000);
    Bytes self = ReadBytes("/proc/self/exe");
    files["code.bin"] = Bytes(self.begin(), self.begin() + std::min<size_t>(self.size(), 300000));
    Bytes random(50000);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    files["random.dat"] = random;
    files["empty.txt"] = {};
    files["one.txt"] = {'1'};
    Bytes runs(32768);
    for (size_t i = 0; i < runs.size(); i++) runs[i] = static_cast<uint8_t>(i / 1000);
    files["window.bin"] = runs;
    RunShell("mkdir -p '" + dir.HostPath("src") + "'");
    for (auto& [name, data] : files) WriteBytes(dir.HostPath("src/" + name), data);
    return files;
}

// Extracts every entry into dir/out with file output and compares.
void ExpectArchiveExtracts(const ScratchDir& dir, const std::string& zipHost, const std::map<std::string, Bytes>& files,
                           bool expectDescriptors) {
    std::string archive = ToWin(zipHost);
    std::vector<Listed> entries = ListArchive(archive);
    ASSERT_EQ(entries.size(), files.size());
    int deflated = 0;
    for (const Listed& entry : entries) {
        SCOPED_TRACE(entry.Name);
        if (entry.Method == 8) deflated++;
        EXPECT_EQ((entry.Flags & 8) != 0, expectDescriptors);
        std::string dest = dir.WinPath("out\\" + entry.Name);
        ASSERT_EQ(ExtractEntry(archive.c_str(), dest.c_str(), 0, entry.Offset, 0, 0), Ok);
        EXPECT_TRUE(ReadBytes(dir.HostPath("out/" + entry.Name)) == files.at(entry.Name));
    }
    EXPECT_GE(deflated, 4);  // Info-ZIP stores what deflate cannot shrink
}

const char PythonZipper[] = R"(
import io, os, sys, zipfile
out, mode, level = sys.argv[1], sys.argv[2], int(sys.argv[3])
class Pipe(io.RawIOBase):  # no seek, no tell: zipfile writes data descriptors
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open(out, 'wb') as raw:
    target = raw if mode == 'seekable' else Pipe(raw)
    with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED, compresslevel=level) as z:
        for f in sys.argv[4:]:
            z.write(f, os.path.basename(f))
)";

std::vector<std::string> SourceArgs(const ScratchDir& dir, const std::map<std::string, Bytes>& files) {
    std::vector<std::string> args;
    for (auto& [name, data] : files) args.push_back(dir.HostPath("src/" + name));
    return args;
}

TEST(InflateArchives, PythonZipfileSeekableAndStreamed) {
    ScratchDir dir;
    auto files = WriteSources(dir);
    for (const char* mode : {"seekable", "stream"})
        for (int level : {1, 6, 9}) {
            SCOPED_TRACE(std::string(mode) + " level " + std::to_string(level));
            std::string zip = dir.HostPath(std::string(mode) + std::to_string(level) + ".zip");
            std::vector<std::string> args = {zip, mode, std::to_string(level)};
            for (auto& a : SourceArgs(dir, files)) args.push_back(a);
            ASSERT_EQ(RunPython(PythonZipper, args), 0);
            ExpectArchiveExtracts(dir, zip, files, std::string(mode) == "stream");
        }
}

TEST(InflateArchives, InfoZipPlainAndStreamed) {
    ScratchDir dir;
    auto files = WriteSources(dir);
    std::string names;
    for (auto& [name, data] : files) names += " '" + name + "'";
    for (int level : {1, 6, 9}) {
        SCOPED_TRACE("level " + std::to_string(level));
        std::string plain = dir.HostPath("plain" + std::to_string(level) + ".zip");
        std::string streamed = dir.HostPath("streamed" + std::to_string(level) + ".zip");
        ASSERT_EQ(RunShell("cd '" + dir.HostPath("src") + "' && /usr/bin/zip -q -X -" + std::to_string(level) + " '" +
                           plain + "'" + names),
                  0);
        // Written to a pipe, zip cannot go back to the local headers: sizes
        // 0 there and a data descriptor after each entry's data.
        ASSERT_EQ(RunShell("cd '" + dir.HostPath("src") + "' && /usr/bin/zip -q -X -" + std::to_string(level) + " -" +
                           names + " | cat > '" + streamed + "'"),
                  0);
        ExpectArchiveExtracts(dir, plain, files, false);
        ExpectArchiveExtracts(dir, streamed, files, true);
    }
}

// The corpus lists per archive its entries, methods and CRCs.
TEST(InflateArchives, SharedCorpusDeflatedEntries) {
    std::string manifest = std::string(SHARED_DIR) + "/corpus/MANIFEST.tsv";
    if (!Exists(manifest)) GTEST_SKIP() << "no shared corpus at " << SHARED_DIR << "/corpus";
    std::ifstream in(manifest);
    std::string line;
    std::getline(in, line);  // column names
    int checked = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> col;
        std::stringstream ss(line);
        for (std::string c; std::getline(ss, c, '\t');) col.push_back(c);
        if (col.size() < 8) continue;
        auto split = [](const std::string& s) {
            std::vector<std::string> v;
            std::stringstream p(s);
            for (std::string x; std::getline(p, x, ';');) v.push_back(x);
            return v;
        };
        std::vector<std::string> names = split(col[2]), methods = split(col[3]), sizes = split(col[5]),
                                 crcs = split(col[7]);
        bool hasDeflate = false;
        for (auto& m : methods) hasDeflate = hasDeflate || m == "8";
        if (!hasDeflate) continue;
        std::string archive = ToWin(std::string(SHARED_DIR) + "/corpus/" + col[0]);
        std::vector<Listed> entries = ListArchive(archive);
        ASSERT_EQ(entries.size(), names.size()) << col[0];
        for (size_t i = 0; i < entries.size(); i++) {
            if (methods[i] != "8") continue;
            SCOPED_TRACE(col[0] + ": " + names[i]);
            auto got = ExtractToMemory(archive, entries[i].Offset, std::stoul(sizes[i]) + 1);
            ASSERT_EQ(got.Result, Ok);
            EXPECT_EQ(got.Data.size(), std::stoul(sizes[i]));
            EXPECT_EQ(Crc32(got.Data), std::stoul(crcs[i], nullptr, 16));
            checked++;
        }
    }
    EXPECT_GT(checked, 0);
}

TEST(InflateArchives, DescriptorFollowsStreamsEndingAtEveryBitPosition) {
    // Fixed blocks of k literals end at every bit position of their last
    // byte; the descriptor's CRC must still be read from the next whole byte.
    ScratchDir dir;
    std::vector<uint16_t> fixed(288);
    for (int s = 0; s < 288; s++) fixed[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    std::vector<uint32_t> codes = testing_support::CanonicalCodes(fixed);
    std::vector<ZipEntrySpec> specs;
    std::vector<Bytes> contents;
    for (int k = 0; k < 24; k++) {
        testing_support::BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        Bytes plain;
        for (int i = 0; i < k; i++) {
            int symbol = (i * 7) % 2 ? 'a' + i : 200 + i;  // 8- and 9-bit codes
            w.Code(codes[symbol], fixed[symbol]);
            plain.push_back(static_cast<uint8_t>(symbol));
        }
        w.Code(codes[256], 7);
        ZipEntrySpec e;
        e.Name = "f" + std::to_string(k);
        e.Data = w.Finish();
        e.Method = 8;
        e.Crc = Crc32(plain);
        e.CrcFromData = false;
        e.UncompressedSize = static_cast<uint32_t>(plain.size());
        e.DataDescriptor = true;
        specs.push_back(e);
        contents.push_back(plain);
    }
    ZipLayout zip = BuildZip(specs);
    WriteBytes(dir.HostPath("d.zip"), zip.Bytes_);
    for (size_t k = 0; k < specs.size(); k++) {
        auto got = ExtractToMemory(dir.WinPath("d.zip"), static_cast<int32_t>(zip.HeaderOffsets[k]), 1000);
        EXPECT_EQ(got.Result, Ok) << k;
        EXPECT_EQ(got.Data, contents[k]) << k;
    }
}

TEST(InflateArchives, CancelKeyStopsInTheMiddleOfTheData) {
    ScratchDir dir;
    auto files = WriteSources(dir);
    std::string zip = dir.HostPath("c.zip");
    std::string src = dir.HostPath("src/");
    for (const char* mode : {"seekable", "stream"}) {
        ASSERT_EQ(RunPython(PythonZipper, {zip, mode, "6", src + "big.txt", src + "random.dat"}), 0);
        std::vector<Listed> entries = ListArchive(ToWin(zip));
        ASSERT_EQ(entries.size(), 2u);
        const int key = 0x1B;  // Escape
        win::posix::SetKeyDown(key, true);
        for (const Listed& entry : entries) {
            // The key is polled when the percentage first moves, after the
            // first block of input; the decoder stops at its next check.
            auto got = ExtractToMemory(ToWin(zip), entry.Offset, 3000000, key);
            EXPECT_EQ(got.Result, std::string(mode) == "stream" ? Ok : Cancelled) << entry.Name << " " << mode;
            if (std::string(mode) != "stream") EXPECT_LT(got.Data.size(), files[entry.Name].size());
        }
        win::posix::SetKeyDown(key, false);
    }
}

TEST(InflateArchives, LauncherInstallsStoredAndDeflatedEntriesWithAndWithoutDescriptors) {
    ScratchDir dir;
    auto files = WriteSources(dir);
    // Raw deflate streams of the sources, from Python's zlib (what zipfile
    // writes into archives).
    std::vector<std::string> args;
    for (auto& a : SourceArgs(dir, files)) args.push_back(a);
    ASSERT_EQ(RunPython(R"(
import sys, zlib
for path in sys.argv[1:]:
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    with open(path, 'rb') as f, open(path + '.deflate', 'wb') as out:
        out.write(c.compress(f.read()) + c.flush())
)",
                        args),
              0);
    const std::string setup = "#!/bin/sh\nexit 0\n";
    std::vector<ZipEntrySpec> specs;
    ZipEntrySpec setupEntry;
    setupEntry.Name = "Setup.exe";
    setupEntry.Data = Bytes(setup.begin(), setup.end());
    specs.push_back(setupEntry);
    int i = 0;
    for (auto& [name, data] : files) {
        ZipEntrySpec e;
        e.Name = "app/" + name;
        e.Data = ReadBytes(dir.HostPath("src/" + name + ".deflate"));
        e.Method = 8;
        e.Crc = Crc32(data);
        e.CrcFromData = false;
        e.UncompressedSize = static_cast<uint32_t>(data.size());
        e.DataDescriptor = i++ % 2 == 1;
        specs.push_back(e);
    }
    ZipEntrySpec stored;
    stored.Name = "stored.txt";
    stored.Data = files["small.txt"];
    specs.push_back(stored);
    ZipLayout installer = BuildZip(specs);

    ScratchDir temp;
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", temp.Host.c_str(), 1);
    win::posix::RegisterResource("ZIP", 1, installer.Bytes_.data(), static_cast<win::DWORD>(installer.Bytes_.size()));
    int code = LauncherMain();
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_EQ(code, 0);
    for (auto& [name, data] : files) EXPECT_TRUE(ReadBytes(temp.HostPath("app/" + name)) == data) << name;
    EXPECT_TRUE(ReadBytes(temp.HostPath("stored.txt")) == files["small.txt"]);
    EXPECT_TRUE(Exists(temp.HostPath("Setup.exe")));
    EXPECT_FALSE(Exists(temp.HostPath("pc.dat")));
    EXPECT_EQ(win::posix::LastShellExecute().File, temp.WinPath("Setup.exe"));
}

}  // namespace
