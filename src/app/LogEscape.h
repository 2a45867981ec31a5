// What a log line may hold of a name taken from outside (a path, a message
// of an exception about a path): every line must name its entry exactly and
// no name may start a line of its own.
#ifndef TOLVANE_LOG_TEXT_H
#define TOLVANE_LOG_TEXT_H

#include <string>

// `text` with each control character (0x00-0x1F, 0x7F) and each byte that is
// not part of valid UTF-8 written as \xHH (two lower-case hex digits); valid
// UTF-8 other than those stays as it is.
std::string escapedForLog(const std::string& text);

#endif
