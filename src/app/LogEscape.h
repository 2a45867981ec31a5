// What a log line may hold of a name taken from outside (a path, a message
// of an exception about a path): every line must name its entry exactly and
// no name may start a line of its own.
#ifndef TOLVANE_LOG_TEXT_H
#define TOLVANE_LOG_TEXT_H

#include <string>

// `text` with each byte that is not part of valid UTF-8, and each byte of a
// character that a reader may end a line at, written as \xHH (two lower-case
// hex digits): the C0 controls 0x00-0x1F and 0x7F, the C1 controls
// U+0080-U+009F (NEL among them) and the separators U+2028 and U+2029. So a
// multibyte character is escaped one UTF-8 byte at a time: U+2028 comes out
// as \xe2\x80\xa8. Every other valid UTF-8 character stays as it is.
std::string escapedForLog(const std::string& text);

#endif
