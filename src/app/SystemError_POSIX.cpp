#include "app/SystemError.h"

#include <cerrno>
#include <cstring>

// strerror_r in its GNU form may hand back a static text instead of filling
// the buffer; either way the result is the text.
std::string systemErrorText(int error)
{
    char buffer[256] = {};
    return strerror_r(error, buffer, sizeof buffer);
}

bool isAccessDenial(int error)
{
    return error == EACCES || error == EPERM;
}

int notFoundError()
{
    return ENOENT;
}
