// Text from an archive made safe for a terminal: member names and the magic
// field are untrusted bytes, and a name holding an escape sequence must not
// reach the terminal as one. The quoting is GNU tar's default in a UTF-8
// locale:
//
//   \a \b \t \n \v \f \r   for the control characters that have a C escape
//   \\                     for the backslash itself
//   \ooo                   three octal digits for every other byte below
//                          0x20, and for 0x7F; for each byte of a C1
//                          control character (U+0080..U+009F, C2 80 to
//                          C2 9F), which a terminal may take for an escape
//                          sequence; and for every byte that is not part of
//                          a valid UTF-8 sequence (a lone 0x9B, 0xE9)
//
// Every other byte passes unchanged, whatever the locale: valid UTF-8 names
// print as they are (the bytes of 日本, E6 97 A5 E6 9C AC, among them).
#pragma once

#include <string>
#include <string_view>

namespace kotar {

std::string quotedText(std::string_view text);

}  // namespace kotar
