#include "win32/RecordStore_WIN32.h"

#include "win32/AdministrativeSids_WIN32.h"
#include "win32/FileHandles_WIN32.h"
#include "winsec/SecurityApi.h"

#include <sddl.h>

#include <cwchar>

namespace winsec {

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\Tolvane\\WriteRecords";
constexpr wchar_t kRecordKeySecurity[] = L"D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)";
constexpr std::size_t kFileIdDigits = 32;
constexpr DWORD kLongestValueName = 16383;
constexpr REGSAM kKeyAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | READ_CONTROL;
// Rights on the key that would let another account plant or forge a record.
constexpr ACCESS_MASK kWritesKey = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER |
                                   DELETE | GENERIC_WRITE | GENERIC_ALL;

DWORD createKey(HKEY* key)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRecordKeySecurity,
                                                              SDDL_REVISION_1, &security, nullptr))
        return GetLastError();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    const LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, kKeyAccess,
                                       &attributes, key, nullptr);
    LocalFree(security);
    return static_cast<DWORD>(error);
}

// A file system without stable file IDs (FAT) cannot hold records.
DWORD identityError(DWORD error)
{
    const bool unsupported = error == ERROR_INVALID_PARAMETER ||
                             error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
    return unsupported ? kErrorWriteRecordsUnsupported : error;
}

bool parseFileId(const std::wstring& digits, FILE_ID_128* id)
{
    if (digits.size() != kFileIdDigits)
        return false;
    for (std::size_t i = 0; i < 16; ++i) {
        unsigned value = 0;
        if (std::swscanf(digits.c_str() + 2 * i, L"%2X", &value) != 1)
            return false;
        id->Identifier[15 - i] = static_cast<BYTE>(value);
    }
    return true;
}

// Only an ID the volume says names nothing counts as gone; any other
// failure keeps the record. The IDs are looked up from the volume's root.
bool isGone(HANDLE volumeRoot, const FILE_ID_128& id)
{
    FILE_ID_DESCRIPTOR descriptor{};
    descriptor.dwSize = sizeof descriptor;
    descriptor.Type = ExtendedFileIdType;
    descriptor.ExtendedFileId = id;
    HANDLE file = OpenFileById(volumeRoot, &descriptor, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_PARAMETER || error == ERROR_FILE_NOT_FOUND;
}

// Every name there is, or those read before an error: one that is not
// about a single value (a key deleted or unreadable) would come back for
// every index.
std::vector<std::wstring> valueNames(HKEY key)
{
    std::vector<std::wstring> names;
    std::wstring name(kLongestValueName + 1, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        const LONG error = RegEnumValueW(key, index, &name[0], &length, nullptr, nullptr,
                                         nullptr, nullptr);
        if (error == ERROR_SUCCESS)
            names.emplace_back(name.data(), length);
        else if (error != ERROR_MORE_DATA)
            return names;
    }
}

// The key is the administrators' (or this run's account's) alone: records
// anyone else could write would make -unlock grant what they name.
DWORD keyError(HKEY key)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(key, SE_REGISTRY_KEY,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return error;
    const std::vector<BYTE> account = accountOfThisProcess();
    PSID self = account.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(account.data())->User.Sid;
    const bool ownerTrusted = isAdministrativeSid(owner) || (self != nullptr && EqualSid(owner, self));
    const bool trusted = ownerTrusted && whoElseMay(dacl, kWritesKey, self).empty();
    LocalFree(descriptor);
    return trusted ? ERROR_SUCCESS : kErrorRecordKeyNotTrusted;
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

} // namespace

bool isFileIdentity(const BYTE (&fileId)[16])
{
    bool allZero = true;
    bool allOnes = true;
    for (BYTE byte : fileId) {
        allZero = allZero && byte == 0;
        allOnes = allOnes && byte == 0xFF;
    }
    return !allZero && !allOnes;
}

// "<volume GUID>-<file ID>", the ID in hexadecimal, most significant first.
DWORD recordNameOf(const OpenEntry& entry, std::wstring* name)
{
    if (entry.handle == nullptr)
        return entry.openError;
    if (entry.volume == nullptr)
        return kErrorWriteRecordsUnsupported;
    BYTE fileId[16] = {};
    const DWORD error = fileIdOf(entry.handle->get(), &fileId);
    if (error != ERROR_SUCCESS)
        return identityError(error);
    if (!isFileIdentity(fileId))
        return kErrorWriteRecordsUnsupported;
    wchar_t digits[kFileIdDigits + 1] = {};
    for (int i = 15, at = 0; i >= 0; --i, at += 2)
        std::swprintf(digits + at, 3, L"%02X", fileId[i]);
    *name = entry.volume->guid + L"-" + digits;
    return ERROR_SUCCESS;
}

RecordStore::~RecordStore()
{
    if (key != nullptr)
        RegCloseKey(key);
}

// Created only when `create`; until something is stored there may be none.
// The key found is checked before its first use; once refused it is
// refused for good.
DWORD RecordStore::openKey(bool create, HKEY* opened)
{
    const std::lock_guard<std::mutex> held(lock);
    if (refusal != ERROR_SUCCESS)
        return refusal;
    if (key == nullptr) {
        DWORD error = create ? createKey(&key)
                             : static_cast<DWORD>(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0,
                                                                kKeyAccess, &key));
        if (error == ERROR_SUCCESS && (error = keyError(key)) != ERROR_SUCCESS) {
            RegCloseKey(key);
            refusal = error;
        }
        if (error != ERROR_SUCCESS) {
            key = nullptr;
            return error;
        }
    }
    *opened = key;
    return ERROR_SUCCESS;
}

