// The mapping between POSIX ACLs and DACLs on arbitrary bytes. Taken as a
// system.posix_acl_* value, a valid ACL must come back exactly (in
// canonical order) after decode, DACL, and back; taken as a DACL, the bytes
// may be refused but whatever is accepted must map back to itself.
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

Entries canonical(Entries entries)
{
    sortCanonically(entries);
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
// it maps back to `expected`.
void requireDaclRoundTrip(const PosixAcls& acls, const PosixAcls& expected)
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
    require(back == expected, "ACLs did not survive the trip through a DACL");
}

// Valid ACLs only: the value's entries, as they were stored, give back the
// same value and, after the DACL, the same entries in canonical order.
void checkXattrValue(const std::uint8_t* data, std::size_t size, const Entries* defaults)
{
    ExactBlock value(data, size);
    Entries decoded;
    if (!decodeXattr(value.data(), value.size(), &decoded))
        return;
    const Entries sorted = canonical(decoded);
    require(isValid(sorted), "decodeXattr accepted an invalid ACL");
    require(encodeXattr(decoded) == normalisedXattr(value), "the value did not encode back");
    if (isMinimal(sorted))
        require(entriesFromMode(modeFromMinimal(sorted)) == sorted, "mode bits lost entries");
    requireDaclRoundTrip(PosixAcls{decoded, {}}, PosixAcls{sorted, {}});
    if (defaults != nullptr)
        requireDaclRoundTrip(PosixAcls{decoded, *defaults},
                             PosixAcls{sorted, canonical(*defaults)});
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
    requireDaclRoundTrip(acls, acls);
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
