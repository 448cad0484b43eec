#include "support/decoder_harness.h"

#include "support/test_util.h"

DecoderRun RunDecoder(const std::function<ExtractResult()>& decoder, const DecoderInput& input) {
    testutil::ScratchDir dir;
    std::vector<uint8_t> file = input.Data;
    file.resize(file.size() + input.TrailingBytes);
    testutil::WriteBytes(dir.HostPath("data.bin"), file);
    std::string path = dir.WinPath("data.bin");

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
