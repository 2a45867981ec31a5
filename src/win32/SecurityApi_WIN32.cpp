// The security operations as the Windows calls themselves, on handles. An
// object's path names the handle the walk opened for it
// (winsec/PathHandles_WIN32.h);
// the DACL is read and written on that one handle, so the read and the
// write cannot reach two different files, and written with
// SetKernelObjectSecurity, which changes that object alone: nothing is
// propagated to what lies below a folder. The handle was opened with backup
// intent, so an entry whose DACL leaves out SYSTEM is still read and written.
//
// The record of what -lock took is kept per file (winsec/RecordStore_WIN32.h)
// under the identity read from the same handle.
#include "winsec/SecurityApi.h"

#include "win32/DaclForm_WIN32.h"
#include "win32/PathHandles_WIN32.h"
#include "win32/RecordStore_WIN32.h"

namespace winsec {

const DWORD kErrorNoWriteRecord = ERROR_FILE_NOT_FOUND;
const DWORD kErrorWriteRecordsUnsupported = ERROR_NOT_SUPPORTED;
const DWORD kErrorNoRoomForWriteRecord = ERROR_DISK_FULL;

namespace {

// The entry whose security this thread read last, and the form of its DACL:
// the write and the record that follow for the same path use them.
struct LastRead {
    std::string path;
    OpenEntry entry;
    DaclForm form;
};

thread_local LastRead lastRead;

const OpenEntry& entryFor(const std::string& path)
{
    if (lastRead.path != path || lastRead.entry.handle == nullptr)
        lastRead = LastRead{path, entryAt(path), DaclForm{}};
    return lastRead.entry;
}

class WindowsSecurityApi final : public SecurityApi {
public:
    DWORD getNamedSecurityInfo(const ObjectName& object, SE_OBJECT_TYPE objectType,
                               SECURITY_INFORMATION info, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor) override
    {
        const std::string path = object.path();
        lastRead = LastRead{path, entryAt(path), DaclForm{}};
        if (lastRead.entry.handle == nullptr)
            return lastRead.entry.openError;
        const DWORD error = GetSecurityInfo(lastRead.entry.handle->get(), objectType, info, owner,
                                            group, dacl, sacl, descriptor);
        if (error == ERROR_SUCCESS)
            lastRead.form = daclFormOf(*descriptor);
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
        const std::string path = object.path();
        const OpenEntry& entry = entryFor(path);
        if (entry.handle == nullptr) {
            SetLastError(entry.openError);
            return FALSE;
        }
        if (lastRead.form.aclRevision != 0 && !giveDaclForm(lastRead.form, descriptor))
            return FALSE;
        return SetKernelObjectSecurity(entry.handle->get(), info, descriptor);
    }

    HLOCAL localFree(HLOCAL memory) override { return LocalFree(memory); }

    DWORD storeWriteRecord(const ObjectName& object, const std::vector<BYTE>& record) override
    {
        const std::string path = object.path();
        return storeRecord(entryFor(path), record);
    }

    DWORD readWriteRecord(const ObjectName& object, std::vector<BYTE>* record) override
    {
        const std::string path = object.path();
        return readRecord(entryFor(path), record);
    }

    DWORD removeWriteRecord(const ObjectName& object) override
    {
        const std::string path = object.path();
        return removeRecord(entryFor(path));
    }
};

} // namespace

SecurityApi& systemSecurityApi()
{
    static WindowsSecurityApi api;
    return api;
}

} // namespace winsec
