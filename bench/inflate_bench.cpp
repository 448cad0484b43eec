// In-memory decode throughput of our inflate beside zlib and libdeflate, on
// the raw deflate data of one entry of a ZIP archive, and CRC-32 throughput.
//
// Ours runs as the engine runs it for `sfx test`: ExtractEntry in test-only
// mode, reading the archive through the engine's 2048-byte input buffer (the
// archive is expected on tmpfs or in the page cache) and passing every
// decoded byte through the CRC-32, which it then compares. zlib's inflate
// decodes the same stream from memory into a 32 KiB buffer, as a streaming
// extractor would; libdeflate_deflate_decompress decodes it in one call into
// a buffer of the whole output (the only way it works). Both are timed
// without and with a CRC-32 of their output (zlib's crc32 per 32 KiB,
// libdeflate_crc32 over the whole output).
//
// The CRC line runs UpdateCrc (the engine's CRC-32, fed 32 KiB at a time as
// FlushOutput feeds it), zlib's crc32 and libdeflate_crc32 over the entry's
// uncompressed data in memory.
//
// Times are the thread's CPU time (user and system); each figure is the
// median over the runs, in MB (10^6 bytes) of uncompressed output per second.
// zlib and libdeflate are yardsticks of this benchmark only.
//
// Every measured piece is one extern "C" function named Bench*, so that
// `valgrind --tool=callgrind --toggle-collect=Bench*` counts only decoding:
//
// Usage: inflate_bench [--runs N] [--only NAME] [--json] ARCHIVE [ENTRY]
//   ENTRY defaults to the largest deflated entry. NAME is one of ours, zlib,
//   zlib+crc, libdeflate, libdeflate+crc, crc-ours, crc-zlib, crc-libdeflate.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#if HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "archive/archive.h"
#include "engine/engine.h"

