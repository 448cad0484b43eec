// Windows names on the host file system.
//
// Win32 turns every name into a full path before it touches the disk: it
// prefixes the current directory to relative names, takes "." and ".."
// lexically (so "C:\missing\..\tmp" is "C:\tmp"), drops trailing dots and
// spaces of each component, and refuses names with characters that no file
// name may hold. The same steps run here, on the single drive "C:", whose
// root is the host's "/".
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_backend.h"

namespace win::posix::detail {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Characters Windows refuses in a component: control characters and <>:"|?*.
bool IsForbiddenInName(unsigned char c) {
    return c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
}

bool IsDotsAndSpaces(const std::string& component, size_t& dots) {
    dots = 0;
    for (char c : component) {
        if (c == '.')
            dots++;
        else if (c != ' ')
            return false;
    }
    return true;
}

// Appends the components of `text` (a Windows name without drive) to `parts`
// as host names (UTF-8), taking "." and ".." lexically. Returns 0 or
// ERROR_INVALID_NAME.
DWORD AppendComponents(const char* text, std::vector<std::string>& parts) {
    const char* p = text;
    while (*p != '\0') {
        while (IsSeparator(*p)) p++;
        const char* start = p;
        while (*p != '\0' && !IsSeparator(*p)) {
            if (IsForbiddenInName(static_cast<unsigned char>(*p))) return ERROR_INVALID_NAME;
            p++;
        }
        if (p == start) break;
        std::string component(start, p);
        size_t dots = 0;
        if (IsDotsAndSpaces(component, dots)) {
            // "." stays, ".." climbs; Windows reads longer runs of dots
            // (with or without spaces) as "..", and a name of spaces only
            // vanishes.
            if (dots >= 2 && !parts.empty()) parts.pop_back();
            continue;
        }
        while (!component.empty() && (component.back() == '.' || component.back() == ' ')) component.pop_back();
        parts.push_back(Windows1252ToUtf8(component));
    }
    return 0;
}

// Characters of a UTF-8 host name, as Windows counts a path's length.
size_t CharacterCount(const std::string& name) {
    size_t count = 0;
    for (char c : name) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

}  // namespace

DWORD ResolvePath(const char* windowsPath, size_t limit, HostPath& out) {
    out = HostPath{};
    if (windowsPath == nullptr || windowsPath[0] == '\0') return ERROR_PATH_NOT_FOUND;
    const char* rest = windowsPath;
    bool absolute = false;
    if (IsSeparator(rest[0]) && IsSeparator(rest[1])) return ERROR_BAD_NETPATH;  // UNC and device names
    if (rest[0] != '\0' && rest[1] == ':') {
        if (rest[0] != 'C' && rest[0] != 'c') return ERROR_PATH_NOT_FOUND;  // no such drive
        rest += 2;
    }
    if (IsSeparator(rest[0])) absolute = true;

    std::vector<std::string> parts;
    bool knownBase = true;
    if (!absolute) {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            // Host names are taken as they are: no Windows rules apply to them.
            for (const char* c = cwd; *c != '\0';) {
                while (*c == '/') c++;
                const char* start = c;
                while (*c != '\0' && *c != '/') c++;
                if (c > start) parts.emplace_back(start, c);
            }
        } else {
            knownBase = false;  // the current directory has gone; leave the name relative
        }
    }
    DWORD error = AppendComponents(rest, parts);
    if (error != 0) return error;

    size_t length = std::strlen(windowsPath);
    out.TrailingSeparator = length > 0 && IsSeparator(windowsPath[length - 1]) && !parts.empty();
    out.IsRoot = knownBase && parts.empty();

    if (knownBase) {
        // Full Windows form: "C:" + "\part" for each part, or "C:\" for the root.
        size_t fullLength = parts.empty() ? 3 : 2;
        for (const std::string& part : parts) fullLength += 1 + CharacterCount(part);
        if (out.TrailingSeparator) fullLength += 1;
        if (fullLength >= limit) return ERROR_FILENAME_EXCED_RANGE;
        out.Path = parts.empty() ? "/" : "";
        for (const std::string& part : parts) out.Path += "/" + part;
    } else {
        if (length >= limit) return ERROR_FILENAME_EXCED_RANGE;
        for (size_t i = 0; i < parts.size(); i++) out.Path += (i ? "/" : "") + parts[i];
        if (out.Path.empty()) out.Path = ".";
    }
    return 0;
}

bool ParentExists(const std::string& hostPath) {
    size_t slash = hostPath.find_last_of('/');
    std::string parent;
    if (slash == std::string::npos)
        parent = ".";
    else if (slash == 0)
        parent = "/";
    else
        parent = hostPath.substr(0, slash);
    struct stat st;
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD ErrorFromErrno(int error, const std::string& hostPath) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ParentExists(hostPath) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_FILE_EXISTS;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
        case EBUSY:
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EIO: return ERROR_IO_DEVICE;
        default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace win::posix::detail

namespace win::posix {

std::string ToHostPath(const char* windowsPath) {
    detail::HostPath host;
    if (detail::ResolvePath(windowsPath, 1u << 20, host) != 0) return "";
    return host.Path;
}

std::string ToWindowsPath(const char* hostPath) {
    if (hostPath == nullptr) return "";
    std::string out = hostPath[0] == '/' ? "C:" : "";
    for (const char* p = hostPath; *p != '\0'; p++) {
        if (*p == '/') {
            if (p != hostPath && p[-1] == '/') continue;  // "//" is one separator
            out += '\\';
        } else {
            out += *p;
        }
    }
    return detail::Utf8ToWindows1252(out);
}

}  // namespace win::posix
