// The in-memory security operations with the results their Windows
// counterparts give, for systems without them: allocation, descriptors in
// absolute and self-relative form, ACLs and their ACEs. An ACL whose ACEs do
// not lie inside its AclSize makes the call fail; nothing is read outside it.
#ifndef TOLVANE_ACL_MEMORY_H
#define TOLVANE_ACL_MEMORY_H

#include "winsec/SecurityTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace winsec {
namespace aclmemory {

constexpr BOOL kFalse = 0;
constexpr BOOL kTrue = 1;
constexpr BYTE kMinAclRevision = 2;
constexpr BYTE kMaxAclRevision = 4;
constexpr std::size_t kMaxAclSize = 0xFFFF;

// An ACL is well formed when its revision is known, its AclSize holds the
// header, is a multiple of 4 and at most `limit`, and each of its AceCount
// ACEs has a size of at least 4, a multiple of 4, and ends inside AclSize.
struct AclLayout {
    DWORD aceCount;
    DWORD bytesInUse; // header and ACEs
};
bool readAclLayout(const void* acl, std::size_t limit, AclLayout* layout);
// Offset of ACE `index` (< AceCount) in a well-formed ACL.
std::size_t aceOffset(const void* acl, DWORD index);

// The parts of a descriptor in either form; null where absent.
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control;
    PSID owner;
    PSID group;
    PACL dacl;
};
// False for a null descriptor or one of another revision than 1.
bool readDescriptorParts(PSECURITY_DESCRIPTOR descriptor, DescriptorParts* parts);

// A self-relative descriptor in one block from allocate(): the owner and
// group SIDs and the DACL, each left out when null.
PSECURITY_DESCRIPTOR newSelfRelativeDescriptor(const std::vector<BYTE>* owner,
                                               const std::vector<BYTE>* group,
                                               const std::vector<BYTE>* dacl);

HLOCAL allocate(UINT flags, SIZE_T bytes);
HLOCAL release(HLOCAL memory);
BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                               LPBOOL defaulted);
BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                               BOOL defaulted);
BOOL getAclInformation(PACL acl, LPVOID information, DWORD length,
                       ACL_INFORMATION_CLASS informationClass);
DWORD getLengthSid(PSID sid);
BOOL initializeAcl(PACL acl, DWORD length, DWORD revision);
BOOL getAce(PACL acl, DWORD index, LPVOID* ace);
BOOL addAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList, DWORD length);

} // namespace aclmemory
} // namespace winsec

#endif