namespace {

struct Entry {
    std::string Name;
    int32_t HeaderOffset = -1;
    uint32_t CompressedSize = 0;
    uint32_t UncompressedSize = 0;
    uint32_t Crc = 0;
};

// Our walker with "\" separators; a name given with "/" matches too.
bool FindEntry(const std::string& corePath, const std::string& wanted, Entry& found) {
    std::string want = wanted;
    std::replace(want.begin(), want.end(), '/', '\\');
    EntrySearch search{};
    for (int32_t r = FindFirstEntry(corePath.c_str(), search); r == 0; r = FindNextEntry(search)) {
        if (search.Method != 8) continue;
        bool match = want.empty() ? search.UncompressedSize > found.UncompressedSize || found.HeaderOffset < 0
                                  : want == search.Name;
        if (match) {
            found = {search.Name, search.HeaderOffset, search.CompressedSize, search.UncompressedSize, search.Crc};
            if (!want.empty()) break;
        }
    }
    EndEntrySearch(search);
    return found.HeaderOffset >= 0;
}

std::vector<uint8_t> ReadRawStream(const std::string& path, const Entry& entry) {
    std::vector<uint8_t> stream;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    uint8_t header[30];
    if (f == nullptr || std::fseek(f, entry.HeaderOffset, SEEK_SET) != 0 || std::fread(header, 1, 30, f) != 30) {
        std::fprintf(stderr, "cannot read the local header in %s\n", path.c_str());
        std::exit(1);
    }
    long dataOffset = entry.HeaderOffset + 30L + (header[26] | header[27] << 8) + (header[28] | header[29] << 8);
    stream.resize(entry.CompressedSize);
    if (std::fseek(f, dataOffset, SEEK_SET) != 0 || std::fread(stream.data(), 1, stream.size(), f) != stream.size()) {
        std::fprintf(stderr, "cannot read the data of %s\n", entry.Name.c_str());
        std::exit(1);
    }
    std::fclose(f);
    return stream;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

}  // namespace

// ---- the measured pieces; each returns the CRC-32 of the output (0 when it has none) ----

extern "C" __attribute__((noinline)) uint32_t BenchOurs(const char* corePath, int32_t headerOffset) {
    EngineStateRecord& e = EngineState;
    e.TestOnly = true;
    e.MemoryOutput = true;  // no output file: the destination steps are skipped
    e.MemoryTarget = nullptr;
    e.MemoryLimit = 0;
    e.MemoryCount = 0;
    ExtractResult result = ExtractEntry(corePath, nullptr, 0, headerOffset, 0, 0);
    if (result != Ok) Fail("ExtractEntry failed");
    return e.RunningCrc;  // final (inverted) by ExtractEntry, compared with the entry's
}

extern "C" __attribute__((noinline)) uint32_t BenchZlib(const uint8_t* stream, size_t size, bool withCrc) {
    static uint8_t window[32768];
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(stream);
    z.avail_in = static_cast<uInt>(size);
    uLong crc = crc32(0, nullptr, 0);
    int rc;
    do {
        z.next_out = window;
        z.avail_out = sizeof window;
        rc = inflate(&z, Z_NO_FLUSH);
        if (withCrc) crc = crc32(crc, window, static_cast<uInt>(sizeof window - z.avail_out));
    } while (rc == Z_OK);
    inflateEnd(&z);
    if (rc != Z_STREAM_END) Fail("zlib inflate failed");
    return static_cast<uint32_t>(crc);
}

#if HAVE_LIBDEFLATE
extern "C" __attribute__((noinline)) uint32_t BenchLibdeflate(libdeflate_decompressor* d, const uint8_t* stream,
                                                               size_t size, uint8_t* out, size_t outSize,
                                                               bool withCrc) {
    size_t actual = 0;
    if (libdeflate_deflate_decompress(d, stream, size, out, outSize, &actual) != LIBDEFLATE_SUCCESS ||
        actual != outSize)
        Fail("libdeflate_deflate_decompress failed");
    return withCrc ? libdeflate_crc32(0, out, outSize) : 0;
}

extern "C" __attribute__((noinline)) uint32_t BenchCrcLibdeflate(const uint8_t* data, size_t size) {
    return libdeflate_crc32(0, data, size);
}
#endif

extern "C" __attribute__((noinline)) uint32_t BenchCrcOurs(const uint8_t* data, size_t size) {
    EngineState.RunningCrc = 0xFFFFFFFFu;
    for (size_t at = 0; at < size; at += OutputWindowSize)
        UpdateCrc(data + at, static_cast<int32_t>(std::min<size_t>(OutputWindowSize, size - at)));
    return ~EngineState.RunningCrc;
}

extern "C" __attribute__((noinline)) uint32_t BenchCrcZlib(const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(size)));
}

namespace {

struct Result {
    std::string Name;
    double MedianSeconds = 0;
    double BestSeconds = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::string only;
    bool json = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--json") {
            json = true;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty() || positional.size() > 2) {
        std::fprintf(stderr, "usage: inflate_bench [--runs N] [--only NAME] [--json] ARCHIVE [ENTRY]\n");
        return 2;
    }
    std::string path = positional[0];
    if (path.empty() || path[0] != '/') {
        char* absolute = realpath(path.c_str(), nullptr);
        if (absolute == nullptr) Fail("cannot find the archive");
        path = absolute;
        std::free(absolute);
    }
    // The engine takes Windows paths; the POSIX backend maps "C:" to "/".
    std::string corePath = "C:" + path;
    Entry entry;
    if (!FindEntry(corePath, positional.size() > 1 ? positional[1] : "", entry)) Fail("no such deflated entry");
    std::vector<uint8_t> stream = ReadRawStream(path, entry);
    std::vector<uint8_t> output(entry.UncompressedSize);
    {
        // The reference output, for the CRC programs and a check of the entry.
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = stream.data();
        z.avail_in = static_cast<uInt>(stream.size());
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.total_out != output.size()) Fail("the entry does not inflate");
        inflateEnd(&z);
        // (not through BenchCrcZlib: a setup step must stay out of the counted Bench* functions)
        if (crc32(crc32(0, nullptr, 0), output.data(), static_cast<uInt>(output.size())) != entry.Crc)
            Fail("the entry's CRC does not match");
    }
