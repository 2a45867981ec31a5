#include "winsec/DaclRewrite.h"

#include <algorithm>
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
    return mask | kFileWriteData;
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
// is never written: it would grant or deny what the old one did not. Lock
// stores its record before the DACL, unlock removes it only after: a run
// that stops in between leaves what the next run of either kind completes.
bool DaclRewrite::run()
{
    if (!readSecurity() || !readRecord())
        return false;
    if (!rule.locks && !hasRecord) {
        report.leftWithoutRecord(looksLocked());
        return true;
    }
    createDescriptor();
    takeDacl();
    const bool pathIsOpen = daclTaken && (!daclPresent || dacl == nullptr);
    if (pathIsOpen && !rule.locks)
        return true;
    const ACL_SIZE_INFORMATION size = querySize();
    createDacl(size);
    if (pathIsOpen)
        addOpenPathAce();
    else if (daclPresent && size.AceCount != 0)
        copyAces(size.AceCount);
    if (newDescriptor == nullptr || !attachDacl() || !daclTaken || !copyComplete)
        return false;
    return storeRecord() && write() && removeRecord();
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

// A malformed record, one of another version, or one an earlier build
// marked as given back, counts as none.
bool DaclRewrite::readRecord()
{
    const DWORD error = api.readWriteRecord(path, &recordRead);
    bool givenBack = false;
    if (error == kErrorSuccess)
        hasRecord = parseWriteRecord(recordRead.data(), recordRead.size(), &recordedItems,
                                     &givenBack) &&
                    !givenBack;
    if (error == kErrorSuccess || error == kErrorNoWriteRecord)
        return true;
    fail("Getting Security Information Failed for ");
    return false;
}

// For the administrator's note only: a step that fails here just means no.
bool DaclRewrite::looksLocked() const
{
    ACL_SIZE_INFORMATION size = {0, sizeof(ACL), 0};
    if (dacl == nullptr || !api.getAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return false;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        ACE_HEADER header;
        if (!api.getAce(dacl, index, &ace))
            return false;
        std::memcpy(&header, ace, sizeof header);
        if (header.AceSize < kAceWithMaskSize ||
            (readMask(static_cast<const BYTE*>(ace)) & kFileWriteData) != 0)
            return false;
    }
    return true;
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
    firstItems.reserve(count);
    if (rule.locks)
        takenItems.reserve(count);
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
        writeMask(bytes, rewrittenMask(bytes, header.AceSize, readMask(bytes)));
    append(ace, header.AceSize);
}

// Stands for the DACL-less state (everything granted to everyone) with the
// rule applied, so that the path stays usable and a later unlock restores it.
void DaclRewrite::addOpenPathAce()
{
    alignas(4) BYTE ace[kEveryoneAceSize] = {kAccessAllowedAceType, 0, kEveryoneAceSize, 0};
    const BYTE everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; // S-1-1-0
    std::memcpy(ace + kAceWithMaskSize, everyone, sizeof everyone);
    writeMask(ace, rewrittenMask(ace, kEveryoneAceSize, kFileAllAccess));
    append(ace, kEveryoneAceSize);
}

// Lock records the ACE when it held 0x2, or when the record already named
// it (a second lock must not forget what the first one took).
ACCESS_MASK DaclRewrite::rewrittenMask(const BYTE* ace, WORD size, ACCESS_MASK mask)
{
    const AceItem item = nextItem(ace, size);
    const bool recorded = isRecorded(item);
    if (!rule.locks)
        return recorded ? rule.apply(mask) : mask;
    if ((mask & kFileWriteData) != 0 || recorded)
        takenItems.push_back(item);
    return rule.apply(mask);
}

// The item of the next ACE copied: its occurrence is the number of ACEs
// copied before it with the same type, flags and SID.
AceItem DaclRewrite::nextItem(const BYTE* ace, WORD size)
{
    const AceItem first = itemOfAce(ace, size, 0);
    const auto repeats = std::count(firstItems.begin(), firstItems.end(), first);
    firstItems.push_back(first);
    return repeats == 0 ? first : itemOfAce(ace, size, static_cast<WORD>(repeats));
}

bool DaclRewrite::isRecorded(const AceItem& item) const
{
    return hasRecord &&
           std::find(recordedItems.begin(), recordedItems.end(), item) != recordedItems.end();
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

// Unchanged, the record is not written again. Where none can be kept, the
// lock still goes on: taking write away is always safe.
bool DaclRewrite::storeRecord()
{
    if (!rule.locks)
        return true;
    const std::vector<BYTE> record = encodeWriteRecord(takenItems);
    if (hasRecord && record == recordRead)
        return true;
    const DWORD error = api.storeWriteRecord(path, record);
    if (error == kErrorWriteRecordsUnsupported || error == kErrorNoRoomForWriteRecord)
        fail("Storing write record Failed, unlock leaves it locked, for ");
    else if (error != kErrorSuccess) {
        fail("Setting file new security descriptor Failed for ");
        return false;
    }
    return true;
}

bool DaclRewrite::write()
{
    if (api.setFileSecurity(path, kDaclSecurityInformation, newDescriptor))
        return true;
    fail("Setting file new security descriptor Failed for ");
    return false;
}

// Only once the DACL it describes is written: until then a rerun needs it.
// Left behind, a second lock would take it for what the first one took.
bool DaclRewrite::removeRecord()
{
    if (rule.locks || api.removeWriteRecord(path) == kErrorSuccess)
        return true;
    fail("Removing write record Failed for ");
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
