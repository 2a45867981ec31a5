#include "winsec/WriteRecord.h"

#include "winsec/WireConstants.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace winsec {

namespace {

constexpr std::size_t kAceFixedSize = kAceWithMaskSize;
constexpr BYTE kAllowedType = kAccessAllowedAceType;

// Head byte fields.
constexpr BYTE kFormBits = 0x07;
constexpr BYTE kKindShift = 3;
constexpr BYTE kKindBits = 0x18;
constexpr BYTE kOccurrenceBit = 0x20;
constexpr BYTE kMaskBeforeBit = 0x40;
constexpr std::size_t kMaskSize = sizeof(ACCESS_MASK);
constexpr BYTE kAllowedPlain = 0;
constexpr BYTE kAllowedDefault = 1;
constexpr BYTE kExplicitKind = 2;
constexpr BYTE kOtherBytes = 6;
constexpr BYTE kFormCount = 7;

// Forms 0-5: SIDs spelt as the head alone, or as the head and one id. The
// ones with an id end in a zero sub-authority here; the id goes there.
struct KnownSid {
    const BYTE* bytes;
    std::size_t size;
    bool hasId;
};
constexpr std::size_t kIdOffset = kWellKnownSidSize;
const KnownSid kKnownSids[6] = {
    {kEveryoneSid, kWellKnownSidSize, false},
    {kCreatorOwnerSid, kWellKnownSidSize, false},
    {kCreatorGroupSid, kWellKnownSidSize, false},
    {kUnixUserSid, kUnixSidSize, true},   // S-1-22-1-n
    {kUnixGroupSid, kUnixSidSize, true},  // S-1-22-2-n
    {kUnixMaskSid, kUnixSidSize, false},  // S-1-22-3-0
};

// The ACE's bytes behind its mask are only looked at, never kept: `tail`
// views the ACE, or the bytes a decoded item spells.
struct Identity {
    BYTE type;
    BYTE flags;
    WORD occurrence;
    std::string_view tail;
};

void appendVarint(std::string& out, std::uint32_t value)
{
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    out.push_back(static_cast<char>(value));
}

// At most five bytes, and no bit beyond the 32nd.
bool readVarint(const BYTE*& at, const BYTE* end, std::uint32_t* value)
{
    std::uint32_t result = 0;
    for (int shift = 0; shift < 35 && at < end; shift += 7) {
        const BYTE byte = *at++;
        if (shift == 28 && byte > 0x0F)
            return false;
        result |= std::uint32_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80) == 0) {
            *value = result;
            return true;
        }
    }
    return false;
}

std::uint32_t idOf(std::string_view tail)
{
    std::uint32_t id = 0;
    for (int i = 3; i >= 0; --i)
        id = id << 8 | static_cast<BYTE>(tail[kIdOffset + i]);
    return id;
}

// The form that spells `tail`: one of kKnownSids, else kOtherBytes.
BYTE formOf(std::string_view tail)
{
    for (BYTE form = 0; form < kOtherBytes; ++form) {
        const KnownSid& known = kKnownSids[form];
        const std::size_t compared = known.hasId ? kIdOffset : known.size;
        if (tail.size() == known.size && std::memcmp(tail.data(), known.bytes, compared) == 0)
            return form;
    }
    return kOtherBytes;
}

BYTE kindOf(BYTE type, BYTE flags)
{
    if (type != kAllowedType)
        return kExplicitKind;
    return flags == 0 ? kAllowedPlain : flags == kDefaultEntryFlags ? kAllowedDefault
                                                                     : kExplicitKind;
}

