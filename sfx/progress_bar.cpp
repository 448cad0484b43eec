#include "sfx/progress_bar.h"

#include <algorithm>
#include <cstdio>

namespace sfx {

namespace {

constexpr int MaxBarWidth = 30;
constexpr int MinBarWidth = 4;
constexpr int MinNameWidth = 8;
// "[" and "] 100% " around the bar.
constexpr int FrameWidth = 8;

// The last `width` bytes of name, with "..." in front when it is cut.
std::string Tail(const std::string& name, size_t width) {
    if (name.size() <= width) return name;
    if (width <= 3) return std::string(width, '.');
    size_t from = name.size() - (width - 3);
    // Not inside a UTF-8 sequence: skip its continuation bytes.
    while (from < name.size() && (static_cast<unsigned char>(name[from]) & 0xC0) == 0x80) from++;
    return "..." + name.substr(from);
}

}  // namespace

std::string ProgressLine(int percent, const std::string& name, int columns) {
    percent = std::clamp(percent, 0, 100);
    int room = columns - 1;
    char number[8];
    std::snprintf(number, sizeof number, "%3d%%", percent);
    if (room < FrameWidth + MinBarWidth) return room >= 4 ? number : "";
    int bar = std::clamp((room - FrameWidth) / 2, MinBarWidth, MaxBarWidth);
    int nameWidth = room - FrameWidth - bar;
    if (nameWidth < MinNameWidth) {
        bar = std::min(MaxBarWidth, room - FrameWidth);
        nameWidth = 0;
    }
    int filled = percent * bar / 100;
    std::string line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(bar - filled), '-') +
                       "] " + number;
    if (nameWidth > 0) {
        std::string shown = Tail(name, static_cast<size_t>(nameWidth - 1));
        line += " " + shown + std::string(static_cast<size_t>(nameWidth - 1) - shown.size(), ' ');
    }
    return line;
}

void ProgressBar::Show(uint64_t done, uint64_t total, const std::string& name) {
    if (Err == nullptr || total == 0) return;
    int percent = static_cast<int>(std::min<uint64_t>(100, done * 100 / total));
    if (percent == LastPercent && name == LastName) return;
    // A name of fewer characters than bytes leaves the old line's end
    // standing; another name starts from a blank line.
    if (Drawn && name != LastName) *Err << "\r" << std::string(static_cast<size_t>(std::max(Columns - 1, 0)), ' ');
    LastPercent = percent;
    LastName = name;
    *Err << "\r" << ProgressLine(percent, name, Columns) << std::flush;
    Drawn = true;
}

void ProgressBar::Clear() {
    if (Drawn) *Err << "\r" << std::string(static_cast<size_t>(std::max(Columns - 1, 0)), ' ') << "\r" << std::flush;
    Drawn = false;
}

}  // namespace sfx
