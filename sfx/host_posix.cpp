// The sfx tool's host services on Linux, on top of the POSIX backend: its
// path mapping and its emulated windows, whose procedures SendMessageA calls
// directly, as Windows does for a window of the calling thread.
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/posix/posix_backend.h"
#include "sfx/archive_scan.h"
#include "sfx/host.h"

namespace sfx {

namespace {

volatile std::sig_atomic_t Interrupted = 0;
ProgressFn ProgressCallback = nullptr;
void* ProgressContext = nullptr;

void OnInterrupt(int) { Interrupted = 1; }

// The registered scratch files, in storage a signal handler may read: a slot
// is filled before it is marked used, and emptied after it is marked free.
constexpr int ScratchSlots = 4;
constexpr size_t ScratchPathMax = 4096;
char ScratchPaths[ScratchSlots][ScratchPathMax];
volatile std::sig_atomic_t ScratchUsed[ScratchSlots];

// Signals blocked for the length of one registry change, so that a scratch
// file never exists unregistered.
struct SignalsBlocked {
    sigset_t old;
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

void OnTermination(int signal) {
    RemoveScratchFiles();
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void Unregister(const std::string& scratch, bool remove) {
    SignalsBlocked blocked;
    for (int slot = 0; slot < ScratchSlots; slot++) {
        if (ScratchUsed[slot] && scratch == ScratchPaths[slot]) {
            if (remove) unlink(ScratchPaths[slot]);
            ScratchUsed[slot] = 0;
        }
    }
}

std::string RandomSuffix() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::string suffix;
    for (int i = 0; i < 6; i++) suffix += letters[random() % (sizeof letters - 1)];
    return suffix;
}

win::LRESULT ProgressProc(win::HWND, win::UINT message, win::WPARAM, win::LPARAM lParam) {
    if (message != win::WM_COMMAND || lParam == 0) return 0;
    auto* percent = reinterpret_cast<uint16_t*>(lParam);
    if (ProgressCallback != nullptr) ProgressCallback(ProgressContext, *percent);
    if (Interrupted) *percent = 0xFFFF;
    return 0;
}

}  // namespace

std::string AbsoluteCorePath(const std::string& hostPath) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(hostPath, ec);
    std::string host = ec ? hostPath : absolute.string();
    return win::posix::ToWindowsPath(host.c_str());
}

std::filesystem::path HostPath(const std::string& typed) { return std::filesystem::path(typed); }

std::string DisplayPath(const std::filesystem::path& path) { return path.native(); }

std::string LastSystemError() { return std::strerror(errno); }

InputFile OpenInput(const std::filesystem::path& path, uint64_t limit, const std::string& display) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(display + ": cannot open it: " + LastSystemError());
    struct stat st = {};
    std::string failure;
    if (fstat(fd, &st) != 0)
        failure = "cannot read it: " + LastSystemError();
    else if (!S_ISREG(st.st_mode))
        failure = "not a regular file";
    else if (static_cast<uint64_t>(st.st_size) > limit)
        failure = "too large (" + std::to_string(st.st_size) + " bytes)";
    if (!failure.empty()) {
        close(fd);
        throw ToolError(display + ": " + failure);
    }
    InputFile in;
    in.Handle = fd;
    in.Size = static_cast<uint64_t>(st.st_size);
    in.Display = display;
    return in;
}

size_t ReadInput(InputFile& in, uint8_t* buffer, size_t size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, in.Size - std::min(in.Offset, in.Size)));
    size_t done = 0;
    while (done < want) {
        ssize_t n = pread(static_cast<int>(in.Handle), buffer + done, want - done, static_cast<off_t>(in.Offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw ToolError(in.Display + (n < 0 ? ": cannot read it: " + LastSystemError() : ": cannot read it: it became shorter"));
        done += static_cast<size_t>(n);
    }
    in.Offset += done;
    return done;
}

void RewindInput(InputFile& in, uint64_t offset) { in.Offset = offset; }

void CloseInput(InputFile& in) {
    if (in.Handle >= 0) close(static_cast<int>(in.Handle));
    in.Handle = -1;
}

ScratchFile CreateScratch(const std::string& finalPath, bool executable) {
    ScratchFile f;
    f.FinalPath = finalPath;
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        f.Path = finalPath + "." + RandomSuffix() + ".part";
        if (f.Path.size() >= ScratchPathMax) throw ToolError(finalPath + ": cannot create it: path too long");
        SignalsBlocked blocked;
        fd = open(f.Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, executable ? 0777 : 0666);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            throw ToolError(finalPath + ": cannot create it: " + LastSystemError());
        }
        int slot = 0;
        while (slot < ScratchSlots && ScratchUsed[slot]) slot++;
        if (slot == ScratchSlots) {
            close(fd);
            unlink(f.Path.c_str());
            throw ToolError(finalPath + ": cannot create it: too many scratch files");
        }
        std::memcpy(ScratchPaths[slot], f.Path.c_str(), f.Path.size() + 1);
        ScratchUsed[slot] = 1;
    }
    f.Handle = fd;
    return f;
}

