// The lock or the unlock of one entry: from the walk's name of it to the
// DACL rewrite and back, as an outcome with the lines it is to log.
#ifndef TOLVANE_APP_ENTRY_REWRITE_H
#define TOLVANE_APP_ENTRY_REWRITE_H

#include "app/LogLines.h"

#include "winsec/WriteRecord.h"

namespace winsec {
class ObjectName;
class SecurityApi;
} // namespace winsec

struct EntryOutcome {
    bool changed = false;
    LogLines lines;
    // Unlock left it as it was for want of a record although it looks locked.
    bool unrecordedLocked = false;
    // Unlock left it as it was: its record is another configured folder's.
    bool foreignRecord = false;
};

class EntryRewrite {
public:
    EntryRewrite(winsec::SecurityApi& api, bool lock) : api(api), lock(lock) {}

    // Changes `entry` for the lock of `owner`; a failure adds the entry's own
    // -4 line after the lines of the steps that failed. Safe on several
    // threads at once for different entries.
    EntryOutcome rewrite(const winsec::ObjectName& entry, const winsec::RecordOwner& owner) const;
    // Rewrites the DACL of `entry` alone: the lines of its failed steps, and
    // whether the new DACL was written (or nothing needed to be).
    EntryOutcome rewriteDacl(const winsec::ObjectName& entry,
                             const winsec::RecordOwner& owner) const;

    // The identity records name the lock of the configured folder `folder`
    // by; empty where the backend cannot tell one.
    std::vector<winsec::BYTE> identify(const winsec::ObjectName& folder) const;

private:
    winsec::SecurityApi& api;
    const bool lock;
};

#endif
