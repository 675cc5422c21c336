#include "report/mode_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kotar {
namespace {

std::string modeString(int mode) {
    char out[11];
    std::memset(out, '?', sizeof out);
    formatModeString(mode, out);
    EXPECT_EQ(out[10], '\0') << "mode " << std::oct << mode;
    return std::string(out, 10);
}

TEST(FormatModeString, PermissionTriplesAndSpecialBits) {
    struct Case {
        int mode;
        const char* expected;
    };
    const Case cases[] = {
        {0, "----------"},
        {0755, "-rwxr-xr-x"},
        {0644, "-rw-r--r--"},
        {0777, "-rwxrwxrwx"},
        {0400, "-r--------"},
        {0001, "---------x"},
        {0124, "---x-w-r--"},
        // set-user-ID over the owner's execute position
        {04755, "-rwsr-xr-x"},
        {04644, "-rwSr--r--"},
        // set-group-ID over the group's
        {02755, "-rwxr-sr-x"},
        {02745, "-rwxr-Sr-x"},
        // sticky over the others'
        {01777, "-rwxrwxrwt"},
        {01776, "-rwxrwxrwT"},
        // all three at once, with and without execute bits
        {07777, "-rwsrwsrwt"},
        {07000, "---S--S--T"},
        {06111, "---s--s--x"},
        // bits above the twelve are ignored
        {0170755, "-rwxr-xr-x"},
        {0100644, "-rw-r--r--"},
        {-1, "-rwsrwsrwt"},
        {010000, "----------"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode 0" << std::oct << c.mode);
        EXPECT_EQ(modeString(c.mode), c.expected);
    }
}

TEST(TypeLetter, MapsTypeflagsToListingLetters) {
    struct Case {
        unsigned char typeflag;
        char letter;
    };
    const Case cases[] = {
        {'0', '-'}, {'\0', '-'}, {'1', 'h'}, {'2', 'l'}, {'3', 'c'}, {'4', 'd'},
        {'5', 'd'}, {'6', 'p'},  {'7', 'm'}, {'K', '-'}, {'L', '-'}, {'x', '-'}, {'V', 'V'}, {'M', 'M'}, {'S', '-'},
        {'g', '-'}, {'8', '-'},  {0xFF, '-'}, {'h', '-'}, {'d', '-'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "typeflag " << static_cast<int>(c.typeflag));
        EXPECT_EQ(typeLetter(c.typeflag), c.letter);
    }
}

}  // namespace
}  // namespace kotar
