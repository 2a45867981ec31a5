// The security operations as the Windows calls themselves. Paths arrive in
// UTF-8, as POCO hands them out on Windows, and are converted to UTF-16 here;
// a path that does not convert exactly is refused rather than guessed at,
// since a lossy conversion could name a different file than the one walked.
#include "winsec/SecurityApi.h"
#include "winsec/WideString_WIN32.h"

namespace winsec {

namespace {

class WindowsSecurityApi final : public SecurityApi {
public:
    DWORD getNamedSecurityInfo(const std::string& path, SE_OBJECT_TYPE objectType,
                               SECURITY_INFORMATION info, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor) override
    {
        const std::optional<std::wstring> widePath = utf8ToWide(path);
        if (!widePath)
            return ERROR_NO_UNICODE_TRANSLATION;
        return GetNamedSecurityInfoW(widePath->c_str(), objectType, info, owner, group, dacl,
                                     sacl, descriptor);
    }

    HLOCAL localAlloc(UINT flags, SIZE_T bytes) override { return LocalAlloc(flags, bytes); }

    BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) override
    {
        return InitializeSecurityDescriptor(descriptor, revision);
    }

    BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                   LPBOOL defaulted) override
    {
        return GetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
    }

    BOOL getAclInformation(PACL acl, LPVOID information, DWORD length,
                           ACL_INFORMATION_CLASS informationClass) override
    {
        return GetAclInformation(acl, information, length, informationClass);
    }

    DWORD getLengthSid(PSID sid) override { return GetLengthSid(sid); }

    BOOL initializeAcl(PACL acl, DWORD length, DWORD revision) override
    {
        return InitializeAcl(acl, length, revision);
    }

    BOOL getAce(PACL acl, DWORD index, LPVOID* ace) override { return GetAce(acl, index, ace); }

    BOOL addAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList,
                DWORD length) override
    {
        return AddAce(acl, revision, startIndex, aceList, length);
    }

    BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                   BOOL defaulted) override
    {
        return SetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
    }

    BOOL setFileSecurity(const std::string& path, SECURITY_INFORMATION info,
                         PSECURITY_DESCRIPTOR descriptor) override
    {
        const std::optional<std::wstring> widePath = utf8ToWide(path);
        if (!widePath) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return FALSE;
        }
        return SetFileSecurityW(widePath->c_str(), info, descriptor);
    }

    HLOCAL localFree(HLOCAL memory) override { return LocalFree(memory); }
};

} // namespace

SecurityApi& systemSecurityApi()
{
    static WindowsSecurityApi api;
    return api;
}

} // namespace winsec
