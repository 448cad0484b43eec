// Files and directories: Win32 file calls over file descriptors.
//
// A HANDLE is the address of a FileObject on the heap, registered in the
// process-wide list of open files; a handle that is not in the list (closed,
// null, INVALID_HANDLE_VALUE, anything else) fails with ERROR_INVALID_HANDLE
// instead of being dereferenced. The list also carries each handle's access
// and share mode, so that the sharing rules of Windows hold between the
// process's own handles: a second open that the first one's share mode does
// not admit, or that does not admit the first one's access, fails with
// ERROR_SHARING_VIOLATION, and so does deleting a file that is open without
// FILE_SHARE_DELETE. Without that an archive could truncate itself by
// naming an entry like the archive file.
//
// The process may run as root, which may write to any file; Windows refuses
// to write to or delete a read-only file whoever asks, so the read-only
// state (no owner write bit) is checked here rather than left to the kernel.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_internal.h"

namespace win {

namespace {

using posix::detail::ErrorFromErrno;
using posix::detail::HostPath;
using posix::detail::MaxPath;
using posix::detail::ResolvePath;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_SHARE_DELETE = 4;
constexpr DWORD GENERIC_ALL = 0x10000000u;
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD ReadAccess = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD WriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
// CreateDirectoryA leaves room for an 8.3 name below MAX_PATH.
constexpr size_t MaxDirectoryPath = MaxPath - 12;

// A regular file keeps its file pointer here and is read and written at it
// with pread and pwrite, so that moving the pointer costs no system call
// (the engine moves it twice for every entry it extracts). Nothing else
// uses the descriptor's own offset. Other files (devices, pipes) use it.
struct FileObject {
    int Fd;
    bool CanRead;
    bool CanWrite;
    DWORD Share;
    dev_t Device;
    ino_t Inode;
    bool Positional;
    int64_t Position;
    std::string KeepAs;  // a plain read: the host path its descriptor may be kept under once closed
    struct stat Status;  // as opened
};
// Positions below this need no check by lseek: every file system takes
// files of 2 GiB, and the engine's positions are signed 32-bit numbers.
constexpr int64_t PositionsWithoutCheck = int64_t{1} << 31;

std::mutex FilesLock;
std::vector<FileObject*> OpenFiles;  // guarded by FilesLock

// The descriptor of the last regular file opened only to be read, kept open
// after its handle is closed: the engine opens the archive again for every
// entry, and taking the kept descriptor back costs one stat of the name
// instead of an open, an fstat and a close. It is taken back only while the
// name still leads to the same file with its status unchanged since it was
// opened (device, inode, mode, owner, links, size, modification and change
// times), so that it stands for the very open it saves.
struct KeptRead {
    int Fd = -1;
    std::string Path;
    struct stat Status;
};
KeptRead Kept;  // guarded by FilesLock

bool SameStatus(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
           a.st_gid == b.st_gid && a.st_nlink == b.st_nlink && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The kept descriptor when it was kept under `path` and still stands for
// an open of it (its status then in `st`), else -1; either way it is no
// longer kept.
int TakeKeptRead(const std::string& path, struct stat& st) {
    int fd = -1;
    struct stat was;
    {
        std::lock_guard<std::mutex> lock(FilesLock);
        if (Kept.Fd < 0 || Kept.Path != path) return -1;
        fd = Kept.Fd;
        was = Kept.Status;
        Kept.Fd = -1;
    }
    if (stat(path.c_str(), &st) == 0 && SameStatus(st, was)) return fd;
    close(fd);
    return -1;
}

// Reads of regular files opened only to be read go through two read-ahead
// blocks of ReadAheadBytes, shared by all such handles: the engine reads an
// archive 2048 bytes at a time and a local header at a time, and a system
// call for each would cost more than decoding it. A block belongs to the
// file status its reader opened (SameStatus), so a handle opened on another
// file, or on this one after a change, never meets it, and the process's
// own writes to the file drop its blocks (DropReadAhead). Changes made by
// other processes while a handle is open may stay unseen for up to one
// block, as they may land half-way through one read anyway; on Windows the
// engine's share mode keeps writers away altogether. Larger reads go to the
// file directly.
constexpr DWORD ReadAheadBytes = 16384;
struct ReadAheadBlock {
    bool Valid = false;
    struct stat Status;
    int64_t Start = 0;
    DWORD Length = 0;  // less than ReadAheadBytes only where the file ended
    uint64_t LastUse = 0;
    uint8_t Bytes[ReadAheadBytes];
};
ReadAheadBlock ReadAhead[2];  // guarded by FilesLock
uint64_t ReadAheadClock = 0;  // guarded by FilesLock

// Reads n bytes to `to`, at `at` (positional) or at the descriptor's offset,
// until all have come or the file ends; `done` counts what came. Returns 0
// or the errno of a failed read.
int ReadFully(int fd, bool positional, int64_t at, uint8_t* to, DWORD n, DWORD& done) {
    done = 0;
    while (done < n) {
        ssize_t got = positional ? pread(fd, to + done, n - done, at + done) : read(fd, to + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) break;
        done += static_cast<DWORD>(got);
    }
    return 0;
}

// Forgets the blocks read from the file at (device, inode). FilesLock held.
void DropReadAhead(dev_t device, ino_t inode) {
    for (ReadAheadBlock& block : ReadAhead)
        if (block.Status.st_dev == device && block.Status.st_ino == inode) block.Valid = false;
}

thread_local DWORD LastError = 0;

// Sets the error and gives the failure value of the call.
template <typename T>
T FailWith(DWORD code, T failure) {
    LastError = code;
    return failure;
}

BOOL Refuse(DWORD code) { return FailWith<BOOL>(code, 0); }

// The open file behind a handle, or null (with ERROR_INVALID_HANDLE set).
FileObject* Lookup(HANDLE handle) {
    std::lock_guard<std::mutex> lock(FilesLock);
    auto* object = static_cast<FileObject*>(handle);
    if (std::find(OpenFiles.begin(), OpenFiles.end(), object) == OpenFiles.end())
        return FailWith<FileObject*>(ERROR_INVALID_HANDLE, nullptr);
    return object;
}

// True when an open with the given access and share mode may coexist with
// every handle already open on the same file. Caller holds FilesLock.
bool SharingAllows(dev_t device, ino_t inode, bool read, bool write, DWORD share) {
    for (const FileObject* other : OpenFiles) {
        if (other->Device != device || other->Inode != inode) continue;
        if (read && !(other->Share & FILE_SHARE_READ)) return false;
        if (write && !(other->Share & FILE_SHARE_WRITE)) return false;
        if (other->CanRead && !(share & FILE_SHARE_READ)) return false;
        if (other->CanWrite && !(share & FILE_SHARE_WRITE)) return false;
    }
    return true;
}

bool IsReadOnly(const struct stat& st) { return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0; }

// A failed stat of a resolved name as Windows reports it.
DWORD MissingError(const std::string& hostPath) { return ErrorFromErrno(errno, hostPath); }

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t UnixEpochTicks = 116444736000000000LL;

// The timespec of a FILETIME for futimens; 0 and all-ones leave the time as
// it is, as they do on Windows.
bool ToTimespec(const FILETIME* time, struct timespec& out) {
    out.tv_sec = 0;
    out.tv_nsec = UTIME_OMIT;
    if (time == nullptr) return true;
    uint64_t ticks = (static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
    if (ticks == 0 || ticks == ~0ull) return true;
    if (ticks >> 63) return false;
    int64_t sinceUnix = static_cast<int64_t>(ticks) - UnixEpochTicks;
    int64_t seconds = sinceUnix / 10000000;
    int64_t rest = sinceUnix % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds -= 1;
    }
    out.tv_sec = static_cast<time_t>(seconds);
    out.tv_nsec = static_cast<long>(rest * 100);
    return true;
}

}  // namespace

DWORD GetLastError() { return LastError; }

void SetLastError(DWORD errorCode) { LastError = errorCode; }

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* /*securityAttributes*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    const HANDLE failed = INVALID_HANDLE_VALUE;
    HostPath path;
    if (DWORD error = ResolvePath(fileName, MaxPath, path)) return FailWith(error, failed);
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING)
        return FailWith(ERROR_INVALID_PARAMETER, failed);
    bool read = (desiredAccess & ReadAccess) != 0;
    bool write = (desiredAccess & WriteAccess) != 0;
    if (creationDisposition == TRUNCATE_EXISTING && !write) return FailWith(ERROR_INVALID_PARAMETER, failed);

    bool mustExist = creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING;
    // Opening an existing file for reading (the engine does it once per
    // entry) needs no look beforehand: open fails with the error the look
    // would give, and the fstat below turns a directory away.
    bool plainRead = creationDisposition == OPEN_EXISTING && !write && !path.IsRoot && !path.TrailingSeparator;
    bool exists = true;
    if (!plainRead) {
        struct stat st;
        exists = stat(path.Path.c_str(), &st) == 0;
        if (!exists && errno != ENOENT) return FailWith(MissingError(path.Path), failed);
        // A directory is no file, with or without a trailing separator.
        if (path.IsRoot || (exists && S_ISDIR(st.st_mode))) return FailWith(ERROR_ACCESS_DENIED, failed);
        if (path.TrailingSeparator) {
            DWORD error =
                posix::detail::ParentExists(path.Path) ? posix::detail::ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND;
            return FailWith(error, failed);
        }
        if (!exists && mustExist) return FailWith(MissingError(path.Path), failed);
        if (exists && creationDisposition == CREATE_NEW) return FailWith(ERROR_FILE_EXISTS, failed);
        bool truncating = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
        if (exists && (write || truncating) && IsReadOnly(st)) return FailWith(ERROR_ACCESS_DENIED, failed);
    }
    bool truncate = exists && (creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING);

    // The file is opened without O_TRUNC: it may be truncated only once the
    // sharing check has admitted this handle.
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (truncate && !write) flags = (flags & ~O_ACCMODE) | O_RDWR;
    if (!mustExist) flags |= O_CREAT;
    if (creationDisposition == CREATE_NEW) flags |= O_EXCL;
    mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    struct stat opened;
    int fd = plainRead ? TakeKeptRead(path.Path, opened) : -1;
    const bool reused = fd >= 0;
    if (!reused) fd = open(path.Path.c_str(), flags, mode);
    if (fd < 0) return FailWith(MissingError(path.Path), failed);
    DWORD error = ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(FilesLock);
    if ((!reused && fstat(fd, &opened) != 0) || S_ISDIR(opened.st_mode))
        error = ERROR_ACCESS_DENIED;
    else if (!SharingAllows(opened.st_dev, opened.st_ino, read, write, shareMode))
        error = posix::detail::ERROR_SHARING_VIOLATION;
    else if (truncate && ftruncate(fd, 0) != 0)
        error = ErrorFromErrno(errno, path.Path);
    if (truncate) DropReadAhead(opened.st_dev, opened.st_ino);
    if (error != ERROR_SUCCESS) {
        close(fd);
        return FailWith(error, failed);
    }
    auto* object = new FileObject{fd,           read, write, shareMode, opened.st_dev, opened.st_ino, S_ISREG(opened.st_mode),
                                  0,            plainRead && S_ISREG(opened.st_mode) ? path.Path : std::string(),
                                  opened};
    OpenFiles.push_back(object);
    // Windows reports that an existing file was opened or replaced.
    bool reportsExisting = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
    LastError = exists && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    return object;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* /*overlapped*/) {
    if (bytesRead != nullptr) *bytesRead = 0;
    FileObject* object = Lookup(file);
    if (object == nullptr) return 0;
    if (!object->CanRead) return Refuse(ERROR_ACCESS_DENIED);
    if (buffer == nullptr && bytesToRead > 0) return Refuse(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    if (object->Positional && !object->CanWrite && bytesToRead <= ReadAheadBytes / 2) {
        std::lock_guard<std::mutex> lock(FilesLock);
        const int64_t at = object->Position;
        ReadAheadBlock* found = nullptr;
        for (ReadAheadBlock& block : ReadAhead) {
            // The block holds the bytes asked for, or all the file has from `at` on.
            bool covers = at >= block.Start && (at + bytesToRead <= block.Start + block.Length ||
                                                (block.Length < ReadAheadBytes && at <= block.Start + block.Length));
            if (block.Valid && covers && SameStatus(block.Status, object->Status)) found = &block;
        }
        if (found == nullptr) {
            found = ReadAhead[0].LastUse <= ReadAhead[1].LastUse ? &ReadAhead[0] : &ReadAhead[1];
            found->Valid = false;
            DWORD filled = 0;
            if (int error = ReadFully(object->Fd, true, at, found->Bytes, ReadAheadBytes, filled))
                return Refuse(ErrorFromErrno(error, ""));
            found->Status = object->Status;
            found->Start = at;
            found->Length = filled;
            found->Valid = true;
        }
        found->LastUse = ++ReadAheadClock;
        const int64_t left = found->Start + found->Length - at;
        done = left < bytesToRead ? static_cast<DWORD>(left) : bytesToRead;
        std::memcpy(buffer, found->Bytes + (at - found->Start), done);
        object->Position += done;
        if (bytesRead != nullptr) *bytesRead = done;
        return 1;
    }
    // At the end of the file the call succeeds with what there was,
    // possibly nothing.
    int error =
        ReadFully(object->Fd, object->Positional, object->Position, static_cast<uint8_t*>(buffer), bytesToRead, done);
    object->Position += done;
    if (bytesRead != nullptr) *bytesRead = done;
    return error != 0 ? Refuse(ErrorFromErrno(error, "")) : 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* /*overlapped*/) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    FileObject* object = Lookup(file);
    if (object == nullptr) return 0;
    if (!object->CanWrite) return Refuse(ERROR_ACCESS_DENIED);
    if (buffer == nullptr && bytesToWrite > 0) return Refuse(ERROR_INVALID_PARAMETER);
    {
        std::lock_guard<std::mutex> lock(FilesLock);
        DropReadAhead(object->Device, object->Inode);
    }
    DWORD done = 0;
    while (done < bytesToWrite) {
        const char* from = static_cast<const char*>(buffer) + done;
        ssize_t put = object->Positional ? pwrite(object->Fd, from, bytesToWrite - done, object->Position)
                                         : write(object->Fd, from, bytesToWrite - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            int error = put < 0 ? errno : ENOSPC;
            if (bytesWritten != nullptr) *bytesWritten = done;
            return Refuse(ErrorFromErrno(error, ""));
        }
        done += static_cast<DWORD>(put);
        object->Position += put;
    }
    if (bytesWritten != nullptr) *bytesWritten = done;
    return 1;
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) {
    FileObject* object = Lookup(file);
    if (object == nullptr) return INVALID_SET_FILE_POINTER;
    // Without a high part the distance is a signed 32-bit value; with one,
    // the two halves form a signed 64-bit distance.
    int64_t distance = distanceToMoveHigh == nullptr
                           ? static_cast<int64_t>(distanceToMove)
                           : static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceToMoveHigh)) << 32) |
                                                  static_cast<uint32_t>(distanceToMove));
    int64_t base = 0;
    if (moveMethod == FILE_CURRENT && object->Positional) {
        base = object->Position;
    } else if (moveMethod == FILE_CURRENT) {
        off_t current = lseek(object->Fd, 0, SEEK_CUR);
        if (current < 0) return FailWith(ErrorFromErrno(errno, ""), INVALID_SET_FILE_POINTER);
        base = current;
    } else if (moveMethod == FILE_END) {
        struct stat st;
        if (fstat(object->Fd, &st) != 0) return FailWith(ErrorFromErrno(errno, ""), INVALID_SET_FILE_POINTER);
        base = st.st_size;
    } else if (moveMethod != FILE_BEGIN) return FailWith(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    // base >= 0 and |distance| < 2^63, so the sum cannot overflow unless
    // both are near the top, which lseek would refuse anyway.
    int64_t target = distance > 0 && base > INT64_MAX - distance ? -1 : base + distance;
    if (target < 0) return FailWith(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    if ((!object->Positional || target >= PositionsWithoutCheck) && lseek(object->Fd, static_cast<off_t>(target), SEEK_SET) < 0)
        return FailWith(ErrorFromErrno(errno, ""), INVALID_SET_FILE_POINTER);
    object->Position = target;
    if (distanceToMoveHigh != nullptr) *distanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
    auto low = static_cast<DWORD>(static_cast<uint64_t>(target));
    // A position whose low half looks like the failure value is told apart
    // by a cleared error, as on Windows.
    if (low == INVALID_SET_FILE_POINTER) LastError = ERROR_SUCCESS;
    return low;
}

DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
    FileObject* object = Lookup(file);
    if (object == nullptr) return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(object->Fd, &st) != 0) return FailWith(ErrorFromErrno(errno, ""), INVALID_FILE_SIZE);
    auto size = static_cast<uint64_t>(st.st_size);
    if (fileSizeHigh != nullptr) *fileSizeHigh = static_cast<DWORD>(size >> 32);
    auto low = static_cast<DWORD>(size);
    if (low == INVALID_FILE_SIZE) LastError = ERROR_SUCCESS;
    return low;
}

