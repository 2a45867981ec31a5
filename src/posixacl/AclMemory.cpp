// Structures are copied in and out with memcpy rather than dereferenced in
// place: callers may hand any byte position (an ACE view, a fuzzer's input),
// and only the copy is known to be aligned.
#include "posixacl/AclMemory.h"

#include "winsec/WireConstants.h"
#include "winsec/SecurityApi.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace winsec {
namespace aclmemory {

namespace {


template <typename T>
T load(const void* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void store(void* at, const T& value)
{
    std::memcpy(at, &value, sizeof value);
}

const BYTE* bytesOf(const void* pointer)
{
    return static_cast<const BYTE*>(pointer);
}

WORD aceSizeAt(const BYTE* ace)
{
    return load<WORD>(ace + offsetof(ACE_HEADER, AceSize));
}

bool isWellFormedAceSize(std::size_t aceSize, std::size_t room)
{
    return aceSize >= kAceHeaderSize && aceSize % 4 == 0 && aceSize <= room;
}

// Object-specific ACEs need ACL_REVISION_DS, compound ones revision 3.
BYTE revisionNeededBy(BYTE aceType)
{
    switch (aceType) {
    case 0x04:
        return 3;
    case 0x05: case 0x06: case 0x07: case 0x08: case 0x0B: case 0x0C: case 0x0F: case 0x10:
        return 4;
    default:
        return 2;
    }
}

// Number of ACEs that exactly fill `length` bytes of `aceList`, each of a
// type that `revision` allows; false otherwise.
bool countAceList(const BYTE* aceList, std::size_t length, DWORD revision, DWORD* count)
{
    std::size_t offset = 0;
    DWORD found = 0;
    while (offset < length) {
        if (length - offset < kAceHeaderSize)
            return false;
        const WORD aceSize = aceSizeAt(aceList + offset);
        if (!isWellFormedAceSize(aceSize, length - offset))
            return false;
        if (revisionNeededBy(aceList[offset]) > revision)
            return false;
        offset += aceSize;
        ++found;
    }
    *count = found;
    return true;
}

bool isKnownAclRevision(DWORD revision)
{
    return revision >= kMinAclRevision && revision <= kMaxAclRevision;
}

bool isSelfRelative(PSECURITY_DESCRIPTOR descriptor)
{
    return (load<SECURITY_DESCRIPTOR_CONTROL>(bytesOf(descriptor) + 2) & kSeSelfRelative) != 0;
}

void appendPart(BYTE* block, std::size_t* used, const std::vector<BYTE>* part, DWORD* offset)
{
    if (part == nullptr)
        return;
    std::memcpy(block + *used, part->data(), part->size());
    *offset = static_cast<DWORD>(*used);
    *used += part->size();
}

std::size_t sizeOf(const std::vector<BYTE>* part)
{
    return part != nullptr ? part->size() : 0;
}

// Compared as addresses: the two ranges may belong to unrelated blocks.
bool overlaps(const BYTE* first, std::size_t firstSize, const BYTE* second,
              std::size_t secondSize)
{
    const auto start = reinterpret_cast<std::uintptr_t>(first);
    const auto otherStart = reinterpret_cast<std::uintptr_t>(second);
    return start < otherStart + secondSize && otherStart < start + firstSize;
}

// Opens `length` bytes at `at` of the `used` bytes of an ACL of `aclSize`
// bytes and copies the list there. The list may lie inside the ACL itself:
// then it is taken aside before the ACEs behind `at` move.
void insertAces(BYTE* base, std::size_t used, std::size_t at, const BYTE* list,
                std::size_t length, std::size_t aclSize)
{
    if (overlaps(list, length, base, aclSize)) {
        const std::vector<BYTE> aside(list, list + length);
        insertAces(base, used, at, aside.data(), length, aclSize);
        return;
    }
    std::memmove(base + at + length, base + at, used - at);
    std::memcpy(base + at, list, length);
}

} // namespace

bool readAclLayout(const void* acl, std::size_t limit, AclLayout* layout)
{
    if (acl == nullptr || limit < sizeof(ACL))
        return false;
    const ACL header = load<ACL>(acl);
    if (!isKnownAclRevision(header.AclRevision) || header.AclSize < sizeof(ACL) ||
        header.AclSize % 4 != 0 || header.AclSize > limit)
        return false;
    std::size_t offset = sizeof(ACL);
    for (DWORD i = 0; i < header.AceCount; ++i) {
        if (header.AclSize - offset < kAceHeaderSize)
            return false;
        const WORD aceSize = aceSizeAt(bytesOf(acl) + offset);
        if (!isWellFormedAceSize(aceSize, header.AclSize - offset))
            return false;
        offset += aceSize;
    }
    layout->aceCount = header.AceCount;
    layout->bytesInUse = static_cast<DWORD>(offset);
    return true;
}

std::size_t aceOffset(const void* acl, DWORD index)
{
    std::size_t offset = sizeof(ACL);
    for (DWORD i = 0; i < index; ++i)
        offset += aceSizeAt(bytesOf(acl) + offset);
    return offset;
}

bool readDescriptorParts(PSECURITY_DESCRIPTOR descriptor, DescriptorParts* parts)
{
    if (descriptor == nullptr || load<BYTE>(descriptor) != kSecurityDescriptorRevision)
        return false;
    if (isSelfRelative(descriptor)) {
        const auto relative = load<SECURITY_DESCRIPTOR_RELATIVE>(descriptor);
        BYTE* base = static_cast<BYTE*>(descriptor);
        parts->control = relative.Control;
        parts->owner = relative.Owner != 0 ? base + relative.Owner : nullptr;
        parts->group = relative.Group != 0 ? base + relative.Group : nullptr;
        parts->dacl = relative.Dacl != 0 ? reinterpret_cast<PACL>(base + relative.Dacl) : nullptr;
    } else {
        const auto absolute = load<SECURITY_DESCRIPTOR>(descriptor);
        parts->control = absolute.Control;
        parts->owner = absolute.Owner;
        parts->group = absolute.Group;
        parts->dacl = absolute.Dacl;
    }
    return true;
}

PSECURITY_DESCRIPTOR newSelfRelativeDescriptor(const std::vector<BYTE>* owner,
                                               const std::vector<BYTE>* group,
                                               const std::vector<BYTE>* dacl)
{
    std::size_t used = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    BYTE* block = static_cast<BYTE*>(
        allocate(kLptr, used + sizeOf(owner) + sizeOf(group) + sizeOf(dacl)));
    if (block == nullptr)
        return nullptr;
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = kSecurityDescriptorRevision;
    header.Control = kSeSelfRelative | (dacl != nullptr ? kSeDaclPresent : 0);
    appendPart(block, &used, owner, &header.Owner);
    appendPart(block, &used, group, &header.Group);
    appendPart(block, &used, dacl, &header.Dacl);
    store(block, header);
    return block;
}

HLOCAL allocate(UINT flags, SIZE_T bytes)
{
    // Only fixed memory exists here; every block comes zero-filled, which
    // LMEM_ZEROINIT asks for and plain LMEM_FIXED does not forbid.
    if ((flags & ~kLptr) != 0)
        return nullptr;
    return std::calloc(bytes != 0 ? bytes : 1, 1);
}

HLOCAL release(HLOCAL memory)
{
    std::free(memory);
    return nullptr;
}

BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    if (descriptor == nullptr || revision != kSecurityDescriptorRevision)
        return kFalse;
    SECURITY_DESCRIPTOR empty{};
    empty.Revision = kSecurityDescriptorRevision;
    store(descriptor, empty);
    return kTrue;
}

// As on Windows, the DACL and defaulted receivers are set only when a DACL
// is present, so logic that forgets to test the flag fails the same way here.
BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                               LPBOOL defaulted)
{
    DescriptorParts parts{};
    if (present == nullptr || dacl == nullptr || defaulted == nullptr ||
        !readDescriptorParts(descriptor, &parts))
        return kFalse;
    *present = (parts.control & kSeDaclPresent) != 0 ? kTrue : kFalse;
    if (*present) {
        *dacl = parts.dacl;
        *defaulted = (parts.control & kSeDaclDefaulted) != 0 ? kTrue : kFalse;
    }
    return kTrue;
}

BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                               BOOL defaulted)
{
    if (descriptor == nullptr || load<BYTE>(descriptor) != kSecurityDescriptorRevision ||
        isSelfRelative(descriptor))
        return kFalse;
    auto absolute = load<SECURITY_DESCRIPTOR>(descriptor);
    if (!present) {
        absolute.Control &= ~kSeDaclPresent;
    } else {
        absolute.Control |= kSeDaclPresent;
        absolute.Dacl = dacl;
        absolute.Control &= ~kSeDaclDefaulted;
        if (defaulted)
            absolute.Control |= kSeDaclDefaulted;
    }
    store(descriptor, absolute);
    return kTrue;
}

BOOL getAclInformation(PACL acl, LPVOID information, DWORD length,
                       ACL_INFORMATION_CLASS informationClass)
{
    if (information == nullptr)
        return kFalse;
    AclLayout layout{};
    if (!readAclLayout(acl, kMaxAclSize, &layout))
        return kFalse;
    if (informationClass == AclRevisionInformation && length >= sizeof(DWORD)) {
        store<DWORD>(information, load<ACL>(acl).AclRevision);
        return kTrue;
    }
    if (informationClass != AclSizeInformation || length < sizeof(ACL_SIZE_INFORMATION))
        return kFalse;
    const ACL_SIZE_INFORMATION sizes{layout.aceCount, layout.bytesInUse,
                                     load<ACL>(acl).AclSize - layout.bytesInUse};
    store(information, sizes);
    return kTrue;
}

