// Windows names every object by its path: a folder is held as its path and
// listed with Poco::DirectoryIterator; a reparse point below a configured
// folder is kept out of the walk by its kind.
#include "OpenFolder.h"

#include "winsec/WideString_WIN32.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>
#include <Poco/File.h>

#include <optional>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

struct OpenFolder::State {
    explicit State(std::string path) : path(std::move(path)) {}
    std::string path;
    std::optional<Poco::DirectoryIterator> current;
    Poco::DirectoryIterator end;
    bool started = false;
};

namespace {

// A reparse point (symbolic link, junction, mount point) is never entered.
FileKind kindOf(const std::string& path)
{
    const std::optional<std::wstring> wide = utf8ToWide(path);
    if (!wide)
        throw Poco::PathSyntaxException(path);
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FileKind::Missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FileKind::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Folder : FileKind::File;
}

} // namespace

OpenFolder::OpenFolder(std::unique_ptr<State> state) : state(std::move(state)) {}

OpenFolder::~OpenFolder() = default;

int OpenFolder::handle() const
{
    return winsec::ObjectName::kNoFolder;
}

void OpenFolder::throwListingError(const std::string& path, int)
{
    throw Poco::FileNotFoundException(path);
}

// Windows resolves the configured path as it is.
FolderOpening OpenFolder::openConfigured(const std::string& path)
{
    if (path.empty() || !Poco::File(path).exists())
        return FolderOpening{FileKind::Missing, nullptr};
    const FileKind kind = Poco::File(path).isDirectory() ? FileKind::Folder : FileKind::File;
    return FolderOpening{kind, std::unique_ptr<OpenFolder>(new OpenFolder(std::make_unique<State>(path)))};
}

FolderOpening OpenFolder::openChild(const std::string&, const winsec::PathSpeller& path) const
{
    std::string childPath = path.path();
    const FileKind kind = kindOf(childPath);
    if (kind != FileKind::Folder)
        return FolderOpening{kind, nullptr};
    return FolderOpening{kind, std::unique_ptr<OpenFolder>(
                                   new OpenFolder(std::make_unique<State>(std::move(childPath))))};
}

bool OpenFolder::read(std::vector<ListedEntry>* entries, std::size_t least,
                      const winsec::PathSpeller&)
{
    if (!state->current)
        state->current.emplace(state->path);
    else if (state->started)
        ++*state->current;
    state->started = true;
    const std::size_t goal = entries->size() + least;
    while (*state->current != state->end) {
        const std::string entryPath = (*state->current)->path();
        entries->push_back(ListedEntry{state->current->name(), kindOf(entryPath)});
        if (entries->size() >= goal)
            return true;
        ++*state->current;
    }
    return false;
}
