// The mapping between POSIX ACLs and DACLs on arbitrary bytes. Taken as a
// system.posix_acl_* value, whatever the kernel would store must be decoded,
// map to a DACL and back to the same entries in the same order (repeated
// and unordered named ids included), and encode to the same bytes; with the
// write bits taken away in the DACL, only those bits change. Taken as a
// DACL, the bytes may be refused but whatever is accepted must map back to
// itself.
#include "posixacl/AclMemory.h"
#include "FuzzSupport.h"
#include "posixacl/PosixAcl.h"

#include <algorithm>

using namespace posixacl;
using fuzzing::ExactBlock;
using fuzzing::require;

namespace {

constexpr std::size_t kXattrHeaderSize = 4;
constexpr std::size_t kXattrEntrySize = 8;

constexpr std::uint32_t kXattrVersion = 2;
constexpr std::size_t kAclHeaderSize = 8;

std::uint32_t readLe(const std::uint8_t* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// The kernel's own check of a value (posix_acl_valid after
// posix_acl_from_xattr), written from what it was seen to accept and refuse
// on raw setxattr calls: tags in order, named ids repeated or in any order,
// the mask optional while nothing is named.
bool kernelStores(const std::uint8_t* value, std::size_t size)
{
    if (size <= kXattrHeaderSize || (size - kXattrHeaderSize) % kXattrEntrySize != 0 ||
        readLe(value, 4) != kXattrVersion)
        return false;
    std::uint16_t expected = kUserObj; // the tag the next entry must have
    bool named = false;
    for (std::size_t at = kXattrHeaderSize; at < size; at += kXattrEntrySize) {
        const auto tag = static_cast<std::uint16_t>(readLe(value + at, 2));
        const bool isNamedTag = tag == kUser || tag == kGroup;
        if (readLe(value + at + 2, 2) > 7 || (isNamedTag && readLe(value + at + 4, 4) == kUndefinedId))
            return false;
        named = named || isNamedTag;
        if (tag == kUserObj && expected == kUserObj)
            expected = kUser;
        else if (tag == kGroupObj && expected == kUser)
            expected = kGroup;
        else if (tag == kMask && expected == kGroup)
            expected = kOther;
        else if (tag == kOther && (expected == kOther || (expected == kGroup && !named)))
            expected = 0;
        else if (!isNamedTag || tag != expected)
            return false;
    }
    return expected == 0;
}

// The DACL with FILE_WRITE_DATA taken from every ACE, as a lock does.
Bytes withoutWriteRight(Bytes dacl)
{
    for (std::size_t at = kAclHeaderSize; at + 8 <= dacl.size();
         at += static_cast<std::size_t>(readLe(dacl.data() + at + 2, 2)))
        dacl[at + 4] &= static_cast<std::uint8_t>(~kRightWrite);
    return dacl;
}

Entries withoutWritePerm(Entries entries)
{
    for (Entry& entry : entries)
        entry.perm &= static_cast<std::uint16_t>(~kPermWrite);
    return entries;
}

bool operator==(const PosixAcls& left, const PosixAcls& right)
{
    return left.access == right.access && left.defaults == right.defaults;
}

// The value as encodeXattr writes it: entries that name nobody carry the
// undefined id whatever the stored one was.
Bytes normalisedXattr(const ExactBlock& value)
{
    Bytes normalised(value.data(), value.data() + value.size());
    for (std::size_t at = kXattrHeaderSize; at < normalised.size(); at += kXattrEntrySize) {
        const auto tag = static_cast<std::uint16_t>(normalised[at] | normalised[at + 1] << 8);
        if (tag != kUser && tag != kGroup)
            std::fill(normalised.begin() + at + 4, normalised.begin() + at + 8, 0xFF);
    }
    return normalised;
}

// The DACL for `acls` is one the in-memory operations accept as it is, and
// it maps back to `acls`, in their order; so does it without write rights,
// with only the write bits gone.
void requireDaclRoundTrip(const PosixAcls& acls)
{
    const Bytes daclBytes = daclFromAcls(acls);
    require(!daclBytes.empty(), "no DACL for ACLs well inside the size limit");
    ExactBlock dacl(daclBytes.data(), daclBytes.size());
    winsec::ACL_SIZE_INFORMATION sizes{};
    require(winsec::aclmemory::getAclInformation(reinterpret_cast<winsec::PACL>(dacl.data()),
                                                 &sizes, sizeof sizes,
                                                 winsec::AclSizeInformation) &&
                sizes.AceCount == acls.access.size() + acls.defaults.size() &&
                sizes.AclBytesInUse == dacl.size() && sizes.AclBytesFree == 0,
            "the DACL is not what the in-memory operations expect");
    PosixAcls back;
    require(aclsFromDacl(dacl.data(), dacl.size(), &back), "the DACL of valid ACLs was refused");
    require(back == acls, "ACLs did not survive the trip through a DACL");
    const Bytes locked = withoutWriteRight(daclBytes);
    require(aclsFromDacl(locked.data(), locked.size(), &back) &&
                back == PosixAcls{withoutWritePerm(acls.access), withoutWritePerm(acls.defaults)},
            "taking the write right changed more than the write bits");
}

// Whatever the kernel would store is decoded, and nothing else; the entries
// give back the same value and the same entries after the DACL.
void checkXattrValue(const std::uint8_t* data, std::size_t size, const Entries* defaults)
{
    ExactBlock value(data, size);
    Entries decoded;
    const bool accepted = decodeXattr(value.data(), value.size(), &decoded);
    require(accepted == kernelStores(value.data(), value.size()),
            accepted ? "decodeXattr accepted a value the kernel refuses"
                     : "decodeXattr refused a value the kernel stores");
    if (!accepted)
        return;
    require(encodeXattr(decoded) == normalisedXattr(value), "the value did not encode back");
    if (isMinimal(decoded))
        require(entriesFromMode(modeFromMinimal(decoded)) == decoded, "mode bits lost entries");
    requireDaclRoundTrip(PosixAcls{decoded, {}});
    if (defaults != nullptr)
        requireDaclRoundTrip(PosixAcls{decoded, *defaults});
}

// Two values back to back, the second starting with its own header, stand
// for the access and the default ACL of one directory.
void checkXattrPairs(const std::uint8_t* data, std::size_t size)
{
    static const std::uint8_t header[kXattrHeaderSize] = {2, 0, 0, 0};
    for (std::size_t split = kXattrHeaderSize + 3 * kXattrEntrySize;
         split + kXattrHeaderSize < size; split += kXattrEntrySize) {
        if (std::memcmp(data + split, header, sizeof header) != 0)
            continue;
        Entries defaults;
        ExactBlock second(data + split, size - split);
        if (decodeXattr(second.data(), second.size(), &defaults))
            checkXattrValue(data, split, &defaults);
    }
}

// Whatever a DACL is accepted as is a pair of valid ACLs, and the DACL
// built from them stands for them again, byte for byte on a second trip.
void checkDacl(const std::uint8_t* data, std::size_t size)
{
    ExactBlock dacl(data, size);
    PosixAcls acls;
    if (!aclsFromDacl(dacl.data(), dacl.size(), &acls))
        return;
    require(isValid(acls.access) && (acls.defaults.empty() || isValid(acls.defaults)),
            "aclsFromDacl accepted invalid ACLs");
    requireDaclRoundTrip(acls);
    const Bytes rebuilt = daclFromAcls(acls);
    PosixAcls again;
    require(aclsFromDacl(rebuilt.data(), rebuilt.size(), &again) && daclFromAcls(again) == rebuilt,
            "the rebuilt DACL is not stable");
    Entries decoded;
    const Bytes value = encodeXattr(acls.access);
    require(decodeXattr(value.data(), value.size(), &decoded) && decoded == acls.access,
            "accepted entries do not survive the xattr encoding");
}

// A SID is taken for at most one entry, and that entry's SID is the same
// bytes.
void checkSid(const std::uint8_t* data, std::size_t size)
{
    ExactBlock sid(data, size);
    Entry entry{};
    if (!entryOfSid(sid.data(), sid.size(), &entry))
        return;
    const Bytes expected = sidOf(entry);
    require(expected.size() <= size && std::equal(expected.begin(), expected.end(), sid.data()),
            "a SID was taken for an entry with another SID");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    checkXattrValue(data, size, nullptr);
    checkXattrPairs(data, size);
    checkDacl(data, size);
    checkSid(data, size);
    return 0;
}
