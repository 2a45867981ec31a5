#include "winsec/DaclRewrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace winsec {

namespace {

constexpr WORD kEveryoneAceSize = kAceWithMaskSize + sizeof kEveryoneSid;

ACCESS_MASK clearWriteData(ACCESS_MASK mask)
{
    return mask & ~kFileWriteData;
}

ACCESS_MASK giveBackWriteData(ACCESS_MASK mask)
{
    return mask | kFileWriteData;
}

// Only allow ACEs are locked: clearing 0x2 in a deny ACE would grant it.
bool isAllowType(BYTE type)
{
    return type == kAccessAllowedAceType || type == kAccessAllowedObjectAceType ||
           type == kAccessAllowedCallbackAceType || type == kAccessAllowedCallbackObjectAceType;
}

// A mask holding GENERIC_WRITE or GENERIC_ALL holds 0x2 only through them:
// it is mapped the way the file system maps it before 0x2 can be cleared.
ACCESS_MASK expandedForLock(ACCESS_MASK mask)
{
    if ((mask & (kGenericWrite | kGenericAll)) == 0)
        return mask;
    const ACCESS_MASK generic = kGenericRead | kGenericWrite | kGenericExecute | kGenericAll;
    ACCESS_MASK mapped = mask & ~generic;
    if ((mask & kGenericRead) != 0)
        mapped |= kFileGenericRead;
    if ((mask & kGenericWrite) != 0)
        mapped |= kFileGenericWrite;
    if ((mask & kGenericExecute) != 0)
        mapped |= kFileGenericExecute;
    if ((mask & kGenericAll) != 0)
        mapped |= kFileAllAccess;
    return mapped;
}

// The mask sits right behind the header in every ACE type; copied byte-wise
// because nothing promises its alignment.
ACCESS_MASK readMask(const BYTE* ace)
{
    ACCESS_MASK mask;
    std::memcpy(&mask, ace + kAceHeaderSize, sizeof mask);
    return mask;
}

void writeMask(BYTE* ace, ACCESS_MASK mask)
{
    std::memcpy(ace + kAceHeaderSize, &mask, sizeof mask);
}

// Whether an ACE of `acl` is inherited by new files or folders.
bool hasInheritableAce(const ACL* acl)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(acl);
    std::size_t at = sizeof(ACL);
    for (WORD index = 0; index < acl->AceCount && at + kAceHeaderSize <= acl->AclSize; ++index) {
        ACE_HEADER header;
        std::memcpy(&header, bytes + at, sizeof header);
        if ((header.AceFlags & (kObjectInheritAce | kContainerInheritAce)) != 0)
            return true;
        if (header.AceSize == 0)
            return false;
        at += header.AceSize;
    }
    return false;
}

} // namespace

const AceRule lockRule = {clearWriteData, true};
const AceRule unlockRule = {giveBackWriteData, false};

DaclRewrite::DaclRewrite(SecurityApi& api, const ObjectName& object, const AceRule& rule,
                         const RecordOwner& owner)
    : api(api), object(object), rule(rule), lockOwner(owner)
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

// The error is read at once: anything called after the failed operation
// may leave another.
template <typename Call>
bool DaclRewrite::attempt(RewriteStep step, Call call)
{
    clearSystemError();
    if (call())
        return true;
    fail(step, lastSystemError());
    return false;
}

// A DACL that may have lost an entry, or a descriptor without the new DACL,
// is never written: it would grant or deny what the old one did not. Lock
// stores its record before the DACL, unlock removes it only after: a run
// that stops in between leaves what the next run of either kind completes.
RewriteResult DaclRewrite::run()
{
    try {
        result.done = runSteps();
    } catch (...) {
        result.done = false;
        result.exception = std::current_exception();
    }
    return std::move(result);
}

