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

void appendOctal(std::string& quoted, unsigned char byte) {
    quoted.push_back('\\');
    quoted.push_back(static_cast<char>('0' + (byte >> 6)));
    quoted.push_back(static_cast<char>('0' + ((byte >> 3) & 7)));
    quoted.push_back(static_cast<char>('0' + (byte & 7)));
}

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// its first byte begins none: a continuation byte, an overlong form, a
// surrogate, a code point beyond U+10FFFF, a sequence cut short.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;   // the range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

// Whether a two-byte sequence is a C1 control character, U+0080..U+009F.
bool isC1Control(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
           static_cast<unsigned char>(sequence[1]) <= 0x9F;
}

}  // namespace

std::string quotedText(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            const std::size_t length = utf8SequenceLength(text.substr(at));
            if (length == 0) {
                appendOctal(quoted, byte);
                ++at;
                continue;
            }
            const std::string_view sequence = text.substr(at, length);
            if (isC1Control(sequence)) {
                for (const char c : sequence) appendOctal(quoted, static_cast<unsigned char>(c));
            } else {
                quoted.append(sequence);
            }
            at += length;
            continue;
        }
        if (byte >= 0x20 && byte != 0x7F && byte != '\\') {
            quoted.push_back(static_cast<char>(byte));
        } else if (const char letter = escapeLetter(byte); letter != 0) {
            quoted.push_back('\\');
            quoted.push_back(letter);
        } else {
            appendOctal(quoted, byte);
        }
        ++at;
    }
    return quoted;
}

}  // namespace kotar
