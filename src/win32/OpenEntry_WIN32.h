// What the Windows backend holds open for the walk: a folder it lists, and
// each entry its listing opened, relative to the folder's handle by the
// entry's one UTF-16 name. Every security operation acts on one of these
// handles, never on a path looked up again.
#ifndef TOLVANE_OPEN_ENTRY_WIN32_H
#define TOLVANE_OPEN_ENTRY_WIN32_H

#include "win32/FileHandles_WIN32.h"
#include "winsec/ObjectName.h"

#include <memory>
#include <string>

namespace winsec {

// The volume a configured folder is on: its GUID, and its root as the
// folder's path was resolved from. Every entry below the folder is on it,
// since no mount point is entered, so both are found once there.
struct Volume {
    std::wstring guid;
    SharedFile root;
};

// An entry as the walk met it: its handle, or why it has none.
struct OpenEntry {
    SharedFile handle;
    DWORD openError = ERROR_SUCCESS;
    EntryClass kind = EntryClass::File;
    std::shared_ptr<const Volume> volume;
};

struct FolderHandle {
    OpenEntry open;
    // The folder is a configured one, resolved from its path.
    bool configured = false;
};

struct EntryHandle {
    OpenEntry open;
    // The name exactly as the listing gave it: what the entry is opened
    // by again, never its log text.
    std::wstring name;
};

} // namespace winsec

#endif
