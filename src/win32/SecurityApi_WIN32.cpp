// The security operations as the Windows calls themselves, on handles. An
// object is the entry its folder's listing opened, or the open folder
// itself (win32/OpenEntry_WIN32.h); the DACL is read and written on that one
// handle, so the read and the write cannot reach two different files, and
// written with SetKernelObjectSecurity, which changes that object alone:
// nothing is propagated to what lies below a folder. The handle was opened
// with backup intent, so an entry whose DACL leaves out SYSTEM is still read
// and written. An object whose handle is not in hand is never looked up by
// its path: every operation on it fails.
//
// The record of what -lock took is kept per file (win32/RecordStore_WIN32.h)
// under the identity read from the same handle.
#include "winsec/SecurityApi.h"

#include "win32/DaclForm_WIN32.h"
#include "win32/LinkNames_WIN32.h"
#include "win32/OpenEntry_WIN32.h"
#include "win32/RecordStore_WIN32.h"
#include "winsec/Inheritance.h"

#include <cstring>

namespace winsec {

const DWORD kErrorNoWriteRecord = ERROR_FILE_NOT_FOUND;
const DWORD kErrorWriteRecordsUnsupported = ERROR_NOT_SUPPORTED;
const DWORD kErrorNoRoomForWriteRecord = ERROR_DISK_FULL;

namespace {

// What reading a file with a name outside every configured folder reports:
// it is neither changed nor given a record.
constexpr DWORD kErrorNameOutside = ERROR_ACCESS_DENIED;

// The form of the DACL read for an object, kept with it for the write that
// follows.
struct ReadForm final : OpenedObject {
    explicit ReadForm(const DaclForm& form) : form(form) {}
    DaclForm form;
};

// What an operation on `object` acts on: the folder's handle for the folder
// itself, else the handle its listing opened; null, and why, when there is
// none in hand.
const OpenEntry* entryOf(const ObjectName& object, DWORD* error)
{
    const OpenEntry* entry = nullptr;
    if (object.isFolderItself() && object.folder() != nullptr)
        entry = &object.folder()->open;
    else if (!object.isFolderItself() && object.entry() != nullptr)
        entry = &object.entry()->open;
    *error = object.refusal() != 0     ? static_cast<DWORD>(object.refusal())
             : entry == nullptr        ? ERROR_INVALID_HANDLE
             : entry->handle == nullptr ? entry->openError
                                        : ERROR_SUCCESS;
    return *error == ERROR_SUCCESS ? entry : nullptr;
}

// 100-nanosecond intervals from 1601 to 1970.
constexpr std::uint64_t kUnixEpochIn1601Ticks = 116444736000000000ull;

bool createdAfter(HANDLE entry, std::uint64_t nanosecondsSince1970)
{
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic))
        return false;
    const auto ticks = static_cast<std::uint64_t>(basic.CreationTime.QuadPart);
    return ticks > kUnixEpochIn1601Ticks &&
           (ticks - kUnixEpochIn1601Ticks) * 100 > nanosecondsSince1970;
}

// The DACL of `entry` as bytes, and the form it was read in.
DWORD daclBytesOf(HANDLE entry, std::vector<BYTE>* bytes, DaclForm* form)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR read = nullptr;
    const DWORD error = GetSecurityInfo(entry, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, &dacl, nullptr, &read);
    if (error != ERROR_SUCCESS)
        return error;
    if (dacl != nullptr)
        bytes->assign(reinterpret_cast<const BYTE*>(dacl),
                      reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize);
    *form = daclFormOf(read);
    LocalFree(read);
    return ERROR_SUCCESS;
}

DWORD writeDaclBytes(HANDLE entry, std::vector<BYTE>& dacl, const DaclForm& form)
{
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(dacl.data()), FALSE) ||
        !giveDaclForm(form, &descriptor) ||
        !SetKernelObjectSecurity(entry, DACL_SECURITY_INFORMATION, &descriptor))
        return GetLastError();
    return ERROR_SUCCESS;
}

class WindowsSecurityApi final : public SecurityApi {
public:
    WindowsSecurityApi(bool privileged, const std::vector<std::string>& configuredFolders)
        : privileged(privileged), configured(configuredFolders)
    {
    }

