#include "win32/FileHandles_WIN32.h"

#include <winternl.h>

#include <cstring>

namespace winsec {

namespace {

// Not every system knows OBJ_DONT_REPARSE (Windows 10 1709 and later do);
// one that refuses it is asked again without it, once.
constexpr ULONG kObjDontReparse = 0x1000;
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
constexpr ULONG kOpenOptions = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                               FILE_OPEN_NO_RECALL | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t kListingBufferSize = 64 * 1024;

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtQueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK,
                                                  PVOID, ULONG, FILE_INFORMATION_CLASS, BOOLEAN,
                                                  PUNICODE_STRING, BOOLEAN);
using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);

// The ntdll calls, looked up where they are made: tolvane.exe imports no
// ntdll symbol, and a lookup in the loaded module costs little next to the
// call.
struct NtCalls {
    NtCreateFileCall createFile = nullptr;
    NtQueryDirectoryFileCall queryDirectory = nullptr;
    StatusToErrorCall toError = nullptr;
};

NtCalls ntCalls()
{
    NtCalls calls;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return calls;
    calls.createFile = reinterpret_cast<NtCreateFileCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtCreateFile")));
    calls.queryDirectory = reinterpret_cast<NtQueryDirectoryFileCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryDirectoryFile")));
    calls.toError = reinterpret_cast<StatusToErrorCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    return calls;
}

DWORD errorOf(NTSTATUS status)
{
    const NtCalls calls = ntCalls();
    return calls.toError != nullptr ? calls.toError(status) : ERROR_GEN_FAILURE;
}

NTSTATUS createFile(HANDLE root, const std::wstring& name, ULONG attributes, ACCESS_MASK access,
                    ULONG options, HANDLE* opened)
{
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = const_cast<PWSTR>(name.data());
    unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicodeName.MaximumLength = unicodeName.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &unicodeName, attributes, root, nullptr);
    IO_STATUS_BLOCK io{};
    return ntCalls().createFile(opened, access, &object, &io, nullptr, 0, kShareAll, FILE_OPEN,
                                options, nullptr, 0);
}

// A name no UNICODE_STRING can hold is no name of any file.
DWORD open(HANDLE root, const std::wstring& name, ULONG attributes, ACCESS_MASK access,
           ULONG options, SharedFile* entry)
{
    if (ntCalls().createFile == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    if (name.size() > 0x7FFF)
        return ERROR_FILENAME_EXCED_RANGE;
    HANDLE opened = nullptr;
    NTSTATUS status = createFile(root, name, attributes, access, options, &opened);
    // Without the restore privilege the DACL may still be read; its write
    // then fails on its own, with its own line.
    if (errorOf(status) == ERROR_ACCESS_DENIED && (access & WRITE_DAC) != 0)
        status = createFile(root, name, attributes, access & ~WRITE_DAC, options, &opened);
    if (!NT_SUCCESS(status))
        return errorOf(status);
    *entry = std::make_shared<const FileHandle>(opened);
    return ERROR_SUCCESS;
}

bool isDotName(const wchar_t* name, std::size_t length)
{
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED for a
// privilege the token does not hold.
bool enablePrivilege(HANDLE token, const wchar_t* name)
{
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
           AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
           GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

} // namespace

FileHandle::~FileHandle()
{
    CloseHandle(handle);
}

EntryClass classOf(DWORD attributes, DWORD reparseTag)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag)))
        return EntryClass::NameSurrogate;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryClass::Folder : EntryClass::File;
}

// OBJ_DONT_REPARSE refuses whatever reparse the single name might still
// meet; FILE_OPEN_REPARSE_POINT already opens a reparse point as itself. A
// system that does not know the flag refuses it as a parameter.
DWORD openInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                   SharedFile* entry)
{
    if (name.empty() || name.find(L'\\') != std::wstring::npos)
        return ERROR_INVALID_NAME;
    const DWORD error = open(folder, name, kObjDontReparse, access, kOpenOptions, entry);
    if (error != errorOf(kStatusInvalidParameter))
        return error;
    return open(folder, name, 0, access, kOpenOptions, entry);
}

DWORD openNtPath(const std::wstring& ntPath, ACCESS_MASK access, SharedFile* entry)
{
    return open(nullptr, ntPath, OBJ_CASE_INSENSITIVE, access,
                FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, entry);
}

