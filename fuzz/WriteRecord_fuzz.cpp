// The record of what -lock took, on arbitrary bytes, taken two ways. As a
// stored record: it may be refused, but one that is accepted has exactly
// one spelling, so it must encode back to the very same bytes. As a list of
// ACEs one behind the other: the record made of their items must be
// accepted and give back exactly those items, occurrences included, and
// items of ACEs that differ in anything but their mask must differ.
#include "FuzzSupport.h"
#include "winsec/WriteRecord.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace winsec;
using fuzzing::ExactBlock;
using fuzzing::require;

namespace {

constexpr std::size_t kAceFixedSize = 8;

void checkAsRecord(const ExactBlock& bytes)
{
    RecordOwner owner;
    std::vector<AceItem> items;
    if (!parseWriteRecord(bytes.data(), bytes.size(), &owner, &items))
        return;
    const std::vector<BYTE> again = encodeWriteRecord(owner, items);
    require(again.size() == bytes.size() && std::equal(again.begin(), again.end(), bytes.data()),
            "an accepted record has another spelling");
}

// The ACE at `at`, its size taken from its header as a DACL would.
bool nextAce(const ExactBlock& bytes, std::size_t at, WORD* size)
{
    if (bytes.size() - at < kAceFixedSize)
        return false;
    WORD aceSize = 0;
    std::memcpy(&aceSize, bytes.data() + at + 2, sizeof aceSize);
    if (aceSize < kAceFixedSize || aceSize > bytes.size() - at)
        return false;
    *size = aceSize;
    return true;
}

// Every ACE without its mask, for telling apart what items must tell apart.
std::vector<BYTE> identityBytes(const BYTE* ace, WORD size, WORD occurrence)
{
    std::vector<BYTE> identity(ace, ace + 2);
    identity.insert(identity.end(), ace + kAceFixedSize, ace + size);
    identity.push_back(static_cast<BYTE>(occurrence));
    identity.push_back(static_cast<BYTE>(occurrence >> 8));
    return identity;
}

void checkAsAces(const ExactBlock& bytes)
{
    std::vector<AceItem> items;
    std::vector<std::vector<BYTE>> identities;
    WORD size = 0;
    for (std::size_t at = 0; nextAce(bytes, at, &size); at += size) {
        const WORD occurrence = static_cast<WORD>(items.size() % 3);
        const AceItem item = itemOfAce(bytes.data() + at, size, occurrence);
        const std::vector<BYTE> identity = identityBytes(bytes.data() + at, size, occurrence);
        for (std::size_t i = 0; i < items.size(); ++i)
            require((items[i] == item) == (identities[i] == identity),
                    "two ACEs share an item exactly when they share an identity");
        items.push_back(item);
        identities.push_back(identity);
    }
    const RecordOwner owner{std::vector<BYTE>(bytes.data(), bytes.data() + std::min<std::size_t>(
                                                                  bytes.size(), kMaxOwnerSize)),
                            bytes.size()};
    const std::vector<BYTE> record = encodeWriteRecord(owner, items);
    const ExactBlock stored(record.data(), record.size());
    RecordOwner parsedOwner;
    std::vector<AceItem> parsed;
    require(parseWriteRecord(stored.data(), stored.size(), &parsedOwner, &parsed),
            "a record the encoder wrote is refused");
    require(parsed == items && parsedOwner.folder == owner.folder &&
                parsedOwner.lockTime == owner.lockTime,
            "a record does not give back its owner and items");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ExactBlock bytes(data, size);
    checkAsRecord(bytes);
    checkAsAces(bytes);
    return 0;
}
