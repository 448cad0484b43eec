// Inflate over arbitrary compressed bytes with arbitrary sizes and flags
// (fuzz_support.h gives the layout of the input).
#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DecoderInput input;
    if (!fuzzing::SplitDecoderInput(data, size, input)) return 0;
    ExtractResult r = fuzzing::RunDecoder(Inflate, input).Result;
    fuzzing::Check(r >= Ok && r <= Cancelled, "Inflate returned a code it does not use");
    return 0;
}
