// Icon and version resources for `sfx pack`.
//
// An .ico file (all fields little-endian):
//   ICONDIR (6 bytes): reserved 0, type 1 (2 is a cursor), image count.
//   ICONDIRENTRY (16 bytes each, behind it): width, height (bytes; 0 means
//     256), colour count, reserved, planes (16 bits), bits per pixel (16),
//     the image's size in bytes (32) and its offset in the file (32).
//   The images: a BITMAPINFOHEADER (40 bytes: size, width, height twice the
//     icon's for the colour and the mask bitmap, planes, bits per pixel,
//     ...) with colour table and bits, or a whole PNG file.
// In an executable every image is a resource RT_ICON (3) of its own, and
// RT_GROUP_ICON (14) holds the directory: the same 6-byte header, then per
// image the first 12 bytes of its ICONDIRENTRY and the RT_ICON id (16 bits)
// in place of the offset; 14 bytes each. Explorer shows the first group.
//
// A VERSIONINFO resource (RT_VERSION, 16) is a tree of blocks; each block:
//   wLength (16 bits: the block with its children, without the padding
//   behind it), wValueLength (in bytes for binary values, in UTF-16 units
//   for text), wType (0 binary, 1 text), the key in UTF-16 with a NUL,
//   padding to 4 bytes, the value, and the children, each starting on a
//   4-byte boundary.
//   VS_VERSION_INFO: the value is VS_FIXEDFILEINFO (13 DWORDs: signature
//     FEEF04BD, structure version 1.0, FileVersionMS, FileVersionLS,
//     ProductVersionMS, ProductVersionLS, flags mask, flags, OS, type,
//     subtype, date high, date low); children StringFileInfo, VarFileInfo.
//   StringFileInfo > StringTable "040904B0" (language 0409, code page 1200
//     in hexadecimal) > one text block per key.
//   VarFileInfo > "Translation": the language and code page as two 16-bit
//     numbers, which is how readers find the string table.
#include "sfx/pe_identity.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace sfx {

