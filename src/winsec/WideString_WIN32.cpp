#include "winsec/WideString_WIN32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>

std::optional<std::wstring> utf8ToWide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    if (text.size() > INT_MAX || text.find('\0') != std::string::npos)
        return std::nullopt;
    const int narrowLength = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               narrowLength, nullptr, 0);
    if (wideLength <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), narrowLength, &wide[0],
                            wideLength) != wideLength)
        return std::nullopt;
    return wide;
}
