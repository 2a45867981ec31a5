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
//   2 localAlloc (descriptor)    Alloc new security descriptor failed         3-9, stop
//   3 initializeSecurityDescr.   Creating new security descriptor failed      4-10, stop
//   4 getSecurityDescriptorDacl  Getting DACL from security descriptor failed 5-10, stop
//   5 getAclInformation          Getting ACL size information Failed          6-10, stop
//   6 localAlloc (DACL)          Alloc new ACL failed                         8, stop
//   7 initializeAcl              Initializing new DACL Failed                 8-10, stop
//   8 getAce (each ACE)          Getting ACE Failed                           next ACE, 10, stop
//   9 addAce (each ACE)          Adding ACE to new ACL Failed                 next ACE, 10, stop
//  10 setSecurityDescriptorDacl  Setting new security descriptor to new ACL Failed  stop
//  11 setFileSecurity            Setting file new security descriptor Failed  -
// Every block is released exactly once by the destructor, whatever failed.
#ifndef TOLVANE_DACL_REWRITE_H
#define TOLVANE_DACL_REWRITE_H

#include "winsec/SecurityApi.h"

#include <string>

namespace winsec {

struct AceRule {
    ACCESS_MASK (*apply)(ACCESS_MASK mask);
    // Whether a path without any DACL (open to everyone) gets a written
    // DACL: an Everyone entry with all file rights, the rule applied.
    bool closesOpenPath;
};

// Clears bit 0x2 everywhere.
extern const AceRule lockRule;
// Sets bit 0x2 wherever some other right is held.
extern const AceRule unlockRule;

// Receives the message text of each failed step.
class FailureReport {
public:
    virtual void failed(const char* text) = 0;

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
    void createDescriptor();
    void takeDacl();
    ACL_SIZE_INFORMATION querySize();
    void createDacl(const ACL_SIZE_INFORMATION& size);
    void copyAces(DWORD count);
    void copyAce(DWORD index);
    void addOpenPathAce();
    void append(LPVOID ace, WORD size);
    bool attachDacl();
    bool write();
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
};

} // namespace winsec

#endif