namespace {

constexpr uint64_t IconHeaderSize = 6;
constexpr uint64_t IconEntrySize = 16;
constexpr uint32_t BitmapHeaderSize = 40;
constexpr uint32_t FixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t FixedFileInfoVersion = 0x00010000;
constexpr uint32_t FileFlagsMask = 0x3F;      // VS_FF_DEBUG .. VS_FF_SPECIALBUILD
constexpr uint32_t FileOsWindows32 = 0x00040004;  // VOS_NT_WINDOWS32
constexpr uint32_t FileTypeApplication = 1;   // VFT_APP
constexpr size_t MaxValueUnits = 1024;        // UTF-16 units of one value
constexpr uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t Le16(const Bytes& b, uint64_t at) { return static_cast<uint32_t>(b[at] | (b[at + 1] << 8)); }

uint32_t Le32(const Bytes& b, uint64_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

uint32_t Be32(const Bytes& b, uint64_t at) {
    return (static_cast<uint32_t>(b[at]) << 24) | (static_cast<uint32_t>(b[at + 1]) << 16) |
           (static_cast<uint32_t>(b[at + 2]) << 8) | static_cast<uint32_t>(b[at + 3]);
}

void Append16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Append32(Bytes& b, uint32_t v) {
    Append16(b, v & 0xFFFF);
    Append16(b, v >> 16);
}

void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

std::string Size(uint32_t width, uint32_t height) { return std::to_string(width) + "x" + std::to_string(height); }

// Checks one image against its directory entry and fills in planes and
// bits per pixel where the entry leaves them 0, as many icon writers do
// (Windows picks an image by the group's entries).
void CheckImage(IconImage& image, const std::string& which) {
    const Bytes& d = image.Data;
    uint32_t width = image.Width == 0 ? 256 : image.Width;
    uint32_t height = image.Height == 0 ? 256 : image.Height;
    std::string expected = Size(width, height);
    if (d.size() >= 8 && std::equal(PngSignature, PngSignature + 8, d.begin())) {
        if (d.size() < 33 || Be32(d, 8) != 13 || std::string(d.begin() + 12, d.begin() + 16) != "IHDR")
            throw IdentityError(which + " is a damaged PNG image (no IHDR chunk)");
        uint32_t w = Be32(d, 16), h = Be32(d, 20);
        if (w != width || h != height)
            throw IdentityError(which + " is a PNG image of " + Size(w, h) + " pixels, the directory says " + expected);
        static const uint8_t channels[7] = {1, 0, 3, 1, 2, 0, 4};  // by PNG colour type
        uint8_t type = d[25];
        if (type > 6 || channels[type] == 0) throw IdentityError(which + " is a PNG image of an unknown colour type");
        if (image.Planes == 0) image.Planes = 1;
        if (image.BitCount == 0) image.BitCount = static_cast<uint16_t>(d[24] * channels[type]);
        return;
    }
    if (d.size() < BitmapHeaderSize || Le32(d, 0) < BitmapHeaderSize || Le32(d, 0) > d.size())
        throw IdentityError(which + " is neither a bitmap (BITMAPINFOHEADER) nor a PNG image");
    uint32_t w = Le32(d, 4), h2 = Le32(d, 8), planes = Le16(d, 12), bits = Le16(d, 14);
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        throw IdentityError(which + " is a bitmap with " + std::to_string(planes) + " planes of " +
                            std::to_string(bits) + " bits per pixel, which no icon has");
    // The bitmap holds the colour image above the transparency mask.
    if (w != width || h2 != 2 * height)
        throw IdentityError(which + " is a bitmap of " + Size(w, h2 / 2) + " pixels, the directory says " + expected);
    uint64_t palette = bits <= 8 ? (Le32(d, 32) != 0 ? Le32(d, 32) : 1u << bits) * 4ull : 0;
    uint64_t colourBits = (uint64_t(w) * bits + 31) / 32 * 4 * height;
    if (Le32(d, 0) + palette + colourBits > d.size())
        throw IdentityError(which + " is cut short: " + std::to_string(d.size()) + " bytes for a bitmap of " +
                            expected + " pixels at " + std::to_string(bits) + " bits");
    if (image.Planes == 0) image.Planes = 1;
    if (image.BitCount == 0) image.BitCount = static_cast<uint16_t>(bits);
}

// Text from the command line or a version file (UTF-8) as UTF-16, or
// IdentityError.
std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        uint8_t c = static_cast<uint8_t>(utf8[i]);
        int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (more < 0 || i + static_cast<size_t>(more) + 1 > utf8.size()) throw IdentityError("is not valid UTF-8");
        uint32_t code = more == 0 ? c : more == 1 ? c & 0x1F : more == 2 ? c & 0x0F : c & 0x07;
        for (int k = 1; k <= more; k++) {
            uint8_t next = static_cast<uint8_t>(utf8[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80) throw IdentityError("is not valid UTF-8");
            code = code << 6 | (next & 0x3F);
        }
        static const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            throw IdentityError("is not valid UTF-8");
        if (code < 0x20 || code == 0x7F) throw IdentityError("holds a control character");
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += static_cast<size_t>(more) + 1;
    }
    return out;
}

std::u16string Ascii16(const char* text) {
    std::u16string s;
    for (; *text != 0; text++) s += static_cast<char16_t>(*text);
    return s;
}

// One block of the version tree (see the top of the file).
Bytes Block(const char* key, uint16_t type, const Bytes& value, size_t valueLength, const std::vector<Bytes>& children) {
    Bytes b(6, 0);
    for (char16_t c : Ascii16(key)) Append16(b, c);
    Append16(b, 0);
    while (b.size() % 4 != 0) b.push_back(0);
    b.insert(b.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        while (b.size() % 4 != 0) b.push_back(0);
        b.insert(b.end(), child.begin(), child.end());
    }
    if (b.size() > 0xFFFF) throw IdentityError("the version information would exceed 64 KiB; shorten the texts");
    Put16(b, 0, static_cast<uint32_t>(b.size()));
    Put16(b, 2, static_cast<uint32_t>(valueLength));
    Put16(b, 4, type);
    return b;
}

std::string Trim(const std::string& s) {
    size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool IsVersionNumberKey(const std::string& key) { return key == "FileVersion" || key == "ProductVersion"; }

}  // namespace

// ---- icons ----

std::vector<IconImage> ParseIconFile(const Bytes& ico) {
    if (ico.size() < IconHeaderSize) throw IdentityError("is too short for an icon file");
    uint32_t type = Le16(ico, 2);
    if (Le16(ico, 0) != 0 || (type != 1 && type != 2))
        throw IdentityError("is not an icon file (.ico files begin with 00 00 01 00)");
    if (type == 2) throw IdentityError("is a cursor file, not an icon");
    uint32_t count = Le16(ico, 4);
    if (count == 0) throw IdentityError("is an icon file without images");
    uint64_t directoryEnd = IconHeaderSize + IconEntrySize * count;
    if (directoryEnd > ico.size())
        throw IdentityError("is cut short: its directory of " + std::to_string(count) + " images runs past the end");
    std::vector<IconImage> images;
    for (uint32_t i = 0; i < count; i++) {
        uint64_t at = IconHeaderSize + IconEntrySize * i;
        std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
        IconImage image;
        image.Width = ico[at];
        image.Height = ico[at + 1];
        image.ColorCount = ico[at + 2];
        image.Planes = static_cast<uint16_t>(Le16(ico, at + 4));
        image.BitCount = static_cast<uint16_t>(Le16(ico, at + 6));
        uint64_t size = Le32(ico, at + 8), offset = Le32(ico, at + 12);
        if (size == 0) throw IdentityError(which + " is empty");
        if (offset < directoryEnd || offset + size > ico.size())
            throw IdentityError(which + " lies outside the file (" + std::to_string(size) + " bytes at offset " +
                                std::to_string(offset) + " of " + std::to_string(ico.size()) + ")");
        image.Data.assign(ico.begin() + static_cast<ptrdiff_t>(offset), ico.begin() + static_cast<ptrdiff_t>(offset + size));
        CheckImage(image, which);
        images.push_back(std::move(image));
    }
    return images;
}

// ---- version information ----

const char* const VersionKeys[] = {"CompanyName",    "FileDescription", "FileVersion",      "InternalName",
                                   "LegalCopyright", "LegalTrademarks", "OriginalFilename", "ProductName",
                                   "ProductVersion", "Comments"};
const size_t VersionKeyCount = sizeof VersionKeys / sizeof VersionKeys[0];

std::string KnownVersionKeys() {
    std::string list;
    for (size_t i = 0; i < VersionKeyCount; i++) list += (i == 0 ? "" : ", ") + std::string(VersionKeys[i]);
    return list;
}

uint64_t ParseVersionNumber(const std::string& text) {
    std::string rule = "a version is up to four numbers of 0 to 65535 with dots between them, such as 1.2.3.4";
    uint64_t number = 0;
    size_t parts = 0;
    for (size_t at = 0;; parts++) {
        size_t dot = text.find('.', at);
        std::string part = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (parts == 4) throw IdentityError("\"" + text + "\" has more than four parts: " + rule);
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos)
            throw IdentityError("\"" + text + "\" is not a version number: " + rule);
        uint32_t value = static_cast<uint32_t>(std::stoul(part));
        if (value > 0xFFFF) throw IdentityError("\"" + text + "\": " + part + " is above 65535: " + rule);
        number |= uint64_t(value) << (48 - 16 * parts);
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return number;
}

VersionSetting ParseVersionSetting(const std::string& keyValue) {
    size_t equals = keyValue.find('=');
    if (equals == std::string::npos)
        throw IdentityError("\"" + keyValue + "\" is not KEY=VALUE (keys: " + KnownVersionKeys() + ")");
    std::string key = Trim(keyValue.substr(0, equals));
    std::string value = Trim(keyValue.substr(equals + 1));
    bool known = false;
    for (size_t i = 0; i < VersionKeyCount; i++) known = known || key == VersionKeys[i];
    if (!known) throw IdentityError("unknown key \"" + key + "\" (keys: " + KnownVersionKeys() + ")");
    if (value.empty()) throw IdentityError(key + " needs a value");
    try {
        if (Utf16(value).size() > MaxValueUnits)
            throw IdentityError("is longer than " + std::to_string(MaxValueUnits) + " characters");
    } catch (const IdentityError& e) {
        throw IdentityError("the value of " + key + " " + e.what());
    }
    if (IsVersionNumberKey(key)) ParseVersionNumber(value);
    return {key, value};
}

std::vector<VersionSetting> ParseVersionFile(const Bytes& text) {
    std::string all(text.begin(), text.end());
    if (all.rfind("\xEF\xBB\xBF", 0) == 0) all.erase(0, 3);
    std::vector<VersionSetting> settings;
    size_t lineNumber = 0;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(at, end - at);
        at = end + 1;
        lineNumber++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        try {
            settings.push_back(ParseVersionSetting(line));
        } catch (const IdentityError& e) {
            throw IdentityError("line " + std::to_string(lineNumber) + ": " + e.what());
        }
    }
    return settings;
}

