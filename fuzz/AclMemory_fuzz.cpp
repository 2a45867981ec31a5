// The in-memory ACL operations on arbitrary bytes, taken three ways: as an
// ACL, as a list of ACEs to add, and as a self-relative descriptor. Each view
// is a copy of exactly the input's size. Beyond "no crash", every result is
// checked against what the bytes say: ACEs lie one behind the other inside
// the bytes in use, and copying them into a fresh ACL, in any order or all
// at once, reproduces them exactly.
#include "posixacl/AclMemory.h"
#include "FuzzSupport.h"
#include "winsec/SecurityApi.h"

#include <vector>

using namespace winsec;
using fuzzing::ExactBlock;
using fuzzing::require;

namespace {

WORD wordAt(const BYTE* at)
{
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

WORD aclSizeOf(const BYTE* acl)
{
    return wordAt(acl + offsetof(ACL, AclSize));
}

WORD aceCountOf(const BYTE* acl)
{
    return wordAt(acl + offsetof(ACL, AceCount));
}

WORD aceSizeOf(const BYTE* ace)
{
    return wordAt(ace + offsetof(ACE_HEADER, AceSize));
}

PACL asAcl(BYTE* bytes)
{
    return reinterpret_cast<PACL>(bytes);
}

BYTE* bytesOf(LPVOID pointer)
{
    return static_cast<BYTE*>(pointer);
}

// The operations trust AclSize, as their Windows counterparts do: bytes
// claiming more room than they have are nothing a caller can hand in.
bool fitsAsAcl(const BYTE* bytes, std::size_t room)
{
    return room >= sizeof(ACL) && aclSizeOf(bytes) <= room;
}

bool sameAce(const BYTE* left, const BYTE* right)
{
    return aceSizeOf(left) == aceSizeOf(right) &&
           std::memcmp(left, right, aceSizeOf(left)) == 0;
}

// GetLengthSid reads the count byte only; whatever it holds, the length is
// one a SID can have.
void checkSid(BYTE* sid, std::size_t room)
{
    if (room < 2)
        return;
    const DWORD length = aclmemory::getLengthSid(sid);
    require(length >= 8 && length <= 8 + 4 * 255 && length % 4 == 0, "impossible SID length");
}

// Most ACE types carry a SID right behind the mask.
void checkAceSid(BYTE* ace)
{
    if (aceSizeOf(ace) > 8)
        checkSid(ace + 8, aceSizeOf(ace) - 8u);
}

void checkInformation(PACL acl, bool wellFormed, const aclmemory::AclLayout& layout)
{
    ACL_SIZE_INFORMATION sizes{};
    require((aclmemory::getAclInformation(acl, &sizes, sizeof sizes, AclSizeInformation) != 0) ==
                wellFormed,
            "getAclInformation disagrees with the layout check");
    require(!aclmemory::getAclInformation(acl, &sizes, sizeof sizes - 1, AclSizeInformation),
            "getAclInformation wrote into a short receiver");
    DWORD revision = 0;
    require((aclmemory::getAclInformation(acl, &revision, sizeof revision,
                                          AclRevisionInformation) != 0) == wellFormed,
            "revision information disagrees with the layout check");
    if (!wellFormed)
        return;
    const BYTE* bytes = bytesOf(acl);
    require(sizes.AceCount == layout.aceCount && sizes.AclBytesInUse == layout.bytesInUse &&
                sizes.AclBytesInUse + sizes.AclBytesFree == aclSizeOf(bytes),
            "size information does not add up");
    require(revision == bytes[0], "wrong revision information");
}

// The ACEs getAce hands out, each where the layout puts it: one behind the
// other from the header up to exactly the bytes in use.
std::vector<BYTE*> fetchAces(PACL acl, const aclmemory::AclLayout& layout)
{
    std::vector<BYTE*> aces;
    std::size_t expected = sizeof(ACL);
    for (DWORD index = 0; index < layout.aceCount; ++index) {
        LPVOID ace = nullptr;
        require(aclmemory::getAce(acl, index, &ace), "getAce failed inside a well-formed ACL");
        require(bytesOf(ace) == bytesOf(acl) + expected, "ACE not right behind the previous one");
        expected += aceSizeOf(bytesOf(ace));
        require(expected <= layout.bytesInUse, "ACE ends past the bytes in use");
        checkAceSid(bytesOf(ace));
        aces.push_back(bytesOf(ace));
    }
    require(expected == layout.bytesInUse, "ACEs do not fill the bytes in use");
    LPVOID past = nullptr;
    require(!aclmemory::getAce(acl, layout.aceCount, &past) &&
                !aclmemory::getAce(acl, kMaxDword, &past),
            "getAce past the last ACE");
    return aces;
}

ExactBlock emptyAcl(std::size_t size)
{
    ExactBlock acl(size);
    require(aclmemory::initializeAcl(asAcl(acl.data()), static_cast<DWORD>(size), kAclRevisionDs),
            "initializeAcl refused a size a well-formed ACL has");
    return acl;
}

// Every ACE of the list, in its order, and nothing else.
void requireAces(ExactBlock& acl, const std::vector<BYTE*>& expected, const char* what)
{
    aclmemory::AclLayout layout{};
    require(aclmemory::readAclLayout(acl.data(), acl.size(), &layout) &&
                layout.aceCount == expected.size(),
            what);
    for (DWORD index = 0; index < layout.aceCount; ++index) {
        LPVOID ace = nullptr;
        require(aclmemory::getAce(asAcl(acl.data()), index, &ace) &&
                    sameAce(bytesOf(ace), expected[index]),
                what);
    }
}

// One ACE at a time at the end, one at a time at the front (reversing
// them), and all at once: the DaclRewrite copy and its variants.
void copyIntoFreshAcls(const BYTE* acl, const std::vector<BYTE*>& aces,
                       const aclmemory::AclLayout& layout)
{
    const std::size_t size = aclSizeOf(acl);
    ExactBlock appended = emptyAcl(size);
    ExactBlock prepended = emptyAcl(size);
    for (BYTE* ace : aces) {
        require(aclmemory::addAce(asAcl(appended.data()), kAclRevisionDs, kMaxDword, ace,
                                  aceSizeOf(ace)) &&
                    aclmemory::addAce(asAcl(prepended.data()), kAclRevisionDs, 0, ace,
                                      aceSizeOf(ace)),
                "addAce refused an ACE getAce returned");
    }
    requireAces(appended, aces, "appended ACEs differ from the original");
    requireAces(prepended, std::vector<BYTE*>(aces.rbegin(), aces.rend()),
                "prepended ACEs are not the original reversed");
    ExactBlock together = emptyAcl(size);
    require(aclmemory::addAce(asAcl(together.data()), kAclRevisionDs, 0,
                              const_cast<BYTE*>(acl) + sizeof(ACL),
                              layout.bytesInUse - sizeof(ACL)),
            "addAce refused the ACE list of a well-formed ACL");
    require(together.sameBytesAs(appended), "ACEs added at once differ from one by one");
}

// An ACE that does not fit the room left is refused and changes nothing.
void addBeyondRoom(const BYTE* acl, const std::vector<BYTE*>& aces,
                   const aclmemory::AclLayout& layout)
{
    if (aces.empty())
        return;
    ExactBlock copy(acl, aclSizeOf(acl));
    const ExactBlock before(copy.data(), copy.size());
    const bool fits = aceSizeOf(aces[0]) <= aclSizeOf(acl) - layout.bytesInUse;
    const bool added = aclmemory::addAce(asAcl(copy.data()), kAclRevisionDs, kMaxDword, aces[0],
                                         aceSizeOf(aces[0])) != 0;
    require(added == fits, "addAce disagrees with the room left");
    require(added || copy.sameBytesAs(before), "a refused addAce changed the ACL");
}

// The ACL's own ACEs inserted into itself: the list overlaps the bytes
// that move to make room for it.
void addOwnAces(const BYTE* acl, const std::vector<BYTE*>& aces,
                const aclmemory::AclLayout& layout)
{
    const std::size_t listLength = layout.bytesInUse - sizeof(ACL);
    if (aces.empty() || listLength > aclSizeOf(acl) - layout.bytesInUse)
        return;
    ExactBlock copy(acl, aclSizeOf(acl));
    const std::size_t at = aces.size() / 2;
    require(aclmemory::addAce(asAcl(copy.data()), kAclRevisionDs, static_cast<DWORD>(at),
                              copy.data() + sizeof(ACL), static_cast<DWORD>(listLength)),
            "addAce refused the ACL's own ACEs");
    std::vector<BYTE*> expected(aces.begin(), aces.begin() + at);
    expected.insert(expected.end(), aces.begin(), aces.end());
    expected.insert(expected.end(), aces.begin() + at, aces.end());
    requireAces(copy, expected, "ACEs inserted into their own ACL came out wrong");
}

// The ACL as the DACL of an absolute descriptor and of a self-relative one
// built around a copy: either way the DACL read back is the one put in.
void wrapInDescriptors(BYTE* acl)
{
    ExactBlock absolute(sizeof(SECURITY_DESCRIPTOR));
    require(aclmemory::initializeSecurityDescriptor(absolute.data(), kSecurityDescriptorRevision) &&
                aclmemory::setSecurityDescriptorDacl(absolute.data(), 1, asAcl(acl), 1),
            "an absolute descriptor refused a DACL");
    BOOL present = 0;
    BOOL defaulted = 0;
    PACL dacl = nullptr;
    require(aclmemory::getSecurityDescriptorDacl(absolute.data(), &present, &dacl, &defaulted) &&
                present && defaulted && dacl == asAcl(acl),
            "the absolute descriptor gave back another DACL");
    const std::vector<BYTE> daclBytes(acl, acl + aclSizeOf(acl));
    PSECURITY_DESCRIPTOR relative =
        aclmemory::newSelfRelativeDescriptor(nullptr, nullptr, &daclBytes);
    require(relative != nullptr, "no self-relative descriptor");
    dacl = nullptr;
    const bool read = aclmemory::getSecurityDescriptorDacl(relative, &present, &dacl, &defaulted);
    const bool same = read && present && dacl != nullptr &&
                      std::memcmp(dacl, daclBytes.data(), daclBytes.size()) == 0;
    aclmemory::release(relative);
    require(same, "the self-relative descriptor gave back another DACL");
}

// `acl` has at least its AclSize of readable bytes.
void exerciseAcl(BYTE* acl, std::size_t room)
{
    aclmemory::AclLayout layout{};
    const bool wellFormed = aclmemory::readAclLayout(acl, room, &layout);
    checkInformation(asAcl(acl), wellFormed, layout);
    if (!wellFormed) {
        LPVOID ace = nullptr;
        require(!aclmemory::getAce(asAcl(acl), 0, &ace), "getAce in a malformed ACL");
        return;
    }
    require(layout.aceCount == aceCountOf(acl), "layout miscounts the ACEs");
    const std::vector<BYTE*> aces = fetchAces(asAcl(acl), layout);
    copyIntoFreshAcls(acl, aces, layout);
    addBeyondRoom(acl, aces, layout);
    addOwnAces(acl, aces, layout);
    wrapInDescriptors(acl);
}

void exerciseAsAcl(const std::uint8_t* data, std::size_t size)
{
    ExactBlock acl(data, size);
    if (fitsAsAcl(acl.data(), acl.size()))
        exerciseAcl(acl.data(), acl.size());
}

// Whatever the list holds, addAce either takes all of it behind the header
// or leaves the ACL empty; a list a revision 2 ACL takes, revision 4 takes.
void exerciseAsAceList(const std::uint8_t* data, std::size_t size)
{
    if (size > aclmemory::kMaxAclSize - sizeof(ACL) - 3)
        return;
    ExactBlock list(data, size);
    const std::size_t aclSize = (sizeof(ACL) + size + 3) / 4 * 4;
    bool takenBefore = false;
    for (DWORD revision : {kAclRevision, kAclRevisionDs}) {
        ExactBlock acl = emptyAcl(aclSize);
        const bool taken = aclmemory::addAce(asAcl(acl.data()), revision, kMaxDword, list.data(),
                                             static_cast<DWORD>(size)) != 0;
        aclmemory::AclLayout layout{};
        require(aclmemory::readAclLayout(acl.data(), acl.size(), &layout),
                "addAce left a malformed ACL");
        const ExactBlock added(acl.data() + sizeof(ACL), layout.bytesInUse - sizeof(ACL));
        if (taken)
            require(added.sameBytesAs(list), "addAce took the list only in part");
        else
            require(layout.aceCount == 0, "a refused addAce added ACEs");
        require(taken || !takenBefore, "revision 4 refused what revision 2 took");
        takenBefore = taken;
    }
}

// Only the self-relative form: the absolute one holds pointers, which no
// bytes from outside can be trusted to.
void exerciseAsDescriptor(const std::uint8_t* data, std::size_t size)
{
    if (size < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
        return;
    ExactBlock descriptor(data, size);
    BYTE* base = descriptor.data();
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, base, sizeof header);
    header.Control |= kSeSelfRelative;
    std::memcpy(base, &header, sizeof header);
    const ExactBlock before(base, size);

    BYTE unset = 0;
    PACL dacl = asAcl(&unset);
    BOOL present = 7;
    BOOL defaulted = 7;
    const bool read =
        aclmemory::getSecurityDescriptorDacl(base, &present, &dacl, &defaulted) != 0;
    require(read == (header.Revision == kSecurityDescriptorRevision),
            "descriptor revision check wrong");
    require(!aclmemory::setSecurityDescriptorDacl(base, 1, nullptr, 0) &&
                descriptor.sameBytesAs(before),
            "setSecurityDescriptorDacl changed a self-relative descriptor");
    if (!read)
        return;
    require(present == ((header.Control & kSeDaclPresent) != 0), "wrong DACL presence");
    if (!present) {
        require(dacl == asAcl(&unset) && defaulted == 7, "absent DACL still handed out");
        return;
    }
    require(dacl == (header.Dacl != 0 ? asAcl(base + header.Dacl) : nullptr) &&
                defaulted == ((header.Control & kSeDaclDefaulted) != 0),
            "DACL not where the descriptor puts it");
    if (header.Owner != 0 && header.Owner < size)
        checkSid(base + header.Owner, size - header.Owner);
    if (header.Group != 0 && header.Group < size)
        checkSid(base + header.Group, size - header.Group);
    if (header.Dacl != 0 && header.Dacl < size && fitsAsAcl(base + header.Dacl, size - header.Dacl))
        exerciseAcl(base + header.Dacl, size - header.Dacl);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    exerciseAsAcl(data, size);
    exerciseAsAceList(data, size);
    exerciseAsDescriptor(data, size);
    return 0;
}
