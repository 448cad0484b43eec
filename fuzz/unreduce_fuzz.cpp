// Unreduce over arbitrary compressed bytes with arbitrary sizes; flag bits 1
// and 2 of the entry (bits 2 and 3 of the first input byte) choose the
// method 2..5.
#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"

namespace {
uint16_t Method;
ExtractResult RunUnreduce() { return Unreduce(Method); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DecoderInput input;
    if (!fuzzing::SplitDecoderInput(data, size, input)) return 0;
    Method = static_cast<uint16_t>(2 + ((input.Options.EntryFlags >> 1) & 3));
    ExtractResult r = fuzzing::RunDecoder(RunUnreduce, input).Result;
    fuzzing::Check(r == Ok || r == OutputFailed, "Unreduce returned a code it does not use");
    return 0;
}
