#include "support/decoder_harness.h"

#include <algorithm>
#include <memory>

#include "support/test_util.h"

namespace testing_support {

DecoderRun RunDecoder(ExtractResult (*decoder)(), const std::vector<uint8_t>& compressed,
                      const DecoderOptions& options) {
    testutil::ScratchDir dir;
    std::vector<uint8_t> file = compressed;
    file.insert(file.end(), options.Trailer.begin(), options.Trailer.end());
    testutil::WriteBytes(dir.HostPath("data.bin"), file);

    // Deflate expands at most about 1032 times.
    int64_t capacity = options.OutputCapacity;
    if (capacity < 0) {
        // Legacy methods may expand further; their tests give the size.
        int64_t expected = std::max<int64_t>(options.UncompressedSize, 0);
        capacity = std::min<int64_t>(static_cast<int64_t>(compressed.size()) * 1040 + expected + 65536,
                                     std::max<int64_t>(16 << 20, expected + 65536));
    }
    std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(capacity) + 1]);
    DecoderRun run;

    EngineStateRecord& e = EngineState;
    e.ArchiveFile = win::CreateFileA(dir.WinPath("data.bin").c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                     win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (e.ArchiveFile == win::INVALID_HANDLE_VALUE) {
        run.Result = InputFailed;
        return run;
    }
    e.OutputWindow = new uint8_t[OutputWindowSize]();
    int32_t compressedSize =
        options.CompressedSize >= 0 ? options.CompressedSize : static_cast<int32_t>(compressed.size());
    e.CompressedSize = options.DeferredSizes ? DeferredSize : compressedSize;
    e.UncompressedSize = options.DeferredSizes ? DeferredSize : options.UncompressedSize;
    e.EntryFlags = options.EntryFlags;
    e.BytesRead = 0;
    e.InputExhausted = false;
    e.CancelRequested = options.CancelRequested;
    e.ProgressWindow = 0;
    e.ProgressCommandId = options.CancelKey;
    e.ProgressPercent = 0;
    e.RunningCrc = 0xFFFFFFFFu;
    e.PendingWriteError = 0;
    e.TestOnly = options.TestOnly;
    e.MemoryOutput = true;
    e.MemoryTarget = block.get();
    e.MemoryLimit = static_cast<int32_t>(capacity);
    e.MemoryCount = 0;

    run.Result = decoder();
    run.State = ReaderSnapshot{e.BitBuffer, e.BitCount,  e.InputPos,       e.InputLast,       e.BytesRead,
                               e.WindowPos, e.RunningCrc, e.InputExhausted, e.CancelRequested, e.MemoryCount};

    run.Output.assign(block.get(), block.get() + e.MemoryCount);
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
    e.ProgressCommandId = 0;
    e.CancelRequested = false;
    return run;
}

}  // namespace testing_support
