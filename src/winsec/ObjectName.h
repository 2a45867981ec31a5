// What one security operation acts on. The walk names an entry by the open
// folder it was listed in and its name there; where the backend opened the
// entry itself while listing it (Windows), that handle comes along, and
// every operation acts on it. The full path is spelt only when something
// asks for it (a log line), so that no level of a deep tree keeps or copies
// a whole path.
#ifndef TOLVANE_WINSEC_OBJECT_NAME_H
#define TOLVANE_WINSEC_OBJECT_NAME_H

#include <memory>
#include <string>

namespace winsec {

// Spells an object's full path on demand.
class PathSpeller {
public:
    virtual std::string path() const = 0;

protected:
    ~PathSpeller() = default;
};

// What a backend holds open: a folder entries are listed in, and an entry
// its listing opened. Each backend defines both (the POSIX one never opens
// entries while listing and leaves EntryHandle undefined).
struct FolderHandle;
struct EntryHandle;

// What a backend opened for an object on its first operation, kept with the
// name so that every later operation reaches the same thing.
class OpenedObject {
public:
    virtual ~OpenedObject() = default;
};

class ObjectName {
public:
    // `name` inside the open folder `folder`; an empty `name` is `folder`
    // itself. A null `folder` holds nothing open: every operation fails.
    // `folder`, `name` and `speller` outlive this.
    ObjectName(const FolderHandle* folder, const std::string& name, const PathSpeller& speller)
        : folderHandle(folder), entryName(name.c_str()), speller(speller)
    {
    }
    // The handle the listing opened for it.
    ObjectName& openedAs(const EntryHandle* entry)
    {
        entryHandle = entry;
        return *this;
    }
    // What the listing said of it: a regular file, which may be opened for
    // reading (anything else is never opened for I/O).
    ObjectName& listedAsRegularFile()
    {
        regularFile = true;
        return *this;
    }
    // Every operation on it fails with `error`: it was found where it may not
    // be reached (a configured path behind a link that must not be followed).
    ObjectName& refusedWith(int error)
    {
        refusalError = error;
        return *this;
    }

    ObjectName(const ObjectName&) = delete;
    ObjectName& operator=(const ObjectName&) = delete;

    const FolderHandle* folder() const { return folderHandle; }
    const char* name() const { return entryName; }
    bool isFolderItself() const { return entryName[0] == '\0'; }
    const EntryHandle* entry() const { return entryHandle; }
    bool isRegularFile() const { return regularFile; }
    int refusal() const { return refusalError; }
    std::string path() const { return speller.path(); }

    OpenedObject* opened() const { return openedObject.get(); }
    void keepOpened(std::unique_ptr<OpenedObject> object) const { openedObject = std::move(object); }

private:
    const FolderHandle* folderHandle;
    const char* entryName;
    const PathSpeller& speller;
    const EntryHandle* entryHandle = nullptr;
    bool regularFile = false;
    int refusalError = 0;
    mutable std::unique_ptr<OpenedObject> openedObject;
};

} // namespace winsec

#endif
