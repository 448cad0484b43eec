// Unshrink over arbitrary compressed bytes with arbitrary sizes and flags.
#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"

namespace {
ExtractResult RunUnshrink() { return static_cast<ExtractResult>(Unshrink()); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::DecoderInput input;
    if (!fuzzing::SplitDecoderInput(data, size, input)) return 0;
    ExtractResult r = fuzzing::RunDecoder(RunUnshrink, input).Result;
    fuzzing::Check(r == Ok || r == OutputFailed || r == InputFailed || r == ArchiveDamaged || r == Cancelled || r == Unsupported,
                   "Unshrink returned a code it does not use");
    return 0;
}
