// Rewrites the DACL of one object so that only bit 0x2 (write data / add
// file) of the access masks of its allow ACEs differs, through the security
// operations it is given; deny and audit ACEs are copied as they are. An
// allow ACE that holds 0x2 through GENERIC_WRITE or GENERIC_ALL has its
// generic rights mapped as the file system maps them first, and its record
// keeps the mask it had, so that unlock writes back the very ACE replaced.
// The new DACL has the revision of the one it replaces. It returns the steps that failed, in order; the caller says what
// each means.
//
// What still runs after a failed step. Nothing is ever written once any step
// has failed: a DACL that may lack an entry would grant or deny what the old
// one did not.
//   step                                          then
//   ReadSecurity     getNamedSecurityInfo         stop
//   ReadRecord       readWriteRecord              stop
//   AllocDescriptor  localAlloc (descriptor)      TakeDacl..AddAce, stop
//   InitDescriptor   initializeSecurityDescriptor TakeDacl..AttachDacl, stop
//   TakeDacl         getSecurityDescriptorDacl    QuerySize..AttachDacl, stop
//   QuerySize        getAclInformation            AllocDacl..AttachDacl, stop
//   AllocDacl        localAlloc (DACL)            GetAce, stop
//   InitDacl         initializeAcl                GetAce..AttachDacl, stop
//   GetAce           getAce (each ACE)            next ACE, AttachDacl, stop
//   AddAce           addAce (each ACE)            next ACE, AttachDacl, stop
//   AttachDacl       setSecurityDescriptorDacl    stop
//   StoreRecord      storeWriteRecord (lock)      stop
//   WriteDacl        setFileSecurity              stop
//   RemoveRecord     removeWriteRecord (unlock)   -
// A backend may let a lock take a shortcut that changes no outcome (see
// SecurityApi::takesLockShortcuts): its ReadRecord then runs just before
// StoreRecord, and only where the record was not created unread.
// Unlock of an object without a record stops after ReadRecord, changing
// nothing: only a record says what a lock took, and anything else could
// grant what was never held. So does unlock of an object whose record
// another configured folder's lock made (reached here through a hard link):
// that lock's own unlock gives it back. A lock keeps such a record as it is,
// and keeps the first lock time of a record of its own. A record kept away
// from the object where nothing can be read now
// (kErrorWriteRecordsUnsupported) fails the unlock's ReadRecord, but the
// lock goes on as for none. A record that can be kept nowhere is no failure
// of the lock (taking write away is always safe): RecordNotKept is reported,
// an older record stays (it names less than this lock took, never more), and
// the lock goes on. RemoveRecord runs only once the DACL it describes is
// written: until then a rerun needs the record.
// Every block is released exactly once by the destructor, whatever failed.
#ifndef TOLVANE_DACL_REWRITE_H
#define TOLVANE_DACL_REWRITE_H

#include "winsec/SecurityApi.h"
#include "winsec/WriteRecord.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace winsec {

struct AceRule {
    // The mask of an ACE the rule acts on: under lock every allow ACE
    // (generic rights mapped first), under unlock those the path's record
    // names.
    ACCESS_MASK (*apply)(ACCESS_MASK mask);
    // Lock: records which ACEs held 0x2 before the DACL is written, and
    // gives a path without any DACL (open to everyone) a written one: an
    // Everyone entry with all file rights, the rule applied. Else unlock.
    bool locks;
};

// Clears bit 0x2 in every allow ACE, recording where it was.
extern const AceRule lockRule;
// Gives 0x2 (or the mask kept) back to exactly the ACEs the record names
// that are still there.
extern const AceRule unlockRule;

enum class RewriteStep : unsigned char {
    ReadSecurity,
    ReadRecord,
    AllocDescriptor,
    InitDescriptor,
    TakeDacl,
    QuerySize,
    AllocDacl,
    InitDacl,
    GetAce,
    AddAce,
    AttachDacl,
    StoreRecord,
    RecordNotKept,
    WriteDacl,
    RemoveRecord,
};

// A step that failed, with the platform's error code for it: what a DWORD
// operation returned, or what the platform left for the thread after one
// that reports failure by its result alone (0 where it left none).
struct FailedStep {
    RewriteStep step;
    DWORD error;
};

