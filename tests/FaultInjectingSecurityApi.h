// A SecurityApi that passes every call to another one, except the calls it
// was told to break: call N (1-based, counted per operation) of an operation
// fails the way that operation reports failure, or throws. It also keeps
// count of the blocks handed out by getNamedSecurityInfo and localAlloc, so
// that a test can check each one was released exactly once.
#ifndef TOLVANE_FAULT_INJECTING_SECURITY_API_H
#define TOLVANE_FAULT_INJECTING_SECURITY_API_H

#include "winsec/SecurityApi.h"

#include <array>
#include <cstddef>
#include <set>
#include <vector>

namespace testsupport {

enum class SecurityOperation {
    GetNamedSecurityInfo,
    LocalAlloc,
    InitializeSecurityDescriptor,
    GetSecurityDescriptorDacl,
    GetAclInformation,
    GetLengthSid,
    InitializeAcl,
    GetAce,
    AddAce,
    SetSecurityDescriptorDacl,
    SetFileSecurity,
    LocalFree,
    StoreWriteRecord,
    ReadWriteRecord,
    RemoveWriteRecord,
};
constexpr std::size_t kSecurityOperationCount = 15;

enum class Fault {
    // The operation's own failure result: a nonzero error for
    // getNamedSecurityInfo and the record operations, null for localAlloc,
    // 0 for the BOOL operations and getLengthSid, the block itself (not
    // released) for localFree.
    Fail,
    ThrowStdException, // std::runtime_error
    ThrowNonStandard,  // an int
};

// The error getNamedSecurityInfo and the record operations return when told
// to fail.
constexpr winsec::DWORD kInjectedError = 5; // ERROR_ACCESS_DENIED

class FaultInjectingSecurityApi final : public winsec::SecurityApi {
public:
    explicit FaultInjectingSecurityApi(winsec::SecurityApi& real);
    // Releases, through the real implementation, the blocks still live, so
    // that a test about leaks does not leak itself.
    ~FaultInjectingSecurityApi() override;

    void inject(SecurityOperation operation, unsigned callNumber, Fault fault = Fault::Fail);

    unsigned callCount(SecurityOperation operation) const;
    // Blocks handed out and not released yet.
    std::size_t liveBlocks() const { return live.size(); }
    // localFree calls with a block that was not live (released twice, or
    // never handed out); they are not passed on and fail as on Windows.
    unsigned strayReleases() const { return strays; }

    winsec::DWORD getNamedSecurityInfo(const winsec::ObjectName& path, winsec::SE_OBJECT_TYPE objectType,
                                       winsec::SECURITY_INFORMATION info, winsec::PSID* owner,
                                       winsec::PSID* group, winsec::PACL* dacl,
                                       winsec::PACL* sacl,
                                       winsec::PSECURITY_DESCRIPTOR* descriptor) override;
    winsec::HLOCAL localAlloc(winsec::UINT flags, winsec::SIZE_T bytes) override;
    winsec::BOOL initializeSecurityDescriptor(winsec::PSECURITY_DESCRIPTOR descriptor,
                                              winsec::DWORD revision) override;
    winsec::BOOL getSecurityDescriptorDacl(winsec::PSECURITY_DESCRIPTOR descriptor,
                                           winsec::LPBOOL present, winsec::PACL* dacl,
                                           winsec::LPBOOL defaulted) override;
    winsec::BOOL getAclInformation(winsec::PACL acl, winsec::LPVOID information,
                                   winsec::DWORD length,
                                   winsec::ACL_INFORMATION_CLASS informationClass) override;
    winsec::DWORD getLengthSid(winsec::PSID sid) override;
    winsec::BOOL initializeAcl(winsec::PACL acl, winsec::DWORD length,
                               winsec::DWORD revision) override;
    winsec::BOOL getAce(winsec::PACL acl, winsec::DWORD index, winsec::LPVOID* ace) override;
    winsec::BOOL addAce(winsec::PACL acl, winsec::DWORD revision, winsec::DWORD startIndex,
                        winsec::LPVOID aceList, winsec::DWORD length) override;
    winsec::BOOL setSecurityDescriptorDacl(winsec::PSECURITY_DESCRIPTOR descriptor,
                                           winsec::BOOL present, winsec::PACL dacl,
                                           winsec::BOOL defaulted) override;
    winsec::BOOL setFileSecurity(const winsec::ObjectName& path, winsec::SECURITY_INFORMATION info,
                                 winsec::PSECURITY_DESCRIPTOR descriptor) override;
    winsec::HLOCAL localFree(winsec::HLOCAL memory) override;
    winsec::DWORD storeWriteRecord(const winsec::ObjectName& path,
                                   const std::vector<winsec::BYTE>& record) override;
    winsec::DWORD readWriteRecord(const winsec::ObjectName& path,
                                  std::vector<winsec::BYTE>* record) override;
    winsec::DWORD removeWriteRecord(const winsec::ObjectName& path) override;
    // Never broken: no step of a rewrite asks it.
    winsec::DWORD identifyObject(const winsec::ObjectName& path,
                                 std::vector<winsec::BYTE>* identity) override
    {
        return real.identifyObject(path, identity);
    }
    winsec::DWORD inheritAfterUnlock(const winsec::ObjectName& path,
                                     const winsec::UnlockedFolder& folder) override
    {
        return real.inheritAfterUnlock(path, folder);
    }

private:
    struct Rule {
        SecurityOperation operation;
        unsigned callNumber;
        Fault fault;
    };

    // Counts the call; true when it is to fail. Throws when it is to throw.
    bool breaks(SecurityOperation operation);

    winsec::SecurityApi& real;
    std::vector<Rule> rules;
    std::array<unsigned, kSecurityOperationCount> calls{};
    std::set<winsec::HLOCAL> live;
    unsigned strays = 0;
};

} // namespace testsupport

#endif
