// What -status finds of one entry: whether it has a record of a lock and,
// if not, whether some ACE of its DACL holds the write-data right. It only
// reads.
#ifndef TOLVANE_APP_ENTRY_STATUS_H
#define TOLVANE_APP_ENTRY_STATUS_H

namespace winsec {
class ObjectName;
class SecurityApi;
} // namespace winsec

enum class EntryState : unsigned char {
    Recorded,     // has a record of a lock
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

    // Safe on several threads at once for different entries.
    EntryReading read(const winsec::ObjectName& entry) const;

private:
    winsec::SecurityApi& api;
};

#endif
