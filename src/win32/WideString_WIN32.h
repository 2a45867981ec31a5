// UTF-8 to UTF-16 for the wide Windows calls, which take the paths of
// Tolvane.ini, and UTF-16 names back to UTF-8 for the log.
#ifndef TOLVANE_WIDE_STRING_WIN32_H
#define TOLVANE_WIDE_STRING_WIN32_H

#include <optional>
#include <string>

// Empty when `text` is not valid UTF-8 or holds a NUL: a wide call would stop
// at the NUL and act on a shorter name than the one the caller holds, and a
// lossy conversion could name a different object, so neither is guessed at.
std::optional<std::wstring> utf8ToWide(const std::string& text);

// A name as the system gives it, for the log line only: UTF-8, with each
// lone surrogate (a name may hold one, UTF-8 cannot) written as \uD800. No
// name holds a backslash, so no real name reads like an escaped one.
std::string wideToLogText(const std::wstring& text);

#endif