VersionInfo ResolveVersionInfo(const std::vector<VersionSetting>& settings) {
    VersionInfo info;
    for (const VersionSetting& s : settings) info.Values[s.first] = s.second;
    auto number = [&](const char* key) {
        auto found = info.Values.find(key);
        return found == info.Values.end() ? 0 : ParseVersionNumber(found->second);
    };
    info.File = number("FileVersion");
    info.Product = number("ProductVersion");
    if (!info.Values.count("FileVersion")) info.File = info.Product;
    if (!info.Values.count("ProductVersion")) info.Product = info.File;
    return info;
}

Bytes BuildVersionResource(const VersionInfo& info) {
    const std::map<std::string, std::string>& values = info.Values;
    uint64_t file = info.File, product = info.Product;

    Bytes fixed;
    for (uint32_t v : {FixedFileInfoSignature, FixedFileInfoVersion, static_cast<uint32_t>(file >> 32),
                       static_cast<uint32_t>(file), static_cast<uint32_t>(product >> 32),
                       static_cast<uint32_t>(product), FileFlagsMask, 0u, FileOsWindows32, FileTypeApplication, 0u,
                       0u, 0u})
        Append32(fixed, v);

    std::vector<Bytes> strings;
    for (size_t i = 0; i < VersionKeyCount; i++) {
        auto found = values.find(VersionKeys[i]);
        if (found == values.end()) continue;
        std::u16string text = Utf16(found->second);
        Bytes value;
        for (char16_t c : text) Append16(value, c);
        Append16(value, 0);
        strings.push_back(Block(VersionKeys[i], 1, value, text.size() + 1, {}));
    }
    char tableKey[9];
    std::snprintf(tableKey, sizeof tableKey, "%04X%04X", VersionLanguage, VersionCodePage);
    Bytes table = Block(tableKey, 1, {}, 0, strings);
    Bytes translation;
    Append16(translation, VersionLanguage);
    Append16(translation, VersionCodePage);
    Bytes var = Block("Translation", 0, translation, translation.size(), {});
    return Block("VS_VERSION_INFO", 0, fixed, fixed.size(),
                 {Block("StringFileInfo", 1, {}, 0, {table}), Block("VarFileInfo", 1, {}, 0, {var})});
}

