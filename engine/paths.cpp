// The separator search that every path scan of the program goes through, and
// the three path operations with which ExtractEntry walks down a destination
// path, entering and creating one component at a time.
#include <cstring>

#include "engine/engine.h"

const char* FindSeparator(const char* text, const char* separators) {
    for (const char* p = text; *p != '\0'; p++) {
        if (win::IsDBCSLeadByte(static_cast<uint8_t>(*p))) {
            // A lead byte at the very end has no second byte to step over.
            if (p[1] == '\0') return nullptr;
            p++;
            continue;
        }
        if (std::strchr(separators, *p) != nullptr) return p;
    }
    return nullptr;
}

const char* AfterLastSeparator(const char* text, const char* separators) {
    const char* after = text;
    for (const char* sep = FindSeparator(text, separators); sep != nullptr; sep = FindSeparator(sep + 1, separators))
        after = sep + 1;
    return after;
}

bool EndsWithBackslash(const char* text) {
    const char* after = AfterLastSeparator(text, "\\");
    return after != text && *after == '\0';
}

// Unlike strtok it returns empty tokens: "C:\a\\b\" gives "C:", "a", "", "b",
// "" and then null. The string is cut in place; one cursor serves the process.
char* NextPathToken(char* text, char separator) {
    EngineStateRecord& e = EngineState;
    if (text != nullptr) e.TokenCursor = text;
    if (e.TokenCursor == nullptr) return nullptr;
    char* token = e.TokenCursor;
    const char separators[2] = {separator, '\0'};
    char* sep = const_cast<char*>(FindSeparator(token, separators));
    if (sep != nullptr) {
        *sep = '\0';
        e.TokenCursor = sep + 1;
    } else {
        e.TokenCursor = nullptr;
    }
    return token;
}

int32_t TryChangeDir(const char* path) {
    if (win::SetCurrentDirectoryA(path)) return 0;
    return static_cast<int32_t>(win::GetLastError());
}

int32_t MakeDir(const char* path) {
    if (win::CreateDirectoryA(path, nullptr)) return 0;
    return static_cast<int32_t>(win::GetLastError());
}
