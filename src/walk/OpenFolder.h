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

enum class FileKind {
    Link,    // a symbolic link (on Windows, any reparse point)
    Folder,
    File,    // a regular file
    Other,   // a FIFO, socket or device
    Missing, // gone between the listing and the question
};

struct ListedEntry {
    std::string name;
    FileKind kind; // as the listing itself reports it, nothing followed
    // What the platform keeps open for the entry until the walk has visited
    // it (Windows: its handle, findable by its path); null on POSIX.
    std::shared_ptr<void> held;
};

class OpenFolder;

// What a name was found to be when the walk went to open it as a folder.
struct FolderOpening {
    FileKind kind;
    // For a Folder: open, though perhaps not listable; else null. A null
    // Folder exists but could not be opened at all: `listError` says why.
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
    // Folder when it still is one, Missing when it is gone, else what it is
    // now. `path` spells it for the platforms that open by path.
    FolderOpening openChild(const std::string& name, const winsec::PathSpeller& path) const;
    // Throws the Poco::FileException Poco::DirectoryIterator would throw for
    // `error` met on `path`.
    [[noreturn]] static void throwListingError(const std::string& path, int error);

    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    // How ObjectName names what lies in this folder (ObjectName::kNoFolder
    // where objects are named by path).
    int handle() const;

    // Appends the next entries of the listing, at least `least` of them
    // unless it ends first, never "." or ".."; false once it has ended.
    // Throws as throwListingError does, the entries read before the failure
    // appended.
    bool read(std::vector<ListedEntry>* entries, std::size_t least,
              const winsec::PathSpeller& path);

private:
    std::unique_ptr<State> state;
};

#endif
