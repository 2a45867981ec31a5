// A folder the walk holds open, and its listing; one platform's half each
// side. Below the configured folder everything is reached from the open
// folder above it by one name, never by a path walked again (POSIX: one
// openat, no link followed), so depth costs neither time nor path length.
#ifndef TOLVANE_OPEN_FOLDER_H
#define TOLVANE_OPEN_FOLDER_H

#include "winsec/ObjectName.h"

#include <memory>
#include <string>
#include <vector>

namespace walk {

enum class FileKind {
    Link,    // a symbolic link (on Windows, any reparse point)
    Folder,
    File,    // a regular file
    Other,   // a FIFO, socket or device
    Missing, // gone between the listing and the question
    Mount,   // a folder another file system, or another mount, is mounted on
};

struct ListedEntry {
    std::string name;
    FileKind kind; // as the listing itself reports it, nothing followed
    // What the listing opened for the entry, kept until the walk has
    // visited it (Windows); null where entries are opened when visited.
    std::shared_ptr<const winsec::EntryHandle> opened;
};

class OpenFolder;

// What a name was found to be when the walk went to open it as a folder.
struct FolderOpening {
    FileKind kind;
    // For a Folder: open, though perhaps not listable; else null, or for the
    // configured path what holds it open. A null Folder exists but could not
    // be opened at all: `listError` says why, as it does, where the platform
    // said, for what is Missing.
    std::unique_ptr<OpenFolder> folder;
    int listError = 0;
    // Nonzero for a path the platform may not follow (a Link): every
    // operation on it fails with this error.
    int refusal = 0;
};

class OpenFolder {
public:
    struct State; // the platform's hold on the folder, defined by each half
    explicit OpenFolder(std::unique_ptr<State> state);

    // The configured path, resolved as the platform requires. A File or
    // Other is held open too, as the object every operation reaches.
    static FolderOpening openConfigured(const std::string& path);
    // The entry `name` of this folder that its listing called a folder:
    // Folder when it still is one, Missing when it is gone, Mount when it is
    // a mount point (not opened: the walk stays on the configured folder's
    // file system), else what it is now.
    FolderOpening openChild(const ListedEntry& entry) const;

    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    // What ObjectName names this folder and its entries by.
    const winsec::FolderHandle& handle() const;

    // Appends the next entries of the listing, at least `least` of them
    // unless it ends first, never "." or ".."; false once it has ended or
    // failed. A failure leaves the platform's error in `*error`, the entries
    // read before it appended.
    bool read(std::vector<ListedEntry>* entries, std::size_t least, int* error);

private:
    std::unique_ptr<State> state;
};

} // namespace walk

#endif
