// Windows security structures, laid out byte for byte as Windows lays them
// out, for systems that do not have them. Multi-byte fields are in host
// order, as on Windows (little-endian).
#ifndef TOLVANE_SECURITY_TYPES_POSIX_H
#define TOLVANE_SECURITY_TYPES_POSIX_H

#include <cstddef>
#include <cerrno>
#include <cstdint>

namespace winsec {

typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef int BOOL;
typedef BOOL* LPBOOL;
typedef void* LPVOID;
typedef void* HLOCAL;
typedef unsigned int UINT;
typedef std::size_t SIZE_T;
typedef DWORD ACCESS_MASK;
typedef DWORD SECURITY_INFORMATION;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};

// Variable length: SubAuthority really holds SubAuthorityCount entries.
struct SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
};
typedef void* PSID;

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
typedef ACL* PACL;

struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};

// Variable length: the SID starts at SidStart.
struct ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
};

struct ACL_SIZE_INFORMATION {
    DWORD AceCount;
    DWORD AclBytesInUse;
    DWORD AclBytesFree;
};

enum ACL_INFORMATION_CLASS { AclRevisionInformation = 1, AclSizeInformation = 2 };

enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1 };

// Absolute form: the parts are pointers.
struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
};

// Self-relative form: the parts are byte offsets from the start, 0 if absent.
struct SECURITY_DESCRIPTOR_RELATIVE {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
};

typedef void* PSECURITY_DESCRIPTOR;

static_assert(sizeof(ACL) == 8, "ACL header is 8 bytes");
static_assert(sizeof(ACE_HEADER) == 4, "ACE header is 4 bytes");
static_assert(sizeof(ACL_SIZE_INFORMATION) == 12, "size record is 12 bytes");
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "relative descriptor is 20 bytes");

// Where an operation that reports failure by its result alone leaves its
// error: errno here, the thread's last error on Windows.
inline DWORD lastSystemError()
{
    return static_cast<DWORD>(errno);
}
inline void clearSystemError()
{
    errno = 0;
}

} // namespace winsec

#endif
