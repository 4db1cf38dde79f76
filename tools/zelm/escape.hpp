// Text from plug-ins, devices, cache records and file names made safe to show
// on a terminal: such text is written by others, and a raw escape sequence in
// it could clear the screen, retitle the terminal or forge whole lines.
#pragma once

#include <string>
#include <string_view>

namespace zelm::tool {

// `text` with every character that a terminal would act on, or that could
// make it lie about what it shows, replaced by a visible escape, so that it
// prints as one line of what it really holds:
// - "\n", "\r", "\t" for those, "\\" for a backslash (so escapes cannot be
//   forged), "\x1b" for any other C0 control character and for DEL;
// - "\u{9b}" for a C1 control character (U+0080 to U+009F) and
//   "\u{202e}" for the bidirectional formatting characters (U+061C, U+200E,
//   U+200F, U+202A to U+202E, U+2066 to U+2069), which reorder what follows;
// - "\xff" for each byte that is not part of valid UTF-8 (overlong forms,
//   surrogates and code points beyond U+10FFFF included).
// Other valid UTF-8 stays as it is.
std::string escaped(std::string_view text);

}  // namespace zelm::tool
