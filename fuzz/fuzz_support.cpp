#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "platform/posix/posix_backend.h"

namespace fuzzing {

namespace {

void RemoveTree(const std::string& path, bool keepRoot) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);
        if (DIR* d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
            for (const auto& n : names) RemoveTree(path + "/" + n, false);
        }
        if (!keepRoot) rmdir(path.c_str());
    } else {
        chmod(path.c_str(), 0644);
        unlink(path.c_str());
    }
}

Scratch* TheScratch = nullptr;

void RemoveScratch() {
    if (TheScratch == nullptr) return;
    // The engine moves the current directory into the folders it makes.
    if (chdir("/") != 0) { /* nothing better to do */ }
    RemoveTree(TheScratch->Host, false);
}

}  // namespace

const Scratch& ProcessScratch() {
    if (TheScratch != nullptr) return *TheScratch;
    const char* base = "/dev/shm";
    struct stat st;
    if (stat(base, &st) != 0 || !S_ISDIR(st.st_mode) || access(base, W_OK) != 0) {
        base = std::getenv("TMPDIR");
        if (base == nullptr || *base == '\0') base = "/tmp";
    }
    std::string tmpl = std::string(base) + "/zlf-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    Check(mkdtemp(buf.data()) != nullptr, "cannot make the scratch folder");
    TheScratch = new Scratch{buf.data(), win::posix::ToWindowsPath(buf.data())};
    std::atexit(RemoveScratch);
    return *TheScratch;
}

std::string WriteInputFile(const char* name, const uint8_t* data, size_t size) {
    const Scratch& s = ProcessScratch();
    std::string host = s.Host + "/" + name;
    FILE* f = std::fopen(host.c_str(), "wb");
    Check(f != nullptr, "cannot write the input file");
    if (size > 0) Check(std::fwrite(data, 1, size, f) == size, "short write of the input file");
    std::fclose(f);
    return s.Win + "\\" + name;
}

void ClearFolder(const std::string& hostPath) { RemoveTree(hostPath, true); }

bool HoldsOnly(const std::string& hostPath, std::initializer_list<const char*> names) {
    std::set<std::string> allowed(names.begin(), names.end());
    DIR* d = opendir(hostPath.c_str());
    if (d == nullptr) return false;
    bool only = true;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && allowed.count(n) == 0) {
            std::fprintf(stderr, "unexpected entry in the scratch folder: %s\n", n.c_str());
            only = false;
        }
    }
    closedir(d);
    return only;
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

bool SplitDecoderInput(const uint8_t* data, size_t size, DecoderInput& out) {
    constexpr size_t HeaderBytes = 5;
    if (size < HeaderBytes) return false;
    out.Data = data + HeaderBytes;
    out.Size = size - HeaderBytes;
    bool deferred = (data[0] & 1) != 0;
    out.TestOnly = (data[0] & 2) != 0;
    out.EntryFlags = static_cast<uint16_t>((data[0] >> 2) << 1);
    int32_t delta = static_cast<int8_t>(data[1]);
    // -128 stands for a header that claims far more data than there is.
    int32_t claimed = delta == -128 ? HugeCompressedSize : static_cast<int32_t>(out.Size) + delta;
    out.CompressedSize = deferred ? DeferredSize : claimed;
    out.UncompressedSize = deferred ? DeferredSize : data[2] | (data[3] << 8) | (data[4] << 16);
    return true;
}

ExtractResult RunDecoder(ExtractResult (*decoder)(), const DecoderInput& input, DecoderOutcome* outcome) {
    static std::vector<uint8_t> block(OutputLimit);
    std::string path = WriteInputFile("data.bin", input.Data, input.Size);

    EngineStateRecord& e = EngineState;
    e.ArchiveFile = win::CreateFileA(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                     win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(e.ArchiveFile != win::INVALID_HANDLE_VALUE, "cannot open the input file");
    e.OutputWindow = new uint8_t[OutputWindowSize]();
    e.CompressedSize = input.CompressedSize;
    e.UncompressedSize = input.UncompressedSize;
    e.EntryFlags = input.EntryFlags;
    e.BytesRead = 0;
    e.InputExhausted = false;
    e.CancelRequested = false;
    e.ProgressWindow = 0;
    e.ProgressCommandId = 0;
    e.ProgressPercent = 0;
    e.RunningCrc = 0xFFFFFFFFu;
    e.PendingWriteError = 0;
    e.TestOnly = input.TestOnly;
    e.MemoryOutput = true;
    e.MemoryTarget = block.data();
    e.MemoryLimit = OutputLimit;
    e.MemoryCount = 0;

    ExtractResult result = decoder();

    Check(e.MemoryCount >= 0 && e.MemoryCount <= OutputLimit, "memory output outside its block");
    // Past the end of the file every refill adds a whole block to BytesRead
    // and serves the last one again. A decoder may read a little on (a block
    // header, a code) before its next check, but one that keeps decoding the
    // re-served block has not stopped at the end of its input.
    Check(static_cast<int64_t>(e.BytesRead) <= static_cast<int64_t>(input.Size) + 16 * InputBufferSize,
          "the decoder kept reading after the end of the file");
    if (outcome != nullptr) {
        outcome->Output.assign(block.data(), block.data() + e.MemoryCount);
        outcome->Window.assign(e.OutputWindow, e.OutputWindow + OutputWindowSize);
        outcome->BitBuffer = e.BitBuffer;
        outcome->BitCount = e.BitCount;
        outcome->InputPos = e.InputPos;
        outcome->InputLast = e.InputLast;
        outcome->BytesRead = e.BytesRead;
        outcome->WindowPos = e.WindowPos;
        outcome->RunningCrc = e.RunningCrc;
        outcome->InputExhausted = e.InputExhausted;
    }
    win::CloseHandle(e.ArchiveFile);
    delete[] e.OutputWindow;
    e.OutputWindow = nullptr;
    e.MemoryOutput = false;
    e.TestOnly = false;
    e.MemoryTarget = nullptr;
    e.MemoryLimit = 0;
    e.MemoryCount = 0;
    return result;
}

}  // namespace fuzzing