// ---- the edit and its check ----

ResourceEdit IdentityEdit(const std::vector<IconImage>& icon, const Bytes& versionResource) {
    ResourceEdit edit;
    ResourceKey neutral = ResourceKey::Number(0);
    if (!icon.empty()) {
        edit.DropTypes = {ResourceKey::Number(ResourceTypeGroupIcon), ResourceKey::Number(ResourceTypeIcon)};
        Bytes group;
        Append16(group, 0);
        Append16(group, 1);
        Append16(group, static_cast<uint32_t>(icon.size()));
        for (size_t i = 0; i < icon.size(); i++) {
            const IconImage& image = icon[i];
            uint16_t id = static_cast<uint16_t>(i + 1);
            for (uint8_t b : {image.Width, image.Height, image.ColorCount, uint8_t(0)}) group.push_back(b);
            Append16(group, image.Planes);
            Append16(group, image.BitCount);
            Append32(group, static_cast<uint32_t>(image.Data.size()));
            Append16(group, id);
            edit.Add[ResourceKey::Number(ResourceTypeIcon)][ResourceKey::Number(id)][neutral].Data = image.Data;
        }
        edit.Add[ResourceKey::Number(ResourceTypeGroupIcon)][ResourceKey::Number(1)][neutral].Data = group;
    }
    if (!versionResource.empty()) {
        edit.DropTypes.push_back(ResourceKey::Number(ResourceTypeVersion));
        edit.Add[ResourceKey::Number(ResourceTypeVersion)][ResourceKey::Number(1)][ResourceKey::Number(VersionLanguage)]
            .Data = versionResource;
    }
    return edit;
}

