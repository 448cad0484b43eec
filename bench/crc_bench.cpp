// CRC-32 throughput of each route beside zlib's crc32, over buffers of the
// sizes the engine flushes (767 bytes from unshrink, 16 and 32 KiB windows)
// and over 1 MiB. Figures are MB (10^6 bytes) per second of CPU time.
// Usage: crc_bench [seconds per figure]
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "engine/crc.h"

namespace {

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <typename Fn>
double Measure(const std::vector<uint8_t>& data, size_t piece, double seconds, Fn crcOf) {
    volatile uint32_t sink = 0;
    double start = CpuSeconds();
    double elapsed = 0;
    size_t bytes = 0;
    while (elapsed < seconds) {
        for (int rep = 0; rep < 16; rep++) {
            uint32_t crc = 0xFFFFFFFFu;
            for (size_t at = 0; at + piece <= data.size(); at += piece) crc = crcOf(crc, data.data() + at, piece);
            sink = sink ^ crc;
            bytes += data.size() / piece * piece;
        }
        elapsed = CpuSeconds() - start;
    }
    return static_cast<double>(bytes) / elapsed / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    std::vector<uint8_t> data(1 << 20);
    std::mt19937 rng(1);
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    std::printf("carry-less folding available: %s\n", CrcFoldingAvailable() ? "yes" : "no");
    std::printf("%8s %10s %10s %10s %10s   (MB/s)\n", "piece", "bytewise", "sliced", "folded", "zlib");
    for (size_t piece : {size_t{767}, size_t{16384}, size_t{32768}, data.size()}) {
        double a = Measure(data, piece, seconds, CrcBytewise);
        double b = Measure(data, piece, seconds, CrcSliced);
        double c = Measure(data, piece, seconds, CrcFolded);
        // zlib's register is the inverted one.
        double z = Measure(data, piece, seconds, [](uint32_t crc, const uint8_t* p, size_t n) {
            return ~static_cast<uint32_t>(crc32(~crc, p, static_cast<uInt>(n)));
        });
        std::printf("%8zu %10.0f %10.0f %10.0f %10.0f\n", piece, a, b, c, z);
    }
    return 0;
}
