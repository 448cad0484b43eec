#include "fuzz/fuzz_support.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "support/test_util.h"

namespace fuzzing {

std::string WriteInputFile(const char* name, const uint8_t* data, size_t size) {
    const testutil::ScratchDir& scratch = testutil::ProcessScratch();
    testutil::WriteBytes(scratch.HostPath(name), data, size);
    return scratch.WinPath(name);
}

bool HoldsOnly(const std::string& hostPath, std::initializer_list<const char*> names) {
    std::set<std::string> allowed(names.begin(), names.end());
    DIR* d = opendir(hostPath.c_str());
    if (d == nullptr) return false;
    bool only = true;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && allowed.count(n) == 0) {
            std::fprintf(stderr, "unexpected entry in the scratch folder: %s\n", n.c_str());
            only = false;
        }
    }
    closedir(d);
    return only;
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

bool SplitDecoderInput(const uint8_t* data, size_t size, DecoderInput& out) {
    constexpr size_t HeaderBytes = 5;
    if (size < HeaderBytes) return false;
    out.Data = data + HeaderBytes;
    out.Size = size - HeaderBytes;
    testutil::DecoderOptions& o = out.Options;
    o = testutil::DecoderOptions{};
    o.Trailer.clear();
    o.OutputCapacity = OutputLimit;
    o.DeferredSizes = (data[0] & 1) != 0;
    o.TestOnly = (data[0] & 2) != 0;
    o.EntryFlags = static_cast<uint16_t>((data[0] >> 2) << 1);
    int32_t delta = static_cast<int8_t>(data[1]);
    // -128 stands for a header that claims far more data than there is.
    o.CompressedSize = delta == -128 ? HugeCompressedSize : static_cast<int32_t>(out.Size) + delta;
    o.UncompressedSize = data[2] | (data[3] << 8) | (data[4] << 16);
    return true;
}

testutil::DecoderRun RunDecoder(ExtractResult (*decoder)(), const DecoderInput& input) {
    testutil::DecoderRun run = testutil::RunDecoder(decoder, input.Data, input.Size, input.Options);
    Check(run.State.MemoryCount >= 0 && run.State.MemoryCount <= OutputLimit, "memory output outside its block");
    // Past the end of the file every refill adds a whole block to BytesRead
    // and serves the last one again. A decoder may read a little on (a block
    // header, a code) before its next check, but one that keeps decoding the
    // re-served block has not stopped at the end of its input.
    Check(static_cast<int64_t>(run.State.BytesRead) <= static_cast<int64_t>(input.Size) + 16 * InputBufferSize,
          "the decoder kept reading after the end of the file");
    return run;
}

}  // namespace fuzzing
