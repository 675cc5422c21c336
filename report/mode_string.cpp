#include "report/mode_string.h"

namespace kotar {

void formatModeString(int mode, char out[11]) {
    static constexpr char kLetters[3] = {'r', 'w', 'x'};
    // Special bit of each triple, and the letter it shows over 'x'.
    static constexpr int kSpecialBits[3] = {04000, 02000, 01000};
    static constexpr char kSpecialLetters[3] = {'s', 's', 't'};

    out[0] = '-';
    for (int i = 0; i < 9; ++i) {
        out[1 + i] = (mode & (0400 >> i)) != 0 ? kLetters[i % 3] : '-';
        if (i % 3 == 2 && (mode & kSpecialBits[i / 3]) != 0) {
            const char special = kSpecialLetters[i / 3];
            out[1 + i] = out[1 + i] == 'x' ? special : static_cast<char>(special - 'a' + 'A');
        }
    }
    out[10] = '\0';
}

char typeLetter(unsigned char typeflag) {
    switch (typeflag) {
        case '1': return 'h';
        case '2': return 'l';
        case '3': return 'c';
        case '4': return 'd';
        case '5': return 'd';
        case '6': return 'p';
        case '7': return 'm';
        case 'V': return 'V';  // a volume label, as tar shows it
        case 'M': return 'M';  // a continuation from an earlier volume
        default: return '-';
    }
}

}  // namespace kotar
