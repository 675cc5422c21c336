#include "text/quoted_text.h"

namespace kotar {

namespace {

// The letter of a control character's C escape, or 0 when it has none.
char escapeLetter(unsigned char byte) {
    switch (byte) {
        case '\a': return 'a';
        case '\b': return 'b';
        case '\t': return 't';
        case '\n': return 'n';
        case '\v': return 'v';
        case '\f': return 'f';
        case '\r': return 'r';
        case '\\': return '\\';
        default: return 0;
    }
}

}  // namespace

std::string quotedText(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F && byte != '\\') {
            quoted.push_back(c);
        } else if (const char letter = escapeLetter(byte); letter != 0) {
            quoted.push_back('\\');
            quoted.push_back(letter);
        } else {
            quoted.push_back('\\');
            quoted.push_back(static_cast<char>('0' + (byte >> 6)));
            quoted.push_back(static_cast<char>('0' + ((byte >> 3) & 7)));
            quoted.push_back(static_cast<char>('0' + (byte & 7)));
        }
    }
    return quoted;
}

}  // namespace kotar
