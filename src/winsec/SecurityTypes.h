// The Windows security structures the permission logic works on: the
// system's own on Windows, the same layouts defined here elsewhere.
#ifndef TOLVANE_SECURITY_TYPES_H
#define TOLVANE_SECURITY_TYPES_H

#if defined(_WIN32)
#include "winsec/SecurityTypes_WIN32.h"
#else
#include "winsec/SecurityTypes_POSIX.h"
#endif

#endif
