// Decode throughput of Inflate beside zlib's inflate on the same stream.
//
// 50 MB of generated English-like text is deflated by zlib (level 6, raw
// deflate). Inflate then decodes it in test-only mode (the output only goes
// through the CRC-32, as ExtractEntry's TestOnly does) from a file on tmpfs,
// which the system serves from memory; zlib decodes the same stream from
// memory into a 32 KiB buffer, once without and once with a CRC-32 of its
// output. Figures are MB (10^6 bytes) of output per second of the thread's
// CPU time (user and system), best of the runs: on a shared machine wall time
// mostly measures the neighbours.
//
// Usage: inflate_bench [megabytes] [runs]
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "engine/engine.h"

namespace {

std::vector<uint8_t> GenerateText(size_t size) {
    // Pseudo-words with a skewed frequency, sentences and paragraphs.
    std::mt19937 rng(2024);
    std::vector<std::string> words;
    const char* syllables[] = {"in", "stal", "la", "tion", "ar", "chive", "en", "try", "set", "up", "da", "ta",
                               "file", "the", "of", "and", "win", "dow", "pro", "gram", "re", "ad", "me", "com"};
    for (int i = 0; i < 600; i++) {
        std::string w;
        int n = 1 + static_cast<int>(rng() % 3);
        for (int k = 0; k < n; k++) w += syllables[rng() % 24];
        words.push_back(w);
    }
    std::string text;
    text.reserve(size + 64);
    int inSentence = 0;
    while (text.size() < size) {
        // Smaller indexes come far more often.
        double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        size_t index = static_cast<size_t>(u * u * u * static_cast<double>(words.size()));
        std::string w = words[index];
        if (inSentence == 0) w[0] = static_cast<char>(w[0] - 'a' + 'A');
        text += w;
        if (++inSentence > 6 && rng() % 8 == 0) {
            text += rng() % 6 == 0 ? ".\n\n" : ". ";
            inSentence = 0;
        } else {
            text += rng() % 15 == 0 ? ", " : " ";
        }
    }
    text.resize(size);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& in) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, in.size()));
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One test-only Inflate over the file, set up as ExtractEntry sets up an
// entry. Returns the CRC-32, or 0 with a message on failure.
uint32_t RunInflate(const std::string& windowsPath, int32_t compressedSize) {
    EngineStateRecord& e = EngineState;
    e.ArchiveFile = win::CreateFileA(windowsPath.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                     win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (e.ArchiveFile == win::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s\n", windowsPath.c_str());
        std::exit(1);
    }
    e.OutputWindow = new uint8_t[OutputWindowSize]();
    e.CompressedSize = compressedSize;
    e.UncompressedSize = 0;
    e.BytesRead = 0;
    e.InputExhausted = false;
    e.CancelRequested = false;
    e.ProgressWindow = 0;
    e.ProgressCommandId = 0;
    e.ProgressPercent = 0;
    e.RunningCrc = 0xFFFFFFFFu;
    e.TestOnly = true;
    ExtractResult result = Inflate();
    win::CloseHandle(e.ArchiveFile);
    delete[] e.OutputWindow;
    e.OutputWindow = nullptr;
    if (result != Ok) {
        std::fprintf(stderr, "Inflate failed with %d\n", result);
        std::exit(1);
    }
    return ~e.RunningCrc;
}

uint32_t RunZlib(const std::vector<uint8_t>& stream, bool withCrc) {
    static uint8_t window[32768];
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    uLong crc = crc32(0, nullptr, 0);
    int rc;
    do {
        z.next_out = window;
        z.avail_out = sizeof window;
        rc = inflate(&z, Z_NO_FLUSH);
        if (withCrc) crc = crc32(crc, window, static_cast<uInt>(sizeof window - z.avail_out));
    } while (rc == Z_OK);
    inflateEnd(&z);
    if (rc != Z_STREAM_END) {
        std::fprintf(stderr, "zlib inflate failed with %d\n", rc);
        std::exit(1);
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const size_t size = megabytes * 1000 * 1000;

    std::vector<uint8_t> text = GenerateText(size);
    std::vector<uint8_t> stream = RawDeflate(text);
    uint32_t expectedCrc = static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), text.data(), static_cast<uInt>(text.size())));

    // tmpfs keeps the stream in memory; the trailer stands for what follows
    // an entry in an archive.
    std::string dir = "/dev/shm";
    if (std::FILE* probe = std::fopen((dir + "/inflate_bench.probe").c_str(), "wb")) {
        std::fclose(probe);
        std::remove((dir + "/inflate_bench.probe").c_str());
    } else {
        const char* t = std::getenv("TMPDIR");
        dir = t != nullptr && *t != '\0' ? t : "/tmp";
    }
    std::string hostPath = dir + "/inflate_bench.deflate";
    std::FILE* f = std::fopen(hostPath.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", hostPath.c_str());
        return 1;
    }
    std::fwrite(stream.data(), 1, stream.size(), f);
    std::fwrite("PK\x07\x08trailer-bytes...", 1, 24, f);
    std::fclose(f);
    std::string windowsPath = "C:" + hostPath;

    std::printf("text: %zu bytes, deflated (zlib level 6): %zu bytes (%.1f%%)\n", text.size(), stream.size(),
                100.0 * static_cast<double>(stream.size()) / static_cast<double>(text.size()));

    double best[3] = {1e30, 1e30, 1e30};
    for (int r = 0; r < runs; r++) {
        double t0 = CpuSeconds();
        uint32_t crc = RunInflate(windowsPath, static_cast<int32_t>(stream.size()));
        best[0] = std::min(best[0], CpuSeconds() - t0);
        if (crc != expectedCrc) {
            std::fprintf(stderr, "Inflate: CRC %08x, expected %08x\n", crc, expectedCrc);
            return 1;
        }
        t0 = CpuSeconds();
        RunZlib(stream, false);
        best[1] = std::min(best[1], CpuSeconds() - t0);
        t0 = CpuSeconds();
        if (RunZlib(stream, true) != expectedCrc) {
            std::fprintf(stderr, "zlib: CRC mismatch\n");
            return 1;
        }
        best[2] = std::min(best[2], CpuSeconds() - t0);
    }
    std::remove(hostPath.c_str());

    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("Inflate (test-only, with CRC-32): %8.1f MB/s\n", mb / best[0]);
    std::printf("zlib inflate (no CRC):            %8.1f MB/s\n", mb / best[1]);
    std::printf("zlib inflate + crc32:             %8.1f MB/s\n", mb / best[2]);
    return 0;
}
