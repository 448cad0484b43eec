// The program entry of the Windows launcher (GUI subsystem, no console).
//
// Before the launcher runs, the process stops looking for DLLs anywhere but
// in the system directory. A self-extractor usually starts from a downloads
// folder, where anyone can leave a "version.dll" or "cryptbase.dll" beside it;
// the DLLs that the shell loads on behalf of ShellExecuteA would otherwise be
// searched there first. The statically imported DLLs (kernel32, user32,
// shell32, msvcrt) are known DLLs and always come from the system directory.
#include "launcher/launcher.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Looked up by name: SetDefaultDllDirectories exists from Windows 8 (and
// Windows 7 with KB2533623), SetDllDirectoryA from XP SP1. Where neither
// exists the launcher still runs.
void RestrictDllSearch() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return;
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The empty string takes the current directory out of the search order
    // of systems that predate SetDefaultDllDirectories.
    auto setDirectory =
        reinterpret_cast<SetDllDirectoryFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDirectory != nullptr) setDirectory("");
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    return LauncherMain();
}
