// Explode over arbitrary compressed bytes with arbitrary sizes and flags;
// flag bits 1 and 2 choose the window size and the number of trees.
#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DecoderInput input;
    if (!fuzzing::SplitDecoderInput(data, size, input)) return 0;
    ExtractResult r = fuzzing::RunDecoder(Explode, input).Result;
    fuzzing::Check(r >= Ok && r <= Cancelled && r != ChecksumMismatch, "Explode returned a code it does not use");
    return 0;
}