#if HAVE_LIBDEFLATE
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::vector<uint8_t> whole(entry.UncompressedSize);
#endif

    struct Program {
        const char* Name;
        bool WithCrc;  // returns the CRC-32, which must match
        uint32_t (*Run)(void* context);
    };
    struct Context {
        const char* CorePath;
        int32_t HeaderOffset;
        const std::vector<uint8_t>* Stream;
        const std::vector<uint8_t>* Output;
#if HAVE_LIBDEFLATE
        libdeflate_decompressor* Decompressor;
        std::vector<uint8_t>* Whole;
#endif
    } context{corePath.c_str(), entry.HeaderOffset, &stream, &output
#if HAVE_LIBDEFLATE
              , decompressor, &whole
#endif
    };
    std::vector<Program> programs = {
        {"ours", true, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchOurs(x.CorePath, x.HeaderOffset); }},
        {"zlib", false, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchZlib(x.Stream->data(), x.Stream->size(), false); }},
        {"zlib+crc", true, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchZlib(x.Stream->data(), x.Stream->size(), true); }},
#if HAVE_LIBDEFLATE
        {"libdeflate", false, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchLibdeflate(x.Decompressor, x.Stream->data(), x.Stream->size(), x.Whole->data(), x.Whole->size(), false); }},
        {"libdeflate+crc", true, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchLibdeflate(x.Decompressor, x.Stream->data(), x.Stream->size(), x.Whole->data(), x.Whole->size(), true); }},
#endif
        {"crc-ours", true, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchCrcOurs(x.Output->data(), x.Output->size()); }},
        {"crc-zlib", true, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchCrcZlib(x.Output->data(), x.Output->size()); }},
#if HAVE_LIBDEFLATE
        {"crc-libdeflate", true, [](void* c) { auto& x = *static_cast<Context*>(c); return BenchCrcLibdeflate(x.Output->data(), x.Output->size()); }},
#endif
    };

    std::vector<Result> results;
    for (const Program& p : programs) {
        if (!only.empty() && only != p.Name) continue;
        std::vector<double> times;
        for (int r = 0; r < runs; r++) {
            double t0 = CpuSeconds();
            uint32_t crc = p.Run(&context);
            times.push_back(CpuSeconds() - t0);
            if (p.WithCrc && crc != entry.Crc) {
                std::fprintf(stderr, "%s: CRC %08x, expected %08x\n", p.Name, crc, entry.Crc);
                return 1;
            }
        }
        std::sort(times.begin(), times.end());
        results.push_back({p.Name, times[times.size() / 2], times[0]});
    }
    if (!only.empty() && results.empty()) Fail("no such program (or built without libdeflate)");
#if HAVE_LIBDEFLATE
    libdeflate_free_decompressor(decompressor);
#endif

    const double mb = static_cast<double>(entry.UncompressedSize) / 1e6;
    std::string name = entry.Name;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (json) {
        std::printf("{\"entry\": \"%s\", \"compressed\": %u, \"uncompressed\": %u, \"runs\": %d, \"libdeflate\": %s, "
                    "\"results\": {",
                    name.c_str(), entry.CompressedSize, entry.UncompressedSize, runs,
                    HAVE_LIBDEFLATE ? "true" : "false");
        for (size_t i = 0; i < results.size(); i++)
            std::printf("%s\"%s\": {\"median_cpu_s\": %.6f, \"best_cpu_s\": %.6f}", i ? ", " : "",
                        results[i].Name.c_str(), results[i].MedianSeconds, results[i].BestSeconds);
        std::printf("}}\n");
        return 0;
    }
    std::printf("%s: %s, %u -> %u bytes, median of %d runs (thread CPU time)\n", path.c_str(), name.c_str(),
                entry.CompressedSize, entry.UncompressedSize, runs);
#if !HAVE_LIBDEFLATE
    std::printf("(built without libdeflate)\n");
#endif
    for (const Result& r : results)
        std::printf("  %-16s %9.1f MB/s\n", r.Name.c_str(), r.MedianSeconds > 0 ? mb / r.MedianSeconds : 0.0);
    return 0;
}
