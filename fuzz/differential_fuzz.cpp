// The fast paths against the plain routes: every decoder runs the same input
// twice, once with FastPathsEnabled cleared and once with it set, and the two
// runs must agree on everything a caller or the next step can see: the
// result, the bytes put out, the whole window (history that later matches may
// reach), the CRC and the reader's state (bit buffer and count, input
// position, bytes read, the exhausted flag), which the data-descriptor reader
// continues from; and on the course of the run: every flush with its size
// and every progress report with its percentage, each with the input read
// so far, in order. A progress window takes the reports and asks for a stop
// at the k-th, so that both routes are also compared when cancelled.
//
// Byte 0 picks the decoder in its low 4 bits: 0 stored, 1 unshrink, 2-5
// unreduce with that method, 6 explode, anything else inflate; its high 4
// bits are k (0: the window never asks for a stop). The rest is the
// decoders' usual header and data (fuzz_support.h).
//
// The flushes are seen through the linker: this harness is linked with
// --wrap for FlushOutput, so that every call of the engine and the decoders
// comes here first.
#include <cstdio>
#include <vector>

#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"
#include "platform/posix/posix_backend.h"

extern "C" bool __real__Z11FlushOutputt(uint16_t n);

namespace {

uint16_t Method;

// One step in the course of a run.
struct Event {
    bool IsReport;      // a progress report, else a flush
    uint32_t Value;     // the percentage sent, or the flush size
    int32_t BytesRead;  // input read at that moment
    bool operator==(const Event&) const = default;
};

std::vector<Event>* Course = nullptr;  // where the run being made records, or null
int ReportsSoFar = 0;
int StopAtReport = 0;                  // 0: never

win::LRESULT ProgressWindowProc(win::HWND, win::UINT message, win::WPARAM, win::LPARAM lParam) {
    if (message != win::WM_COMMAND || Course == nullptr) return 0;
    uint16_t* percent = reinterpret_cast<uint16_t*>(lParam);
    Course->push_back({true, *percent, EngineState.BytesRead});
    if (++ReportsSoFar == StopAtReport) *percent = 0xFFFF;
    return 0;
}

uint16_t ProgressWindow() {
    static const uint16_t window =
        static_cast<uint16_t>(reinterpret_cast<uintptr_t>(win::posix::CreateTestWindow(ProgressWindowProc)));
    return window;
}

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

struct RouteRun {
    testutil::DecoderRun Run;
    std::vector<Event> Course;
};

RouteRun RunRoute(bool fast, const fuzzing::DecoderInput& input) {
    RouteRun r;
    FastPathsEnabled = fast;
    Course = &r.Course;
    ReportsSoFar = 0;
    r.Run = fuzzing::RunDecoder(RunMethod, input);
    Course = nullptr;
    FastPathsEnabled = true;
    return r;
}

void Compare(bool same, const char* what) {
    if (!same) std::fprintf(stderr, "method %u: the fast paths change %s\n", Method, what);
    fuzzing::Check(same, "fast and plain routes disagree");
}

void CompareCourses(const std::vector<Event>& plain, const std::vector<Event>& fast) {
    if (plain == fast) return;
    size_t i = 0;
    while (i < plain.size() && i < fast.size() && plain[i] == fast[i]) i++;
    auto describe = [](const std::vector<Event>& c, size_t i) {
        static char text[80];
        if (i >= c.size()) return "nothing";
        std::snprintf(text, sizeof text, "%s %u at %d bytes read", c[i].IsReport ? "report" : "flush", c[i].Value,
                      c[i].BytesRead);
        return static_cast<const char*>(text);
    };
    std::fprintf(stderr, "step %zu: plain %s,", i, describe(plain, i));
    std::fprintf(stderr, " fast %s\n", describe(fast, i));
    Compare(false, "the flushes or progress reports");
}

}  // namespace

extern "C" bool __wrap__Z11FlushOutputt(uint16_t n) {
    if (Course != nullptr) Course->push_back({false, n, EngineState.BytesRead});
    return __real__Z11FlushOutputt(n);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Method = (data[0] & 15) <= 6 ? data[0] & 15 : 8;
    StopAtReport = data[0] >> 4;
    fuzzing::DecoderInput input;
    if (!fuzzing::SplitDecoderInput(data + 1, size - 1, input)) return 0;
    input.Options.ProgressWindow = ProgressWindow();
    input.Options.CancelKey = 1;  // the command id the reports carry

    RouteRun plain = RunRoute(false, input);
    RouteRun fast = RunRoute(true, input);
    const testutil::DecoderRun& p = plain.Run;
    const testutil::DecoderRun& f = fast.Run;

    Compare(p.Result == f.Result, "the result");
    Compare(p.Output == f.Output, "the output");
    Compare(p.Window == f.Window, "the window");
    Compare(p.State.RunningCrc == f.State.RunningCrc, "the CRC");
    Compare(p.State.WindowPos == f.State.WindowPos, "WindowPos");
    Compare(p.State.BitBuffer == f.State.BitBuffer && p.State.BitCount == f.State.BitCount, "the bit buffer");
    Compare(p.State.InputPos == f.State.InputPos && p.State.InputLast == f.State.InputLast, "the input position");
    Compare(p.State.BytesRead == f.State.BytesRead, "BytesRead");
    Compare(p.State.InputExhausted == f.State.InputExhausted, "InputExhausted");
    Compare(p.State.CancelRequested == f.State.CancelRequested, "CancelRequested");
    CompareCourses(plain.Course, fast.Course);
    return 0;
}
