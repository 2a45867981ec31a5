// The lock or the unlock of one entry: from the walk's name of it to the
// DACL rewrite and back, as an outcome with the lines it is to log.
#ifndef TOLVANE_APP_ENTRY_REWRITE_H
#define TOLVANE_APP_ENTRY_REWRITE_H

#include "app/LogLines.h"

#include "winsec/SecurityApi.h"
#include "winsec/WriteRecord.h"

#include <memory>


#include <vector>

struct EntryOutcome {
    bool changed = false;
    LogLines lines;
    // Lock could keep no record of it, or unlock left it as it was for want
    // of one.
    bool withoutRecord = false;
    // ... unlock did, although it looks locked.
    bool unrecordedLocked = false;
    // Unlock left it as it was: its record is another configured folder's.
    bool foreignRecord = false;
    // What the entries listed in it need: the unlock of its own record, or,
    // for a folder made while its folder was locked, its folder's.
    std::shared_ptr<const winsec::UnlockedFolder> unlockedFolder;
    // The platform's error codes of the steps that failed (0: none given).
    std::vector<int> errors;
};

class EntryRewrite {
public:
    EntryRewrite(winsec::SecurityApi& api, bool lock) : api(api), lock(lock) {}

    // Changes `entry` for the lock of `owner`; a failure adds the entry's own
    // -4 line after the lines of the steps that failed, and the line of
    // their reason after that. Unlock gives an entry without a record that
    // was made while `folder` (the unlocked folder it lies in, if any) was
    // locked what `folder` gives a new entry now, and notes it at INFO. Safe
    // on several threads at once for different entries.
    EntryOutcome rewrite(const winsec::ObjectName& entry, const winsec::RecordOwner& owner,
                         const std::shared_ptr<const winsec::UnlockedFolder>& folder) const;
    // Rewrites the DACL of `entry` alone: the lines of its failed steps, and
    // whether the new DACL was written (or nothing needed to be).
    EntryOutcome rewriteDacl(const winsec::ObjectName& entry,
                             const winsec::RecordOwner& owner) const;

    // The identity records name the lock of the configured folder `folder`
    // by; empty where the backend cannot tell one.
    std::vector<winsec::BYTE> identify(const winsec::ObjectName& folder) const;

    bool locks() const { return lock; }

private:
    bool inheritAfterUnlock(const winsec::ObjectName& entry,
                            const std::shared_ptr<const winsec::UnlockedFolder>& folder,
                            EntryOutcome* outcome) const;
    void addReason(const winsec::ObjectName& entry, EntryOutcome* outcome) const;

    winsec::SecurityApi& api;
    const bool lock;
};

#endif
