// The fast paths against the plain routes: every decoder runs the same input
// twice, once with FastPathsEnabled cleared and once with it set, and the two
// runs must agree on everything a caller or the next step can see: the
// result, the bytes put out, the whole window (history that later matches may
// reach), the CRC and the reader's state (bit buffer and count, input
// position, bytes read, the exhausted flag), which the data-descriptor reader
// continues from.
//
// Byte 0 picks the decoder: 0 stored, 1 unshrink, 2-5 unreduce with that
// method, 6 explode, anything else inflate; the rest is the decoders'
// usual header and data (fuzz_support.h).
#include <cstdio>

#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"

namespace {

uint16_t Method;

ExtractResult RunMethod() {
    switch (Method) {
        case 0:
            return CopyStored();
        case 1:
            return Unshrink();
        case 2:
        case 3:
        case 4:
        case 5:
            return Unreduce(Method);
        case 6:
            return Explode();
        default:
            return Inflate();
    }
}

void Compare(bool same, const char* what) {
    if (!same) std::fprintf(stderr, "method %u: the fast paths change %s\n", Method, what);
    fuzzing::Check(same, "fast and plain routes disagree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Method = data[0] <= 6 ? data[0] : 8;
    fuzzing::DecoderInput input;
    if (!fuzzing::SplitDecoderInput(data + 1, size - 1, input)) return 0;

    FastPathsEnabled = false;
    const testutil::DecoderRun plain = fuzzing::RunDecoder(RunMethod, input);
    FastPathsEnabled = true;
    const testutil::DecoderRun fast = fuzzing::RunDecoder(RunMethod, input);
    const testutil::ReaderSnapshot& p = plain.State;
    const testutil::ReaderSnapshot& f = fast.State;

    Compare(plain.Result == fast.Result, "the result");
    Compare(plain.Output == fast.Output, "the output");
    Compare(plain.Window == fast.Window, "the window");
    Compare(p.RunningCrc == f.RunningCrc, "the CRC");
    Compare(p.WindowPos == f.WindowPos, "WindowPos");
    Compare(p.BitBuffer == f.BitBuffer && p.BitCount == f.BitCount, "the bit buffer");
    Compare(p.InputPos == f.InputPos && p.InputLast == f.InputLast, "the input position");
    Compare(p.BytesRead == f.BytesRead, "BytesRead");
    Compare(p.InputExhausted == f.InputExhausted, "InputExhausted");
    return 0;
}