bool DaclRewrite::runSteps()
{
    shortcuts = rule.locks && api.takesLockShortcuts();
    if (!readSecurity() || (!shortcuts && !readRecord()))
        return false;
    if (!rule.locks && !hasRecord) {
        result.withoutRecord = true;
        result.unrecordedLocked = looksLocked();
        return true;
    }
    if (!rule.locks && foreign) {
        result.foreignRecord = true;
        return true;
    }
    createDescriptor();
    takeDacl();
    const bool pathIsOpen = daclTaken && (!daclPresent || dacl == nullptr);
    if (pathIsOpen && !rule.locks)
        return true;
    const ACL_SIZE_INFORMATION size = querySize();
    keepLockedDacl();
    createDacl(size);
    if (pathIsOpen)
        addOpenPathAce();
    else if (daclPresent && size.AceCount != 0)
        copyAces(size.AceCount);
    if (newDescriptor == nullptr || !attachDacl() || !daclTaken || !copyComplete)
        return failBeforeRecord();
    if (shortcuts)
        return lockByShortcut();
    if (!storeRecord() || !write())
        return false;
    noteUnlockedFolder();
    return removeRecord();
}

// A lock whose record was not read yet fails as one that read it first: a
// record that cannot be read is then the only failure.
bool DaclRewrite::failBeforeRecord()
{
    if (!shortcuts)
        return false;
    std::vector<FailedStep> failedBefore;
    failedBefore.swap(result.failedSteps);
    if (readRecord())
        result.failedSteps.insert(result.failedSteps.begin(), failedBefore.begin(),
                                  failedBefore.end());
    return false;
}

// Where some ACE gives write, the record is most likely new: created
// unread, it costs no read. Else it is most likely this lock's own, read
// as without the shortcut. The DACL is written even where it does not
// change: a write the system refuses (an immutable file, a read-only
// mount) is a failure this lock reports.
bool DaclRewrite::lockByShortcut()
{
    if (daclChanged && api.createWriteRecord(object, encodeWriteRecord(lockOwner, takenItems())))
        return write();
    return readRecord() && storeRecord() && write();
}

// Only a DACL that gives new entries anything matters to them: a folder
// with inheritable ACEs. Kept before the copy changes the ACEs it reads.
void DaclRewrite::keepLockedDacl()
{
    if (rule.locks || !daclTaken || dacl == nullptr || !hasInheritableAce(dacl))
        return;
    const auto* locked = reinterpret_cast<const BYTE*>(dacl);
    lockedDacl.assign(locked, locked + dacl->AclSize);
}

void DaclRewrite::noteUnlockedFolder()
{
    if (lockedDacl.empty() || newDacl == nullptr)
        return;
    auto folder = std::make_shared<UnlockedFolder>();
    folder->lockTime = recordOwner.lockTime;
    folder->lockedDacl = std::move(lockedDacl);
    const auto* restored = reinterpret_cast<const BYTE*>(newDacl);
    folder->restoredDacl.assign(restored, restored + newDacl->AclSize);
    result.unlockedFolder = std::move(folder);
}



bool DaclRewrite::readSecurity()
{
    const SECURITY_INFORMATION wanted =
        kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation;
    const DWORD error = api.getNamedSecurityInfo(object, SE_FILE_OBJECT, wanted, &owner, &group,
                                                 &dacl, &sacl, &readDescriptor);
    if (error == kErrorSuccess)
        return true;
    fail(RewriteStep::ReadSecurity, error);
    return false;
}

// A malformed record, or one of another version, counts as none. So does,
// for the lock alone, a record kept where it cannot be read now: taking
// write away is always safe, and the record stays there for the unlock,
// which refuses to guess without it.
bool DaclRewrite::readRecord()
{
    const DWORD error = api.readWriteRecord(object, &recordRead);
    std::vector<AceItem> items;
    if (error == kErrorSuccess)
        hasRecord = parseWriteRecord(recordRead.data(), recordRead.size(), &recordOwner, &items);
    for (AceItem& item : items) {
        Recorded recorded{AceItem(), std::move(item), 0, false};
        recorded.identity = identityOfItem(recorded.item, &recorded.maskBefore, &recorded.keepsMask);
        recordedItems.push_back(std::move(recorded));
    }
    foreign = hasRecord && recordOwner.folder != lockOwner.folder;
    if (error == kErrorSuccess || error == kErrorNoWriteRecord ||
        (rule.locks && error == kErrorWriteRecordsUnsupported))
        return true;
    fail(RewriteStep::ReadRecord, error);
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
        if (header.AceSize < kAceWithMaskSize)
            return false;
        if (isAllowType(header.AceType) &&
            (expandedForLock(readMask(static_cast<const BYTE*>(ace))) & kFileWriteData) != 0)
            return false;
    }
    return true;
}

