// Host services that need no system call of their own: whole files on top
// of the piecewise ones of the backend (host_posix.cpp, host_win32.cpp).
#include <stdexcept>

#include "sfx/host.h"

namespace sfx {

std::vector<uint8_t> ReadPathBytes(const std::filesystem::path& path, uint64_t limit, const std::string& display) {
    InputFile in = OpenInput(path, limit, display);
    std::vector<uint8_t> data;
    try {
        data.resize(static_cast<size_t>(in.Size));
        ReadInput(in, data.data(), data.size());
    } catch (...) {
        CloseInput(in);
        throw;
    }
    CloseInput(in);
    return data;
}

std::string WriteScratchBeside(const std::string& finalPath, const std::vector<uint8_t>& data, bool executable) {
    ScratchFile f = CreateScratch(finalPath, executable);
    try {
        WriteScratch(f, 0, data.data(), data.size());
        FinishScratch(f, data.size());
    } catch (...) {
        AbandonScratch(f);
        throw;
    }
    return f.Path;
}

}  // namespace sfx
