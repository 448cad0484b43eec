// The launcher's identity as Windows shows it: the icon Explorer draws for
// the file, and the version information of its Details tab (who made it,
// which product, which version). `sfx pack --icon` and `--version-info`
// build these resources; pe_resources writes them into the launcher.
//
// Like pe_resources, everything here works on byte vectors and strings and
// touches no file.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sfx/pe_resources.h"

namespace sfx {

// An icon file or a version setting that cannot be used: the message says
// what, without the file or option, which the caller adds.
struct IdentityError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint16_t ResourceTypeIcon = 3;         // RT_ICON: one image of an icon
constexpr uint16_t ResourceTypeGroupIcon = 14;   // RT_GROUP_ICON: the images of one icon
constexpr uint16_t ResourceTypeVersion = 16;     // RT_VERSION
constexpr uint16_t ResourceTypeManifest = 24;    // RT_MANIFEST
constexpr uint16_t VersionLanguage = 0x0409;     // the string table's language: US English
constexpr uint16_t VersionCodePage = 1200;       // and its code page: UTF-16

// One image of an .ico file, with its directory entry as the file has it
// (width and height 0 stand for 256) and its bytes: a bitmap (a
// BITMAPINFOHEADER, the colour table, the colour and the mask bits) or a PNG
// file.
struct IconImage {
    uint8_t Width = 0, Height = 0, ColorCount = 0;
    uint16_t Planes = 0, BitCount = 0;
    Bytes Data;
};

// The images of an .ico file, checked: the header (reserved 0, type 1), a
// directory that fits the file, and every image inside the file and a
// bitmap or PNG of the size its entry gives. Throws IdentityError.
std::vector<IconImage> ParseIconFile(const Bytes& ico);

// The version keys `pack` writes, in the order of the string table.
// FileVersion and ProductVersion are also numbers (up to four 16-bit parts).
extern const char* const VersionKeys[];
extern const size_t VersionKeyCount;
std::string KnownVersionKeys();  // "Comments, CompanyName, ..."

// Up to four dot-separated numbers of 0 to 65535 ("1.2" is 1.2.0.0), as
// the four 16-bit parts of a 64-bit number, most significant first.
// Throws IdentityError.
uint64_t ParseVersionNumber(const std::string& text);

// "KEY=VALUE" (VALUE in UTF-8): the key must be one of VersionKeys, the
// value non-empty text without control characters, a version number for
// FileVersion and ProductVersion. Throws IdentityError.
using VersionSetting = std::pair<std::string, std::string>;
VersionSetting ParseVersionSetting(const std::string& keyValue);

// The lines of a version file: KEY=VALUE each, blank lines and lines
// beginning with '#' skipped, UTF-8 with or without a byte order mark.
// Throws IdentityError naming the line ("line 3: ...").
std::vector<VersionSetting> ParseVersionFile(const Bytes& text);

// The settings with a later setting of a key replacing an earlier one, and
// the two version numbers (each one standing in for the other when only one
// is given; 0.0.0.0 without either).
struct VersionInfo {
    std::map<std::string, std::string> Values;
    uint64_t File = 0, Product = 0;
};
VersionInfo ResolveVersionInfo(const std::vector<VersionSetting>& settings);

// A VS_VERSIONINFO block: the fixed part with the two version numbers, the
// string table 040904B0 with every key given, and the translation
// 0409/1200. Throws IdentityError when the block would exceed its 64 KiB.
Bytes BuildVersionResource(const VersionInfo& info);

// The resource changes for an icon (group 1, images 1..n) and version
// information (16/1 in US English); either may be left out (empty).
// Replacing a type drops every resource of it that the stub had.
ResourceEdit IdentityEdit(const std::vector<IconImage>& icon, const Bytes& versionResource);

// Checks a written launcher against its stub: every resource of the stub
// is there unchanged (the manifest, the marker, icons and version
// information not replaced), except the archive ZIP/1 and what `edit`
// replaces, and every resource of the edit is there as given. Throws
// PeError naming the first one that is missing or different.
void VerifyResourcesKept(const Bytes& stub, const Bytes& image, const ResourceEdit& edit);
// The same with the image's resources read already (VerifyPlannedImage).
void VerifyResourcesKept(const Bytes& stub, const ResourceTree& after, const ResourceEdit& edit);

}  // namespace sfx
