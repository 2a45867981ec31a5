// What one security operation acts on. The walk names an entry by the open
// folder it was listed in and its name there, which is how the POSIX backend
// reaches it; its full path is spelt only when something asks for it (a log
// line, or a platform that names objects by path), so that no level of a
// deep tree keeps or copies a whole path.
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

// What a platform opened for an object, kept with the name so that every
// operation on the same object reaches the same thing, and released with it.
class OpenedObject {
public:
    virtual ~OpenedObject() = default;
};

class ObjectName {
public:
    // `folder` holds no open folder.
    static constexpr int kNoFolder = -1;

    // Named by its path alone. Implicit: a path is the plainest name.
    ObjectName(std::string path);
    // Named by `name` inside the open folder `folder`; an empty `name` is
    // `folder` itself. `name` and `speller` outlive this.
    ObjectName(int folder, const std::string& name, const PathSpeller& speller);
    // What the listing said of it: a regular file, which may be opened for
    // reading (anything else is never opened for I/O).
    ObjectName& listedAsRegularFile();
    // Every operation on it fails with `error`: it was found where it may not
    // be reached (a configured path behind a link that must not be followed).
    ObjectName& refusedWith(int error);

    ObjectName(const ObjectName&) = delete;
    ObjectName& operator=(const ObjectName&) = delete;

    int folder() const { return folderHandle; }
    const char* name() const { return entryName; }
    bool isRegularFile() const { return regularFile; }
    int refusal() const { return refusalError; }
    std::string path() const;

    OpenedObject* opened() const { return openedObject.get(); }
    void keepOpened(std::unique_ptr<OpenedObject> object) const { openedObject = std::move(object); }

private:
    int folderHandle = kNoFolder;
    std::string ownPath; // when named by path
    const char* entryName;
    const PathSpeller* speller = nullptr;
    bool regularFile = false;
    int refusalError = 0;
    mutable std::unique_ptr<OpenedObject> openedObject;
};

} // namespace winsec

#endif
