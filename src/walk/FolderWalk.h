// The walk of one configured folder: depth-first, pre-order, each folder
// handed to the visitor before its entries, in the order its listing gives
// them. The work is spread over a pool of threads, by folder and, within a
// large folder, by chunks of its entries; the visitor's lines are written on
// the calling thread in exactly the order one thread would write them.
//
// The walk owns the open folders. Each folder below the configured one is
// opened from its parent's descriptor by its one name, and closed as soon as
// its listing is read and its entries and sub-folders no longer need it, so
// no depth keeps a descriptor or a path per level; a path is spelt only for
// a line that names it.
#ifndef TOLVANE_FOLDER_WALK_H
#define TOLVANE_FOLDER_WALK_H

#include "app/HeldLines.h"
#include "winsec/ObjectName.h"

#include <string>

class EntryVisitor {
public:
    // Locks or unlocks `entry`, its lines into `log`; true when it succeeded.
    // Called on any thread of the walk, for different entries at once.
    virtual bool visit(const winsec::ObjectName& entry, HeldLines& log) = 0;
    // `path` was gone when the walk reached it.
    virtual void missing(const std::string& path, HeldLines& log) = 0;
    // Called inside a catch handler: the exception ended a folder's walk.
    virtual void walkFailed(HeldLines& log) = 0;
    // Writes `lines`, in the walk's order, on the thread that runs it.
    virtual void write(const HeldLines& lines) = 0;

protected:
    ~EntryVisitor() = default;
};

// The threads a walk runs on: TOLVANE_THREADS when it holds a number from 1
// up, else one per online processor.
unsigned walkThreads();

class FolderWalk {
public:
    FolderWalk(EntryVisitor& visitor, unsigned threads);
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Walks `configuredFolder`; true when it and every entry directly in it
    // were changed. A failure never leaves the rest of a folder: every entry
    // is handed to the visitor whatever happened to those before it; a
    // sub-folder's outcome does not change its parent's; a link is neither
    // entered nor changed.
    bool run(const std::string& configuredFolder);

private:
    EntryVisitor& visitor;
    unsigned threads;
};

#endif
