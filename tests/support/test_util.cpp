#include "support/test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "platform/posix/posix_backend.h"

namespace testutil {

namespace {

std::string TempRoot() {
    const char* t = std::getenv("TMPDIR");
    std::string root = (t && *t) ? t : "/tmp";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

void RemoveTree(const std::string& path, bool keepRoot = false) {
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
            for (const auto& n : names) RemoveTree(path + "/" + n);
        }
        if (!keepRoot) rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

}  // namespace

AnsiCodePageScope::AnsiCodePageScope(uint32_t codePage) { win::posix::SetAnsiCodePage(codePage); }
AnsiCodePageScope::~AnsiCodePageScope() { win::posix::SetAnsiCodePage(1252); }

const std::string Hyo932 = "\x95\x5C", So932 = "\x83\x5C", No932 = "\x94\x5C";
const std::string HyoUtf8 = "\xE8\xA1\xA8", SoUtf8 = "\xE3\x82\xBD", NoUtf8 = "\xE8\x83\xBD";

std::string ToWin(const std::string& hostPath) {
    std::string w = "C:";
    for (char c : hostPath) w += (c == '/') ? '\\' : c;
    return w;
}

ScratchDir::ScratchDir() : ScratchDir(TempRoot()) {}

ScratchDir::ScratchDir(const std::string& root) {
    savedCwd_ = CurrentDir();
    std::string tmpl = root + "/zl-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Host = buf.data();
    Win = ToWin(Host);
}

ScratchDir::~ScratchDir() {
    if (chdir(savedCwd_.c_str()) != 0) { /* nothing better to do */ }
    RemoveTree(Host);
}

const ScratchDir& ProcessScratch() {
    static const ScratchDir dir(IsDir("/dev/shm") && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : TempRoot());
    return dir;
}

void ClearFolder(const std::string& hostPath) { RemoveTree(hostPath, true); }

std::string ScratchDir::HostPath(const std::string& rel) const {
    std::string r = rel;
    std::replace(r.begin(), r.end(), '\\', '/');
    return Host + "/" + r;
}

std::string ScratchDir::WinPath(const std::string& rel) const {
    std::string r = rel;
    std::replace(r.begin(), r.end(), '/', '\\');
    return Win + "\\" + r;
}

Bytes ReadBytes(const std::string& hostPath) {
    std::ifstream f(hostPath, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + hostPath);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& hostPath, const Bytes& data) { WriteBytes(hostPath, data.data(), data.size()); }

void WriteBytes(const std::string& hostPath, const uint8_t* data, size_t size) {
    std::ofstream f(hostPath, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + hostPath);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void WriteText(const std::string& hostPath, const std::string& text) {
    WriteBytes(hostPath, Bytes(text.begin(), text.end()));
}

bool Exists(const std::string& hostPath) {
    struct stat st;
    return lstat(hostPath.c_str(), &st) == 0;
}

bool IsDir(const std::string& hostPath) {
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> ListFiles(const std::string& root) {
    std::vector<std::string> out;
    std::function<void(const std::string&)> walk = [&](const std::string& rel) {
        std::string dir = rel.empty() ? root : root + "/" + rel;
        DIR* d = opendir(dir.c_str());
        if (!d) return;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            std::string r = rel.empty() ? n : rel + "/" + n;
            if (IsDir(root + "/" + r))
                walk(r);
            else
                out.push_back(r);
        }
        closedir(d);
    };
    walk("");
    std::sort(out.begin(), out.end());
    return out;
}

std::string CurrentDir() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

int RunShell(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunPython(const std::string& script, const std::vector<std::string>& args) {
    char path[] = "/tmp/zl-py-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return -1;
    FILE* f = fdopen(fd, "w");
    std::fputs(script.c_str(), f);
    std::fclose(f);
    std::string cmd = std::string(PYTHON_EXE) + " " + path;
    for (const auto& a : args) cmd += " '" + a + "'";
    int rc = RunShell(cmd);
    unlink(path);
    return rc;
}

Bytes PatternBytes(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Mostly text-like with some repetition, so compressors have work.
        b[i] = static_cast<uint8_t>((x % 7 == 0) ? ' ' : 'a' + (x >> 8) % 20);
    }
    return b;
}

uint32_t Crc32(const uint8_t* data, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= data[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

uint32_t Crc32(const Bytes& data) { return Crc32(data.data(), data.size()); }

void PutLe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void AppendLe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void AppendLe32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

ZipLayout BuildZip(const std::vector<ZipEntrySpec>& entries, const Bytes& prefix, const std::string& archiveComment) {
    ZipLayout z;
    Bytes& out = z.Bytes_;
    out = prefix;
    struct Central {
        const ZipEntrySpec* e;
        uint32_t crc, csize, usize, offset;
        uint16_t flags;
    };
    std::vector<Central> central;
    for (const auto& e : entries) {
        uint32_t crc = e.CrcFromData ? Crc32(e.Data) : e.Crc;
        uint32_t csize = static_cast<uint32_t>(e.Data.size());
        uint32_t usize = e.UncompressedSize != 0 || e.Method != 0 ? e.UncompressedSize : csize;
        uint16_t flags = static_cast<uint16_t>(e.Flags | (e.DataDescriptor ? 8 : 0));
        uint32_t offset = static_cast<uint32_t>(out.size());
        z.HeaderOffsets.push_back(offset);
        bool zeroLocal = e.DataDescriptor && e.LocalSizesZero;
        AppendLe32(out, 0x04034B50);
        AppendLe16(out, 20);
        AppendLe16(out, flags);
        AppendLe16(out, e.Method);
        AppendLe32(out, e.DosDateTime);
        AppendLe32(out, zeroLocal ? 0 : crc);
        AppendLe32(out, zeroLocal ? 0 : csize);
        AppendLe32(out, zeroLocal ? 0 : usize);
        AppendLe16(out, static_cast<uint16_t>(e.Name.size()));
        AppendLe16(out, static_cast<uint16_t>(e.Extra.size()));
        out.insert(out.end(), e.Name.begin(), e.Name.end());
        out.insert(out.end(), e.Extra.begin(), e.Extra.end());
        out.insert(out.end(), e.Data.begin(), e.Data.end());
        if (e.DataDescriptor) {
            if (e.DescriptorSignature) AppendLe32(out, 0x08074B50);
            AppendLe32(out, crc);
            AppendLe32(out, csize);
            AppendLe32(out, usize);
        }
        central.push_back({&e, crc, csize, usize, offset, flags});
    }
    z.DirectoryOffset = static_cast<uint32_t>(out.size());
    for (const auto& c : central) {
        const ZipEntrySpec& e = *c.e;
        AppendLe32(out, 0x02014B50);
        out.push_back(20);
        out.push_back(e.HostSystem);
        AppendLe16(out, 20);
        AppendLe16(out, c.flags);
        AppendLe16(out, e.Method);
        AppendLe32(out, e.DosDateTime);
        AppendLe32(out, c.crc);
        AppendLe32(out, c.csize);
        AppendLe32(out, c.usize);
        AppendLe16(out, static_cast<uint16_t>(e.Name.size()));
        AppendLe16(out, static_cast<uint16_t>(e.Extra.size()));
        AppendLe16(out, static_cast<uint16_t>(e.Comment.size()));
        AppendLe16(out, 0);
        AppendLe16(out, 0);
        AppendLe32(out, e.ExternalAttributes);
        AppendLe32(out, c.offset);
        out.insert(out.end(), e.Name.begin(), e.Name.end());
        out.insert(out.end(), e.Extra.begin(), e.Extra.end());
        out.insert(out.end(), e.Comment.begin(), e.Comment.end());
    }
    z.EndRecordOffset = static_cast<uint32_t>(out.size());
    AppendLe32(out, 0x06054B50);
    AppendLe16(out, 0);
    AppendLe16(out, 0);
    AppendLe16(out, static_cast<uint16_t>(entries.size()));
    AppendLe16(out, static_cast<uint16_t>(entries.size()));
    AppendLe32(out, z.EndRecordOffset - z.DirectoryOffset);
    AppendLe32(out, z.DirectoryOffset);
    AppendLe16(out, static_cast<uint16_t>(archiveComment.size()));
    out.insert(out.end(), archiveComment.begin(), archiveComment.end());
    return z;
}

}  // namespace testutil
