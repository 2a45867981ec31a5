#include "win32/AdministrativeSids_WIN32.h"

#include <sddl.h>

#include <cstring>

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
    PSID trustedInstaller = nullptr;
    if (!ConvertStringSidToSidW(kTrustedInstaller, &trustedInstaller))
        return false;
    const bool same = EqualSid(sid, trustedInstaller) != 0;
    LocalFree(trustedInstaller);
    return same;
}

bool isAllowAce(BYTE type)
{
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

// The SID of an allow ACE; null where its layout does not hold one.
PSID sidOf(const BYTE* ace, WORD size, BYTE type)
{
    std::size_t offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    if (type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
        DWORD flags = 0;
        if (size < offset + sizeof flags)
            return nullptr;
        std::memcpy(&flags, ace + offset, sizeof flags);
        offset += sizeof flags + ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
                  ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
    }
    if (size < offset + 8)
        return nullptr;
    PSID sid = const_cast<BYTE*>(ace + offset);
    return IsValidSid(sid) && offset + GetLengthSid(sid) <= size ? sid : nullptr;
}

std::string sidText(PSID sid)
{
    LPSTR text = nullptr;
    std::string spelt = ConvertSidToStringSidA(sid, &text) ? text : "another account";
    LocalFree(text);
    return spelt;
}

} // namespace

bool isAdministrativeSid(PSID sid)
{
    return sid != nullptr && IsValidSid(sid) &&
           (isWellKnown(sid, WinBuiltinAdministratorsSid) || isWellKnown(sid, WinLocalSystemSid) ||
            isTrustedInstaller(sid));
}

std::vector<BYTE> accountOfThisProcess()
{
    std::vector<BYTE> bytes;
    HANDLE token = nullptr;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return bytes;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    bytes.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, bytes.data(), size, &size))
        bytes.clear();
    CloseHandle(token);
    return bytes;
}

std::string whoElseMay(PACL dacl, ACCESS_MASK rights, PSID alsoTrusted)
{
    if (dacl == nullptr)
        return "everyone";
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        LPVOID ace = nullptr;
        if (!GetAce(dacl, index, &ace))
            return "an entry that cannot be read";
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (!isAllowAce(header->AceType) || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        ACCESS_MASK mask = 0;
        std::memcpy(&mask, static_cast<const BYTE*>(ace) + sizeof(ACE_HEADER), sizeof mask);
        if ((mask & rights) == 0)
            continue;
        PSID sid = sidOf(static_cast<const BYTE*>(ace), header->AceSize, header->AceType);
        if (sid == nullptr)
            return "an entry that cannot be read";
        const bool trusted = isAdministrativeSid(sid) ||
                             (alsoTrusted != nullptr && EqualSid(sid, alsoTrusted)) ||
                             IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
        if (!trusted)
            return sidText(sid);
    }
    return "";
}

OwnerAndDacl::~OwnerAndDacl()
{
    if (descriptor != nullptr)
        LocalFree(descriptor);
}

DWORD OwnerAndDacl::read(HANDLE handle, SE_OBJECT_TYPE type)
{
    return GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                           &owner, nullptr, &dacl, nullptr, &descriptor);
}

DWORD onlyAdministrationMay(HANDLE handle, SE_OBJECT_TYPE type, ACCESS_MASK rights, bool* only)
{
    OwnerAndDacl security;
    const DWORD error = security.read(handle, type);
    if (error != ERROR_SUCCESS)
        return error;
    *only = isAdministrativeSid(security.owner) && whoElseMay(security.dacl, rights, nullptr).empty();
    return ERROR_SUCCESS;
}

} // namespace winsec