void WriteScratch(ScratchFile& f, uint64_t offset, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(static_cast<int>(f.Handle), data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw ToolError(f.FinalPath + ": cannot write it: " + (n < 0 ? LastSystemError() : "nothing written"));
        done += static_cast<size_t>(n);
    }
}

void FinishScratch(ScratchFile& f, uint64_t length) {
    int fd = static_cast<int>(f.Handle);
    f.Handle = -1;
    std::string failure;
    if (ftruncate(fd, static_cast<off_t>(length)) != 0 || fsync(fd) != 0) failure = LastSystemError();
    if (close(fd) != 0 && failure.empty()) failure = LastSystemError();
    if (!failure.empty()) throw ToolError(f.FinalPath + ": cannot write it: " + failure);
}

void AbandonScratch(ScratchFile& f) {
    if (f.Handle >= 0) close(static_cast<int>(f.Handle));
    f.Handle = -1;
    if (!f.Path.empty()) RemoveScratch(f.Path);
    f.Path.clear();
}

void CommitScratch(const std::string& scratch, const std::string& finalPath) {
    if (rename(scratch.c_str(), finalPath.c_str()) != 0) {
        std::string reason = LastSystemError();
        RemoveScratch(scratch);
        throw ToolError(finalPath + ": cannot write it: " + reason);
    }
    Unregister(scratch, false);  // the name is the final one now
}

void RemoveScratch(const std::string& scratch) { Unregister(scratch, true); }

void RemoveScratchFiles() {
    for (int slot = 0; slot < ScratchSlots; slot++)
        if (ScratchUsed[slot]) {
            unlink(ScratchPaths[slot]);
            ScratchUsed[slot] = 0;
        }
}

void RemoveScratchFilesOnInterrupt() {
    struct sigaction action = {};
    action.sa_handler = OnTermination;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool CodePageSupported(unsigned codePage) {
    return codePage == 874 || codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 ||
           (codePage >= 1250 && codePage <= 1258);
}

namespace {

// iconv without transliteration: false at the first character the target
// cannot hold; `failedAt` is then its offset in `in`.
bool Convert(const std::string& in, const std::string& from, const std::string& to, std::string& out,
             size_t& failedAt) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(in.size() * 4 + 16, '\0');
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = out.data();
    size_t ol = out.size();
    size_t result = iconv(cd, &ip, &il, &op, &ol);
    bool ok = result == 0 && iconv(cd, nullptr, nullptr, &op, &ol) == 0;
    failedAt = static_cast<size_t>(ip - in.data());
    iconv_close(cd);
    out.resize(out.size() - ol);
    return ok;
}

}  // namespace

std::string EncodeName(const std::filesystem::path& name, unsigned codePage, std::string& problem) {
    problem.clear();
    const std::string& utf8 = name.native();
    std::string out, wide;
    size_t at = 0;
    if (!Convert(utf8, "UTF-8", "UTF-32LE", wide, at)) {
        problem = "is not valid UTF-8";
        return "";
    }
    if (Convert(utf8, "UTF-8", "CP" + std::to_string(codePage), out, at)) return out;
    std::string rest = utf8.substr(at), one;
    size_t ignored = 0;
    Convert(rest.substr(0, rest.empty() ? 0 : 1 + (static_cast<unsigned char>(rest[0]) >= 0xC0) +
                                                 (static_cast<unsigned char>(rest[0]) >= 0xE0) +
                                                 (static_cast<unsigned char>(rest[0]) >= 0xF0)),
            "UTF-8", "UTF-32LE", one, ignored);
    uint32_t code = 0;
    for (size_t i = 0; i < one.size() && i < 4; i++) code |= uint32_t(static_cast<unsigned char>(one[i])) << (8 * i);
    char text[80];
    std::snprintf(text, sizeof text, "the character U+%04X has no place in code page %u", code, codePage);
    problem = text;
    return "";
}

bool DecodeName(const std::string& bytes, unsigned codePage, std::string& utf8) {
    size_t at = 0;
    return Convert(bytes, "CP" + std::to_string(codePage), "UTF-8", utf8, at);
}

std::string NameBytes(const std::filesystem::path& name) { return name.native(); }

bool NamesAreUtf8() { return true; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalColumns() {
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void SetBinaryStdout() {}

void CatchInterrupt() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;  // the second Ctrl+C ends the process
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool InterruptRequested() { return Interrupted != 0; }

uint16_t OpenProgressWindow(ProgressFn onProgress, void* context) {
    win::HWND window = win::posix::CreateTestWindow(ProgressProc);
    auto handle = reinterpret_cast<uintptr_t>(window);
    if (handle == 0 || handle > 0xFFFF) {
        if (handle != 0) win::posix::DestroyTestWindow(window);
        return 0;
    }
    ProgressCallback = onProgress;
    ProgressContext = context;
    return static_cast<uint16_t>(handle);
}

void CloseProgressWindow(uint16_t window) {
    if (window == 0) return;
    win::posix::DestroyTestWindow(reinterpret_cast<win::HWND>(static_cast<uintptr_t>(window)));
    ProgressCallback = nullptr;
    ProgressContext = nullptr;
}

}  // namespace sfx
