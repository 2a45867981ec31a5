// The security operations on POSIX ACLs. A path's security reads as one
// self-relative descriptor: owner S-1-22-1-uid, group S-1-22-2-gid, and a
// DACL of ACCESS_ALLOWED ACEs, one per POSIX ACL entry (PosixAcl.h has the
// mapping). Writing takes such a DACL back, in either descriptor form.
// Objects are reached as FileSecurity.h says; every buffer belongs to one
// call, so calls on different objects may run on different threads at once.
// Errors are errno values:
// getNamedSecurityInfo returns them, setFileSecurity leaves one in errno.
// Besides the refusals of Refusals.h: EINVAL for a bad argument or a DACL no
// POSIX ACL can say, ENOTDIR for default entries on a file, EOVERFLOW for
// ACLs too large for a DACL. The record operations return errno values too.
#include "posixacl/AclMemory.h"
#include "posixacl/FileSecurity.h"
#include "posixacl/RecordStore.h"
#include "posixacl/Refusals.h"
#include "winsec/SecurityApi.h"

#include <cerrno>
#include <cstring>

namespace winsec {

const DWORD kErrorNoWriteRecord = ENODATA;
const DWORD kErrorWriteRecordsUnsupported = EOPNOTSUPP;
const DWORD kErrorNoRoomForWriteRecord = ENOSPC;

namespace {

constexpr SECURITY_INFORMATION kReadableInformation =
    kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation;

template <typename T>
void setIfWanted(T* receiver, T value)
{
    if (receiver != nullptr)
        *receiver = value;
}

const std::vector<BYTE>* ifWanted(SECURITY_INFORMATION info, SECURITY_INFORMATION part,
                                  const std::vector<BYTE>& bytes)
{
    return (info & part) != 0 ? &bytes : nullptr;
}

DWORD describe(const posixacl::FileSecurity& security, SECURITY_INFORMATION info, PSID* owner,
               PSID* group, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor)
{
    // The block below holds copies of these.
    std::vector<BYTE> ownerSid;
    std::vector<BYTE> groupSid;
    std::vector<BYTE> daclBytes;
    posixacl::sidOf({posixacl::kUser, 0, security.owner}, &ownerSid);
    posixacl::sidOf({posixacl::kGroup, 0, security.group}, &groupSid);
    if (!posixacl::daclFromAcls(security.acls, &daclBytes))
        return EOVERFLOW;
    PSECURITY_DESCRIPTOR block = aclmemory::newSelfRelativeDescriptor(
        ifWanted(info, kOwnerSecurityInformation, ownerSid),
        ifWanted(info, kGroupSecurityInformation, groupSid),
        ifWanted(info, kDaclSecurityInformation, daclBytes));
    if (block == nullptr)
        return ENOMEM;
    aclmemory::DescriptorParts parts{};
    aclmemory::readDescriptorParts(block, &parts);
    setIfWanted(owner, parts.owner);
    setIfWanted(group, parts.group);
    setIfWanted(dacl, parts.dacl);
    *descriptor = block;
    return kErrorSuccess;
}

// The ACLs a descriptor's DACL stands for. A null or absent DACL stands for
// none: it would grant everything, which no POSIX ACL can say.
bool aclsOfDescriptor(PSECURITY_DESCRIPTOR descriptor, posixacl::PosixAcls* acls)
{
    aclmemory::DescriptorParts parts{};
    if (!aclmemory::readDescriptorParts(descriptor, &parts) ||
        (parts.control & kSeDaclPresent) == 0 || parts.dacl == nullptr)
        return false;
    WORD aclSize = 0;
    std::memcpy(&aclSize, reinterpret_cast<const BYTE*>(parts.dacl) + offsetof(ACL, AclSize),
                sizeof aclSize);
    return posixacl::aclsFromDacl(reinterpret_cast<const BYTE*>(parts.dacl), aclSize, acls);
}

class PosixSecurityApi final : public SecurityApi {
public:
    explicit PosixSecurityApi(const std::string& stateFolder) : state(stateFolder)
    {
        state.records.open();
    }

