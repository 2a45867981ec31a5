// How the walk sees an entry the Windows backend opened.
#ifndef TOLVANE_ENTRY_KIND_WIN32_H
#define TOLVANE_ENTRY_KIND_WIN32_H

#include "walk/OpenFolder.h"
#include "win32/OpenEntry_WIN32.h"

namespace walk {

// A name surrogate is a link to the walk; an entry that could not be opened
// is missing only when the system says it is gone, and otherwise keeps its
// class, so that its own operations fail with their own lines.
inline FileKind fileKindOf(const winsec::OpenEntry& entry)
{
    const bool gone = entry.handle == nullptr && (entry.openError == ERROR_FILE_NOT_FOUND ||
                                                  entry.openError == ERROR_PATH_NOT_FOUND);
    if (gone)
        return FileKind::Missing;
    switch (entry.kind) {
    case winsec::EntryClass::NameSurrogate:
        return FileKind::Link;
    case winsec::EntryClass::Folder:
        return FileKind::Folder;
    case winsec::EntryClass::File:
        break;
    }
    return FileKind::Other;
}

} // namespace walk

#endif
