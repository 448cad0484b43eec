// The program entry of the Windows launcher (GUI subsystem, no console).
//
// The process starts here, not in the C runtime's start-up code: the program
// reads no command line and no environment, has no static constructors, no
// thread-local data and no atexit handlers, and msvcrt.dll readies its heap
// and string functions by itself when it is loaded. Leaving the start-up
// code out (linked with -nostartfiles and this function as entry point)
// drops its TLS callbacks, pseudo-relocation fix-ups, signal and abort
// handling and their imports: a third of the stub. The run's exit code goes
// straight to ExitProcess, which is what returning from main would do.
//
// Before the launcher runs, the process stops looking for DLLs anywhere but
// in the system directory. A self-extractor usually starts from a downloads
// folder, where anyone can leave a "version.dll" or "cryptbase.dll" beside it;
// the DLLs that the shell loads on behalf of ShellExecuteA would otherwise be
// searched there first. The statically imported DLLs (kernel32, user32,
// shell32, msvcrt) are known DLLs and always come from the system directory.
#include "launcher/launcher.h"

#include <new>

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

// The object that names the non-throwing forms of new. libstdc++ defines it
// in the file of its new-handler, whose unwind tables would come along (the
// only ones left in the program); the launcher needs the object alone.
const std::nothrow_t std::nothrow{};

// The loader calls the entry point with a stack aligned to 4 bytes on 32-bit
// Windows; the compiler, which may keep 16-byte vector data on the stack,
// realigns it here once for everything below.
#if defined(__i386__)
#define ENTRY_STACK_ALIGNMENT __attribute__((force_align_arg_pointer))
#else
#define ENTRY_STACK_ALIGNMENT
#endif

extern "C" [[noreturn]] ENTRY_STACK_ALIGNMENT void WINAPI LauncherEntry() {
    RestrictDllSearch();
    ExitProcess(static_cast<UINT>(LauncherMain()));
}

#if defined(_WIN64)
// The 64-bit code addresses everything relative to the instruction pointer
// and so needs no base relocations; but a program without a relocation table
// is loaded at its preferred address, whatever its ASLR flag says. One
// absolute address keeps the table, and with it the random load address.
__attribute__((used)) const void* const LauncherRelocationAnchor = reinterpret_cast<const void*>(&LauncherEntry);
#endif