    DWORD getNamedSecurityInfo(const ObjectName& object, SE_OBJECT_TYPE objectType,
                               SECURITY_INFORMATION info, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor) override
    {
        if (descriptor == nullptr || objectType != SE_FILE_OBJECT ||
            (info & ~kReadableInformation) != 0)
            return EINVAL;
        posixacl::FileSecurity security{};
        const int error = posixacl::readFileSecurity(object, state, &security);
        if (error != 0)
            return static_cast<DWORD>(error);
        setIfWanted<PACL>(sacl, nullptr);
        return describe(security, info, owner, group, dacl, descriptor);
    }

    HLOCAL localAlloc(UINT flags, SIZE_T bytes) override
    {
        return aclmemory::allocate(flags, bytes);
    }

    BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) override
    {
        return aclmemory::initializeSecurityDescriptor(descriptor, revision);
    }

    BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                   LPBOOL defaulted) override
    {
        return aclmemory::getSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
    }

    BOOL getAclInformation(PACL acl, LPVOID information, DWORD length,
                           ACL_INFORMATION_CLASS informationClass) override
    {
        return aclmemory::getAclInformation(acl, information, length, informationClass);
    }

    DWORD getLengthSid(PSID sid) override { return aclmemory::getLengthSid(sid); }

    BOOL initializeAcl(PACL acl, DWORD length, DWORD revision) override
    {
        return aclmemory::initializeAcl(acl, length, revision);
    }

    BOOL getAce(PACL acl, DWORD index, LPVOID* ace) override
    {
        return aclmemory::getAce(acl, index, ace);
    }

    BOOL addAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList,
                DWORD length) override
    {
        return aclmemory::addAce(acl, revision, startIndex, aceList, length);
    }

    BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                   BOOL defaulted) override
    {
        return aclmemory::setSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
    }

    // Only the DACL can be written: owner and group are never changed.
    BOOL setFileSecurity(const ObjectName& object, SECURITY_INFORMATION info,
                         PSECURITY_DESCRIPTOR descriptor) override
    {
        posixacl::PosixAcls acls;
        if (info != kDaclSecurityInformation || !aclsOfDescriptor(descriptor, &acls)) {
            errno = EINVAL;
            return aclmemory::kFalse;
        }
        const int error = posixacl::writeFileAcls(object, state, acls);
        errno = error;
        return error == 0 ? aclmemory::kTrue : aclmemory::kFalse;
    }

    HLOCAL localFree(HLOCAL memory) override { return aclmemory::release(memory); }

    DWORD storeWriteRecord(const ObjectName& object, const std::vector<BYTE>& record) override
    {
        return static_cast<DWORD>(posixacl::storeWriteRecord(object, state, record));
    }

    DWORD readWriteRecord(const ObjectName& object, std::vector<BYTE>* record) override
    {
        return static_cast<DWORD>(posixacl::readWriteRecord(object, state, record));
    }

    bool takesLockShortcuts() const override { return true; }

    bool createWriteRecord(const ObjectName& object, const std::vector<BYTE>& record) override
    {
        return posixacl::createWriteRecord(object, state, record);
    }

    DWORD removeWriteRecord(const ObjectName& object) override
    {
        return static_cast<DWORD>(posixacl::removeWriteRecord(object, state));
    }

    DWORD identifyObject(const ObjectName& object, std::vector<BYTE>* identity) override
    {
        return static_cast<DWORD>(posixacl::identityOf(object, state, identity));
    }

    DWORD inheritAfterUnlock(const ObjectName& object, const UnlockedFolder& folder) override
    {
        return static_cast<DWORD>(posixacl::inheritAfterUnlock(object, state, folder));
    }
    std::string recordKeepingProblem() override { return state.records.problem(); }

private:
    posixacl::BackendState state;
};

} // namespace

std::unique_ptr<SecurityApi> openSystemSecurityApi(const BackendSettings& settings)
{
    return std::make_unique<PosixSecurityApi>(settings.stateFolder);
}

} // namespace winsec
