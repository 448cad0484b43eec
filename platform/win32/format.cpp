// snprintf on the system's C runtime.
//
// With libstdc++, mingw-w64 routes every snprintf of C++ code to its own
// C99 formatter, __mingw_vsnprintf, which links a complete floating-point
// printf (gdtoa) into the program: some 26 KiB, most of the launcher's code.
// The program formats only integers and strings, and msvcrt.dll, which it
// imports anyway, formats those. This definition takes the library's place
// at link time and keeps the C99 contract that the callers rely on: the
// result is always terminated within the buffer, and the return value is the
// length the complete text would have.
//
// msvcrt spells two C99 length modifiers its own way, and the msvcrt.dll of
// older systems knows only its own spelling: "ll" is "I64" there and "z" is
// "I". The format is rewritten accordingly before it is handed on.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t FormatCapacity = 512;

// Copies format to out with the length modifiers in msvcrt's spelling; false
// when the result does not fit (the format is then used unchanged).
bool TranslateFormat(const char* format, char* out, size_t capacity) {
    size_t used = 0;
    auto put = [&](const char* text, size_t length) {
        if (used + length >= capacity) return false;
        std::memcpy(out + used, text, length);
        used += length;
        return true;
    };
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            if (!put(p++, 1)) return false;
            continue;
        }
        // A conversion: "%", flags, width, precision, length, type.
        const char* conversionStart = p++;
        while (*p != '\0' && std::strchr("-+ #0123456789.*", *p) != nullptr) p++;
        if (!put(conversionStart, static_cast<size_t>(p - conversionStart))) return false;
        if (p[0] == 'l' && p[1] == 'l') {
            if (!put("I64", 3)) return false;
            p += 2;
        } else if (p[0] == 'z') {
            if (!put("I", 1)) return false;
            p += 1;
        } else if (p[0] == '%') {
            if (!put(p++, 1)) return false;
        }
    }
    out[used] = '\0';
    return true;
}

}  // namespace

extern "C" int __cdecl __mingw_vsnprintf(char* __restrict__ buffer, size_t capacity, const char* __restrict__ format,
                                         va_list arguments) {
    char translated[FormatCapacity];
    if (TranslateFormat(format, translated, sizeof translated)) format = translated;
    va_list counting;
    va_copy(counting, arguments);
    int needed = _vscprintf(format, counting);
    va_end(counting);
    if (capacity > 0) {
        // _vsnprintf leaves the buffer unterminated when the text fills it.
        _vsnprintf(buffer, capacity, format, arguments);
        size_t end = needed >= 0 && static_cast<size_t>(needed) < capacity ? static_cast<size_t>(needed) : capacity - 1;
        buffer[end] = '\0';
    }
    return needed;
}
