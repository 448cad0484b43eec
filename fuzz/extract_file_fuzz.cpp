// The extract-all loop over arbitrary archive bytes with file output: the
// archive's entries, names and all, are extracted into a destination folder
// inside the scratch folder. Afterwards nothing may exist in the scratch
// folder but the archive and the destination, and the engine must be idle.
// An I/O error would end the process (the fuzzer reports that as a failure).
#include "archive/archive.h"
#include "fuzz/fuzz_support.h"
#include "launcher/launcher.h"
#include "support/test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const testutil::ScratchDir& scratch = testutil::ProcessScratch();
    std::string path = fuzzing::WriteInputFile("file.zip", data, size);
    std::string dest = scratch.Win + "\\dest\\";
    ExtractAll(path.c_str(), dest.c_str());
    fuzzing::Check(!EngineState.EngineBusy && EngineState.OutputWindow == nullptr, "engine left busy");
    fuzzing::Check(fuzzing::HoldsOnly(scratch.Host, {"file.zip", "dest"}), "something was made outside the destination");
    testutil::ClearFolder(scratch.Host + "/dest");
    return 0;
}
