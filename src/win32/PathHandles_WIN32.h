// The open handles of the walk in progress, found by the path the walk
// names them by: the configured folder, and the entry each open listing is
// at. The security operations receive paths; through this they act on the
// handle the walk opened, never on the path looked up again.
#ifndef TOLVANE_PATH_HANDLES_WIN32_H
#define TOLVANE_PATH_HANDLES_WIN32_H

#include "win32/FileHandles_WIN32.h"

#include <optional>
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

// Keeps `entry` findable under `path` for as long as it lives.
class PathRegistration {
public:
    PathRegistration(const std::string& path, const OpenEntry& entry);
    ~PathRegistration();
    PathRegistration(const PathRegistration&) = delete;
    PathRegistration& operator=(const PathRegistration&) = delete;

private:
    std::string path;
};

// The entry registered last under `path`, if any.
std::optional<OpenEntry> registeredEntry(const std::string& path);

// The entry `path` names: the walk's own when it has one; outside a walk,
// resolved afresh the way a configured folder is.
OpenEntry entryAt(const std::string& path);

} // namespace winsec

#endif