BOOL CloseHandle(HANDLE object) {
    FileObject* file = nullptr;
    {
        std::lock_guard<std::mutex> lock(FilesLock);
        auto it = std::find(OpenFiles.begin(), OpenFiles.end(), static_cast<FileObject*>(object));
        if (it == OpenFiles.end()) return Refuse(ERROR_INVALID_HANDLE);
        file = *it;
        OpenFiles.erase(it);
        if (!file->KeepAs.empty()) {
            std::swap(Kept.Fd, file->Fd);
            Kept.Path = std::move(file->KeepAs);
            Kept.Status = file->Status;
        }
    }
    if (file->Fd >= 0) close(file->Fd);
    delete file;
    return 1;
}

BOOL DeleteFileA(const char* fileName) {
    HostPath path;
    if (DWORD error = ResolvePath(fileName, MaxPath, path)) return Refuse(error);
    struct stat st;
    if (lstat(path.Path.c_str(), &st) != 0) return Refuse(MissingError(path.Path));
    if (path.IsRoot || S_ISDIR(st.st_mode)) return Refuse(ERROR_ACCESS_DENIED);
    if (path.TrailingSeparator) return Refuse(posix::detail::ERROR_INVALID_NAME);
    if (!S_ISLNK(st.st_mode) && IsReadOnly(st)) return Refuse(ERROR_ACCESS_DENIED);
    std::lock_guard<std::mutex> lock(FilesLock);
    for (const FileObject* open : OpenFiles)
        if (open->Device == st.st_dev && open->Inode == st.st_ino && !(open->Share & FILE_SHARE_DELETE))
            return Refuse(posix::detail::ERROR_SHARING_VIOLATION);
    if (unlink(path.Path.c_str()) != 0) return Refuse(MissingError(path.Path));
    return 1;
}

