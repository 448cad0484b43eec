#include "support/decoder_harness.h"

#include <algorithm>
#include <memory>

#include "support/test_util.h"

namespace testutil {

namespace {

// The output block, kept from run to run while its size stays (the fuzz
// harnesses run thousands of inputs a second with one size).
struct OutputBlock {
    std::unique_ptr<uint8_t[]> Bytes;
    int64_t Size = -1;
};

uint8_t* BlockOf(int64_t size) {
    static OutputBlock block;
    if (block.Size != size) {
        block.Bytes.reset(new uint8_t[static_cast<size_t>(std::max<int64_t>(size, 1))]);
        block.Size = size;
    }
    return block.Bytes.get();
}

}  // namespace

DecoderRun RunDecoder(ExtractResult (*decoder)(), const uint8_t* compressed, size_t size,
                      const DecoderOptions& options) {
    const ScratchDir& dir = ProcessScratch();
    Bytes file(compressed, compressed + size);
    file.insert(file.end(), options.Trailer.begin(), options.Trailer.end());
    WriteBytes(dir.HostPath("data.bin"), file);

    // Deflate expands at most about 1032 times.
    int64_t capacity = options.OutputCapacity;
    if (capacity < 0) {
        // Legacy methods may expand further; their tests give the size.
        int64_t expected = std::max<int64_t>(options.UncompressedSize, 0);
        capacity = std::min<int64_t>(static_cast<int64_t>(size) * 1040 + expected + 65536,
                                     std::max<int64_t>(16 << 20, expected + 65536));
    }
    uint8_t* block = BlockOf(capacity);
    DecoderRun run;

    EngineStateRecord& e = EngineState;
    e.ArchiveFile = win::CreateFileA(dir.WinPath("data.bin").c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                     win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (e.ArchiveFile == win::INVALID_HANDLE_VALUE) {
        run.Result = InputFailed;
        return run;
    }
    e.OutputWindow = new uint8_t[OutputWindowSize]();
    int32_t compressedSize = options.CompressedSize.value_or(static_cast<int32_t>(size));
    e.CompressedSize = options.DeferredSizes ? DeferredSize : compressedSize;
    e.UncompressedSize = options.DeferredSizes ? DeferredSize : options.UncompressedSize;
    e.EntryFlags = options.EntryFlags;
    e.BytesRead = 0;
    e.InputExhausted = false;
    e.CancelRequested = options.CancelRequested;
    e.ProgressWindow = options.ProgressWindow;
    e.ProgressCommandId = options.CancelKey;
    e.ProgressPercent = 0;
    e.RunningCrc = 0xFFFFFFFFu;
    e.PendingWriteError = 0;
    e.TestOnly = options.TestOnly;
    e.MemoryOutput = true;
    e.MemoryTarget = block;
    e.MemoryLimit = static_cast<int32_t>(capacity);
    e.MemoryCount = 0;

    run.Result = decoder();
    run.State = ReaderSnapshot{e.BitBuffer, e.BitCount,  e.InputPos,       e.InputLast,       e.BytesRead,
                               e.WindowPos, e.RunningCrc, e.InputExhausted, e.CancelRequested, e.MemoryCount};

    // A count outside the block is the decoder's fault, which the caller
    // sees in State; only the bytes inside it are collected.
    run.Output.assign(block, block + std::clamp<int64_t>(e.MemoryCount, 0, capacity));
    run.Crc = ~e.RunningCrc;
    run.Window.assign(e.OutputWindow, e.OutputWindow + OutputWindowSize);
    win::CloseHandle(e.ArchiveFile);
    delete[] e.OutputWindow;
    e.OutputWindow = nullptr;
    e.MemoryOutput = false;
    e.TestOnly = false;
    e.MemoryTarget = nullptr;
    e.MemoryLimit = 0;
    e.MemoryCount = 0;
    e.ProgressWindow = 0;
    e.ProgressCommandId = 0;
    e.CancelRequested = false;
    return run;
}

DecoderRun RunDecoder(ExtractResult (*decoder)(), const std::vector<uint8_t>& compressed,
                      const DecoderOptions& options) {
    return RunDecoder(decoder, compressed.data(), compressed.size(), options);
}

}  // namespace testutil