struct RewriteResult {
    // The new DACL was written, or unlock found nothing to do: an object
    // without a DACL already grants everything, and one without a record
    // is left as it is.
    bool done = false;
    std::vector<FailedStep> failedSteps; // a step fails once per ACE it fails for
    // Unlock left the object as it was, having no record of it.
    bool withoutRecord = false;
    // ... and no ACE of its DACL holds 0x2.
    bool unrecordedLocked = false;
    // Its record belongs to another configured folder's lock.
    bool foreignRecord = false;
    // Unlock gave back its own record, and its DACL has inheritable ACEs:
    // what the entries made in it while it was locked need.
    std::shared_ptr<const UnlockedFolder> unlockedFolder;
    // What an operation threw; it ended the rewrite, nothing written after.
    std::exception_ptr exception;
};

class DaclRewrite {
public:
    // `owner` is the lock this rewrite belongs to.
    DaclRewrite(SecurityApi& api, const ObjectName& object, const AceRule& rule,
                const RecordOwner& owner);
    // The rewrite keeps the name for all its calls: never a temporary one.
    DaclRewrite(SecurityApi& api, ObjectName&& object, const AceRule& rule,
                const RecordOwner& owner) = delete;
    ~DaclRewrite();
    DaclRewrite(const DaclRewrite&) = delete;
    DaclRewrite& operator=(const DaclRewrite&) = delete;

    RewriteResult run();

private:
    bool readSecurity();
    bool readRecord();
    bool looksLocked() const;
    void createDescriptor();
    void takeDacl();
    ACL_SIZE_INFORMATION querySize();
    void createDacl(const ACL_SIZE_INFORMATION& size);
    void copyAces(DWORD count);
    void copyAce(DWORD index);
    void addOpenPathAce();
    // An item of the record read: the ACE it names, and the mask before the
    // lock where the record keeps one.
    struct Recorded {
        AceItem identity;
        AceItem item;
        ACCESS_MASK maskBefore;
        bool keepsMask;
    };

    ACCESS_MASK rewrittenMask(const BYTE* ace, WORD size, ACCESS_MASK mask);
    ACCESS_MASK givenBack(const Recorded& recorded, ACCESS_MASK mask) const;
    AceItem nextItem(const BYTE* ace, WORD size);
    const Recorded* recordOf(const AceItem& item) const;
    void append(LPVOID ace, WORD size);
    bool attachDacl();
    std::vector<AceItem> takenItems() const;
    std::vector<BYTE> ownRecord() const;
    bool storeRecord();
    bool write();
    bool failBeforeRecord();
    bool lockByShortcut();
    bool removeRecord();
    bool runSteps();
    void keepLockedDacl();
    void noteUnlockedFolder();
    template <typename Call>
    bool attempt(RewriteStep step, Call call);
    void fail(RewriteStep step, DWORD error);
    void releaseAll();
    template <typename Block>
    void release(Block*& block);

    SecurityApi& api;
    const ObjectName& object;
    const AceRule& rule;
    const RecordOwner& lockOwner;
    RewriteResult result;

    PSECURITY_DESCRIPTOR readDescriptor = nullptr;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PACL sacl = nullptr;
    BOOL daclPresent = 0;
    bool daclTaken = false;
    PSECURITY_DESCRIPTOR newDescriptor = nullptr;
    PACL newDacl = nullptr;
    // False as soon as the new DACL may lack an entry of the old one.
    bool copyComplete = true;
    // That of the DACL replaced: object ACEs need ACL_REVISION_DS.
    DWORD aclRevision = kAclRevision;

    // The path's record as read, parsed when it is well formed.
    std::vector<BYTE> recordRead;
    std::vector<Recorded> recordedItems;
    RecordOwner recordOwner;
    bool hasRecord = false;
    bool foreign = false; // the record is another configured folder's
    // Items of the ACEs copied so far with occurrence 0, to count repeats.
    std::vector<AceItem> firstItems;
    // Lock: every allow ACE copied, in DACL order, with its mask before.
    struct CopiedItem {
        AceItem item;
        ACCESS_MASK mask;
    };
    std::vector<CopiedItem> copiedItems;
    // Lock: some ACE loses 0x2, or the open path gets one.
    bool daclChanged = false;
    // Lock through the backend's shortcuts (SecurityApi::takesLockShortcuts).
    bool shortcuts = false;
    // Unlock of a folder whose ACEs new entries inherit: its DACL as locked.
    std::vector<BYTE> lockedDacl;
};

} // namespace winsec

#endif
