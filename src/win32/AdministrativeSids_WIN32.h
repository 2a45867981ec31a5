// The accounts that administer the machine: BUILTIN\Administrators,
// LocalSystem and TrustedInstaller. What only they control is trusted;
// whatever another account owns or may write, that account could turn
// against a run that works as SYSTEM.
#ifndef TOLVANE_ADMINISTRATIVE_SIDS_WIN32_H
#define TOLVANE_ADMINISTRATIVE_SIDS_WIN32_H

#include "winsec/SecurityTypes.h"

namespace winsec {

bool isAdministrativeSid(PSID sid);

// Whether the object behind `handle` (opened with READ_CONTROL) is owned by
// one of them. kErrorSuccess or the error of the read.
DWORD ownedByAdministration(HANDLE handle, SE_OBJECT_TYPE type, bool* owned);

} // namespace winsec

#endif