void DaclRewrite::createDescriptor()
{
    if (attempt(RewriteStep::AllocDescriptor, [this] {
            newDescriptor = api.localAlloc(kLptr, kSecurityDescriptorMinLength);
            return newDescriptor != nullptr;
        }))
        attempt(RewriteStep::InitDescriptor, [this] {
            return api.initializeSecurityDescriptor(newDescriptor, kSecurityDescriptorRevision);
        });
}

void DaclRewrite::takeDacl()
{
    BOOL present = 0;
    BOOL defaulted = 0;
    PACL taken = nullptr;
    daclTaken = attempt(RewriteStep::TakeDacl, [&] {
        return api.getSecurityDescriptorDacl(readDescriptor, &present, &taken, &defaulted);
    });
    if (!daclTaken)
        return;
    daclPresent = present;
    dacl = taken;
}

ACL_SIZE_INFORMATION DaclRewrite::querySize()
{
    ACL_SIZE_INFORMATION size = {0, sizeof(ACL), 0};
    if (dacl != nullptr && !attempt(RewriteStep::QuerySize, [&] {
            return api.getAclInformation(dacl, &size, sizeof size, AclSizeInformation);
        }))
        copyComplete = false;
    return size;
}

// The new DACL has room for every byte in use plus 2 x (owner SID) + 16.
void DaclRewrite::createDacl(const ACL_SIZE_INFORMATION& size)
{
    const DWORD ownerLength = owner != nullptr ? api.getLengthSid(owner) : 0;
    const DWORD bytes = size.AclBytesInUse + 2 * ownerLength + 16;
    if (daclPresent && dacl != nullptr && dacl->AclRevision > kAclRevision)
        aclRevision = dacl->AclRevision;
    if (!attempt(RewriteStep::AllocDacl, [&] {
            newDacl = static_cast<PACL>(api.localAlloc(kLptr, bytes));
            return newDacl != nullptr;
        }))
        return;
    if (!attempt(RewriteStep::InitDacl,
                 [&] { return api.initializeAcl(newDacl, bytes, aclRevision); }))
        copyComplete = false;
}

void DaclRewrite::copyAces(DWORD count)
{
    firstItems.reserve(count);
    if (rule.locks)
        copiedItems.reserve(count);
    for (DWORD index = 0; index < count; ++index)
        copyAce(index);
}

