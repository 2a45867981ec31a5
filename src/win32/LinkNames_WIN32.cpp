#include "win32/LinkNames_WIN32.h"

#include "win32/FolderResolver_WIN32.h"

#include <winternl.h>

namespace winsec {

namespace {

// The path of `handle` on its volume ("\a\b"), or nothing.
std::wstring volumePathOf(HANDLE handle, DWORD volumeForm)
{
    const DWORD length = GetFinalPathNameByHandleW(handle, nullptr, 0, volumeForm);
    if (length == 0)
        return {};
    std::wstring path(length, L'\0');
    const DWORD written = GetFinalPathNameByHandleW(handle, &path[0], length, volumeForm);
    if (written == 0 || written >= length)
        return {};
    path.resize(written);
    return path;
}

bool sameIgnoringCase(const wchar_t* left, std::size_t leftLength, const std::wstring& right)
{
    return CompareStringOrdinal(left, static_cast<int>(leftLength), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// FILE_LINKS_INFORMATION and its entries, as NtQueryInformationFile
// fills them for FileHardLinkInformation.
struct LinkEntry {
    ULONG nextEntryOffset;
    LONGLONG parentFileId;
    ULONG fileNameLength; // in characters
    WCHAR fileName[1];
};
struct LinksInformation {
    ULONG bytesNeeded;
    ULONG entriesReturned;
    LinkEntry entry;
};
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr ULONG kFirstLinksBuffer = 4096;

using QueryInformationCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                              FILE_INFORMATION_CLASS);

// The links of `file`, as the system lists them; empty when it cannot.
std::vector<BYTE> linksOf(HANDLE file)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll == nullptr
                           ? nullptr
                           : reinterpret_cast<QueryInformationCall>(reinterpret_cast<void (*)()>(
                                 GetProcAddress(ntdll, "NtQueryInformationFile")));
    std::vector<BYTE> buffer(kFirstLinksBuffer);
    for (int tries = 0; query != nullptr && tries < 2; ++tries) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = query(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                                      static_cast<FILE_INFORMATION_CLASS>(46));
        if (status >= 0)
            return buffer;
        const auto* links = reinterpret_cast<const LinksInformation*>(buffer.data());
        if (status != kStatusBufferOverflow || links->bytesNeeded <= buffer.size())
            break;
        buffer.resize(links->bytesNeeded);
    }
    return {};
}

// The path on its volume of the folder with file ID `id`.
std::wstring folderPathOf(HANDLE volumeRoot, LONGLONG id)
{
    FILE_ID_DESCRIPTOR descriptor{};
    descriptor.dwSize = sizeof descriptor;
    descriptor.Type = FileIdType;
    descriptor.FileId.QuadPart = id;
    HANDLE folder = OpenFileById(volumeRoot, &descriptor, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 FILE_FLAG_BACKUP_SEMANTICS);
    if (folder == INVALID_HANDLE_VALUE)
        return {};
    std::wstring path = volumePathOf(folder, VOLUME_NAME_NONE);
    CloseHandle(folder);
    return path;
}

// Every name of `file` on its volume ("\a\b\name"); false when one
// cannot be told.
bool namesOf(HANDLE file, HANDLE volumeRoot, std::vector<std::wstring>* names)
{
    const std::vector<BYTE> buffer = linksOf(file);
    if (buffer.size() < sizeof(LinksInformation))
        return false;
    const auto* links = reinterpret_cast<const LinksInformation*>(buffer.data());
    const BYTE* at = reinterpret_cast<const BYTE*>(&links->entry);
    const BYTE* const end = buffer.data() + buffer.size();
    for (ULONG index = 0; index < links->entriesReturned; ++index) {
        const auto* link = reinterpret_cast<const LinkEntry*>(at);
        if (at + sizeof(LinkEntry) > end ||
            reinterpret_cast<const BYTE*>(link->fileName + link->fileNameLength) > end)
            return false;
        const std::wstring folder = folderPathOf(volumeRoot, link->parentFileId);
        if (folder.empty())
            return false;
        names->push_back(folder + L"\\" + std::wstring(link->fileName, link->fileNameLength));
        if (link->nextEntryOffset == 0)
            break;
        at += link->nextEntryOffset;
    }
    return !names->empty();
}

} // namespace

ConfiguredFolders::ConfiguredFolders(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        const OpenEntry folder = resolveFolder(path);
        if (folder.handle == nullptr || folder.volume == nullptr)
            continue;
        const std::wstring onVolume = volumePathOf(folder.handle->get(), VOLUME_NAME_NONE);
        if (!onVolume.empty())
            places.push_back(Place{folder.volume->guid, onVolume});
    }
}

bool ConfiguredFolders::holdEveryName(const OpenEntry& entry) const
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (entry.handle == nullptr || !GetFileInformationByHandle(entry.handle->get(), &information))
        return false;
    if (information.nNumberOfLinks <= 1)
        return true;
    std::vector<std::wstring> names;
    if (entry.volume == nullptr || entry.volume->root == nullptr ||
        !namesOf(entry.handle->get(), entry.volume->root->get(), &names))
        return false;
    for (const std::wstring& name : names)
        if (!holds(entry.volume->guid, name))
            return false;
    return true;
}

// `name` lies inside a folder when the folder's path is a whole leading
// part of it.
bool ConfiguredFolders::holds(const std::wstring& volume, const std::wstring& name) const
{
    for (const Place& place : places) {
        const std::size_t length = place.path.size();
        if (place.volume == volume && name.size() > length && name[length] == L'\\' &&
            sameIgnoringCase(name.c_str(), length, place.path))
            return true;
    }
    return false;
}

} // namespace winsec
