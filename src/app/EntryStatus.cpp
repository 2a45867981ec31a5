#include "app/EntryStatus.h"

#include "winsec/SecurityApi.h"
#include "winsec/WriteRecord.h"

#include <cstring>
#include <optional>
#include <vector>

using namespace winsec;

namespace {

// The descriptor a read returned, released however the reading ends.
struct ReadDescriptor {
    explicit ReadDescriptor(SecurityApi& api) : api(api) {}
    ~ReadDescriptor()
    {
        if (block != nullptr)
            api.localFree(block);
    }
    ReadDescriptor(const ReadDescriptor&) = delete;
    ReadDescriptor& operator=(const ReadDescriptor&) = delete;

    SecurityApi& api;
    PSECURITY_DESCRIPTOR block = nullptr;
};

bool aceHoldsWrite(const BYTE* ace)
{
    ACE_HEADER header;
    std::memcpy(&header, ace, sizeof header);
    ACCESS_MASK mask = 0;
    if (header.AceSize >= kAceWithMaskSize)
        std::memcpy(&mask, ace + kAceHeaderSize, sizeof mask);
    return (mask & kFileWriteData) != 0;
}

// Nothing when the DACL cannot be gone through. No DACL grants everything.
std::optional<bool> holdsWrite(SecurityApi& api, PACL dacl)
{
    if (dacl == nullptr)
        return true;
    ACL_SIZE_INFORMATION size = {0, sizeof(ACL), 0};
    if (!api.getAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return std::nullopt;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        if (!api.getAce(dacl, index, &ace))
            return std::nullopt;
        if (aceHoldsWrite(static_cast<const BYTE*>(ace)))
            return true;
    }
    return false;
}

EntryReading unreadable(DWORD error)
{
    return EntryReading{EntryState::Unreadable, static_cast<int>(error)};
}

} // namespace

// The DACL is read first: the record operations act on the very file that
// read reached. A malformed record counts as none, as it does for -unlock.
EntryReading EntryStatus::read(const ObjectName& entry, const std::vector<BYTE>& folder) const
{
    ReadDescriptor descriptor(api);
    PACL dacl = nullptr;
    DWORD error = api.getNamedSecurityInfo(entry, SE_FILE_OBJECT, kDaclSecurityInformation,
                                           nullptr, nullptr, &dacl, nullptr, &descriptor.block);
    if (error != kErrorSuccess)
        return unreadable(error);
    std::vector<BYTE> record;
    RecordOwner owner;
    error = api.readWriteRecord(entry, &record);
    if (error == kErrorSuccess && parseWriteRecord(record.data(), record.size(), &owner, nullptr) &&
        owner.folder == folder)
        return EntryReading{EntryState::Recorded};
    if (error != kErrorSuccess && error != kErrorNoWriteRecord)
        return unreadable(error);
    const std::optional<bool> writable = holdsWrite(api, dacl);
    if (!writable)
        return unreadable(0);
    return EntryReading{*writable ? EntryState::WithWrite : EntryState::WithoutWrite};
}

std::vector<BYTE> EntryStatus::identify(const ObjectName& folder) const
{
    std::vector<BYTE> identity;
    if (api.identifyObject(folder, &identity) != kErrorSuccess)
        identity.clear();
    return identity;
}
