// The platform's error codes as a log line names them: errno values on
// POSIX, Win32 error codes on Windows. Defined once per platform.
#ifndef TOLVANE_APP_SYSTEM_ERROR_H
#define TOLVANE_APP_SYSTEM_ERROR_H

#include <string>

// The system's own words for `error` ("Operation not permitted").
std::string systemErrorText(int error);

// The system refused for want of a right: a run without the administrator's
// rights meets these where the administrator's would not.
bool isAccessDenial(int error);

// What an entry that is gone fails with, where nothing said why.
int notFoundError();

#endif
