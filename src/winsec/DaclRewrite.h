// Rewrites the DACL of one path so that only bit 0x2 (write data / add file)
// of the access masks differs, through the security operations of
// securityApi(). Each failed step is reported with its message text; the
// caller adds the head and the path, logs it and records the failure.
//
// What a failed step reports, and what still runs after it. Nothing is ever
// written once any step has failed: a DACL that may lack an entry would grant
// or deny what the old one did not.
//   step                         text ("... for <path>")                     then
//   1 getNamedSecurityInfo       Getting Security Information Failed          stop
//   1b readWriteRecord           Getting Security Information Failed          stop
//   2 localAlloc (descriptor)    Alloc new security descriptor failed         3-10, stop
//   3 initializeSecurityDescr.   Creating new security descriptor failed      4-10, stop
//   4 getSecurityDescriptorDacl  Getting DACL from security descriptor failed 5-10, stop
//   5 getAclInformation          Getting ACL size information Failed          6-10, stop
//   6 localAlloc (DACL)          Alloc new ACL failed                         8, stop
//   7 initializeAcl              Initializing new DACL Failed                 8-10, stop
//   8 getAce (each ACE)          Getting ACE Failed                           next ACE, 10, stop
//   9 addAce (each ACE)          Adding ACE to new ACL Failed                 next ACE, 10, stop
//  10 setSecurityDescriptorDacl  Setting new security descriptor to new ACL Failed  stop
//  10b storeWriteRecord (lock)   Setting file new security descriptor Failed  stop
//  11 setFileSecurity            Setting file new security descriptor Failed  stop
//  12 removeWriteRecord (unlock) Removing write record Failed                 -
// Unlock of a path without a record stops after step 1b, changing nothing:
// only a record says what a lock took, and anything else could grant what
// was never held. Step 10b where no record can be kept anywhere is no
// failure of the lock (taking write away is always safe): the text "Storing
// write record Failed, unlock leaves it locked, for " is reported, an older
// record stays (it names less than this lock took, never more), and the lock
// goes on. Step 12 runs only once the DACL it describes is written: until
// then a rerun needs the record.
// Every block is released exactly once by the destructor, whatever failed.
#ifndef TOLVANE_DACL_REWRITE_H
#define TOLVANE_DACL_REWRITE_H

#include "winsec/SecurityApi.h"
#include "winsec/WriteRecord.h"

#include <string>
#include <vector>

namespace winsec {

struct AceRule {
    // The mask of an ACE the rule acts on: under lock every ACE, under
    // unlock those the path's record names.
    ACCESS_MASK (*apply)(ACCESS_MASK mask);
    // Lock: records which ACEs held 0x2 before the DACL is written, and
    // gives a path without any DACL (open to everyone) a written one: an
    // Everyone entry with all file rights, the rule applied. Else unlock.
    bool locks;
};

// Clears bit 0x2 everywhere, recording where it was.
extern const AceRule lockRule;
// Sets bit 0x2 on exactly the ACEs the record names that are still there.
extern const AceRule unlockRule;

// Receives the message text of each failed step.
class FailureReport {
public:
    virtual void failed(const char* text) = 0;
    // Unlock left the path as it was, having no record of it; `looksLocked`
    // when no ACE of its DACL holds 0x2.
    virtual void leftWithoutRecord(bool looksLocked) = 0;

protected:
    ~FailureReport() = default;
};

class DaclRewrite {
public:
    DaclRewrite(const std::string& path, const AceRule& rule, FailureReport& report);
    ~DaclRewrite();
    DaclRewrite(const DaclRewrite&) = delete;
    DaclRewrite& operator=(const DaclRewrite&) = delete;

    // True only when the new DACL was written, or when unlocking a path
    // that has no DACL and so already grants everything.
    bool run();

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
    ACCESS_MASK rewrittenMask(const BYTE* ace, WORD size, ACCESS_MASK mask);
    AceItem nextItem(const BYTE* ace, WORD size);
    bool isRecorded(const AceItem& item) const;
    void append(LPVOID ace, WORD size);
    bool attachDacl();
    bool storeRecord();
    bool write();
    bool removeRecord();
    void fail(const char* text);
    void releaseAll();
    template <typename Block>
    void release(Block*& block);

    const std::string& path;
    const AceRule& rule;
    FailureReport& report;
    SecurityApi& api;

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

    // The path's record as read, parsed when it is well formed.
    std::vector<BYTE> recordRead;
    std::vector<AceItem> recordedItems;
    bool hasRecord = false;
    // Items of the ACEs copied so far with occurrence 0, to count repeats.
    std::vector<AceItem> firstItems;
    // Lock: the items of the new record, in DACL order.
    std::vector<AceItem> takenItems;
};

} // namespace winsec

#endif
