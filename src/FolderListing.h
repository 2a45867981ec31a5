// The entries of one folder, in the order the system lists them, with their
// paths spelt as Poco::DirectoryIterator spells them and their kind as the
// listing itself reports it, without following anything.
#ifndef TOLVANE_FOLDER_LISTING_H
#define TOLVANE_FOLDER_LISTING_H

#include <memory>
#include <string>

enum class FileKind {
    Link,    // a symbolic link (on Windows, any reparse point)
    Folder,
    Other,
    Missing, // gone between the listing and the question
};

class FolderListing {
public:
    // Opens the listing; throws the Poco::FileException that
    // Poco::DirectoryIterator would throw for the same failure.
    explicit FolderListing(const std::string& folder);
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    // What every entry's path begins with: `folder` as a directory, spelt
    // the way Poco::Path spells it.
    static std::string prefixOf(const std::string& folder);

    // What `path` names now, asked the way the listing of its folder would
    // be (below a configured folder: from the open folder, no link
    // followed); Missing when it cannot be looked at at all.
    static FileKind kindAt(const std::string& path);

    // Moves to the next entry; false when there is none left.
    bool next();
    const std::string& path() const { return entryPath; }
    FileKind kind() const { return entryKind; }

private:
    struct State; // the platform's handle on the open listing

    std::unique_ptr<State> state;
    std::string entryPath;
    FileKind entryKind = FileKind::Other;
};

#endif