DWORD GetFileAttributesA(const char* fileName) {
    HostPath path;
    if (DWORD error = ResolvePath(fileName, MaxPath, path)) return FailWith(error, INVALID_FILE_ATTRIBUTES);
    struct stat st;
    if (stat(path.Path.c_str(), &st) != 0) return FailWith(MissingError(path.Path), INVALID_FILE_ATTRIBUTES);
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (path.TrailingSeparator) return FailWith(posix::detail::ERROR_INVALID_NAME, INVALID_FILE_ATTRIBUTES);
    // Every file counts as changed since the last backup (ARCHIVE), as a
    // freshly written file on Windows does; Linux keeps no such bit.
    constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
    return FILE_ATTRIBUTE_ARCHIVE | (IsReadOnly(st) ? FILE_ATTRIBUTE_READONLY : 0);
}

BOOL SetFileAttributesA(const char* fileName, DWORD fileAttributes) {
    HostPath path;
    if (DWORD error = ResolvePath(fileName, MaxPath, path)) return Refuse(error);
    struct stat st;
    if (stat(path.Path.c_str(), &st) != 0) return Refuse(MissingError(path.Path));
    // On a directory the read-only bit is only a marker on Windows; it
    // does not stop anyone from writing into it, so nothing changes here.
    if (S_ISDIR(st.st_mode)) return 1;
    if (path.TrailingSeparator) return Refuse(posix::detail::ERROR_INVALID_NAME);
    // Only READONLY has a counterpart: it clears every write bit, and its
    // absence gives the owner write access back. HIDDEN, SYSTEM, ARCHIVE and
    // NORMAL (or 0) have no effect.
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (fileAttributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~mode_t{0222}) : (mode | S_IWUSR);
    if (wanted != mode && chmod(path.Path.c_str(), wanted) != 0) return Refuse(MissingError(path.Path));
    return 1;
}

