// Runs one decoder over a byte buffer, outside ExtractEntry, for the tests
// and the fuzz harnesses alike: the bytes go to a file in the process's
// scratch folder that becomes ArchiveFile, EngineState is prepared as
// ExtractEntry prepares it for a decoder, and the output is collected in a
// memory block of exactly the capacity asked for (so that the sanitizers
// see a write past it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/engine.h"

namespace testutil {

// The shared reader and output state as the decoder left it.
struct ReaderSnapshot {
    uint32_t BitBuffer = 0;
    uint8_t BitCount = 0;
    int16_t InputPos = 0;
    int32_t InputLast = 0;
    int32_t BytesRead = 0;
    uint16_t WindowPos = 0;
    uint32_t RunningCrc = 0;
    bool InputExhausted = false;
    bool CancelRequested = false;
    int32_t MemoryCount = 0;
    bool operator==(const ReaderSnapshot&) const = default;
};

struct DecoderRun {
    ExtractResult Result = Ok;
    ReaderSnapshot State;
    std::vector<uint8_t> Output;  // everything the decoder flushed
    uint32_t Crc = 0;             // CRC-32 of all flushed bytes (the final inversion done)
    std::vector<uint8_t> Window;  // OutputWindow as the decoder left it
};

struct DecoderOptions {
    // Bytes placed in the file after the compressed data: whatever follows an
    // entry in an archive (the reader reads ahead into it).
    std::vector<uint8_t> Trailer = std::vector<uint8_t>(64, 0x5A);
    bool DeferredSizes = false;   // both sizes DeferredSize, as for a data-descriptor entry
    uint16_t EntryFlags = 0;
    int32_t OutputCapacity = -1;  // memory block size; -1 = ample for the input, at most 16 MiB
    bool TestOnly = false;        // CRC only, nothing stored
    int16_t CancelKey = 0;        // ProgressCommandId: without a window the polled cancel key
    uint16_t ProgressWindow = 0;  // the window progress goes to (0 none), with CancelKey as command id
    int32_t UncompressedSize = 0; // unless DeferredSizes
    std::optional<int32_t> CompressedSize;  // unless DeferredSizes; none = the size of the compressed data
    bool CancelRequested = false; // a stop already asked for when the decoder starts
};

DecoderRun RunDecoder(ExtractResult (*decoder)(), const uint8_t* compressed, size_t size,
                      const DecoderOptions& options = {});
DecoderRun RunDecoder(ExtractResult (*decoder)(), const std::vector<uint8_t>& compressed,
                      const DecoderOptions& options = {});

}  // namespace testutil
