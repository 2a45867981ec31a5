// A folder is held by its own open handle and listed from it; each entry is
// opened relative to it by the name the listing gave, in UTF-16 as the
// system spells it, and that handle travels with the listed entry until the
// walk has visited it: every operation on the entry acts on it, and a
// sub-folder is listed from it. The configured folder is resolved once
// (win32/FolderResolver_WIN32.h).
#include "walk/OpenFolder.h"

#include "walk/EntryKind_WIN32.h"
#include "win32/FolderResolver_WIN32.h"
#include "win32/WideString_WIN32.h"
#include "winsec/SecurityApi.h"

namespace walk {

struct OpenFolder::State {
    winsec::FolderHandle folder;
    std::unique_ptr<winsec::FolderReader> reader; // for a folder
    DWORD listError = ERROR_SUCCESS;
    bool ended = false;
};

namespace {

// Opened by its one name in `folder`, and classified on its own handle.
winsec::OpenEntry openByName(const winsec::FolderHandle& folder, const std::wstring& name)
{
    winsec::OpenEntry entry;
    entry.volume = folder.open.volume;
    if (folder.open.handle == nullptr) {
        entry.openError = ERROR_INVALID_HANDLE;
        return entry;
    }
    entry.openError = winsec::openInFolder(folder.open.handle->get(), name, winsec::kEntryAccess,
                                           &entry.handle);
    if (entry.openError == ERROR_SUCCESS)
        entry.openError = winsec::classify(entry.handle->get(), &entry.kind);
    if (entry.openError != ERROR_SUCCESS)
        entry.handle.reset();
    return entry;
}

// A name surrogate by the listing's word is not even opened; any other
// entry is classified again on its handle, which shows what the name is
// now: a folder swapped for a junction since the listing is kept out too.
winsec::EntryHandle openListed(const winsec::FolderHandle& folder, std::wstring name,
                               DWORD attributes, DWORD reparseTag)
{
    winsec::EntryHandle entry;
    if (winsec::classOf(attributes, reparseTag) == winsec::EntryClass::NameSurrogate) {
        entry.open.kind = winsec::EntryClass::NameSurrogate;
        entry.open.volume = folder.open.volume;
    } else {
        entry.open = openByName(folder, name);
    }
    entry.name = std::move(name);
    return entry;
}

// A folder held open, and listable when its listing handle opens.
FolderOpening heldFolder(winsec::OpenEntry entry, bool configured)
{
    auto state = std::make_unique<OpenFolder::State>();
    state->folder = winsec::FolderHandle{std::move(entry), configured};
    state->reader.reset(new winsec::FolderReader(state->folder.open.handle->get()));
    state->listError = state->reader->openError();
    return FolderOpening{FileKind::Folder, std::make_unique<OpenFolder>(std::move(state))};
}

// A name surrogate where a folder is to be opened is neither entered nor
// changed: every operation on it is refused.
FolderOpening refusedLink()
{
    return FolderOpening{FileKind::Link, nullptr, 0,
                         static_cast<int>(winsec::kErrorRefusedReparsePoint)};
}

} // namespace

OpenFolder::OpenFolder(std::unique_ptr<State> state) : state(std::move(state)) {}

OpenFolder::~OpenFolder() = default;

const winsec::FolderHandle& OpenFolder::handle() const
{
    return state->folder;
}

// Anything but a folder is held open too, or with its open's error, as the
// object every operation reaches. One on a volume without a GUID (a share,
// FAT) is refused before anything is changed: no record could name what
// its lock took.
FolderOpening OpenFolder::openConfigured(const std::string& path)
{
    winsec::OpenEntry entry = winsec::resolveFolder(path);
    const FileKind kind = fileKindOf(entry);
    if (kind == FileKind::Missing)
        return FolderOpening{kind, nullptr};
    if (kind == FileKind::Link)
        return refusedLink();
    if (entry.handle != nullptr && entry.volume == nullptr)
        return FolderOpening{FileKind::Other, nullptr, 0,
                             static_cast<int>(winsec::kErrorWriteRecordsUnsupported)};
    if (kind == FileKind::Folder && entry.handle != nullptr)
        return heldFolder(std::move(entry), true);
    auto state = std::make_unique<State>();
    state->folder = winsec::FolderHandle{std::move(entry), true};
    return FolderOpening{kind, std::make_unique<OpenFolder>(std::move(state))};
}

// The handle the listing opened, or where that open failed, the entry opened
// again by its UTF-16 name; either way classified again on the handle.
FolderOpening OpenFolder::openChild(const ListedEntry& entry) const
{
    const winsec::EntryHandle* listed = entry.opened.get();
    if (listed == nullptr)
        return FolderOpening{FileKind::Folder, nullptr, ERROR_INVALID_HANDLE};
    winsec::OpenEntry open = listed->open;
    if (open.handle == nullptr)
        open = openByName(state->folder, listed->name);
    else
        open.openError = winsec::classify(open.handle->get(), &open.kind);
    if (open.openError != ERROR_SUCCESS)
        open.handle.reset();
    const FileKind kind = fileKindOf(open);
    if (kind == FileKind::Link)
        return refusedLink();
    if (kind != FileKind::Folder)
        return FolderOpening{kind, nullptr};
    if (open.handle == nullptr)
        return FolderOpening{kind, nullptr, static_cast<int>(open.openError)};
    return heldFolder(std::move(open), false);
}

bool OpenFolder::read(std::vector<ListedEntry>* entries, std::size_t least, int* error)
{
    *error = static_cast<int>(state->listError);
    const std::size_t goal = entries->size() + least;
    while (*error == 0 && !state->ended && entries->size() < goal) {
        std::wstring name;
        DWORD attributes = 0;
        DWORD reparseTag = 0;
        DWORD readError = ERROR_SUCCESS;
        if (!state->reader->next(&name, &attributes, &reparseTag, &readError)) {
            state->ended = true;
            *error = static_cast<int>(readError);
            break;
        }
        auto listed = std::make_shared<const winsec::EntryHandle>(
            openListed(state->folder, std::move(name), attributes, reparseTag));
        entries->push_back(
            ListedEntry{wideToLogText(listed->name), fileKindOf(listed->open), std::move(listed)});
    }
    return *error == 0 && !state->ended;
}

} // namespace walk