// One entry of a listing handle opened on the folder, the name its filter.
DWORD listedClassOf(HANDLE folder, const std::wstring& name, EntryClass* kind)
{
    SharedFile listing;
    DWORD error = open(folder, std::wstring(), 0, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                       kOpenOptions | FILE_DIRECTORY_FILE, &listing);
    if (error != ERROR_SUCCESS)
        return error;
    if (ntCalls().queryDirectory == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    alignas(FILE_FULL_DIR_INFO) BYTE buffer[sizeof(FILE_FULL_DIR_INFO) + 2 * MAX_PATH * 2];
    UNICODE_STRING filter;
    filter.Buffer = const_cast<PWSTR>(name.data());
    filter.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    filter.MaximumLength = filter.Length;
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ntCalls().queryDirectory(
        listing->get(), nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
        FileFullDirectoryInformation, TRUE, &filter, TRUE);
    if (!NT_SUCCESS(status))
        return errorOf(status);
    FILE_FULL_DIR_INFO entry;
    std::memcpy(&entry, buffer, offsetof(FILE_FULL_DIR_INFO, FileName));
    *kind = classOf(entry.FileAttributes,
                    (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.EaSize : 0);
    return ERROR_SUCCESS;
}

DWORD classify(HANDLE entry, EntryClass* kind)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag))
        return GetLastError();
    *kind = classOf(tag.FileAttributes, tag.ReparseTag);
    return ERROR_SUCCESS;
}

DWORD fileIdOf(HANDLE entry, BYTE (*fileId)[16])
{
    FILE_ID_INFO id{};
    if (!GetFileInformationByHandleEx(entry, FileIdInfo, &id, sizeof id))
        return GetLastError();
    std::memcpy(*fileId, id.FileId.Identifier, sizeof *fileId);
    return ERROR_SUCCESS;
}

// Taken from the name the system gives the open file; the path behind the
// volume is not used.
DWORD volumeGuidOf(HANDLE entry, std::wstring* volumeGuid)
{
    std::wstring finalPath(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(entry, &finalPath[0],
                                             static_cast<DWORD>(finalPath.size()), VOLUME_NAME_GUID);
    if (length >= finalPath.size()) {
        finalPath.resize(length + 1);
        length = GetFinalPathNameByHandleW(entry, &finalPath[0],
                                           static_cast<DWORD>(finalPath.size()), VOLUME_NAME_GUID);
    }
    if (length == 0 || length >= finalPath.size())
        return length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    finalPath.resize(length);
    const std::size_t open = finalPath.find(L'{');
    const std::size_t close = finalPath.find(L'}');
    if (open == std::wstring::npos || close == std::wstring::npos || close < open)
        return ERROR_NOT_SUPPORTED;
    *volumeGuid = finalPath.substr(open, close - open + 1);
    return ERROR_SUCCESS;
}

// The listing gets its own handle, opened on the folder's handle by the
// empty name: the same folder, not looked up again.
FolderReader::FolderReader(HANDLE folder)
    : error(open(folder, std::wstring(), 0, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                 kOpenOptions | FILE_DIRECTORY_FILE, &listing)),
      buffer(new BYTE[kListingBufferSize])
{
}

bool FolderReader::refill(DWORD* readError)
{
    const FILE_INFO_BY_HANDLE_CLASS kind = started ? FileFullDirectoryInfo
                                                   : FileFullDirectoryRestartInfo;
    started = true;
    at = 0;
    filled = GetFileInformationByHandleEx(listing->get(), kind, buffer.get(),
                                          static_cast<DWORD>(kListingBufferSize)) != 0;
    if (!filled) {
        const DWORD last = GetLastError();
        *readError = last == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : last;
    }
    return filled;
}

bool FolderReader::next(std::wstring* name, DWORD* attributes, DWORD* reparseTag,
                        DWORD* readError)
{
    *readError = error;
    if (error != ERROR_SUCCESS)
        return false;
    for (;;) {
        if (!filled && !refill(readError))
            return false;
        FILE_FULL_DIR_INFO entry;
        std::memcpy(&entry, buffer.get() + at, offsetof(FILE_FULL_DIR_INFO, FileName));
        const wchar_t* text = reinterpret_cast<const wchar_t*>(
            buffer.get() + at + offsetof(FILE_FULL_DIR_INFO, FileName));
        const std::size_t length = entry.FileNameLength / sizeof(wchar_t);
        if (entry.NextEntryOffset == 0)
            filled = false;
        else
            at += entry.NextEntryOffset;
        if (isDotName(text, length))
            continue;
        name->assign(text, length);
        *attributes = entry.FileAttributes;
        // The listing gives a reparse point's tag where extended attributes'
        // size would be.
        *reparseTag = (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.EaSize : 0;
        return true;
    }
}

bool enableBackupPrivileges()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return false;
    const bool backup = enablePrivilege(token, L"SeBackupPrivilege");
    const bool restore = enablePrivilege(token, L"SeRestorePrivilege");
    CloseHandle(token);
    return backup && restore;
}

} // namespace winsec