void DaclRewrite::copyAce(DWORD index)
{
    LPVOID ace = nullptr;
    if (!attempt(RewriteStep::GetAce, [&] { return api.getAce(dacl, index, &ace); })) {
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
    std::memcpy(ace + kAceWithMaskSize, kEveryoneSid, sizeof kEveryoneSid);
    writeMask(ace, rewrittenMask(ace, kEveryoneAceSize, kFileAllAccess));
    append(ace, kEveryoneAceSize);
}

// Lock changes allow ACEs alone, noting each with its mask before; what it
// records of them is settled once the record is read (takenItems). Unlock
// changes the ACEs the record names, whatever their type (a deny ACE named
// by an older record gets its 0x2 back).
ACCESS_MASK DaclRewrite::rewrittenMask(const BYTE* ace, WORD size, ACCESS_MASK mask)
{
    const AceItem item = nextItem(ace, size);
    if (!rule.locks) {
        const Recorded* recorded = recordOf(item);
        return recorded != nullptr ? givenBack(*recorded, mask) : mask;
    }
    if (!isAllowType(ace[0]))
        return mask;
    const ACCESS_MASK locked = rule.apply(expandedForLock(mask));
    copiedItems.push_back(CopiedItem{item, mask});
    daclChanged = daclChanged || locked != mask;
    return locked;
}

// An ACE whose mask before the lock was kept gets it back only when it
// still holds exactly the mask the lock wrote: anything else was changed
// since, by someone who meant it.
ACCESS_MASK DaclRewrite::givenBack(const Recorded& recorded, ACCESS_MASK mask) const
{
    if (!recorded.keepsMask)
        return rule.apply(mask);
    const bool asLocked = mask == clearWriteData(expandedForLock(recorded.maskBefore));
    return asLocked ? recorded.maskBefore : mask;
}

// What the lock records, in DACL order: an allow ACE that held 0x2, or
// that the record already named (a second lock must not forget what the
// first one took); one whose generic rights it expanded keeps its mask
// before.
std::vector<AceItem> DaclRewrite::takenItems() const
{
    std::vector<AceItem> taken;
    taken.reserve(copiedItems.size());
    for (const CopiedItem& copied : copiedItems) {
        const Recorded* recorded = recordOf(copied.item);
        if (expandedForLock(copied.mask) != copied.mask)
            taken.push_back(withMaskBefore(copied.item, copied.mask));
        else if (recorded != nullptr)
            taken.push_back(recorded->item);
        else if ((copied.mask & kFileWriteData) != 0)
            taken.push_back(copied.item);
    }
    return taken;
}

// The record this lock keeps: a record of its own keeps its first lock time.
std::vector<BYTE> DaclRewrite::ownRecord() const
{
    return encodeWriteRecord(
        hasRecord ? RecordOwner{lockOwner.folder, recordOwner.lockTime} : lockOwner, takenItems());
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

const DaclRewrite::Recorded* DaclRewrite::recordOf(const AceItem& item) const
{
    if (!hasRecord)
        return nullptr;
    const auto found = std::find_if(recordedItems.begin(), recordedItems.end(),
                                    [&](const Recorded& recorded) { return recorded.identity == item; });
    return found != recordedItems.end() ? &*found : nullptr;
}

void DaclRewrite::append(LPVOID ace, WORD size)
{
    if (newDacl == nullptr)
        return;
    if (!attempt(RewriteStep::AddAce,
                 [&] { return api.addAce(newDacl, aclRevision, kMaxDword, ace, size); }))
        copyComplete = false;
}

bool DaclRewrite::attachDacl()
{
    if (newDacl == nullptr)
        return false;
    return attempt(RewriteStep::AttachDacl,
                   [this] { return api.setSecurityDescriptorDacl(newDescriptor, 1, newDacl, 0); });
}

// Unchanged, the record is not written again. Where none can be kept, the
// lock still goes on: taking write away is always safe.
bool DaclRewrite::storeRecord()
{
    if (!rule.locks || foreign)
        return true;
    const std::vector<BYTE> record = ownRecord();
    if (hasRecord && record == recordRead)
        return true;
    const DWORD error = api.storeWriteRecord(object, record);
    if (error == kErrorWriteRecordsUnsupported || error == kErrorNoRoomForWriteRecord)
        fail(RewriteStep::RecordNotKept, error);
    else if (error != kErrorSuccess) {
        fail(RewriteStep::StoreRecord, error);
        return false;
    }
    return true;
}

bool DaclRewrite::write()
{
    return attempt(RewriteStep::WriteDacl, [this] {
        return api.setFileSecurity(object, kDaclSecurityInformation, newDescriptor);
    });
}

// Only once the DACL it describes is written: until then a rerun needs it.
// Left behind, a second lock would take it for what the first one took.
bool DaclRewrite::removeRecord()
{
    if (rule.locks)
        return true;
    const DWORD error = api.removeWriteRecord(object);
    if (error == kErrorSuccess)
        return true;
    fail(RewriteStep::RemoveRecord, error);
    return false;
}

void DaclRewrite::fail(RewriteStep step, DWORD error)
{
    result.failedSteps.push_back(FailedStep{step, error});
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
