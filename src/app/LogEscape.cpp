#include "app/LogEscape.h"

#include <cstddef>

namespace {

bool isControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F;
}

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of two to four bytes starting
// at `at`, or 0. Overlong forms, surrogates and code points past U+10FFFF are
// not well-formed.
std::size_t multibyteLength(const std::string& text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if (!isContinuation(static_cast<unsigned char>(text[at + i])))
            return 0;
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// Readers that know Unicode (Python's splitlines, many log viewers) end a
// line at a C1 control and at U+2028 and U+2029, as at a C0 control.
bool breaksLines(const std::string& text, std::size_t at)
{
    const auto second = static_cast<unsigned char>(text[at + 1]);
    if (text[at] == '\xC2')
        return second <= 0x9F;
    return text.compare(at, 3, "\xE2\x80\xA8") == 0 || text.compare(at, 3, "\xE2\x80\xA9") == 0;
}

// How many bytes from `at` are written as they are: a printable ASCII
// character, or a well-formed multibyte character that breaks no line. 0 for
// a byte to escape; the rest of an escaped character's bytes, continuation
// bytes, are then escaped one by one as well.
std::size_t keptLength(const std::string& text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80)
        return isControl(byte) ? 0 : 1;
    const std::size_t length = multibyteLength(text, at);
    return length != 0 && breaksLines(text, at) ? 0 : length;
}

void appendEscaped(std::string& out, unsigned char byte)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

} // namespace

std::string escapedForLog(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = keptLength(text, at);
        if (length == 0) {
            appendEscaped(out, static_cast<unsigned char>(text[at++]));
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}
