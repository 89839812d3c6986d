// Texts that go to C interfaces, which end a string at its first NUL byte:
// such a text would name another file, endpoint or node than the caller wrote.
#pragma once

#include <string>

namespace norvane {

inline bool has_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

// The text with each NUL spelled \0, for a message that what() would
// otherwise cut short at the NUL.
inline std::string show_nul(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        if (c == '\0') {
            shown += "\\0";
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace norvane
