// The progress bar of `sfx extract` and `sfx pack`: one line on standard
// error, redrawn in place with "\r", as wide as the terminal allows.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace sfx {

// "[##########----------]  42% docs/readme.txt", at most columns - 1
// characters (a character in the last column makes some terminals wrap),
// counting every byte of the name as a character, which it never is less
// than in UTF-8 or a Windows code page. A name too long for the room is cut
// at its start ("...e/readme.txt"), never inside a UTF-8 sequence; on very
// narrow terminals the name goes, then the bar.
std::string ProgressLine(int percent, const std::string& name, int columns);

struct ProgressBar {
    std::ostream* Err = nullptr;  // null: no bar
    int Columns = 80;
    int LastPercent = -1;
    std::string LastName;
    bool Drawn = false;

    // Redraws when the percentage (of done / total) or the name changed.
    void Show(uint64_t done, uint64_t total, const std::string& name);
    // Blanks the line, so that the next output starts on a clean line.
    void Clear();
};

}  // namespace sfx
