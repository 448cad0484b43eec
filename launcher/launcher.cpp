// The launcher's run and its extract-all loop.
//
// Only the writing of pc.dat is checked; deletion and the shell report
// nothing, the extraction only whether Setup.exe came out intact, and the
// run ends with exit code 0. An I/O error on pc.dat
// (or one raised by the engine) ends the run through RaiseIoError.
#include "launcher/launcher.h"

#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "engine/engine.h"
#include "platform/platform.h"

char TempDir[TempDirCapacity];

namespace {

constexpr int32_t ShortWriteError = 101;
// The program's own path as GetModuleFileNameA reports it: the system's
// paths are not bound by the engine's MaxPathLength, so as much room as
// for the temporary directory.
constexpr int ModulePathCapacity = 1024;
const char ArchiveCopyName[] = "pc.dat";
const char SetupName[] = "Setup.exe";

// Joins a directory and a name into out (capacity bytes); false when it does
// not fit.
bool JoinPath(char* out, size_t capacity, const char* dir, const char* name) {
    size_t a = std::strlen(dir);
    size_t b = std::strlen(name);
    if (a + b + 1 > capacity) return false;
    std::memcpy(out, dir, a);
    std::memcpy(out + a, name, b + 1);
    return true;
}

// Equal but for the case of ASCII letters. Bytes of double-byte characters
// are compared as they are: they are never ASCII letters where a name
// differs only in case.
bool EqualIgnoringAsciiCase(const char* a, const char* b) {
    for (;; a++, b++) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

bool AppendItem(EntryList& list, const char* name, int32_t headerOffset) {
    uint32_t len = static_cast<uint32_t>(std::strlen(name)) + 1;
    if (list.NamesUsed + len > list.NamesCapacity) {
        uint32_t cap = list.NamesCapacity ? list.NamesCapacity * 2 : 4096;
        while (cap < list.NamesUsed + len) cap *= 2;
        char* grown = static_cast<char*>(std::realloc(list.Names, cap));
        if (grown == nullptr) return false;
        list.Names = grown;
        list.NamesCapacity = cap;
    }
    if (list.Count == list.Capacity) {
        uint32_t cap = list.Capacity ? list.Capacity * 2 : 64;
        auto* grown = static_cast<EntryList::Item*>(std::realloc(list.Items, cap * sizeof(EntryList::Item)));
        if (grown == nullptr) return false;
        list.Items = grown;
        list.Capacity = cap;
    }
    std::memcpy(list.Names + list.NamesUsed, name, len);
    list.Items[list.Count++] = EntryList::Item{list.NamesUsed, headerOffset};
    list.NamesUsed += len;
    return true;
}

}  // namespace

void GetTempDirectory(char* out) {
    win::DWORD len = win::GetTempPathA(TempDirCapacity, out);
    // A length beyond the buffer is the system's sign that it was too small:
    // the buffer then holds no path, and the run treats it as no path.
    if (len >= TempDirCapacity) len = 0;
    out[len] = '\0';
}

bool IsExistingDirectory(const char* path) {
    win::DWORD attributes = win::GetFileAttributesA(path);
    return attributes != win::INVALID_FILE_ATTRIBUTES && (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void ForceDirectory(const char* directory) {
    size_t len = std::strlen(directory);
    if (len == 0) return;
    len -= 1;  // the trailing "\"
    if (len < 3) return;
    char dir[JoinedPathCapacity];
    if (len >= sizeof dir) return;
    std::memcpy(dir, directory, len);
    dir[len] = '\0';
    if (IsExistingDirectory(dir)) return;
    size_t parentLength = static_cast<size_t>(AfterLastSeparator(dir, "\\:") - dir);
    if (parentLength == len) return;  // still ends in a separator
    char parent[sizeof dir];
    std::memcpy(parent, dir, parentLength);
    parent[parentLength] = '\0';
    ForceDirectory(parent);
    win::CreateDirectoryA(dir, nullptr);
}

bool IsUnsafeEntryName(const char* name) {
    if (name[0] == '\\' || name[0] == '/') return true;
    if (FindSeparator(name, ":") != nullptr) return true;
    const char* component = name;
    for (;;) {
        const char* end = FindSeparator(component, "\\/");
        if (end == nullptr) end = component + std::strlen(component);
        // Windows drops trailing dots and spaces of a component, so ". ." or
        // "..." can mean ".." as well.
        size_t dots = 0;
        bool onlyDotsAndSpaces = end > component;
        for (const char* p = component; p < end; p++) {
            if (*p == '.')
                dots++;
            else if (*p != ' ')
                onlyDotsAndSpaces = false;
        }
        if (onlyDotsAndSpaces && dots >= 2) return true;
        if (*end == '\0') return false;
        component = end + 1;
    }
}

void ListEntries(const char* archivePath, EntryList& list) {
    if (!IsArchiveFile(archivePath)) return;
    EntrySearch search;
    std::memset(&search, 0, sizeof search);
    int32_t result = FindFirstEntry(archivePath, search);
    while (result == 0) {
        if (!AppendItem(list, search.Name, search.HeaderOffset)) break;
        result = FindNextEntry(search);
    }
    EndEntrySearch(search);
}

void FreeEntryList(EntryList& list) {
    std::free(list.Names);
    std::free(list.Items);
    std::memset(&list, 0, sizeof list);
}

bool ExtractAll(const char* archivePath, const char* destDir, const char* program) {
    EntryList list;
    std::memset(&list, 0, sizeof list);
    ForceDirectory(destDir);
    ListEntries(archivePath, list);
    bool programExtracted = false;
    char path[JoinedPathCapacity];
    for (uint32_t i = 0; i < list.Count; i++) {
        const char* name = list.Names + list.Items[i].NameOffset;
        // Names that would leave the destination are skipped.
        if (IsUnsafeEntryName(name)) continue;
        if (!JoinPath(path, sizeof path, destDir, name)) continue;
        size_t len = std::strlen(path);
        if (len == 0) continue;
        if (EndsWithBackslash(path)) {
            ForceDirectory(path);
            continue;
        }
        ExtractResult result = ExtractEntry(archivePath, path, 0, list.Items[i].HeaderOffset, 0, 0);
        if (program != nullptr && EqualIgnoringAsciiCase(path, program)) programExtracted = result == Ok;
    }
    FreeEntryList(list);
    return programExtracted;
}

int LauncherMain() {
    // The module handle of the program's own file.
    char modulePath[ModulePathCapacity];
    win::DWORD len = win::GetModuleFileNameA(nullptr, modulePath, sizeof modulePath);
    if (len >= sizeof modulePath) len = sizeof modulePath - 1;
    modulePath[len] = '\0';
    win::HMODULE module = win::GetModuleHandleA(AfterLastSeparator(modulePath, "\\:"));

    // The temporary directory.
    GetTempDirectory(TempDir);

    // The embedded archive: none of the three results is checked.
    win::HRSRC resource = win::FindResourceA(module, win::MakeIntResource(1), "ZIP");
    const void* data = win::LoadResource(module, resource);
    win::DWORD size = win::SizeofResource(module, resource);

    // The archive copy, pc.dat: the only checked file operations of the launcher.
    char archivePath[TempDirCapacity + sizeof ArchiveCopyName];
    JoinPath(archivePath, sizeof archivePath, TempDir, ArchiveCopyName);
    win::HANDLE copy = win::CreateFileA(archivePath, win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS,
                                        win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == win::INVALID_HANDLE_VALUE) RaiseIoError(static_cast<int32_t>(win::GetLastError()));
    win::DWORD written = 0;
    int32_t writeError = 0;
    if (!win::WriteFile(copy, data, size, &written, nullptr))
        writeError = static_cast<int32_t>(win::GetLastError());
    else if (written != size)
        writeError = ShortWriteError;
    if (!win::CloseHandle(copy) && writeError == 0) writeError = static_cast<int32_t>(win::GetLastError());
    if (writeError != 0) RaiseIoError(writeError);

    // Extract everything, then delete the copy. Setup.exe is named with its
    // full path: a bare name would let the shell search on and start a
    // Setup.exe that lies beside the launcher (in a downloads folder, say).
    char setupPath[TempDirCapacity + sizeof SetupName];
    JoinPath(setupPath, sizeof setupPath, TempDir, SetupName);
    bool setupExtracted = ExtractAll(archivePath, TempDir, setupPath);
    JoinPath(archivePath, sizeof archivePath, TempDir, ArchiveCopyName);
    win::DeleteFileA(archivePath);

    // Start Setup.exe: only one that this run has just extracted intact is
    // started. Whatever else lies under that name in the temporary folder
    // (an earlier installer's, or nothing, when this archive has none or its
    // entry failed) would run with this archive's files as if it belonged
    // to them; then nothing is started, and the run still ends with 0.
    if (setupExtracted) win::ShellExecuteA(nullptr, nullptr, setupPath, nullptr, TempDir, win::SW_SHOWNORMAL);
    return 0;
}
