#include "support/decoder_harness.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct ScratchRoot {
    std::string Path;
    ScratchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zipcore-test-XXXXXX").string();
        Path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~ScratchRoot() {
        std::error_code ignored;
        if (!Path.empty()) std::filesystem::remove_all(Path, ignored);
    }
};

ScratchRoot& Root() {
    static ScratchRoot root;
    return root;
}

}  // namespace

std::string ScratchDir() {
    static int counter = 0;
    std::string dir = Root().Path + "/d" + std::to_string(counter++) + "/";
    std::filesystem::create_directories(dir);
    return dir;
}

uint32_t ReferenceCrc32(const std::vector<uint8_t>& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

DecoderRun RunDecoder(const std::function<ExtractResult()>& decoder, const DecoderInput& input) {
    std::string path = ScratchDir() + "data.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(input.Data.data()), static_cast<std::streamsize>(input.Data.size()));
    }

    EngineStateRecord& e = EngineState;
    std::vector<uint8_t> block(static_cast<size_t>(input.OutputLimit) + 1);
    e.MemoryOutput = true;
    e.TestOnly = false;
    e.MemoryTarget = block.data();
    e.MemoryLimit = input.OutputLimit;
    e.MemoryCount = 0;
    e.OutputWindow = new uint8_t[OutputWindowSize]();
    e.ArchiveFile = win::CreateFileA(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                     win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    win::SetFilePointer(e.ArchiveFile, 0, nullptr, win::FILE_BEGIN);
    e.CompressedSize = input.CompressedSize >= 0 ? input.CompressedSize : static_cast<int32_t>(input.Data.size());
    e.UncompressedSize = input.UncompressedSize;
    e.EntryFlags = input.EntryFlags;
    e.BytesRead = 0;
    e.InputExhausted = false;
    e.CancelRequested = input.CancelRequested;
    e.ProgressWindow = 0;
    e.ProgressCommandId = 0;
    e.ProgressPercent = 0;
    e.PendingWriteError = 0;
    e.RunningCrc = 0xFFFFFFFFu;

    DecoderRun run;
    run.Result = decoder();
    run.Output.assign(block.begin(), block.begin() + e.MemoryCount);
    run.Crc = ~e.RunningCrc;
    run.BytesRead = e.BytesRead;

    win::CloseHandle(e.ArchiveFile);
    delete[] e.OutputWindow;
    e.OutputWindow = nullptr;
    e.MemoryOutput = false;
    e.MemoryTarget = nullptr;
    e.MemoryLimit = 0;
    e.MemoryCount = 0;
    e.CancelRequested = false;
    return run;
}