AceItem encode(const Identity& identity)
{
    const BYTE form = formOf(identity.tail);
    const BYTE kind = kindOf(identity.type, identity.flags);
    AceItem item(1, static_cast<char>(form | kind << kKindShift |
                                      (identity.occurrence != 0 ? kOccurrenceBit : 0)));
    if (kind == kExplicitKind) {
        item.push_back(static_cast<char>(identity.type));
        item.push_back(static_cast<char>(identity.flags));
    }
    if (identity.occurrence != 0)
        appendVarint(item, identity.occurrence);
    if (form == kOtherBytes) {
        appendVarint(item, static_cast<std::uint32_t>(identity.tail.size()));
        item += identity.tail;
    } else if (kKnownSids[form].hasId) {
        appendVarint(item, idOf(identity.tail));
    }
    return item;
}

bool decodeKind(BYTE kind, const BYTE*& at, const BYTE* end, Identity* identity)
{
    if (kind == kAllowedPlain || kind == kAllowedDefault) {
        identity->type = kAllowedType;
        identity->flags = kind == kAllowedDefault ? kDefaultEntryFlags : 0;
        return true;
    }
    if (kind != kExplicitKind || end - at < 2)
        return false;
    identity->type = *at++;
    identity->flags = *at++;
    return true;
}

bool decodeOccurrence(BYTE head, const BYTE*& at, const BYTE* end, Identity* identity)
{
    std::uint32_t occurrence = 0;
    if ((head & kOccurrenceBit) != 0 && (!readVarint(at, end, &occurrence) || occurrence > 0xFFFF))
        return false;
    identity->occurrence = static_cast<WORD>(occurrence);
    return true;
}

// A known SID is spelt into `spelled`, which the identity's tail then views.
bool decodeTail(BYTE form, const BYTE*& at, const BYTE* end, Identity* identity,
                char (&spelled)[16])
{
    std::uint32_t value = 0;
    if (form >= kFormCount)
        return false;
    const bool hasValue = form == kOtherBytes || kKnownSids[form].hasId;
    if (hasValue && !readVarint(at, end, &value))
        return false;
    if (form == kOtherBytes) {
        if (value > 0xFFFF - kAceFixedSize || value > static_cast<std::size_t>(end - at))
            return false;
        identity->tail = std::string_view(reinterpret_cast<const char*>(at), value);
        at += value;
        return true;
    }
    const KnownSid& known = kKnownSids[form];
    std::memcpy(spelled, known.bytes, known.size);
    for (int i = 0; known.hasId && i < 4; ++i)
        spelled[kIdOffset + i] = static_cast<char>(value >> 8 * i);
    identity->tail = std::string_view(spelled, known.size);
    return true;
}

// One item from `at`, which moves behind it; false when the bytes there
// are not exactly what the encoder writes for the identity they spell.
bool readItem(const BYTE*& at, const BYTE* end, AceItem* item)
{
    const BYTE* const start = at;
    const BYTE head = *at++;
    Identity identity{};
    char spelled[16];
    if ((head & ~(kFormBits | kKindBits | kOccurrenceBit | kMaskBeforeBit)) != 0 ||
        !decodeKind((head & kKindBits) >> kKindShift, at, end, &identity) ||
        !decodeOccurrence(head, at, end, &identity) ||
        !decodeTail(head & kFormBits, at, end, &identity, spelled))
        return false;
    const bool keepsMask = (head & kMaskBeforeBit) != 0;
    if (keepsMask && static_cast<std::size_t>(end - at) < kMaskSize)
        return false;
    *item = encode(identity);
    if (keepsMask) {
        ACCESS_MASK mask;
        std::memcpy(&mask, at, kMaskSize);
        at += kMaskSize;
        *item = withMaskBefore(*item, mask);
    }
    return item->size() == static_cast<std::size_t>(at - start) &&
           std::memcmp(item->data(), start, item->size()) == 0;
}

} // namespace

AceItem itemOfAce(const BYTE* ace, WORD size, WORD occurrence)
{
    const char* tail = reinterpret_cast<const char*>(ace) + kAceFixedSize;
    return encode(Identity{ace[0], ace[1], occurrence,
                           std::string_view(tail, size > kAceFixedSize ? size - kAceFixedSize : 0)});
}

