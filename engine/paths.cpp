// The three path operations with which ExtractEntry walks down a destination
// path, entering and creating one component at a time.
#include <cstring>

#include "engine/engine.h"

// Unlike strtok it returns empty tokens: "C:\a\\b\" gives "C:", "a", "", "b",
// "" and then null. The string is cut in place; one cursor serves the process.
char* NextPathToken(char* text, char separator) {
    EngineStateRecord& e = EngineState;
    if (text != nullptr) e.TokenCursor = text;
    if (e.TokenCursor == nullptr) return nullptr;
    char* token = e.TokenCursor;
    char* sep = std::strchr(token, separator);
    if (sep != nullptr && separator != '\0') {
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
