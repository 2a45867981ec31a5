#include "win32/AdministrativeSids_WIN32.h"

#include <sddl.h>

namespace winsec {

namespace {

constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    return IsWellKnownSid(sid, type) != 0;
}

bool isTrustedInstaller(PSID sid)
{
    static PSID trustedInstaller = [] {
        PSID converted = nullptr;
        return ConvertStringSidToSidW(kTrustedInstaller, &converted) ? converted : nullptr;
    }();
    return trustedInstaller != nullptr && EqualSid(sid, trustedInstaller);
}

} // namespace

bool isAdministrativeSid(PSID sid)
{
    return sid != nullptr && IsValidSid(sid) &&
           (isWellKnown(sid, WinBuiltinAdministratorsSid) || isWellKnown(sid, WinLocalSystemSid) ||
            isTrustedInstaller(sid));
}

DWORD ownedByAdministration(HANDLE handle, SE_OBJECT_TYPE type, bool* owned)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION, &owner,
                                        nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return error;
    *owned = isAdministrativeSid(owner);
    LocalFree(descriptor);
    return ERROR_SUCCESS;
}

} // namespace winsec