void VerifyResourcesKept(const Bytes& stub, const Bytes& image, const ResourceEdit& edit) {
    VerifyResourcesKept(stub, ReadResources(image, ParsePe(image)), edit);
}

void VerifyResourcesKept(const Bytes& stub, const ResourceTree& after, const ResourceEdit& edit) {
    ResourceTree before = ReadResources(stub, ParsePe(stub));
    auto find = [&](const ResourceKey& type, const ResourceKey& name, const ResourceKey& language) -> const ResourceData* {
        auto t = after.find(type);
        if (t == after.end()) return nullptr;
        auto n = t->second.find(name);
        if (n == t->second.end()) return nullptr;
        auto l = n->second.find(language);
        return l == n->second.end() ? nullptr : &l->second;
    };
    auto describe = [](const ResourceKey& type, const ResourceKey& name, const ResourceKey& language) {
        char id[16];
        std::snprintf(id, sizeof id, "%04X", language.Id);
        return "resource " + type.Describe() + "/" + name.Describe() + " (language " +
               (language.IsName ? language.Describe() : std::string(id)) + ")";
    };
    for (const auto& [type, names] : before) {
        if (std::find(edit.DropTypes.begin(), edit.DropTypes.end(), type) != edit.DropTypes.end()) continue;
        for (const auto& [name, languages] : names) {
            if (type == ResourceKey::Named("ZIP") && name == ResourceKey::Number(1)) continue;
            auto added = edit.Add.find(type);
            if (added != edit.Add.end() && added->second.count(name)) continue;
            for (const auto& [language, data] : languages) {
                const ResourceData* now = find(type, name, language);
                if (now == nullptr) throw PeError("the stub's " + describe(type, name, language) + " went missing");
                if (!(*now == data)) throw PeError("the stub's " + describe(type, name, language) + " changed");
            }
        }
    }
    for (const auto& [type, names] : edit.Add)
        for (const auto& [name, languages] : names)
            for (const auto& [language, data] : languages) {
                const ResourceData* now = find(type, name, language);
                if (now == nullptr || !(*now == data)) throw PeError("the new " + describe(type, name, language) + " is not there as built");
            }
}

}  // namespace sfx
