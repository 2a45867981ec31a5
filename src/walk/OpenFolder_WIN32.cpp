// A folder is held by its own open handle (winsec/PathHandles_WIN32.h) and
// listed from it; each entry is opened relative to it by the name the
// listing gave, in UTF-16 as the system spells it, and stays registered
// under its path until the walk has visited it, so that every operation on
// that path acts on that handle. The configured folder is resolved once
// (winsec/FolderResolver_WIN32.h), records of files gone from its volume
// pruned on the way in.
#include "walk/OpenFolder.h"

#include "walk/EntryKind_WIN32.h"
#include "win32/FolderResolver_WIN32.h"
#include "win32/RecordStore_WIN32.h"
#include "win32/WideString_WIN32.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>

struct OpenFolder::State {
    winsec::OpenEntry open;
    std::unique_ptr<winsec::PathRegistration> registration;
    std::unique_ptr<winsec::FolderReader> reader; // for a folder
    DWORD listError = ERROR_SUCCESS;
};

namespace {

// A name surrogate by the listing's word is not even opened; any other
// entry is classified again on its handle, which shows what the name is
// now: a folder swapped for a junction since the listing is kept out too.
winsec::OpenEntry openListed(HANDLE folder, const std::wstring& name, DWORD attributes,
                             DWORD reparseTag)
{
    winsec::OpenEntry entry;
    entry.kind = winsec::classOf(attributes, reparseTag);
    if (entry.kind == winsec::EntryClass::NameSurrogate)
        return entry;
    entry.openError = winsec::openInFolder(folder, name, winsec::kEntryAccess, &entry.handle);
    if (entry.openError == ERROR_SUCCESS)
        entry.openError = winsec::classify(entry.handle->get(), &entry.kind);
    if (entry.openError != ERROR_SUCCESS)
        entry.handle.reset();
    return entry;
}

// Every kind but a gone one is held open and registered, so that the walk's
// operations on the path reach this handle or fail with its open's error.
FolderOpening held(const std::string& path, winsec::OpenEntry entry)
{
    const FileKind kind = fileKindOf(entry);
    if (kind == FileKind::Missing)
        return FolderOpening{kind, nullptr};
    auto state = std::make_unique<OpenFolder::State>();
    state->open = std::move(entry);
    state->registration.reset(new winsec::PathRegistration(path, state->open));
    if (kind == FileKind::Folder) {
        state->reader.reset(new winsec::FolderReader(state->open.handle->get()));
        state->listError = state->reader->openError();
    }
    return FolderOpening{kind, std::make_unique<OpenFolder>(std::move(state))};
}

} // namespace

OpenFolder::OpenFolder(std::unique_ptr<State> state) : state(std::move(state)) {}

OpenFolder::~OpenFolder() = default;

int OpenFolder::handle() const
{
    return winsec::ObjectName::kNoFolder;
}

void OpenFolder::throwListingError(const std::string& path, int error)
{
    SetLastError(static_cast<DWORD>(error));
    Poco::File::handleLastError(path);
    throw Poco::FileException(path, error); // not reached: the call above throws
}

FolderOpening OpenFolder::openConfigured(const std::string& path)
{
    winsec::OpenEntry entry = winsec::resolveFolder(path);
    winsec::pruneRecordsOfGoneFiles(entry);
    return held(path, std::move(entry));
}

// Opened again from this folder's handle by its name; a name that does not
// convert exactly is resolved from its path, the way a configured folder is.
FolderOpening OpenFolder::openChild(const std::string& name, const winsec::PathSpeller& path) const
{
    const std::string childPath = path.path();
    const std::optional<std::wstring> wide = utf8ToWide(name);
    winsec::OpenEntry entry;
    if (wide && state->open.handle != nullptr) {
        entry.openError = winsec::openInFolder(state->open.handle->get(), *wide,
                                               winsec::kEntryAccess, &entry.handle);
        if (entry.openError == ERROR_SUCCESS)
            entry.openError = winsec::classify(entry.handle->get(), &entry.kind);
        if (entry.openError != ERROR_SUCCESS)
            entry.handle.reset();
        entry.volume = state->open.volume;
    } else {
        entry = winsec::entryAt(childPath);
    }
    return held(childPath, std::move(entry));
}

bool OpenFolder::read(std::vector<ListedEntry>* entries, std::size_t least,
                      const winsec::PathSpeller& path)
{
    if (state->listError != ERROR_SUCCESS)
        throwListingError(path.path(), static_cast<int>(state->listError));
    const std::string prefix = Poco::Path(path.path()).makeDirectory().toString();
    const std::size_t goal = entries->size() + least;
    while (entries->size() < goal) {
        std::wstring name;
        DWORD attributes = 0;
        DWORD reparseTag = 0;
        DWORD readError = ERROR_SUCCESS;
        if (!state->reader->next(&name, &attributes, &reparseTag, &readError)) {
            if (readError != ERROR_SUCCESS)
                throwListingError(path.path(), static_cast<int>(readError));
            return false;
        }
        winsec::OpenEntry entry = openListed(state->open.handle->get(), name, attributes, reparseTag);
        entry.volume = state->open.volume;
        const FileKind kind = fileKindOf(entry);
        std::string text = wideToLogText(name);
        auto registration = std::make_shared<winsec::PathRegistration>(prefix + text, entry);
        entries->push_back(ListedEntry{std::move(text), kind, std::move(registration)});
    }
    return true;
}
