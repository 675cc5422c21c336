// Text from an archive made safe for a terminal: member names and the magic
// field are untrusted bytes, and a name holding an escape sequence must not
// reach the terminal as one. The quoting is GNU tar's default:
//
//   \a \b \t \n \v \f \r   for the control characters that have a C escape
//   \\                     for the backslash itself
//   \ooo                   three octal digits for every other byte below
//                          0x20, and for 0x7F
//
// Every other byte, 0x80 and above included (UTF-8 names), passes unchanged.
#pragma once

#include <string>
#include <string_view>

namespace kotar {

std::string quotedText(std::string_view text);

}  // namespace kotar
