// The twelve security operations the write-permission logic needs, with the
// inputs and results of their Windows counterparts, and three that keep the
// record of what -lock took (winsec/WriteRecord.h) with the path itself. The logic reaches them only
// through securityApi(); a test may put another implementation in its place
// for its own duration with ScopedSecurityApi.
#ifndef TOLVANE_SECURITY_API_H
#define TOLVANE_SECURITY_API_H

#include "winsec/SecurityTypes.h"

#include <string>
#include <vector>

namespace winsec {

// Values of the Windows constants the sequence passes. Named apart from the
// Windows macros so that the same code compiles on every platform.
constexpr DWORD kErrorSuccess = 0;
constexpr SECURITY_INFORMATION kOwnerSecurityInformation = 0x1;
constexpr SECURITY_INFORMATION kGroupSecurityInformation = 0x2;
constexpr SECURITY_INFORMATION kDaclSecurityInformation = 0x4;
constexpr UINT kLptr = 0x40; // LMEM_FIXED | LMEM_ZEROINIT
constexpr DWORD kSecurityDescriptorRevision = 1;
constexpr SIZE_T kSecurityDescriptorMinLength = sizeof(SECURITY_DESCRIPTOR);
constexpr DWORD kAclRevision = 2;
constexpr DWORD kAclRevisionDs = 4;
constexpr DWORD kMaxDword = 0xFFFFFFFF;
constexpr ACCESS_MASK kFileWriteData = 0x2;

constexpr BYTE kAccessAllowedAceType = 0x0;
constexpr BYTE kAccessDeniedAceType = 0x1;
constexpr BYTE kObjectInheritAce = 0x1;
constexpr BYTE kContainerInheritAce = 0x2;
constexpr BYTE kInheritOnlyAce = 0x8;
constexpr BYTE kInheritedAce = 0x10;

constexpr SECURITY_DESCRIPTOR_CONTROL kSeDaclPresent = 0x0004;
constexpr SECURITY_DESCRIPTOR_CONTROL kSeDaclDefaulted = 0x0008;
constexpr SECURITY_DESCRIPTOR_CONTROL kSeSelfRelative = 0x8000;

// What the record operations report besides kErrorSuccess, each the
// platform's own error code (defined beside its SecurityApi).
// readWriteRecord: the path holds no record (or an unreadable one), and
// -unlock leaves it as it is.
extern const DWORD kErrorNoWriteRecord;
// storeWriteRecord: no record can be kept for the path, neither with it nor
// anywhere else.
extern const DWORD kErrorWriteRecordsUnsupported;
extern const DWORD kErrorNoRoomForWriteRecord;

class SecurityApi {
public:
    virtual ~SecurityApi() = default;

    // GetNamedSecurityInfoW. Returns kErrorSuccess or an error code; on
    // success *descriptor is one block, released with localFree, and the
    // owner, group and DACL receivers point inside it (null where absent).
    virtual DWORD getNamedSecurityInfo(const std::string& path, SE_OBJECT_TYPE objectType,
                                       SECURITY_INFORMATION info, PSID* owner, PSID* group,
                                       PACL* dacl, PACL* sacl,
                                       PSECURITY_DESCRIPTOR* descriptor) = 0;
    // LocalAlloc: null on failure.
    virtual HLOCAL localAlloc(UINT flags, SIZE_T bytes) = 0;
    // InitializeSecurityDescriptor: nonzero on success.
    virtual BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) = 0;
    // GetSecurityDescriptorDacl: nonzero on success.
    virtual BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present,
                                           PACL* dacl, LPBOOL defaulted) = 0;
    // GetAclInformation: nonzero on success.
    virtual BOOL getAclInformation(PACL acl, LPVOID information, DWORD length,
                                   ACL_INFORMATION_CLASS informationClass) = 0;
    // GetLengthSid: the SID's length in bytes; reports no failure.
    virtual DWORD getLengthSid(PSID sid) = 0;
    // InitializeAcl: nonzero on success.
    virtual BOOL initializeAcl(PACL acl, DWORD length, DWORD revision) = 0;
    // GetAce: a view of ACE `index` inside `acl`; nonzero on success.
    virtual BOOL getAce(PACL acl, DWORD index, LPVOID* ace) = 0;
    // AddAce: copies `length` bytes of ACEs behind the ACEs at startIndex
    // (kMaxDword: at the end); nonzero on success.
    virtual BOOL addAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList,
                        DWORD length) = 0;
    // SetSecurityDescriptorDacl: nonzero on success. The DACL is referred to,
    // not copied.
    virtual BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present,
                                           PACL dacl, BOOL defaulted) = 0;
    // SetFileSecurityW: nonzero on success.
    virtual BOOL setFileSecurity(const std::string& path, SECURITY_INFORMATION info,
                                 PSECURITY_DESCRIPTOR descriptor) = 0;
    // LocalFree: null on success.
    virtual HLOCAL localFree(HLOCAL memory) = 0;

    // The record of the path, kept where only administrators can read or
    // write it, on the very file getNamedSecurityInfo read last for the same
    // path. kErrorSuccess or an error code. Removing removes the record the
    // last read of the same path found.
    virtual DWORD storeWriteRecord(const std::string& path, const std::vector<BYTE>& record) = 0;
    virtual DWORD readWriteRecord(const std::string& path, std::vector<BYTE>* record) = 0;
    virtual DWORD removeWriteRecord(const std::string& path) = 0;
};

// The system's implementation, defined once per platform.
SecurityApi& systemSecurityApi();

// The implementation in force: the system's unless a ScopedSecurityApi is alive.
SecurityApi& securityApi();

// Puts another implementation in force until it goes out of scope.
class ScopedSecurityApi {
public:
    explicit ScopedSecurityApi(SecurityApi& replacement);
    ~ScopedSecurityApi();
    ScopedSecurityApi(const ScopedSecurityApi&) = delete;
    ScopedSecurityApi& operator=(const ScopedSecurityApi&) = delete;

private:
    SecurityApi* previous;
};

} // namespace winsec

#endif
