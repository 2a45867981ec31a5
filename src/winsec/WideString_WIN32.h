// UTF-8 to UTF-16 for the wide Windows calls. POCO hands out paths in UTF-8
// on Windows; every name given to a wide call goes through here.
#ifndef TOLVANE_WIDE_STRING_WIN32_H
#define TOLVANE_WIDE_STRING_WIN32_H

#include <optional>
#include <string>

// Empty when `text` is not valid UTF-8 or holds a NUL: a wide call would stop
// at the NUL and act on a shorter name than the one the caller holds, and a
// lossy conversion could name a different object, so neither is guessed at.
std::optional<std::wstring> utf8ToWide(const std::string& text);

#endif
