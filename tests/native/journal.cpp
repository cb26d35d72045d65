#include "journal.h"

#include "control/simctl.h"

namespace simjournal {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "x";
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string line(int index) {
    const int length = simctl_journal_line(index, nullptr, 0);
    if (length < 0) {
        return "<none>";
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    simctl_journal_line(index, &text[0], length + 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace simjournal
