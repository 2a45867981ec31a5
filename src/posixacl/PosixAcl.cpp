#include "posixacl/PosixAcl.h"

#include "posixacl/AclMemory.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace posixacl {

namespace {

constexpr std::size_t kXattrHeaderSize = 4;
constexpr std::size_t kXattrEntrySize = 8;
constexpr std::uint32_t kXattrVersion = 2;
constexpr std::uint16_t kPermBits = kPermRead | kPermWrite | kPermExecute;
using winsec::kAclRevision;
using winsec::kCreatorAuthority;
using winsec::kCreatorGroupRid;
using winsec::kCreatorOwnerRid;
using winsec::kDefaultEntryFlags;
using winsec::kSidFixedSize;
using winsec::kSidRevision;
using winsec::kUnixAuthority;
using winsec::kUnixGroupRid;
using winsec::kUnixMaskRid;
using winsec::kUnixUserRid;
using winsec::kWorldAuthority;
constexpr std::size_t kAceFixedSize = winsec::kAceWithMaskSize;
constexpr std::uint8_t kAccessAllowed = winsec::kAccessAllowedAceType;

std::uint16_t readLe16(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

std::uint32_t readLe32(const std::uint8_t* at)
{
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

void storeLe32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(value >> 8 * i);
}

void storeLe16(std::uint8_t* at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

bool isNamed(std::uint16_t tag)
{
    return tag == kUser || tag == kGroup;
}

bool moveOn(std::uint16_t* state, std::uint16_t from, std::uint16_t to)
{
    if (*state != from)
        return false;
    *state = to;
    return true;
}

// The kernel's order check, one entry at a time: `state` is the tag the
// next entry must have (named entries may repeat), 0 once the other entry
// closed the list.
bool advance(const Entry& entry, std::uint16_t* state, bool* needsMask)
{
    switch (entry.tag) {
    case kUserObj:
        return moveOn(state, kUserObj, kUser);
    case kUser:
    case kGroup:
        *needsMask = true;
        return *state == entry.tag;
    case kGroupObj:
        return moveOn(state, kUser, kGroup);
    case kMask:
        return moveOn(state, kGroup, kOther);
    case kOther:
        // The mask may be left out only when nothing is named.
        return moveOn(state, *needsMask || *state != kGroup ? kOther : kGroup, 0);
    default:
        return false;
    }
}

// Every SID of the mapping has one or two sub-authorities: 16 bytes at most.
struct SidBytes {
    std::uint8_t bytes[kSidFixedSize + 8];
    std::size_t size;
};

SidBytes makeSid(std::uint8_t authority, std::uint32_t first)
{
    SidBytes sid{{kSidRevision, 1, 0, 0, 0, 0, 0, authority}, kSidFixedSize + 4};
    storeLe32(sid.bytes + kSidFixedSize, first);
    return sid;
}

SidBytes makeSid(std::uint8_t authority, std::uint32_t first, std::uint32_t second)
{
    SidBytes sid = makeSid(authority, first);
    sid.bytes[1] = 2;
    storeLe32(sid.bytes + kSidFixedSize + 4, second);
    sid.size += 4;
    return sid;
}

SidBytes sidBytesOf(const Entry& entry)
{
    switch (entry.tag) {
    case kUserObj:
        return makeSid(kCreatorAuthority, kCreatorOwnerRid);
    case kUser:
        return makeSid(kUnixAuthority, kUnixUserRid, entry.id);
    case kGroupObj:
        return makeSid(kCreatorAuthority, kCreatorGroupRid);
    case kGroup:
        return makeSid(kUnixAuthority, kUnixGroupRid, entry.id);
    case kMask:
        return makeSid(kUnixAuthority, kUnixMaskRid, 0);
    default:
        return makeSid(kWorldAuthority, 0);
    }
}

std::size_t sidLength(const std::uint8_t* sid)
{
    return kSidFixedSize + 4 * std::size_t{sid[1]};
}

std::uint32_t rightsOf(std::uint16_t perm)
{
    return (perm & kPermRead ? kRightRead : 0) | (perm & kPermWrite ? kRightWrite : 0) |
           (perm & kPermExecute ? kRightExecute : 0);
}

bool permOf(std::uint32_t rights, std::uint16_t* perm)
{
    if ((rights & ~(kRightRead | kRightWrite | kRightExecute)) != 0)
        return false;
    *perm = (rights & kRightRead ? kPermRead : 0) | (rights & kRightWrite ? kPermWrite : 0) |
            (rights & kRightExecute ? kPermExecute : 0);
    return true;
}

// The ACE is spelt aside and appended whole.
void appendAce(Bytes& dacl, const Entry& entry, std::uint8_t flags)
{
    const SidBytes sid = sidBytesOf(entry);
    const std::size_t size = kAceFixedSize + sid.size;
    std::uint8_t ace[kAceFixedSize + sizeof sid.bytes] = {kAccessAllowed, flags};
    storeLe16(ace + 2, static_cast<std::uint16_t>(size));
    storeLe32(ace + 4, rightsOf(entry.perm));
    std::memcpy(ace + kAceFixedSize, sid.bytes, sid.size);
    dacl.insert(dacl.end(), ace, ace + size);
}

// The entry kind a well-formed SID of the mapping names; 0 for any other.
std::uint16_t tagOfSid(std::uint8_t authority, std::uint8_t count, std::uint32_t first,
                       std::uint32_t second)
{
    if (authority == kCreatorAuthority && count == 1)
        return first == kCreatorOwnerRid ? kUserObj : first == kCreatorGroupRid ? kGroupObj : 0;
    if (authority == kWorldAuthority && count == 1)
        return first == 0 ? kOther : 0;
    if (authority != kUnixAuthority || count != 2)
        return 0;
    if (first == kUnixMaskRid)
        return second == 0 ? kMask : 0;
    if (second == kUndefinedId)
        return 0;
    return first == kUnixUserRid ? kUser : first == kUnixGroupRid ? kGroup : 0;
}

// Adds the entry one ACE of `aceSize` bytes stands for to `acls`.
bool addEntryOfAce(const std::uint8_t* ace, std::size_t aceSize, PosixAcls* acls)
{
    Entry entry{};
    const std::uint8_t flags = ace[1];
    if (aceSize < kAceFixedSize || ace[0] != kAccessAllowed ||
        !permOf(readLe32(ace + 4), &entry.perm))
        return false;
    const std::uint16_t perm = entry.perm;
    if (!entryOfSid(ace + kAceFixedSize, aceSize - kAceFixedSize, &entry))
        return false;
    entry.perm = perm;
    if (flags == 0)
        acls->access.push_back(entry);
    else if (flags == kDefaultEntryFlags)
        acls->defaults.push_back(entry);
    else
        return false;
    return true;
}

} // namespace

bool operator==(const Entry& left, const Entry& right)
{
    return left.tag == right.tag && left.perm == right.perm && left.id == right.id;
}

bool isValid(const Entries& entries)
{
    std::uint16_t state = kUserObj;
    bool needsMask = false;
    for (const Entry& entry : entries) {
        if ((entry.perm & ~kPermBits) != 0 || !advance(entry, &state, &needsMask))
            return false;
        if (isNamed(entry.tag) && entry.id == kUndefinedId)
            return false;
    }
    return state == 0;
}

namespace {

bool canonicallyBefore(const Entry& left, const Entry& right)
{
    return std::tie(left.tag, left.id) < std::tie(right.tag, right.id);
}

} // namespace

// Insertion sort: ACLs are short, usually sorted already, and this takes no
// memory of its own; entries that compare equal keep their order.
void sortCanonically(Entries& entries)
{
    for (std::size_t i = 1; i < entries.size(); ++i) {
        const Entry entry = entries[i];
        std::size_t j = i;
        for (; j > 0 && canonicallyBefore(entry, entries[j - 1]); --j)
            entries[j] = entries[j - 1];
        entries[j] = entry;
    }
}

namespace {

// An ACL the kernel would store keeps its order, so that what was read
// maps back byte for byte; any other order of entries is sorted first.
bool keepOrSortValid(Entries& entries)
{
    if (isValid(entries))
        return true;
    sortCanonically(entries);
    return isValid(entries);
}

} // namespace

Entries entriesFromMode(unsigned mode)
{
    Entries entries;
    entriesFromMode(mode, &entries);
    return entries;
}

void entriesFromMode(unsigned mode, Entries* entries)
{
    *entries = {Entry{kUserObj, static_cast<std::uint16_t>(mode >> 6 & kPermBits), kUndefinedId},
                Entry{kGroupObj, static_cast<std::uint16_t>(mode >> 3 & kPermBits), kUndefinedId},
                Entry{kOther, static_cast<std::uint16_t>(mode & kPermBits), kUndefinedId}};
}

bool isMinimal(const Entries& entries)
{
    return entries.size() == 3 && entries[0].tag == kUserObj && entries[1].tag == kGroupObj &&
           entries[2].tag == kOther;
}

unsigned modeFromMinimal(const Entries& entries)
{
    return unsigned{entries[0].perm} << 6 | unsigned{entries[1].perm} << 3 | entries[2].perm;
}

bool decodeXattr(const std::uint8_t* value, std::size_t size, Entries* entries)
{
    if (value == nullptr || size < kXattrHeaderSize ||
        (size - kXattrHeaderSize) % kXattrEntrySize != 0 || readLe32(value) != kXattrVersion)
        return false;
    entries->clear();
    for (std::size_t at = kXattrHeaderSize; at < size; at += kXattrEntrySize) {
        const std::uint16_t tag = readLe16(value + at);
        entries->push_back(Entry{tag, readLe16(value + at + 2),
                                 isNamed(tag) ? readLe32(value + at + 4) : kUndefinedId});
    }
    return isValid(*entries);
}

Bytes encodeXattr(const Entries& entries)
{
    Bytes value;
    encodeXattr(entries, &value);
    return value;
}

void encodeXattr(const Entries& entries, Bytes* value)
{
    value->resize(kXattrHeaderSize + kXattrEntrySize * entries.size());
    storeLe32(value->data(), kXattrVersion);
    std::uint8_t* at = value->data() + kXattrHeaderSize;
    for (const Entry& entry : entries) {
        storeLe16(at, entry.tag);
        storeLe16(at + 2, entry.perm);
        storeLe32(at + 4, isNamed(entry.tag) ? entry.id : kUndefinedId);
        at += kXattrEntrySize;
    }
}

Bytes sidOf(const Entry& entry)
{
    Bytes sid;
    sidOf(entry, &sid);
    return sid;
}

void sidOf(const Entry& entry, Bytes* sid)
{
    const SidBytes bytes = sidBytesOf(entry);
    sid->assign(bytes.bytes, bytes.bytes + bytes.size);
}

bool entryOfSid(const std::uint8_t* sid, std::size_t size, Entry* entry)
{
    if (sid == nullptr || size < kSidFixedSize || size < sidLength(sid))
        return false;
    const std::uint8_t count = sid[1];
    if (sid[0] != kSidRevision || count < 1 || count > 2 ||
        !std::all_of(sid + 2, sid + 7, [](std::uint8_t byte) { return byte == 0; }))
        return false;
    const std::uint32_t first = readLe32(sid + kSidFixedSize);
    const std::uint32_t second = count == 2 ? readLe32(sid + kSidFixedSize + 4) : 0;
    const std::uint16_t tag = tagOfSid(sid[7], count, first, second);
    if (tag == 0)
        return false;
    *entry = Entry{tag, 0, isNamed(tag) ? second : kUndefinedId};
    return true;
}

Bytes daclFromAcls(const PosixAcls& acls)
{
    Bytes dacl;
    daclFromAcls(acls, &dacl);
    return dacl;
}

bool daclFromAcls(const PosixAcls& acls, Bytes* dacl)
{
    Bytes& bytes = *dacl;
    const std::size_t aceCount = acls.access.size() + acls.defaults.size();
    bytes.clear();
    bytes.reserve(sizeof(winsec::ACL) + aceCount * (kAceFixedSize + 16));
    bytes.resize(sizeof(winsec::ACL), 0);
    for (const Entry& entry : acls.access)
        appendAce(bytes, entry, 0);
    for (const Entry& entry : acls.defaults)
        appendAce(bytes, entry, kDefaultEntryFlags);
    if (bytes.size() > winsec::aclmemory::kMaxAclSize || aceCount > 0xFFFF) {
        bytes.clear();
        return false;
    }
    bytes[0] = kAclRevision;
    bytes[2] = static_cast<std::uint8_t>(bytes.size());
    bytes[3] = static_cast<std::uint8_t>(bytes.size() >> 8);
    bytes[4] = static_cast<std::uint8_t>(aceCount);
    bytes[5] = static_cast<std::uint8_t>(aceCount >> 8);
    return true;
}

bool aclsFromDacl(const std::uint8_t* dacl, std::size_t size, PosixAcls* acls)
{
    winsec::aclmemory::AclLayout layout{};
    if (!winsec::aclmemory::readAclLayout(dacl, size, &layout))
        return false;
    acls->access.clear();
    acls->defaults.clear();
    std::size_t at = sizeof(winsec::ACL);
    for (winsec::DWORD i = 0; i < layout.aceCount; ++i) {
        const std::uint16_t aceSize = readLe16(dacl + at + 2);
        if (!addEntryOfAce(dacl + at, aceSize, acls))
            return false;
        at += aceSize;
    }
    return keepOrSortValid(acls->access) &&
           (acls->defaults.empty() || keepOrSortValid(acls->defaults));
}

namespace {

// Where a class's bits stand in a mode: owner, group class, others.
constexpr unsigned kOwnerShift = 6;
constexpr unsigned kGroupShift = 3;
constexpr unsigned kOtherShift = 0;

bool hasMask(const Entries& entries)
{
    return std::any_of(entries.begin(), entries.end(),
                       [](const Entry& entry) { return entry.tag == kMask; });
}

// The shift of the mode bits that mask `entry`, or -1 for an entry the mode
// leaves as it is.
int modeShiftOf(const Entry& entry, bool masked)
{
    switch (entry.tag) {
    case kUserObj:
        return kOwnerShift;
    case kMask:
        return kGroupShift;
    case kGroupObj:
        return masked ? -1 : static_cast<int>(kGroupShift);
    case kOther:
        return kOtherShift;
    default:
        return -1;
    }
}

} // namespace

Entries inheritedAccess(const Entries& defaults, unsigned mode)
{
    const bool masked = hasMask(defaults);
    Entries access = defaults;
    for (Entry& entry : access) {
        const int shift = modeShiftOf(entry, masked);
        if (shift >= 0)
            entry.perm &= static_cast<std::uint16_t>((mode >> shift) & kPermBits);
    }
    return access;
}

bool creationModeOf(const Entries& access, const Entries& defaults, unsigned* mode)
{
    if (access.size() != defaults.size())
        return false;
    const bool masked = hasMask(defaults);
    unsigned found = 0;
    for (std::size_t i = 0; i < access.size(); ++i) {
        const int shift = modeShiftOf(defaults[i], masked);
        if (shift >= 0)
            found |= (access[i].perm | kPermWrite) << shift;
    }
    if (!(inheritedAccess(defaults, found) == access))
        return false;
    *mode = found;
    return true;
}

} // namespace posixacl
