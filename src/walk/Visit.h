// What the walk hands its visitor, and what the visitor gives back: each
// entry of a configured folder's tree, or what kept the walk from one, with
// its error, the way one callback gets everything.
#ifndef TOLVANE_WALK_VISIT_H
#define TOLVANE_WALK_VISIT_H

#include "winsec/ObjectName.h"

#include <exception>
#include <memory>

namespace walk {

enum class WalkFailure : unsigned char {
    None,       // `object` is the entry to change
    Missing,    // the entry was gone when the walk reached it
    Unlistable, // a folder that could not be opened or listed: `error` says why
    Broken,     // an exception ended a piece of the walk: `exception`
    // A sub-folder another file system, or another mount, is mounted on: the
    // walk stays on the configured folder's, as find -xdev does. No failure.
    OtherFileSystem,
};

// What the visitor keeps of a folder for the entries listed in it, handed
// to each of them.
class FolderNote {
public:
    virtual ~FolderNote() = default;
};

struct WalkEntry {
    // An entry to change.
    WalkEntry(const winsec::ObjectName& object, const winsec::PathSpeller& path)
        : object(&object), path(path), failure(WalkFailure::None)
    {
    }
    // What kept the walk from an entry.
    WalkEntry(WalkFailure failure, const winsec::PathSpeller& path, int error = 0,
              std::exception_ptr exception = nullptr)
        : object(nullptr), path(path), failure(failure), error(error),
          exception(std::move(exception))
    {
    }

    const winsec::ObjectName* object; // null unless failure is None
    const winsec::PathSpeller& path;
    WalkFailure failure;
    int error = 0; // the platform's error code: for Unlistable, and Missing where known
    std::exception_ptr exception;
    // The configured folder itself: always the first entry visited, before
    // anything below it.
    bool configuredFolder = false;
    // What the visit of the folder this entry is listed in noted; null for
    // the configured folder, or where nothing was noted.
    const FolderNote* folderNote = nullptr;
};

// What the visitor has to say of an entry, handed back in the walk's order.
class VisitReport {
public:
    virtual ~VisitReport() = default;
};

struct Visit {
    // False when the entry could not be changed. The walk of a configured
    // folder succeeds when the folder itself and every entry listed directly
    // in it were changed.
    bool changed = true;
    std::unique_ptr<VisitReport> report; // null: nothing to hand back
    // For a folder, handed to every entry listed in it.
    std::shared_ptr<const FolderNote> note;
};

class WalkVisitor {
public:
    // Called on any thread of the walk, for different entries at once; never
    // throws.
    virtual Visit visit(const WalkEntry& entry) = 0;
    // Each report, in the order one thread would have made them, on the
    // thread that runs the walk, with no lock of the walk held.
    virtual void deliver(std::unique_ptr<VisitReport> report) = 0;

protected:
    ~WalkVisitor() = default;
};

} // namespace walk

#endif
