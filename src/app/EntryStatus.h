// What -status finds of one entry: whether it has a record of this
// configured folder's lock and,
// if not, whether some ACE of its DACL holds the write-data right. It only
// reads.
#ifndef TOLVANE_APP_ENTRY_STATUS_H
#define TOLVANE_APP_ENTRY_STATUS_H

#include <vector>

namespace winsec {
class ObjectName;
class SecurityApi;
} // namespace winsec

enum class EntryState : unsigned char {
    Recorded,     // has a record of this configured folder's lock
    WithoutWrite, // no record, and no ACE holds 0x2
    WithWrite,    // no record, and some ACE holds 0x2
    Unreadable,   // its DACL or its record could not be read
};
constexpr unsigned kEntryStates = 4;

struct EntryReading {
    EntryState state;
    int error = 0; // the platform's error code of an Unreadable entry, 0 if none was given
};

class EntryStatus {
public:
    explicit EntryStatus(winsec::SecurityApi& api) : api(api) {}

    // Safe on several threads at once for different entries. A record of
    // another configured folder's lock (`folder` names this one's) counts
    // as none.
    EntryReading read(const winsec::ObjectName& entry,
                      const std::vector<unsigned char>& folder) const;
    // What records name the lock of the configured folder `folder` by.
    std::vector<unsigned char> identify(const winsec::ObjectName& folder) const;

private:
    winsec::SecurityApi& api;
};

#endif
