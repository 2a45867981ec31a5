// The security operations as the Windows calls themselves. Paths arrive in
// UTF-8, as POCO hands them out on Windows, and are converted to UTF-16 here;
// a path that does not convert exactly is refused rather than guessed at,
// since a lossy conversion could name a different file than the one walked.
//
// Records of what -lock took live in the registry, one REG_BINARY value per
// file under HKLM\SOFTWARE\Tolvane\WriteRecords, named by the file's volume
// serial number and 128-bit file ID (which stay with the file whatever it is
// renamed to). Not in an alternate data stream: whoever may write a file, or
// owns it and so may give himself that right, may write its streams, and a
// forged record would make -unlock grant write to whoever it names. The key
// is created with a DACL for Administrators and SYSTEM alone; users can
// create no key below HKLM\SOFTWARE, so none can plant it beforehand.
#include "winsec/SecurityApi.h"
#include "winsec/WideString_WIN32.h"

#include <sddl.h>

#include <cwchar>

namespace winsec {

const DWORD kErrorNoWriteRecord = ERROR_FILE_NOT_FOUND;
const DWORD kErrorWriteRecordsUnsupported = ERROR_NOT_SUPPORTED;
const DWORD kErrorNoRoomForWriteRecord = ERROR_DISK_FULL;

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\Tolvane\\WriteRecords";
constexpr wchar_t kRecordKeySecurity[] = L"D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)";

// A file system without stable file IDs (FAT) cannot hold records.
DWORD fileIdError(DWORD error)
{
    const bool unsupported = error == ERROR_INVALID_PARAMETER ||
                             error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
    return unsupported ? kErrorWriteRecordsUnsupported : error;
}

// "<volume serial>-<file ID>" in hexadecimal, from a handle that follows no
// reparse point and needs no right but reading attributes.
DWORD recordNameOf(const std::string& path, std::wstring* name)
{
    const std::optional<std::wstring> widePath = utf8ToWide(path);
    if (!widePath)
        return ERROR_NO_UNICODE_TRANSLATION;
    HANDLE file = CreateFileW(widePath->c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    FILE_ID_INFO id{};
    const BOOL known = GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id);
    const DWORD error = known ? ERROR_SUCCESS : fileIdError(GetLastError());
    CloseHandle(file);
    wchar_t text[2 * 8 + 1 + 2 * 16 + 1] = {};
    int at = std::swprintf(text, 18, L"%016llX-", id.VolumeSerialNumber);
    for (int i = 15; i >= 0 && at > 0; --i, at += 2)
        std::swprintf(text + at, 3, L"%02X", id.FileId.Identifier[i]);
    *name = text;
    return error;
}

// The records' key, created (with its DACL) only when `create`.
DWORD openRecordKey(bool create, HKEY* key)
{
    if (!create)
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0,
                             KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRecordKeySecurity,
                                                              SDDL_REVISION_1, &security, nullptr))
        return GetLastError();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    const LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0,
                                       KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes, key, nullptr);
    LocalFree(security);
    return static_cast<DWORD>(error);
}

// Opens the key and names the path's value; both or an error.
DWORD locateRecord(const std::string& path, bool create, HKEY* key, std::wstring* name)
{
    const DWORD error = recordNameOf(path, name);
    return error != ERROR_SUCCESS ? error : openRecordKey(create, key);
}

DWORD queryRecord(HKEY key, const std::wstring& name, std::vector<BYTE>* record)
{
    DWORD size = 0;
    DWORD type = 0;
    LONG error = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    record->resize(size);
    if (error == ERROR_SUCCESS && size != 0)
        error = RegQueryValueExW(key, name.c_str(), nullptr, &type, record->data(), &size);
    record->resize(size);
    return error == ERROR_SUCCESS && type != REG_BINARY ? kErrorNoWriteRecord
                                                        : static_cast<DWORD>(error);
}

class WindowsSecurityApi final : public SecurityApi {
public:
    DWORD getNamedSecurityInfo(const ObjectName& object, SE_OBJECT_TYPE objectType,
                               SECURITY_INFORMATION info, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor) override
    {
        const std::string path = object.path();
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

    BOOL setFileSecurity(const ObjectName& object, SECURITY_INFORMATION info,
                         PSECURITY_DESCRIPTOR descriptor) override
    {
        const std::string path = object.path();
        const std::optional<std::wstring> widePath = utf8ToWide(path);
        if (!widePath) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return FALSE;
        }
        return SetFileSecurityW(widePath->c_str(), info, descriptor);
    }

    HLOCAL localFree(HLOCAL memory) override { return LocalFree(memory); }

    DWORD storeWriteRecord(const ObjectName& object, const std::vector<BYTE>& record) override
    {
        const std::string path = object.path();
        HKEY key = nullptr;
        std::wstring name;
        DWORD error = locateRecord(path, true, &key, &name);
        if (error != ERROR_SUCCESS)
            return error;
        error = RegSetValueExW(key, name.c_str(), 0, REG_BINARY, record.data(),
                               static_cast<DWORD>(record.size()));
        RegCloseKey(key);
        return error;
    }

    DWORD readWriteRecord(const ObjectName& object, std::vector<BYTE>* record) override
    {
        const std::string path = object.path();
        HKEY key = nullptr;
        std::wstring name;
        DWORD error = locateRecord(path, false, &key, &name);
        if (error == ERROR_SUCCESS) {
            error = queryRecord(key, name, record);
            RegCloseKey(key);
        }
        return error == kErrorWriteRecordsUnsupported ? kErrorNoWriteRecord : error;
    }

    DWORD removeWriteRecord(const ObjectName& object) override
    {
        const std::string path = object.path();
        HKEY key = nullptr;
        std::wstring name;
        DWORD error = locateRecord(path, false, &key, &name);
        if (error != ERROR_SUCCESS)
            return error;
        error = RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
        return error;
    }
};

} // namespace

SecurityApi& systemSecurityApi()
{
    static WindowsSecurityApi api;
    return api;
}

} // namespace winsec
