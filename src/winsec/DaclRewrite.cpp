#include "winsec/DaclRewrite.h"

#include <cstring>

namespace winsec {

namespace {

constexpr ACCESS_MASK kEverythingButWriteData = 0xFFFFFFFD;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
constexpr WORD kAceWithMaskSize = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
constexpr WORD kEveryoneAceSize = kAceWithMaskSize + 12;

ACCESS_MASK clearWriteData(ACCESS_MASK mask)
{
    return mask & kEverythingButWriteData;
}

ACCESS_MASK giveBackWriteData(ACCESS_MASK mask)
{
    return (mask & kEverythingButWriteData) != 0 ? (mask | kFileWriteData) : mask;
}

// The mask sits right behind the header in every ACE type; copied byte-wise
// because nothing promises its alignment.
ACCESS_MASK readMask(const BYTE* ace)
{
    ACCESS_MASK mask;
    std::memcpy(&mask, ace + sizeof(ACE_HEADER), sizeof mask);
    return mask;
}

void writeMask(BYTE* ace, ACCESS_MASK mask)
{
    std::memcpy(ace + sizeof(ACE_HEADER), &mask, sizeof mask);
}

} // namespace

const AceRule lockRule = {clearWriteData, true};
const AceRule unlockRule = {giveBackWriteData, false};

DaclRewrite::DaclRewrite(const std::string& path, const AceRule& rule, FailureReport& report)
    : path(path), rule(rule), report(report), api(securityApi())
{
}

DaclRewrite::~DaclRewrite()
{
    try {
        releaseAll();
    } catch (...) {
        // Nothing sensible is left to do with a block that cannot be freed.
    }
}

// A DACL that may have lost an entry, or a descriptor without the new DACL,
// is never written: it would grant or deny what the old one did not.
bool DaclRewrite::run()
{
    if (!readSecurity())
        return false;
    createDescriptor();
    takeDacl();
    const bool pathIsOpen = daclTaken && (!daclPresent || dacl == nullptr);
    if (pathIsOpen && !rule.closesOpenPath)
        return true;
    const ACL_SIZE_INFORMATION size = querySize();
    createDacl(size);
    if (pathIsOpen)
        addOpenPathAce();
    else if (daclPresent && size.AceCount != 0)
        copyAces(size.AceCount);
    if (newDescriptor == nullptr || !attachDacl())
        return false;
    return write();
}

bool DaclRewrite::readSecurity()
{
    const SECURITY_INFORMATION wanted =
        kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation;
    if (api.getNamedSecurityInfo(path, SE_FILE_OBJECT, wanted, &owner, &group, &dacl,
                                           &sacl, &readDescriptor) == kErrorSuccess)
        return true;
    fail("Getting Security Information Failed for ");
    return false;
}

void DaclRewrite::createDescriptor()
{
    newDescriptor = api.localAlloc(kLptr, kSecurityDescriptorMinLength);
    if (newDescriptor == nullptr)
        fail("Alloc new security descriptor failed for ");
    else if (!api.initializeSecurityDescriptor(newDescriptor, kSecurityDescriptorRevision))
        fail("Creating new security descriptor failed for ");
}

void DaclRewrite::takeDacl()
{
    BOOL present = 0;
    BOOL defaulted = 0;
    PACL taken = nullptr;
    daclTaken = api.getSecurityDescriptorDacl(readDescriptor, &present, &taken, &defaulted);
    if (!daclTaken) {
        fail("Getting DACL from security descriptor failed for ");
        return;
    }
    daclPresent = present;
    dacl = taken;
}

ACL_SIZE_INFORMATION DaclRewrite::querySize()
{
    ACL_SIZE_INFORMATION size = {0, sizeof(ACL), 0};
    if (dacl != nullptr &&
        !api.getAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        fail("Getting ACL size information Failed for ");
        copyComplete = false;
    }
    return size;
}

// The new DACL has room for every byte in use plus 2 x (owner SID) + 16.
void DaclRewrite::createDacl(const ACL_SIZE_INFORMATION& size)
{
    const DWORD ownerLength = owner != nullptr ? api.getLengthSid(owner) : 0;
    const DWORD bytes = size.AclBytesInUse + 2 * ownerLength + 16;
    newDacl = static_cast<PACL>(api.localAlloc(kLptr, bytes));
    if (newDacl == nullptr) {
        fail("Alloc new ACL failed for ");
        return;
    }
    if (!api.initializeAcl(newDacl, bytes, kAclRevision)) {
        fail("Initializing new DACL Failed for ");
        copyComplete = false;
    }
}

void DaclRewrite::copyAces(DWORD count)
{
    for (DWORD index = 0; index < count; ++index)
        copyAce(index);
}

void DaclRewrite::copyAce(DWORD index)
{
    LPVOID ace = nullptr;
    if (!api.getAce(dacl, index, &ace)) {
        fail("Getting ACE Failed for ");
        copyComplete = false;
        return;
    }
    BYTE* bytes = static_cast<BYTE*>(ace);
    ACE_HEADER header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.AceSize >= kAceWithMaskSize)
        writeMask(bytes, rule.apply(readMask(bytes)));
    append(ace, header.AceSize);
}

// Stands for the DACL-less state (everything granted to everyone) with the
// rule applied, so that the path stays usable and a later unlock restores it.
void DaclRewrite::addOpenPathAce()
{
    alignas(4) BYTE ace[kEveryoneAceSize] = {kAccessAllowedAceType, 0, kEveryoneAceSize, 0};
    const BYTE everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; // S-1-1-0
    writeMask(ace, rule.apply(kFileAllAccess));
    std::memcpy(ace + kAceWithMaskSize, everyone, sizeof everyone);
    append(ace, kEveryoneAceSize);
}

void DaclRewrite::append(LPVOID ace, WORD size)
{
    if (newDacl == nullptr)
        return;
    if (!api.addAce(newDacl, kAclRevision, kMaxDword, ace, size)) {
        fail("Adding ACE to new ACL Failed for ");
        copyComplete = false;
    }
}

bool DaclRewrite::attachDacl()
{
    if (newDacl == nullptr)
        return false;
    if (api.setSecurityDescriptorDacl(newDescriptor, 1, newDacl, 0))
        return true;
    fail("Setting new security descriptor to new ACL Failed for ");
    return false;
}

bool DaclRewrite::write()
{
    if (!daclTaken || !copyComplete)
        return false;
    if (api.setFileSecurity(path, kDaclSecurityInformation, newDescriptor))
        return true;
    fail("Setting file new security descriptor Failed for ");
    return false;
}

void DaclRewrite::fail(const char* text)
{
    report.failed(text);
}

void DaclRewrite::releaseAll()
{
    release(readDescriptor);
    release(newDescriptor);
    release(newDacl);
}

template <typename Block>
void DaclRewrite::release(Block*& block)
{
    if (block != nullptr)
        api.localFree(block);
    block = nullptr;
}

} // namespace winsec
