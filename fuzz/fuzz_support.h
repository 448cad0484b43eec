// Shared pieces of the fuzz harnesses: the input written as a file the
// engine can open (in the process's scratch folder of the test support,
// which lies in /dev/shm when there is one, so that the per-input file
// writes stay in memory), a decoder run through the decoder harness of the
// tests with the checks every fuzzer makes, and a check that fails loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "engine/engine.h"
#include "support/decoder_harness.h"

namespace fuzzing {

// Writes data to <scratch>/<name> and returns the Windows path of the file.
std::string WriteInputFile(const char* name, const uint8_t* data, size_t size);

// True when hostPath holds nothing but the names given.
bool HoldsOnly(const std::string& hostPath, std::initializer_list<const char*> names);

// Aborts with a message (the fuzzer records the input) unless ok.
void Check(bool ok, const char* what);

// The sizes and flags a decoder sees, and the bytes it decodes.
struct DecoderInput {
    testutil::DecoderOptions Options;
    const uint8_t* Data;
    size_t Size;
};

// Takes the first bytes of a fuzz input as the sizes and flags of an entry
// and the rest as its compressed data, with nothing after it in the file.
// Byte 0: bit 0 deferred sizes (both DeferredSize), bit 1 test only (CRC, no
// output), bits 2-7 the low flag bits 1-6 of the entry; byte 1:
// CompressedSize minus the data's length, as a signed byte, where -128
// stands for HugeCompressedSize; bytes 2-4: UncompressedSize (24 bits).
// False when the input is too short to hold them.
constexpr int32_t HugeCompressedSize = 0x7FFFFF00;
constexpr int32_t OutputLimit = 1 << 20;  // the memory block the output goes to
bool SplitDecoderInput(const uint8_t* data, size_t size, DecoderInput& out);

// Runs a decoder over the input as ExtractEntry would and checks that its
// output stayed in the block and that it stopped reading soon after the end
// of the file.
testutil::DecoderRun RunDecoder(ExtractResult (*decoder)(), const DecoderInput& input);

}  // namespace fuzzing