    DWORD getNamedSecurityInfo(const ObjectName& object, SE_OBJECT_TYPE objectType,
                               SECURITY_INFORMATION info, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        if (entry == nullptr)
            return error;
        if (!object.isFolderItself() && entry->kind == EntryClass::File &&
            !configured.holdEveryName(*entry))
            return kErrorNameOutside;
        pruneOnFirstSight(object);
        error = GetSecurityInfo(entry->handle->get(), objectType, info, owner, group, dacl, sacl,
                                descriptor);
        if (error == ERROR_SUCCESS)
            object.keepOpened(std::make_unique<ReadForm>(daclFormOf(*descriptor)));
        return error;
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

    // The descriptor gets the form of the DACL it replaces before it is written.
    BOOL setFileSecurity(const ObjectName& object, SECURITY_INFORMATION info,
                         PSECURITY_DESCRIPTOR descriptor) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        if (entry == nullptr) {
            SetLastError(error);
            return FALSE;
        }
        const auto* read = dynamic_cast<const ReadForm*>(object.opened());
        if (read != nullptr && read->form.aclRevision != 0 && !giveDaclForm(read->form, descriptor))
            return FALSE;
        return SetKernelObjectSecurity(entry->handle->get(), info, descriptor);
    }

    HLOCAL localFree(HLOCAL memory) override { return LocalFree(memory); }

    DWORD storeWriteRecord(const ObjectName& object, const std::vector<BYTE>& record) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        return entry != nullptr ? records.store(*entry, record) : error;
    }

    DWORD readWriteRecord(const ObjectName& object, std::vector<BYTE>* record) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        return entry != nullptr ? records.read(*entry, record) : error;
    }

    DWORD removeWriteRecord(const ObjectName& object) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        return entry != nullptr ? records.remove(*entry) : error;
    }

    // The volume's GUID and the file's 128-bit ID.
    DWORD identifyObject(const ObjectName& object, std::vector<BYTE>* identity) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        if (entry == nullptr)
            return error;
        BYTE fileId[16] = {};
        error = fileIdOf(entry->handle->get(), &fileId);
        if (error != ERROR_SUCCESS)
            return error;
        const std::wstring guid = entry->volume != nullptr ? entry->volume->guid : L"";
        const auto* guidBytes = reinterpret_cast<const BYTE*>(guid.data());
        identity->assign(guidBytes, guidBytes + guid.size() * sizeof(wchar_t));
        identity->insert(identity->end(), fileId, fileId + sizeof fileId);
        return ERROR_SUCCESS;
    }

    // An entry created after its folder was locked, all of whose ACEs it
    // inherited from the locked DACL, gets what the restored DACL gives.
    DWORD inheritAfterUnlock(const ObjectName& object, const UnlockedFolder& folder) override
    {
        DWORD error = ERROR_SUCCESS;
        const OpenEntry* entry = entryOf(object, &error);
        if (entry == nullptr)
            return error;
        const HANDLE handle = entry->handle->get();
        std::vector<BYTE> dacl;
        DaclForm form;
        if (!createdAfter(handle, folder.lockTime))
            return kErrorNoWriteRecord;
        error = daclBytesOf(handle, &dacl, &form);
        if (error != ERROR_SUCCESS)
            return error;
        if (dacl.empty() || !inheritRestoredMasks(folder.lockedDacl, folder.restoredDacl, &dacl))
            return kErrorNoWriteRecord;
        return writeDaclBytes(handle, dacl, form);
    }

    std::string privilegeProblem() override
    {
        return privileged ? std::string()
                          : "SeBackupPrivilege and SeRestorePrivilege are not held: an entry "
                            "whose DACL leaves out this account can be neither read nor changed";
    }

private:
    // Records of files gone from a configured folder's volume are pruned
    // before anything on it is read: its own security is read first.
    void pruneOnFirstSight(const ObjectName& object)
    {
        if (object.isFolderItself() && object.folder()->configured)
            records.pruneGoneFiles(object.folder()->open);
    }

    RecordStore records;
    const bool privileged;
    const ConfiguredFolders configured;
};

} // namespace

std::unique_ptr<SecurityApi> openSystemSecurityApi(const BackendSettings& settings)
{
    const bool privileged = enableBackupPrivileges();
    return std::make_unique<WindowsSecurityApi>(privileged, settings.configuredFolders);
}

} // namespace winsec
