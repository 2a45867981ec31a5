// On Windows the security structures are the system's own.
#ifndef TOLVANE_SECURITY_TYPES_WIN32_H
#define TOLVANE_SECURITY_TYPES_WIN32_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>

namespace winsec {

using ::BYTE;
using ::WORD;
using ::DWORD;
using ::BOOL;
using ::LPBOOL;
using ::LPVOID;
using ::HLOCAL;
using ::UINT;
using ::SIZE_T;
using ::ACCESS_MASK;
using ::SECURITY_INFORMATION;
using ::SECURITY_DESCRIPTOR_CONTROL;
using ::SID_IDENTIFIER_AUTHORITY;
using ::SID;
using ::PSID;
using ::ACL;
using ::PACL;
using ::ACE_HEADER;
using ::ACCESS_ALLOWED_ACE;
using ::ACL_SIZE_INFORMATION;
using ::ACL_INFORMATION_CLASS;
using ::SE_OBJECT_TYPE;
using ::SECURITY_DESCRIPTOR;
using ::SECURITY_DESCRIPTOR_RELATIVE;
using ::PSECURITY_DESCRIPTOR;

// Where an operation that reports failure by its result alone leaves its
// error: the thread's last error here, errno elsewhere.
inline DWORD lastSystemError()
{
    return GetLastError();
}
inline void clearSystemError()
{
    SetLastError(0);
}

} // namespace winsec

#endif
