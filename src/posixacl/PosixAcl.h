// POSIX ACLs and their DACL form, as pure functions over bytes: no file, no
// system call. The file-system side reads and writes the kernel's xattr
// encoding; the permission logic sees a DACL of ACCESS_ALLOWED ACEs. Every
// function that takes bytes from outside checks them against their length,
// so arbitrary input is safe to hand in.
//
// The DACL form, one ACE per POSIX entry:
//   - access entries first, in the order given, with AceFlags 0;
//   - then default entries with OBJECT_INHERIT | CONTAINER_INHERIT |
//     INHERIT_ONLY (0x0B);
//   - rights r, w, x are 0x1 (FILE_READ_DATA), 0x2 (FILE_WRITE_DATA /
//     FILE_ADD_FILE), 0x20 (FILE_EXECUTE), and no other bit is used;
//   - SIDs: named user S-1-22-1-uid, named group S-1-22-2-gid, other
//     S-1-1-0 (Everyone), owning user S-1-3-0 (CREATOR OWNER), owning group
//     S-1-3-1 (CREATOR GROUP), mask S-1-22-3-0.
// Every SID names one kind of entry, so the mapping is one-to-one both ways.
#ifndef TOLVANE_POSIX_ACL_H
#define TOLVANE_POSIX_ACL_H

#include "winsec/WireConstants.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace posixacl {

// Entry tags, with the values of the kernel's xattr encoding; the canonical
// entry order is ascending tag, then ascending id.
enum Tag : std::uint16_t {
    kUserObj = 0x01,
    kUser = 0x02,
    kGroupObj = 0x04,
    kGroup = 0x08,
    kMask = 0x10,
    kOther = 0x20,
};

constexpr std::uint16_t kPermRead = 4;
constexpr std::uint16_t kPermWrite = 2;
constexpr std::uint16_t kPermExecute = 1;
// The id the kernel stores in entries that name nobody.
constexpr std::uint32_t kUndefinedId = 0xFFFFFFFF;

// The rights r, w and x stand for.
constexpr std::uint32_t kRightRead = winsec::kFileReadData;
constexpr std::uint32_t kRightWrite = winsec::kFileWriteData;
constexpr std::uint32_t kRightExecute = winsec::kFileExecute;

struct Entry {
    std::uint16_t tag;
    std::uint16_t perm; // kPermRead | kPermWrite | kPermExecute
    std::uint32_t id;   // uid or gid for kUser / kGroup, else kUndefinedId
};
bool operator==(const Entry& left, const Entry& right);

using Entries = std::vector<Entry>;
using Bytes = std::vector<std::uint8_t>;

// The two ACLs of one file. No default entries means no default ACL.
struct PosixAcls {
    Entries access;
    Entries defaults;
};

// The kernel's rules for an ACL (posix_acl_valid), on entries as stored:
// tags in canonical order, one owning user, owning group and other entry, a
// mask whenever something is named, no unknown tag or permission bit, no
// named entry without an id. Named ids may repeat and come in any order: the
// kernel stores such ACLs, so they must be read and written back as they are.
bool isValid(const Entries& entries);
void sortCanonically(Entries& entries);

// The three entries that stand for permission bits (mode & 0777), and back.
Entries entriesFromMode(unsigned mode);
// The same into `entries`, whose memory is reused.
void entriesFromMode(unsigned mode, Entries* entries);
bool isMinimal(const Entries& entries);
unsigned modeFromMinimal(const Entries& entries);

// The system.posix_acl_access / system.posix_acl_default value. Decoding
// fails on a malformed value or one that is not a valid ACL; it keeps the
// stored order. The results are written into the memory of `entries`,
// which holds nothing of use after a failure.
bool decodeXattr(const std::uint8_t* value, std::size_t size, Entries* entries);
Bytes encodeXattr(const Entries& entries);
// The same into `value`, whose memory is reused.
void encodeXattr(const Entries& entries, Bytes* value);

// The SID that stands for an entry, and the entry (tag and id; perm 0) that
// a SID of `size` bytes stands for; false for any other SID.
Bytes sidOf(const Entry& entry);
void sidOf(const Entry& entry, Bytes* sid);
bool entryOfSid(const std::uint8_t* sid, std::size_t size, Entry* entry);

// The DACL (an ACL block of revision 2) for two ACLs; empty when it would
// not fit the 64 KiB an ACL can hold.
Bytes daclFromAcls(const PosixAcls& acls);
// The same into `dacl`, whose memory is reused; false (and `dacl` empty)
// when it would not fit.
bool daclFromAcls(const PosixAcls& acls, Bytes* dacl);
// The two ACLs a DACL block of `size` bytes stands for, each in the order
// of its ACEs when that order is valid, else sorted into canonical order
// first. Fails on a malformed block, an ACE other than
// ACCESS_ALLOWED, other flags or rights than those listed above, an unknown
// SID, or ACLs that are not valid. As with decodeXattr, `acls` is reused,
// and holds nothing of use after a failure.
bool aclsFromDacl(const std::uint8_t* dacl, std::size_t size, PosixAcls* acls);

// What a default ACL gives an entry created with the permission bits of
// `mode`, as the kernel does: the owning user, the mask (or, without one,
// the owning group) and the others masked by the mode, named entries as
// they are.
Entries inheritedAccess(const Entries& defaults, unsigned mode);
// A creation mode with which `defaults` gives exactly `access`, into
// `mode`, taking write wherever it could have been given (as programs
// create files, 0666, and folders, 0777); false when there is none.
bool creationModeOf(const Entries& access, const Entries& defaults, unsigned* mode);

} // namespace posixacl

#endif
