// The program's module, its resources and the temporary path.
//
// The executable is the one module. Its handle is a fixed token (the classic
// image base of a Windows program); GetModuleHandleA gives it for a null name
// and for the program's own file name, with or without directory, compared
// without regard to case as Windows compares module names.
//
// Linux executables carry no resource section, so the program's entry
// registers what the Windows build would link in as resources
// (RegisterResource); FindResourceA looks them up by type string and
// numeric name.
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <deque>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_backend.h"

namespace win {

namespace {

HMODULE const ProgramModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));

struct Resource {
    std::string Type;  // compared without regard to case
    uint16_t Id;
    const void* Data;
    DWORD Size;
};

std::mutex ResourcesLock;
// Entries are never removed and a deque does not move them when it grows,
// so an HRSRC (the address of one) stays valid.
std::deque<Resource> Resources;  // guarded by ResourcesLock

// True for a name given by number (MAKEINTRESOURCE): its value fits 16 bits.
bool IsIntResource(const char* name) { return (reinterpret_cast<uintptr_t>(name) >> 16) == 0; }

// The numeric id of a resource name: MAKEINTRESOURCE(n) or the string "#n";
// -1 for a name that is a plain string.
long ResourceId(const char* name) {
    if (IsIntResource(name)) return static_cast<long>(reinterpret_cast<uintptr_t>(name));
    if (name[0] != '#') return -1;
    char* end = nullptr;
    long id = std::strtol(name + 1, &end, 10);
    return (*end == '\0' && id >= 0 && id <= 0xFFFF) ? id : -1;
}

std::string ProgramWindowsPath() {
    char host[PATH_MAX + 1];
    ssize_t length = readlink("/proc/self/exe", host, PATH_MAX);
    if (length < 0) return "";
    host[length] = '\0';
    return posix::ToWindowsPath(host);
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size) {
    if (module != nullptr && module != ProgramModule) {
        SetLastError(posix::detail::ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path = ProgramWindowsPath();
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (size == 0 || fileName == nullptr) {
        SetLastError(posix::detail::ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // A buffer too small gets the name cut to size - 1 characters and a NUL,
    // and the call returns size with ERROR_INSUFFICIENT_BUFFER.
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(posix::detail::ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

HMODULE GetModuleHandleA(const char* moduleName) {
    if (moduleName == nullptr) return ProgramModule;
    std::string path = ProgramWindowsPath();
    size_t slash = path.find_last_of("\\:");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (strcasecmp(moduleName, name.c_str()) == 0 || strcasecmp(moduleName, path.c_str()) == 0) return ProgramModule;
    SetLastError(posix::detail::ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HRSRC FindResourceA(HMODULE module, const char* name, const char* type) {
    if (module != nullptr && module != ProgramModule) {
        SetLastError(posix::detail::ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    long id = name == nullptr ? -1 : ResourceId(name);
    bool typeIsString = type != nullptr && !IsIntResource(type);
    std::lock_guard<std::mutex> lock(ResourcesLock);
    bool typeFound = false;
    for (Resource& resource : Resources) {
        if (!typeIsString || strcasecmp(resource.Type.c_str(), type) != 0) continue;
        typeFound = true;
        if (resource.Id == id) return &resource;
    }
    // As on Windows: a module without resources of the type says so (1813);
    // one with the type but not the name reports the name (1814).
    SetLastError(typeFound ? ERROR_RESOURCE_NOT_FOUND : posix::detail::ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE /*module*/, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(static_cast<Resource*>(resource)->Data);
}

DWORD SizeofResource(HMODULE /*module*/, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<Resource*>(resource)->Size;
}

DWORD GetTempPathA(DWORD bufferLength, char* buffer) {
    // $TMPDIR, else /tmp, as a full Windows path ending in "\".
    const char* tmpdir = std::getenv("TMPDIR");
    std::string host = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
    if (host[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) host = std::string(cwd) + "/" + host;
    }
    std::string path = posix::ToWindowsPath(host.c_str());
    if (path.empty() || path.back() != '\\') path += '\\';
    auto length = static_cast<DWORD>(path.size());
    // Too small a buffer: nothing is written, and the size needed (with
    // the NUL) is returned.
    if (buffer == nullptr || bufferLength <= length) return length + 1;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return length;
}

namespace posix {

void RegisterResource(const char* type, uint16_t id, const void* data, DWORD size) {
    std::lock_guard<std::mutex> lock(ResourcesLock);
    for (Resource& resource : Resources) {
        if (strcasecmp(resource.Type.c_str(), type) == 0 && resource.Id == id) {
            resource.Data = data;
            resource.Size = size;
            return;
        }
    }
    Resources.push_back(Resource{type, id, data, size});
}

}  // namespace posix

}  // namespace win
