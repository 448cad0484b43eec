// The end of a run by an uncaught I/O error: a task-modal error box without
// owner, titled "Anwendungsfehler", with the text
//   Exception EInOutError in Modul <program file> bei <code address>.
//   <message for the system error code>.
// and exit code 1. Texts are in the ANSI code page (Windows-1252).
#include <cstdio>
#include <cstring>

#include "engine/engine.h"

namespace {

const char* MessageFor(int32_t code) {
    switch (code) {
        case 2: return "Datei nicht gefunden";
        case 3: return "Ung\xFCltiger Dateiname";
        case 4: return "Zu viele ge\xF6" "ffnete Dateien";
        case 5: return "Dateizugriff verweigert";
        case 100: return "Versuch hinter dem Dateiende zu lesen";
        case 101: return "Zu wenig Speicherplatz";
        case 106: return "Ung\xFCltige numerische Eingabe";
        default: return nullptr;
    }
}

}  // namespace

[[noreturn]] __attribute__((noinline)) void RaiseIoError(int32_t code) {
    char module[1024];
    win::DWORD len = win::GetModuleFileNameA(nullptr, module, sizeof module);
    if (len >= sizeof module) len = sizeof module - 1;
    module[len] = '\0';

    char message[64];
    const char* known = MessageFor(code);
    if (known != nullptr)
        std::snprintf(message, sizeof message, "%s", known);
    else
        std::snprintf(message, sizeof message, "E/A-Fehler %d", static_cast<int>(code));
    size_t mlen = std::strlen(message);
    const char* closing = (mlen > 0 && message[mlen - 1] == '.') ? "" : ".";

    char text[1400];
    std::snprintf(text, sizeof text, "Exception EInOutError in Modul %s bei %0*llX.\n%s%s", AfterLastSeparator(module, "\\:"),
                  static_cast<int>(sizeof(void*) * 2),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(__builtin_return_address(0))), message,
                  closing);
    win::MessageBoxA(nullptr, text, "Anwendungsfehler", win::MB_ICONERROR | win::MB_TASKMODAL);
    win::ExitProcess(1);
}