DWORD getLengthSid(PSID sid)
{
    if (sid == nullptr)
        return 0;
    return kSidFixedSize + 4 * DWORD{load<BYTE>(bytesOf(sid) + offsetof(SID, SubAuthorityCount))};
}

BOOL initializeAcl(PACL acl, DWORD length, DWORD revision)
{
    if (acl == nullptr || length < sizeof(ACL) || length > kMaxAclSize || length % 4 != 0 ||
        !isKnownAclRevision(revision))
        return kFalse;
    const ACL empty{static_cast<BYTE>(revision), 0, static_cast<WORD>(length), 0, 0};
    store(acl, empty);
    return kTrue;
}

BOOL getAce(PACL acl, DWORD index, LPVOID* ace)
{
    AclLayout layout{};
    if (ace == nullptr || !readAclLayout(acl, kMaxAclSize, &layout) || index >= layout.aceCount)
        return kFalse;
    *ace = reinterpret_cast<BYTE*>(acl) + aceOffset(acl, index);
    return kTrue;
}

BOOL addAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList, DWORD length)
{
    AclLayout layout{};
    DWORD added = 0;
    if (aceList == nullptr || !isKnownAclRevision(revision) ||
        !readAclLayout(acl, kMaxAclSize, &layout) ||
        !countAceList(bytesOf(aceList), length, revision, &added))
        return kFalse;
    ACL header = load<ACL>(acl);
    if (length > header.AclSize - layout.bytesInUse || layout.aceCount + added > 0xFFFF)
        return kFalse;
    BYTE* base = reinterpret_cast<BYTE*>(acl);
    const std::size_t at = startIndex >= layout.aceCount ? layout.bytesInUse
                                                         : aceOffset(acl, startIndex);
    insertAces(base, layout.bytesInUse, at, bytesOf(aceList), length, header.AclSize);
    header.AceCount = static_cast<WORD>(layout.aceCount + added);
    header.AclRevision = std::max<BYTE>(header.AclRevision, static_cast<BYTE>(revision));
    store(acl, header);
    return kTrue;
}

} // namespace aclmemory
} // namespace winsec
