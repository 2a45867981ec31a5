// The twelve security operations the write-permission logic needs, with the
// inputs and results of their Windows counterparts, and three that keep the
// record of what -lock took (winsec/WriteRecord.h) with the object itself.
// Every operation takes the object as the walk names it (ObjectName.h); calls
// on one ObjectName reach one and the same file. The run opens the system's
// implementation once and hands it to whatever needs it; a test hands in
// another.
#ifndef TOLVANE_SECURITY_API_H
#define TOLVANE_SECURITY_API_H

#include "winsec/ObjectName.h"
#include "winsec/SecurityTypes.h"
#include "winsec/WireConstants.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace winsec {

// What the record operations report besides kErrorSuccess, each the
// platform's own error code (defined beside its SecurityApi).
// readWriteRecord: the path holds no record (or an unreadable one), and
// -unlock leaves it as it is.
extern const DWORD kErrorNoWriteRecord;
// storeWriteRecord: no record can be kept for the path, neither with it nor
// anywhere else. readWriteRecord: the path keeps none with it, and where it
// would be kept else cannot be read.
extern const DWORD kErrorWriteRecordsUnsupported;
extern const DWORD kErrorNoRoomForWriteRecord;

// A folder whose own record an unlock has just given back, as its entries
// need it: when it was locked (nanoseconds since 1970) and its DACL as the
// lock left it and as the unlock restored it.
struct UnlockedFolder {
    std::uint64_t lockTime = 0;
    std::vector<BYTE> lockedDacl;
    std::vector<BYTE> restoredDacl;
};

class SecurityApi {
public:
    virtual ~SecurityApi() = default;

    // GetNamedSecurityInfoW. Returns kErrorSuccess or an error code; on
    // success *descriptor is one block, released with localFree, and the
    // owner, group and DACL receivers point inside it (null where absent).
    virtual DWORD getNamedSecurityInfo(const ObjectName& object, SE_OBJECT_TYPE objectType,
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
    virtual BOOL setFileSecurity(const ObjectName& object, SECURITY_INFORMATION info,
                                 PSECURITY_DESCRIPTOR descriptor) = 0;
    // LocalFree: null on success.
    virtual HLOCAL localFree(HLOCAL memory) = 0;

    // The record of the object, kept where only administrators can read or
    // write it, on the very file getNamedSecurityInfo read for the same
    // ObjectName. kErrorSuccess or an error code. Removing removes the record
    // the last read of the same ObjectName found.
    virtual DWORD storeWriteRecord(const ObjectName& object, const std::vector<BYTE>& record) = 0;
    virtual DWORD readWriteRecord(const ObjectName& object, std::vector<BYTE>* record) = 0;
    virtual DWORD removeWriteRecord(const ObjectName& object) = 0;
    // A shortcut of a lock, for a backend where it changes nothing but the
    // number of calls: the record of a DACL that gives write to anyone is
    // created before it is read (createWriteRecord).
    virtual bool takesLockShortcuts() const { return false; }
    // Stores `record` as storeWriteRecord would, but only where the object
    // certainly holds no record, anywhere, and it can be kept with the
    // object at the first try: true when it did. Else nothing is written,
    // and the lock reads the record first, as without the shortcut.
    virtual bool createWriteRecord(const ObjectName& object, const std::vector<BYTE>& record)
    {
        (void)object;
        (void)record;
        return false;
    }

    // What records name the lock of a configured folder by: bytes that name
    // the object, read from what is open for it, and no other object on this
    // machine for as long as it exists, whatever its path (its file system
    // and file handle). kErrorSuccess or an error code.
    virtual DWORD identifyObject(const ObjectName& object, std::vector<BYTE>* identity) = 0;

    // Unlock of an object without a record, listed in `folder`: where it was
    // made while its folder was locked and holds exactly what the locked
    // DACL gave it as a new entry, it is given what the restored DACL gives
    // a new entry instead. kErrorSuccess when it was, kErrorNoWriteRecord
    // when it is no such object (it is left as it is), else an error code.
    virtual DWORD inheritAfterUnlock(const ObjectName& object, const UnlockedFolder& folder) = 0;
    // Why records could not be kept or read away from the objects this run
    // (a record store that cannot be opened), naming where; empty when
    // nothing went wrong. Asked once the walks are over.
    virtual std::string recordKeepingProblem() { return {}; }
    // The rights the run needs and the system would not give it, and what
    // that leaves undone; empty when it has them all.
    virtual std::string privilegeProblem() { return {}; }
};

// What a backend is opened with: where it keeps what outlives a run (the
// POSIX record store's folder; Windows keeps its records in the registry),
// and the configured folders as Tolvane.ini gives them (Windows changes a
// file with several links only when all of its names lie inside them).
struct BackendSettings {
    std::string stateFolder;
    std::vector<std::string> configuredFolders;
};

// The system's implementation, defined once per backend, ready before the
// walk's threads start: nothing process-wide changes once they run.
std::unique_ptr<SecurityApi> openSystemSecurityApi(const BackendSettings& settings);

} // namespace winsec

#endif
