// The test suite runs twice under ctest: as is, on the fast paths, and as
// "exact:" copies with LAUNCHER_EXACT_PATHS=1, on the plain routes alone. The
// switch is applied before any test runs.
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"

namespace {

const bool ExactPathsApplied = [] {
    const char* value = std::getenv("LAUNCHER_EXACT_PATHS");
    if (value != nullptr && std::strcmp(value, "1") == 0) FastPathsEnabled = false;
    return true;
}();

}  // namespace
