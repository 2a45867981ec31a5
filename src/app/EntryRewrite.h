// The lock or the unlock of one entry: from the walk's name of it to the
// DACL rewrite and back, as an outcome with the lines it is to log.
#ifndef TOLVANE_APP_ENTRY_REWRITE_H
#define TOLVANE_APP_ENTRY_REWRITE_H

#include "app/LogLines.h"

namespace winsec {
class ObjectName;
class SecurityApi;
} // namespace winsec

#include <vector>

struct EntryOutcome {
    bool changed = false;
    LogLines lines;
    // Lock could keep no record of it, or unlock left it as it was for want
    // of one.
    bool withoutRecord = false;
    // ... unlock did, although it looks locked.
    bool unrecordedLocked = false;
    // The platform's error codes of the steps that failed (0: none given).
    std::vector<int> errors;
};

class EntryRewrite {
public:
    EntryRewrite(winsec::SecurityApi& api, bool lock) : api(api), lock(lock) {}

    // Changes `entry`; a failure adds the entry's own -4 line after the
    // lines of the steps that failed, and the line of their reason after
    // that. Safe on several threads at once for different entries.
    EntryOutcome rewrite(const winsec::ObjectName& entry) const;
    // Rewrites the DACL of `entry` alone: the lines of its failed steps, and
    // whether the new DACL was written (or nothing needed to be).
    EntryOutcome rewriteDacl(const winsec::ObjectName& entry) const;

    bool locks() const { return lock; }

private:
    void addReason(const winsec::ObjectName& entry, EntryOutcome* outcome) const;

    winsec::SecurityApi& api;
    const bool lock;
};

#endif
