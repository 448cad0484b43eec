// Runs one decoder over a byte buffer, with EngineState prepared the way
// ExtractEntry prepares it for an entry: the bytes are written to a scratch
// file (followed by a few bytes, as the next records of an archive follow an
// entry's data: decoders look ahead), opened as ArchiveFile and positioned at
// 0; OutputWindow is a zeroed
// 32 KiB block; the output goes to a memory block.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/engine.h"

struct DecoderInput {
    std::vector<uint8_t> Data;       // the compressed data
    size_t TrailingBytes = 16;       // zero bytes after it, as an archive has its directory there
    int32_t CompressedSize = -1;     // -1: Data.size()
    int32_t UncompressedSize = 0;
    uint16_t EntryFlags = 0;
    int32_t OutputLimit = 1 << 21;   // capacity of the memory block
    bool CancelRequested = false;    // set before the decoder starts
};

struct DecoderRun {
    ExtractResult Result = 0;
    std::vector<uint8_t> Output;     // what FlushOutput stored
    uint32_t Crc = 0;                // CRC-32 of every byte flushed (RunningCrc inverted)
    int32_t BytesRead = 0;           // EngineState.BytesRead afterwards
};

DecoderRun RunDecoder(const std::function<ExtractResult()>& decoder, const DecoderInput& input);