AceItem withMaskBefore(const AceItem& item, ACCESS_MASK mask)
{
    AceItem kept = item;
    kept[0] = static_cast<char>(kept[0] | kMaskBeforeBit);
    for (std::size_t byte = 0; byte < kMaskSize; ++byte)
        kept.push_back(static_cast<char>(mask >> 8 * byte));
    return kept;
}

AceItem identityOfItem(const AceItem& item, ACCESS_MASK* maskBefore, bool* keepsMask)
{
    *keepsMask = !item.empty() && (item[0] & kMaskBeforeBit) != 0 && item.size() > kMaskSize;
    if (!*keepsMask)
        return item;
    *maskBefore = 0;
    for (std::size_t byte = kMaskSize; byte > 0; --byte)
        *maskBefore = *maskBefore << 8 | static_cast<BYTE>(item[item.size() - kMaskSize + byte - 1]);
    AceItem identity = item.substr(0, item.size() - kMaskSize);
    identity[0] = static_cast<char>(identity[0] & ~kMaskBeforeBit);
    return identity;
}


namespace {

constexpr std::size_t kLockTimeSize = 8;

void appendLockTime(std::vector<BYTE>* record, std::uint64_t seconds)
{
    for (std::size_t i = 0; i < kLockTimeSize; ++i)
        record->push_back(static_cast<BYTE>(seconds >> 8 * i));
}

std::uint64_t lockTimeAt(const BYTE* at)
{
    std::uint64_t seconds = 0;
    for (std::size_t i = 0; i < kLockTimeSize; ++i)
        seconds |= std::uint64_t{at[i]} << 8 * i;
    return seconds;
}

// The owner and the lock time from `at`, which moves behind them.
bool readOwner(const BYTE*& at, const BYTE* end, RecordOwner* owner)
{
    std::uint32_t length = 0;
    const BYTE* const start = at;
    if (!readVarint(at, end, &length) || length > kMaxOwnerSize ||
        static_cast<std::size_t>(end - at) < length + kLockTimeSize)
        return false;
    std::string spelt;
    appendVarint(spelt, length);
    if (spelt.size() != static_cast<std::size_t>(at - start))
        return false; // an overlong length
    owner->folder.assign(at, at + length);
    at += length;
    owner->lockTime = lockTimeAt(at);
    at += kLockTimeSize;
    return true;
}

} // namespace

std::vector<BYTE> encodeWriteRecord(const RecordOwner& owner, const std::vector<AceItem>& items)
{
    std::string head(1, static_cast<char>(kWriteRecordVersion));
    head.push_back(static_cast<char>(kWriteTaken));
    appendVarint(head, static_cast<std::uint32_t>(owner.folder.size()));
    std::size_t size = head.size() + owner.folder.size() + kLockTimeSize;
    for (const AceItem& item : items)
        size += item.size();
    std::vector<BYTE> record;
    record.reserve(size);
    record.assign(head.begin(), head.end());
    record.insert(record.end(), owner.folder.begin(), owner.folder.end());
    appendLockTime(&record, owner.lockTime);
    for (const AceItem& item : items)
        record.insert(record.end(), item.begin(), item.end());
    return record;
}

bool parseWriteRecord(const BYTE* bytes, std::size_t size, RecordOwner* owner,
                      std::vector<AceItem>* items)
{
    if (bytes == nullptr || size < 2 || bytes[0] != kWriteRecordVersion || bytes[1] != kWriteTaken)
        return false;
    const BYTE* const end = bytes + size;
    const BYTE* at = bytes + 2;
    RecordOwner parsedOwner;
    if (!readOwner(at, end, &parsedOwner) || parsedOwner.folder.size() > kMaxOwnerSize)
        return false;
    std::vector<AceItem> parsed;
    AceItem item;
    while (at < end) {
        if (!readItem(at, end, &item))
            return false;
        if (items != nullptr)
            parsed.push_back(item);
    }
    if (owner != nullptr)
        *owner = std::move(parsedOwner);
    if (items != nullptr)
        items->swap(parsed);
    return true;
}

} // namespace winsec
