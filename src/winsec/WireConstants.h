// Every value of the Windows security structures this program reads or
// writes: ACE and SID layouts, ACE types and flags, rights, revisions,
// descriptor bits and the well-known SIDs it spells itself. Named apart from
// the Windows macros so that the same code compiles on every platform; no
// other file spells one of them again.
#ifndef TOLVANE_WINSEC_WIRE_CONSTANTS_H
#define TOLVANE_WINSEC_WIRE_CONSTANTS_H

#include "winsec/SecurityTypes.h"

#include <cstddef>
#include <cstdint>

namespace winsec {

// Results and arguments of the operations.
constexpr DWORD kErrorSuccess = 0;
constexpr DWORD kMaxDword = 0xFFFFFFFF;
constexpr UINT kLptr = 0x40; // LMEM_FIXED | LMEM_ZEROINIT

// What a descriptor read or written holds.
constexpr SECURITY_INFORMATION kOwnerSecurityInformation = 0x1;
constexpr SECURITY_INFORMATION kGroupSecurityInformation = 0x2;
constexpr SECURITY_INFORMATION kDaclSecurityInformation = 0x4;

// Descriptors.
constexpr DWORD kSecurityDescriptorRevision = 1;
constexpr SIZE_T kSecurityDescriptorMinLength = sizeof(SECURITY_DESCRIPTOR);
constexpr SECURITY_DESCRIPTOR_CONTROL kSeDaclPresent = 0x0004;
constexpr SECURITY_DESCRIPTOR_CONTROL kSeDaclDefaulted = 0x0008;
constexpr SECURITY_DESCRIPTOR_CONTROL kSeSelfRelative = 0x8000;

// ACLs: revision 2 for the basic ACE types, 4 once object ACEs are in.
constexpr DWORD kAclRevision = 2;
constexpr DWORD kAclRevisionDs = 4;

// ACE types and flags. The allow types: plain, object, callback and
// callback object.
constexpr BYTE kAccessAllowedAceType = 0x0;
constexpr BYTE kAccessDeniedAceType = 0x1;
constexpr BYTE kAccessAllowedObjectAceType = 0x5;
constexpr BYTE kAccessAllowedCallbackAceType = 0x9;
constexpr BYTE kAccessAllowedCallbackObjectAceType = 0xB;
constexpr BYTE kObjectInheritAce = 0x1;
constexpr BYTE kContainerInheritAce = 0x2;
constexpr BYTE kInheritOnlyAce = 0x8;
constexpr BYTE kInheritedAce = 0x10;
// What a POSIX default entry becomes: inherited by files and folders, and
// not applying to the folder itself.
constexpr BYTE kDefaultEntryFlags = kObjectInheritAce | kContainerInheritAce | kInheritOnlyAce;

// Rights. Bit 0x2 is FILE_WRITE_DATA on a file and FILE_ADD_FILE on a
// folder: the one bit lock and unlock change.
constexpr ACCESS_MASK kFileReadData = 0x1;
constexpr ACCESS_MASK kFileWriteData = 0x2;
constexpr ACCESS_MASK kFileExecute = 0x20;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
// The generic rights, and what the file system maps each to.
constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;
constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0;

// Type, flags and size; every ACE type starts with it.
constexpr std::size_t kAceHeaderSize = sizeof(ACE_HEADER);
// The header and the access mask right behind it, where the SID begins in
// every ACE type this program writes.
constexpr WORD kAceWithMaskSize = static_cast<WORD>(kAceHeaderSize + sizeof(ACCESS_MASK));

// SIDs: revision, sub-authority count and the six bytes of the authority;
// each sub-authority adds four.
constexpr BYTE kSidRevision = 1;
constexpr std::size_t kSidFixedSize = 8;
constexpr std::size_t kSubAuthoritySize = 4;

// Authorities and relative ids of the SIDs this program names.
constexpr BYTE kWorldAuthority = 1;   // S-1-1-0 Everyone
constexpr BYTE kCreatorAuthority = 3; // S-1-3-0 CREATOR OWNER, S-1-3-1 CREATOR GROUP
constexpr std::uint32_t kCreatorOwnerRid = 0;
constexpr std::uint32_t kCreatorGroupRid = 1;
// S-1-22-1-uid, S-1-22-2-gid and S-1-22-3-0 (the POSIX ACL mask), as Samba
// names Unix users and groups.
constexpr BYTE kUnixAuthority = 22;
constexpr std::uint32_t kUnixUserRid = 1;
constexpr std::uint32_t kUnixGroupRid = 2;
constexpr std::uint32_t kUnixMaskRid = 3;

// The same SIDs in their bytes: with one sub-authority, and the Unix ones
// with a second, zero here, that holds the uid or gid.
constexpr std::size_t kWellKnownSidSize = kSidFixedSize + kSubAuthoritySize;
constexpr std::size_t kUnixSidSize = kWellKnownSidSize + kSubAuthoritySize;
constexpr BYTE kEveryoneSid[kWellKnownSidSize] = {
    kSidRevision, 1, 0, 0, 0, 0, 0, kWorldAuthority, 0, 0, 0, 0};
constexpr BYTE kCreatorOwnerSid[kWellKnownSidSize] = {
    kSidRevision, 1, 0, 0, 0, 0, 0, kCreatorAuthority, kCreatorOwnerRid, 0, 0, 0};
constexpr BYTE kCreatorGroupSid[kWellKnownSidSize] = {
    kSidRevision, 1, 0, 0, 0, 0, 0, kCreatorAuthority, kCreatorGroupRid, 0, 0, 0};
constexpr BYTE kUnixUserSid[kUnixSidSize] = {
    kSidRevision, 2, 0, 0, 0, 0, 0, kUnixAuthority, kUnixUserRid, 0, 0, 0, 0, 0, 0, 0};
constexpr BYTE kUnixGroupSid[kUnixSidSize] = {
    kSidRevision, 2, 0, 0, 0, 0, 0, kUnixAuthority, kUnixGroupRid, 0, 0, 0, 0, 0, 0, 0};
constexpr BYTE kUnixMaskSid[kUnixSidSize] = {
    kSidRevision, 2, 0, 0, 0, 0, 0, kUnixAuthority, kUnixMaskRid, 0, 0, 0, 0, 0, 0, 0};

} // namespace winsec

#endif