BOOL CreateDirectoryA(const char* pathName, void* /*securityAttributes*/) {
    HostPath path;
    if (DWORD error = ResolvePath(pathName, MaxDirectoryPath, path)) return Refuse(error);
    if (path.IsRoot) return Refuse(ERROR_ACCESS_DENIED);
    if (mkdir(path.Path.c_str(), 0777) == 0) return 1;
    switch (errno) {
        case EEXIST: return Refuse(ERROR_ALREADY_EXISTS);
        case ENOENT:
        case ENOTDIR: return Refuse(ERROR_PATH_NOT_FOUND);  // a missing parent, whatever lies above it
        default: return Refuse(ErrorFromErrno(errno, path.Path));
    }
}

BOOL SetCurrentDirectoryA(const char* pathName) {
    HostPath path;
    if (DWORD error = ResolvePath(pathName, MaxPath, path)) return Refuse(error);
    struct stat st;
    if (stat(path.Path.c_str(), &st) != 0) return Refuse(MissingError(path.Path));
    if (!S_ISDIR(st.st_mode)) return Refuse(posix::detail::ERROR_DIRECTORY);
    if (chdir(path.Path.c_str()) != 0) return Refuse(MissingError(path.Path));
    return 1;
}

BOOL SetFileTime(HANDLE file, const FILETIME* /*creationTime*/, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime) {
    FileObject* object = Lookup(file);
    if (object == nullptr) return 0;
    if (!object->CanWrite) return Refuse(ERROR_ACCESS_DENIED);
    // Linux keeps no creation time; access and last-write time map to atime
    // and mtime.
    struct timespec times[2];
    if (!ToTimespec(lastAccessTime, times[0]) || !ToTimespec(lastWriteTime, times[1]))
        return Refuse(ERROR_INVALID_PARAMETER);
    if (futimens(object->Fd, times) != 0) return Refuse(ErrorFromErrno(errno, ""));
    return 1;
}

}  // namespace win
