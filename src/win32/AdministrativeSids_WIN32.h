// The accounts that administer the machine: BUILTIN\Administrators,
// LocalSystem and TrustedInstaller. What only they control is trusted;
// whatever another account owns or may write, that account could turn
// against a run that works as SYSTEM.
#ifndef TOLVANE_ADMINISTRATIVE_SIDS_WIN32_H
#define TOLVANE_ADMINISTRATIVE_SIDS_WIN32_H

#include "winsec/SecurityTypes.h"

#include <string>
#include <vector>

namespace winsec {

bool isAdministrativeSid(PSID sid);

// The TOKEN_USER of this process (its account), empty where it cannot be read.
std::vector<BYTE> accountOfThisProcess();

// The first account but them (and `alsoTrusted`, where given) that an allow
// ACE of `dacl` grants any of `rights` on the object itself, as a SID
// string; empty when there is none. A null DACL grants everyone everything;
// inherit-only ACEs grant nothing here, and OWNER RIGHTS stands for the
// owner, whom the caller judges apart.
std::string whoElseMay(PACL dacl, ACCESS_MASK rights, PSID alsoTrusted);

// The owner and DACL of an object, read together and released with it.
class OwnerAndDacl {
public:
    OwnerAndDacl() = default;
    ~OwnerAndDacl();
    OwnerAndDacl(const OwnerAndDacl&) = delete;
    OwnerAndDacl& operator=(const OwnerAndDacl&) = delete;

    // From `handle`, opened with READ_CONTROL: kErrorSuccess or the error.
    DWORD read(HANDLE handle, SE_OBJECT_TYPE type);

    PSID owner = nullptr;
    PACL dacl = nullptr;

private:
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// Whether only they own the object behind `handle` (opened with
// READ_CONTROL) and may use any of `rights` on it. kErrorSuccess or the
// error of the read.
DWORD onlyAdministrationMay(HANDLE handle, SE_OBJECT_TYPE type, ACCESS_MASK rights, bool* only);

} // namespace winsec

#endif
