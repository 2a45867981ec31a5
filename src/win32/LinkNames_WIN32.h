// Where the names of a file with several links lie. A lock reaches a file
// by one name; a user who may add a name to a file outside every configured
// folder (a hard link needs no more than write access to the file) could
// otherwise have the lock take write from it, and, deleting the link, keep
// it locked for good. Such a file is changed only when every one of its
// names lies inside a configured folder.
#ifndef TOLVANE_LINK_NAMES_WIN32_H
#define TOLVANE_LINK_NAMES_WIN32_H

#include "win32/OpenEntry_WIN32.h"

#include <string>
#include <vector>

namespace winsec {

class ConfiguredFolders {
public:
    // The folders as Tolvane.ini gives them; one that cannot be resolved
    // holds no name.
    explicit ConfiguredFolders(const std::vector<std::string>& paths);

    // True when the file behind `entry` has one name, or every one of its
    // names lies inside one of the folders; false also when the names
    // cannot be listed.
    bool holdEveryName(const OpenEntry& entry) const;

private:
    // A folder by its volume and its path on that volume ("\a\b").
    struct Place {
        std::wstring volume;
        std::wstring path;
    };
    bool holds(const std::wstring& volume, const std::wstring& name) const;

    std::vector<Place> places;
};

} // namespace winsec

#endif
