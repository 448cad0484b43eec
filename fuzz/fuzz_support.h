// Shared pieces of the fuzz harnesses: a scratch folder per process (in
// /dev/shm when there is one, so that the per-input file writes stay in
// memory), the input written as a file the engine can open, a decoder run set
// up as ExtractEntry sets it up, and a check that fails loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace fuzzing {

// The process's scratch folder: Host is its Linux path, Win the Windows path
// the core is given ("C:\dev\shm\zlf-XXXXXX"). Created on first use, removed
// at exit.
struct Scratch {
    std::string Host;
    std::string Win;
};
const Scratch& ProcessScratch();

// Writes data to <scratch>/<name> and returns the Windows path of the file.
std::string WriteInputFile(const char* name, const uint8_t* data, size_t size);

// Removes everything below hostPath (not hostPath itself).
void ClearFolder(const std::string& hostPath);
// True when hostPath holds nothing but the names given.
bool HoldsOnly(const std::string& hostPath, std::initializer_list<const char*> names);

// Aborts with a message (the fuzzer records the input) unless ok.
void Check(bool ok, const char* what);

// The sizes and flags a decoder sees, and the bytes it decodes.
struct DecoderInput {
    int32_t CompressedSize;
    int32_t UncompressedSize;
    uint16_t EntryFlags;
    bool TestOnly;
    const uint8_t* Data;
    size_t Size;
};

// Takes the first bytes of a fuzz input as the sizes and flags of an entry
// and the rest as its compressed data. Byte 0: bit 0 deferred sizes (both
// DeferredSize), bit 1 test only (CRC, no output), bits 2-7 the low flag
// bits 1-6 of the entry; byte 1: CompressedSize minus the data's length, as
// a signed byte, where -128 stands for HugeCompressedSize; bytes 2-4:
// UncompressedSize (24 bits). False when the input is too short to hold them.
constexpr int32_t HugeCompressedSize = 0x7FFFFF00;
bool SplitDecoderInput(const uint8_t* data, size_t size, DecoderInput& out);

// What a decoder run leaves behind: the bytes it put out, the whole window
// (bytes past WindowPos are history later matches may still reach) and the
// reader's state, so that two runs can be compared field by field.
struct DecoderOutcome {
    std::vector<uint8_t> Output;
    std::vector<uint8_t> Window;
    uint32_t BitBuffer;
    uint8_t BitCount;
    int16_t InputPos;
    int32_t InputLast;
    int32_t BytesRead;
    uint16_t WindowPos;
    uint32_t RunningCrc;
    bool InputExhausted;
};

// Runs a decoder over the input as ExtractEntry would, with its output into a
// memory block of OutputLimit bytes; returns the decoder's result and, when
// asked, what the run left behind.
constexpr int32_t OutputLimit = 1 << 20;
ExtractResult RunDecoder(ExtractResult (*decoder)(), const DecoderInput& input, DecoderOutcome* outcome = nullptr);

}  // namespace fuzzing