// Opens the key and names the entry's value; both or an error.
DWORD RecordStore::locate(const OpenEntry& entry, bool create, HKEY* opened, std::wstring* name)
{
    const DWORD error = recordNameOf(entry, name);
    return error != ERROR_SUCCESS ? error : openKey(create, opened);
}

DWORD RecordStore::store(const OpenEntry& entry, const std::vector<BYTE>& record)
{
    HKEY opened = nullptr;
    std::wstring name;
    const DWORD error = locate(entry, true, &opened, &name);
    if (error != ERROR_SUCCESS)
        return error == kErrorRecordKeyNotTrusted ? kErrorWriteRecordsUnsupported : error;
    return static_cast<DWORD>(RegSetValueExW(opened, name.c_str(), 0, REG_BINARY, record.data(),
                                             static_cast<DWORD>(record.size())));
}

DWORD RecordStore::read(const OpenEntry& entry, std::vector<BYTE>* record)
{
    HKEY opened = nullptr;
    std::wstring name;
    const DWORD error = locate(entry, false, &opened, &name);
    if (error != ERROR_SUCCESS)
        return error == kErrorWriteRecordsUnsupported ? kErrorNoWriteRecord : error;
    return queryRecord(opened, name, record);
}

DWORD RecordStore::remove(const OpenEntry& entry)
{
    HKEY opened = nullptr;
    std::wstring name;
    const DWORD error = locate(entry, false, &opened, &name);
    if (error != ERROR_SUCCESS)
        return error;
    return static_cast<DWORD>(RegDeleteValueW(opened, name.c_str()));
}

bool RecordStore::firstPruneOf(const std::wstring& volume)
{
    const std::lock_guard<std::mutex> held(lock);
    return prunedVolumes.insert(volume).second;
}

std::size_t RecordStore::pruneGoneFiles(const OpenEntry& anyOnVolume)
{
    HKEY opened = nullptr;
    if (anyOnVolume.volume == nullptr || !firstPruneOf(anyOnVolume.volume->guid) ||
        openKey(false, &opened) != ERROR_SUCCESS)
        return 0;
    const std::wstring prefix = anyOnVolume.volume->guid + L"-";
    const SharedFile& root = anyOnVolume.volume->root;
    std::size_t removed = 0;
    for (const std::wstring& name : valueNames(opened)) {
        FILE_ID_128 id{};
        if (name.size() <= prefix.size() ||
            _wcsnicmp(name.c_str(), prefix.c_str(), prefix.size()) != 0 ||
            !parseFileId(name.substr(prefix.size()), &id) || !isGone(root->get(), id))
            continue;
        if (RegDeleteValueW(opened, name.c_str()) == ERROR_SUCCESS)
            ++removed;
    }
    return removed;
}

} // namespace winsec
