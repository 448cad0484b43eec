// The end of a run by an uncaught I/O error: a task-modal error box without
// owner, titled "Anwendungsfehler", with the text
//   Exception EInOutError in Modul <program file> bei <code address>.
//   <message for the system error code>.
// and exit code 1. Texts are in the ANSI code page (Windows-1252).
#include <cstddef>
#include <cstdint>
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

// The box's text, built by hand: printf would pull a formatter into the
// launcher for three strings and two numbers. The text is cut at the
// buffer's end and always terminated.
struct Text {
    char* Out;
    size_t Capacity;
    size_t Used;
};

void Append(Text& t, const char* s) {
    while (*s != '\0' && t.Used + 1 < t.Capacity) t.Out[t.Used++] = *s++;
    t.Out[t.Used] = '\0';
}

// `value` with at least `digits` digits, in decimal or upper-case hex (by
// shifts: a 64-bit division would call the compiler's library).
void AppendNumber(Text& t, uint64_t value, bool hex, int digits) {
    char text[24];
    char* first = text + sizeof text - 1;  // filled from the end, last digit first
    *first = '\0';
    do {
        if (hex) {
            *--first = "0123456789ABCDEF"[value & 15];
            value >>= 4;
        } else {
            auto low = static_cast<uint32_t>(value);  // decimal numbers are 32-bit
            *--first = static_cast<char>('0' + low % 10);
            value = low / 10;
        }
    } while (--digits > 0 || value != 0);
    Append(t, first);
}

}  // namespace

[[noreturn]] __attribute__((noinline)) void RaiseIoError(int32_t code) {
    char module[1024];
    win::DWORD len = win::GetModuleFileNameA(nullptr, module, sizeof module);
    if (len >= sizeof module) len = sizeof module - 1;
    module[len] = '\0';

    char message[64];
    Text m{message, sizeof message, 0};
    const char* known = MessageFor(code);
    if (known != nullptr) {
        Append(m, known);
    } else {
        Append(m, code < 0 ? "E/A-Fehler -" : "E/A-Fehler ");
        AppendNumber(m, code < 0 ? 0 - static_cast<uint64_t>(code) : static_cast<uint64_t>(code), false, 1);
    }
    const char* closing = (m.Used > 0 && message[m.Used - 1] == '.') ? "" : ".";

    char text[1400];
    Text t{text, sizeof text, 0};
    Append(t, "Exception EInOutError in Modul ");
    Append(t, AfterLastSeparator(module, "\\:"));
    Append(t, " bei ");
    AppendNumber(t, reinterpret_cast<uintptr_t>(__builtin_return_address(0)), true, static_cast<int>(sizeof(void*) * 2));
    Append(t, ".\n");
    Append(t, message);
    Append(t, closing);
    win::MessageBoxA(nullptr, text, "Anwendungsfehler", win::MB_ICONERROR | win::MB_TASKMODAL);
    win::ExitProcess(1);
}
