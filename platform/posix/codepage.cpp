// The emulated ANSI code page against the host's UTF-8: Windows-1252 by
// default, or 932 (Japanese Shift_JIS, as Windows extends it), chosen like a
// system setting: by the environment variable POSIX_ANSI_CODE_PAGE at the
// first use, or by SetAnsiCodePage from a test.
//
// 932 is a double-byte code page: a byte 0x81-0x9F or 0xE0-0xFC leads a
// character of two bytes, and the second byte (0x40-0xFC) may be any value of
// that range, "\" (0x5C) and "|" (0x7C) among them. Code that looks for
// separators in such names has to step over the second byte. Its conversion
// is glibc's iconv table CP932; bytes it cannot convert become U+FFFD, and
// characters 932 lacks become "?", as below for 1252.
//
// 1252 is Latin-1 except for 0x80-0x9F, where it places typographic
// characters (the euro sign, curly quotes, dashes and a few letters) and
// leaves five positions unassigned. Going to UTF-8 every byte has a
// character (unassigned ones become U+FFFD); coming back, characters that
// 1252 cannot hold, and malformed UTF-8, become "?", as Windows' own
// conversion to an ANSI code page does.
#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_backend.h"

namespace win::posix::detail {

namespace {

constexpr uint32_t Unassigned = 0xFFFD;

// Characters of the bytes 0x80-0x9F.
const uint16_t HighControls[32] = {
    0x20AC, Unassigned, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, Unassigned, 0x017D, Unassigned, Unassigned, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, Unassigned, 0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

char ToWindows1252(uint32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<char>(code);
    for (int i = 0; i < 32; i++)
        if (HighControls[i] == code && code != Unassigned) return static_cast<char>(0x80 + i);
    return '?';
}

constexpr UINT Unset = 0;
std::atomic<UINT> CodePage{Unset};

UINT CurrentCodePage() {
    UINT page = CodePage.load();
    if (page != Unset) return page;
    const char* setting = std::getenv("POSIX_ANSI_CODE_PAGE");
    page = setting != nullptr && std::strcmp(setting, "932") == 0 ? 932 : 1252;
    CodePage.store(page);
    return page;
}

// Converts with iconv; an input sequence it cannot take is replaced by
// `replacement` and skipped (one byte, or the whole UTF-8 sequence).
std::string Convert(const char* to, const char* from, const std::string& text, const char* replacement,
                    bool fromUtf8) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text.size(), '?');
    std::string out;
    char buffer[256];
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    while (inLeft > 0) {
        char* put = buffer;
        size_t putLeft = sizeof buffer;
        size_t r = iconv(cd, &in, &inLeft, &put, &putLeft);
        out.append(buffer, static_cast<size_t>(put - buffer));
        if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // EILSEQ or EINVAL (cut short at the end): skip what cannot be taken.
        size_t skip = 1;
        if (fromUtf8) {
            auto lead = static_cast<unsigned char>(*in);
            skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            for (size_t k = 1; k < skip; k++)
                if (k >= inLeft || (static_cast<unsigned char>(in[k]) & 0xC0) != 0x80) skip = k;
        }
        if (skip > inLeft) skip = inLeft;
        in += skip;
        inLeft -= skip;
        out += replacement;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

}  // namespace

bool IsLeadByte(unsigned char c) {
    return CurrentCodePage() == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

std::string AnsiToUtf8(const std::string& text) {
    if (CurrentCodePage() == 932) return Convert("UTF-8", "CP932", text, "\xEF\xBF\xBD", false);
    return Windows1252ToUtf8(text);
}

std::string Utf8ToAnsi(const std::string& text) {
    if (CurrentCodePage() == 932) return Convert("CP932", "UTF-8", text, "?", true);
    return Utf8ToWindows1252(text);
}

std::string Windows1252ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        AppendUtf8(out, byte >= 0x80 && byte < 0xA0 ? HighControls[byte - 0x80] : byte);
    }
    return out;
}

std::string Utf8ToWindows1252(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        // Sequence length from the lead byte; 0 for a byte that cannot lead.
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        uint32_t code = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; k++) {
            auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms are malformed too.
        static const uint32_t Smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && code < Smallest[length]) valid = false;
        out += valid ? ToWindows1252(code) : '?';
        i += valid ? length : 1;
    }
    return out;
}

}  // namespace win::posix::detail

namespace win {

BOOL IsDBCSLeadByte(uint8_t testChar) { return posix::detail::IsLeadByte(testChar) ? 1 : 0; }

namespace posix {

BOOL SetAnsiCodePage(UINT codePage) {
    if (codePage != 1252 && codePage != 932) return 0;
    detail::CodePage.store(codePage);
    return 1;
}

}  // namespace posix

}  // namespace win
