#pragma once

#include <string>
#include <string_view>

namespace brellis::platform::os_log {

// Text that another party chose (a peer's name, an identifier read from another process), made
// safe for one log line: every character that could end the line or change how the rest of it
// reads is escaped. NUL, tab, line feed and carriage return become \0 \t \n \r; the other C0
// controls and DEL become \u{XX} (two hex digits); the C1 controls, the line and paragraph
// separators (U+2028, U+2029) and the bidirectional controls (U+061C, U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069) become \u{XXXX}. Every other character, printable Unicode
// included, is kept as it is. Bytes that are not UTF-8 become U+FFFD. Backslashes are kept, so
// escaping text that is escaped already changes nothing.
std::string escapingControls(std::string_view text);

// A string as the platform's debug description shows it (an error's string payload, a list of
// strings): in double quotes, with backslashes, double and single quotes escaped (\\ \" \') and
// every other character as escapingControls leaves it.
std::string quotedDescription(std::string_view text);

}  // namespace brellis::platform::os_log
