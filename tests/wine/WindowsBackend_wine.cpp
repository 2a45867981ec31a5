// Drives the Windows security layer (SecurityApi_WIN32.cpp) and the lock and
// unlock sequence above it on real files, as the program does: built with
// MinGW-w64 and run under Wine on Linux, or run as is on Windows. Every step
// prints one line; the exit status is 0 only if every step passed.
//
// Wine keeps no security descriptor for a file: SetFileSecurityW turns the
// DACL into the Unix rwx bits and every read builds a DACL from those bits
// again. So the DACL handed to SetFileSecurityW is checked as it is handed
// over, and the DACL read back must equal it only where the system keeps it;
// under Wine that comparison is printed as a note.
#include "app/InputTrust.h"
#include "win32/DaclForm_WIN32.h"
#include "winsec/DaclRewrite.h"
#include "win32/FolderResolver_WIN32.h"
#include "win32/RecordStore_WIN32.h"
#include "winsec/SecurityApi.h"
#include "win32/WideString_WIN32.h"
#include "winsec/WriteRecord.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace winsec;

using Ace = std::vector<BYTE>;
using Aces = std::vector<Ace>;

constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;

int passed = 0;
int failed = 0;
bool underWine = false;

bool check(bool condition, const std::string& step, const std::string& path)
{
    std::printf("%s: %s: %s\n", condition ? "ok" : "FAILED", step.c_str(), path.c_str());
    std::fflush(stdout);
    ++(condition ? passed : failed);
    return condition;
}

// A comparison that only a system that keeps the written DACL can pass.
void checkKept(bool condition, const std::string& step, const std::string& path)
{
    if (!underWine)
        check(condition, step, path);
    else
        std::printf("note: %s: %s (%s under Wine)\n", step.c_str(), path.c_str(),
                    condition ? "holds" : "not kept");
}

void detectWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC version = ntdll != nullptr ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
    underWine = version != nullptr;
    if (underWine)
        std::printf("running under Wine %s\n",
                    reinterpret_cast<const char* (*)()>(reinterpret_cast<void (*)()>(version))());
}

std::string wideToUtf8(const std::wstring& wide)
{
    const int wideLength = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &text[0], length, nullptr,
                            nullptr);
    return text;
}

std::wstring wide(const std::string& path)
{
    return utf8ToWide(path).value_or(std::wstring());
}

// A folder of its own below the temporary folder, so that runs never meet.
std::string makeWorkFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, temp) == 0)
        return std::string();
    const std::string folder =
        wideToUtf8(temp) + "tolvane-wine-" + std::to_string(GetCurrentProcessId());
    if (!CreateDirectoryW(wide(folder).c_str(), nullptr))
        return std::string();
    return folder;
}

bool makeFile(const std::string& path)
{
    HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, "data\n", 5, &written, nullptr);
    CloseHandle(file);
    return wrote && written == 5;
}

bool makeFolder(const std::string& path)
{
    return CreateDirectoryW(wide(path).c_str(), nullptr) != 0;
}

Ace aceBytes(LPVOID ace)
{
    ACE_HEADER header;
    std::memcpy(&header, ace, sizeof header);
    const BYTE* bytes = static_cast<const BYTE*>(ace);
    return Ace(bytes, bytes + header.AceSize);
}

ACCESS_MASK maskOf(const Ace& ace)
{
    ACCESS_MASK mask = 0;
    if (ace.size() >= sizeof(ACE_HEADER) + sizeof mask)
        std::memcpy(&mask, ace.data() + sizeof(ACE_HEADER), sizeof mask);
    return mask;
}

Ace withMask(Ace ace, ACCESS_MASK mask)
{
    if (ace.size() >= sizeof(ACE_HEADER) + sizeof mask)
        std::memcpy(ace.data() + sizeof(ACE_HEADER), &mask, sizeof mask);
    return ace;
}

std::string describe(const Aces& aces)
{
    std::string text;
    for (const Ace& ace : aces) {
        char line[64];
        std::snprintf(line, sizeof line, " [type %u flags 0x%02x mask 0x%08lx size %u]",
                      unsigned(ace[0]), unsigned(ace[1]), static_cast<unsigned long>(maskOf(ace)),
                      unsigned(ace.size()));
        text += line;
    }
    return text;
}

// A DACL as seen at one point: each ACE kept whole, so that a change
// anywhere but in its mask is seen too. `present` is false for a path that
// has no DACL at all.
struct DaclView {
    bool wellFormed = false;
    bool present = false;
    Aces aces;
};

// Straight from the system, for the descriptor handed to SetFileSecurityW.
DaclView viewOf(PSECURITY_DESCRIPTOR descriptor)
{
    DaclView view;
    BOOL present = 0;
    BOOL defaulted = 0;
    PACL dacl = nullptr;
    if (!IsValidSecurityDescriptor(descriptor) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return view;
    view.present = present && dacl != nullptr;
    ACL_SIZE_INFORMATION size = {};
    if (!view.present || !IsValidAcl(dacl) ||
        !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return view;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        if (!GetAce(dacl, index, &ace))
            return view;
        view.aces.push_back(aceBytes(ace));
    }
    view.wellFormed = true;
    return view;
}

// Passes every call on to the system's layer and keeps what reached
// SetFileSecurityW. With `hidingDacl` the path reads as having no DACL, for
// the one case Wine cannot store: a file without any DACL.
class RecordingSecurityApi final : public SecurityApi {
public:
    bool hidingDacl = false;
    DaclView written;

    DWORD getNamedSecurityInfo(const ObjectName& path, SE_OBJECT_TYPE objectType,
                               SECURITY_INFORMATION info, PSID* owner, PSID* group, PACL* dacl,
                               PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) override
    {
        const DWORD status = system.getNamedSecurityInfo(path, objectType, info, owner, group,
                                                         dacl, sacl, descriptor);
        if (hidingDacl && dacl != nullptr)
            *dacl = nullptr;
        return status;
    }
    HLOCAL localAlloc(UINT flags, SIZE_T bytes) override
    {
        return system.localAlloc(flags, bytes);
    }
    BOOL initializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) override
    {
        return system.initializeSecurityDescriptor(descriptor, revision);
    }
    BOOL getSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                   LPBOOL defaulted) override
    {
        const BOOL taken = system.getSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
        if (hidingDacl && taken) {
            *present = FALSE;
            *dacl = nullptr;
        }
        return taken;
    }
    BOOL getAclInformation(PACL acl, LPVOID information, DWORD length,
                           ACL_INFORMATION_CLASS informationClass) override
    {
        return system.getAclInformation(acl, information, length, informationClass);
    }
    DWORD getLengthSid(PSID sid) override { return system.getLengthSid(sid); }
    BOOL initializeAcl(PACL acl, DWORD length, DWORD revision) override
    {
        return system.initializeAcl(acl, length, revision);
    }
    BOOL getAce(PACL acl, DWORD index, LPVOID* ace) override
    {
        return system.getAce(acl, index, ace);
    }
    BOOL addAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList,
                DWORD length) override
    {
        return system.addAce(acl, revision, startIndex, aceList, length);
    }
    BOOL setSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                   BOOL defaulted) override
    {
        return system.setSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
    }
    BOOL setFileSecurity(const ObjectName& path, SECURITY_INFORMATION info,
                         PSECURITY_DESCRIPTOR descriptor) override
    {
        written = viewOf(descriptor);
        return system.setFileSecurity(path, info, descriptor);
    }
    HLOCAL localFree(HLOCAL memory) override { return system.localFree(memory); }
    DWORD storeWriteRecord(const ObjectName& path, const std::vector<BYTE>& record) override
    {
        return system.storeWriteRecord(path, record);
    }
    DWORD readWriteRecord(const ObjectName& path, std::vector<BYTE>* record) override
    {
        return system.readWriteRecord(path, record);
    }
    DWORD removeWriteRecord(const ObjectName& path) override
    {
        return system.removeWriteRecord(path);
    }

private:
    SecurityApi& system = systemSecurityApi();
};

bool readAces(PACL dacl, const std::string& path, const std::string& stage, DaclView& view)
{
    ACL_SIZE_INFORMATION size = {};
    if (!check(securityApi().getAclInformation(dacl, &size, sizeof size, AclSizeInformation),
               stage + ": getAclInformation", path))
        return false;
    bool allRead = true;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        if (securityApi().getAce(dacl, index, &ace) && ace != nullptr)
            view.aces.push_back(aceBytes(ace));
        else
            allRead = false;
    }
    return check(allRead, stage + ": getAce for all " + std::to_string(size.AceCount) + " ACEs",
                 path);
}

// What the program reads before a rewrite, checked against the system's own
// validity tests as well.
bool inspectDescriptor(PSECURITY_DESCRIPTOR descriptor, PSID owner, const std::string& path,
                       const std::string& stage, DaclView& view)
{
    check(owner != nullptr && IsValidSid(owner), stage + ": owner SID present and valid", path);
    check(IsValidSecurityDescriptor(descriptor), stage + ": IsValidSecurityDescriptor", path);
    BOOL present = 0;
    BOOL defaulted = 0;
    PACL dacl = nullptr;
    if (!check(securityApi().getSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted),
               stage + ": getSecurityDescriptorDacl", path))
        return false;
    view.present = present && dacl != nullptr;
    if (!check(view.present, stage + ": DACL present", path))
        return false;
    check(IsValidAcl(dacl), stage + ": IsValidAcl", path);
    return readAces(dacl, path, stage, view);
}

DaclView readDacl(const std::string& path, const std::string& stage)
{
    DaclView view;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted =
        kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation;
    const DWORD status = securityApi().getNamedSecurityInfo(path, SE_FILE_OBJECT, wanted, &owner,
                                                            &group, &dacl, nullptr, &descriptor);
    if (!check(status == kErrorSuccess && descriptor != nullptr,
               stage + ": getNamedSecurityInfo (status " + std::to_string(status) + ")", path))
        return view;
    view.wellFormed = inspectDescriptor(descriptor, owner, path, stage, view);
    check(securityApi().localFree(descriptor) == nullptr, stage + ": localFree", path);
    return view;
}

struct CollectedReports final : FailureReport {
    void failed(const char* text) override { texts += text; }
    void leftWithoutRecord(bool) override {}
    std::string texts;
};

// Runs the sequence the program runs for one path; returns the DACL it
// handed to SetFileSecurityW.
DaclView rewrite(const std::string& path, const AceRule& rule, const std::string& stage,
                 bool hidingDacl = false)
{
    RecordingSecurityApi recorder;
    recorder.hidingDacl = hidingDacl;
    const ScopedSecurityApi inForce(recorder);
    CollectedReports collected;
    const std::string& reports = collected.texts;
    const ObjectName object(path);
    DaclRewrite rewriter(object, rule, collected);
    const bool written = rewriter.run();
    check(written && reports.empty(),
          stage + ": DaclRewrite" + (reports.empty() ? "" : " reported" + reports), path);
    return recorder.written;
}

// The rule applied to every ACE, or for a path without a DACL the one
// Everyone entry with every file right, the rule applied.
Aces expectedWrite(const DaclView& before, const AceRule& rule)
{
    if (!before.present) {
        const Ace everyone = {kAccessAllowedAceType, 0, 20, 0, 0, 0, 0, 0, 1, 1,
                              0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; // S-1-1-0
        return Aces{withMask(everyone, rule.apply(kFileAllAccess))};
    }
    Aces aces;
    for (const Ace& ace : before.aces)
        aces.push_back(withMask(ace, rule.apply(maskOf(ace))));
    return aces;
}

void checkWritten(const DaclView& before, const DaclView& written, const AceRule& rule,
                  const std::string& path, const std::string& stage)
{
    if (!check(written.wellFormed && written.present,
               stage + ": written descriptor valid, DACL present and valid", path))
        return;
    const Aces expected = expectedWrite(before, rule);
    if (!check(written.aces == expected, stage + ": written ACEs are the old ones, rule applied",
               path))
        std::printf("    expected:%s\n    written: %s\n", describe(expected).c_str(),
                    describe(written.aces).c_str());
}

void checkNoWriteData(const Aces& aces, const std::string& path, const std::string& stage)
{
    bool anyWriteData = false;
    for (const Ace& ace : aces)
        anyWriteData = anyWriteData || (maskOf(ace) & kFileWriteData) != 0;
    check(!anyWriteData, stage + ": no ACE holds 0x2", path);
}

// What unlock gives back: the DACL before the lock, or for a path that had
// none the Everyone entry with every file right.
Aces beforeTheLock(const DaclView& before)
{
    return before.present ? before.aces : expectedWrite(before, unlockRule);
}

void checkReadBack(const DaclView& written, const DaclView& stored, const std::string& path,
                   const std::string& stage)
{
    if (!check(stored.wellFormed, stage + ": read back well formed", path))
        return;
    checkKept(stored.aces == written.aces, stage + ": read back equals the written DACL", path);
    if (underWine && stored.aces != written.aces)
        std::printf("    written:%s\n    stored: %s\n", describe(written.aces).c_str(),
                    describe(stored.aces).c_str());
}

// Lock, read back, unlock, read back. `before` is the DACL the lock starts
// from; a path read as having no DACL starts from none.
void lockAndUnlockFrom(const DaclView& before, const std::string& path, bool hidingDacl)
{
    const DaclView lockWritten = rewrite(path, lockRule, "lock", hidingDacl);
    checkWritten(before, lockWritten, lockRule, path, "lock");
    checkNoWriteData(lockWritten.aces, path, "lock: written");
    const DaclView locked = readDacl(path, "locked");
    if (before.present)
        check(locked.aces.size() == before.aces.size(),
              "locked: ACE count " + std::to_string(locked.aces.size()) + ", was " +
                  std::to_string(before.aces.size()),
              path);
    checkReadBack(lockWritten, locked, path, "locked");

    // The record of the lock names the ACEs that held 0x2: unlock gives the
    // DACL of before the lock back. Wine rebuilds the locked DACL from the
    // mode bits, so there its ACEs need not be the ones the record names.
    const DaclView unlockWritten = rewrite(path, unlockRule, "unlock");
    const DaclView lockedAgain = readDacl(path, "after unlock");
    checkKept(unlockWritten.aces == beforeTheLock(before),
              "unlock: written ACEs are those before the lock", path);
    checkReadBack(unlockWritten, lockedAgain, path, "unlocked");
}

// Store, read back, replace, remove: the three record operations on
// one file, through the registry key only administrators can write.
void recordRoundTrip(const std::string& path)
{
    SecurityApi& api = securityApi();
    const std::vector<BYTE> taken = {kWriteRecordVersion, kWriteTaken, 0x01, 0x02};
    std::vector<BYTE> read;
    check(api.storeWriteRecord(path, taken) == kErrorSuccess, "record: stored", path);
    check(api.readWriteRecord(path, &read) == kErrorSuccess && read == taken,
          "record: read back as stored", path);
    const std::vector<BYTE> other = {kWriteRecordVersion, kWriteTaken, 0x03};
    check(api.storeWriteRecord(path, other) == kErrorSuccess &&
              api.readWriteRecord(path, &read) == kErrorSuccess && read == other,
          "record: replaced", path);
    check(api.removeWriteRecord(path) == kErrorSuccess, "record: removed", path);
    check(api.readWriteRecord(path, &read) == kErrorNoWriteRecord, "record: gone", path);
}

void lockAndUnlock(const std::string& path)
{
    const DaclView before = readDacl(path, "before");
    if (before.wellFormed)
        lockAndUnlockFrom(before, path, false);
}

bool removeDacl(const std::string& path)
{
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        return false;
    return SetFileSecurityW(wide(path).c_str(), DACL_SECURITY_INFORMATION, &descriptor) != 0;
}

bool readsWithoutDacl(const std::string& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = reinterpret_cast<PACL>(1);
    const DWORD status = securityApi().getNamedSecurityInfo(
        path, SE_FILE_OBJECT, kDaclSecurityInformation, nullptr, nullptr, &dacl, nullptr,
        &descriptor);
    if (descriptor != nullptr)
        securityApi().localFree(descriptor);
    return status == kErrorSuccess && dacl == nullptr;
}

// A path without a DACL grants everything to everyone; locking it must write
// one Everyone entry with every file right but 0x2. Wine keeps no such state,
// so there the path is made to read as DACL-less.
void lockAndUnlockOpenPath(const std::string& path)
{
    check(removeDacl(path), "open: setup: DACL removed with SetFileSecurityW", path);
    const bool isOpen = readsWithoutDacl(path);
    checkKept(isOpen, "open: setup: read back without a DACL", path);
    DaclView none;
    none.wellFormed = true;
    lockAndUnlockFrom(none, path, !isOpen);
}

// A name that is not UTF-8 must be refused before any call, not converted
// into some other file's name.
void refusesInvalidUtf8(const std::string& folder)
{
    const std::string path = folder + "\\bad-\xff-name";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    const DWORD status = securityApi().getNamedSecurityInfo(
        path, SE_FILE_OBJECT, kDaclSecurityInformation, nullptr, nullptr, &dacl, nullptr,
        &descriptor);
    check(status == ERROR_NO_UNICODE_TRANSLATION && descriptor == nullptr,
          "invalid UTF-8: getNamedSecurityInfo refused", folder);
    SECURITY_DESCRIPTOR empty;
    InitializeSecurityDescriptor(&empty, SECURITY_DESCRIPTOR_REVISION);
    SetLastError(0);
    const BOOL written = securityApi().setFileSecurity(path, kDaclSecurityInformation, &empty);
    check(!written && GetLastError() == ERROR_NO_UNICODE_TRANSLATION,
          "invalid UTF-8: setFileSecurity refused", folder);
}

// Names Win32 paths mangle or refuse (trailing dot and blank, device names,
// a path past MAX_PATH) are entries like others: listed from the folder's
// handle, opened relative to it, locked and unlocked on that handle.
void awkwardNamesByHandle(const std::string& folder)
{
    const std::wstring top = L"\\\\?\\" + wide(folder);
    std::wstring deep = top;
    for (int level = 0; level < 30; ++level)
        CreateDirectoryW((deep += L"\\abcdefghij").c_str(), nullptr);
    const std::vector<std::wstring> names = {L"trail.", L"space ", L"NUL", L"COM1"};
    for (const std::wstring& name : names)
        CloseHandle(CreateFileW((top + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, 0, nullptr));
    const OpenEntry root = resolveFolder(folder);
    FolderReader reader(root.handle ? root.handle->get() : nullptr);
    std::wstring name;
    DWORD attributes = 0, tag = 0, error = 0;
    std::size_t locked = 0;
    while (reader.next(&name, &attributes, &tag, &error)) {
        OpenEntry entry{nullptr, kErrorSuccess, EntryClass::File, root.volume};
        if (std::find(names.begin(), names.end(), name) == names.end() ||
            openInFolder(root.handle->get(), name, kEntryAccess, &entry.handle) != kErrorSuccess)
            continue;
        const std::string path = folder + "\\" + wideToLogText(name);
        const PathRegistration walked(path, entry);
        checkNoWriteData(rewrite(path, lockRule, "awkward: lock").aces, path, "awkward");
        rewrite(path, unlockRule, "awkward: unlock");
        ++locked;
    }
    check(locked == names.size(), "awkward: every name listed, opened and rewritten", folder);
    OpenEntry entry{nullptr, kErrorSuccess, EntryClass::File, root.volume};
    SharedFile parent = root.handle;
    for (int level = 0; level < 30 && parent; ++level, parent = entry.handle)
        openInFolder(parent->get(), L"abcdefghij", kEntryAccess, &entry.handle);
    const std::string path = wideToLogText(deep);
    const PathRegistration walked(path, entry);
    check(entry.handle && path.size() > MAX_PATH, "deep: opened folder by folder", path);
    rewrite(path, lockRule, "deep: lock");
    rewrite(path, unlockRule, "deep: unlock");
}

// Only name surrogates stay out of the walk; a lone surrogate in a name is
// escaped for the log, not a reason to stop.
void entryRules()
{
    const DWORD folder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    check(classOf(folder, IO_REPARSE_TAG_MOUNT_POINT) == EntryClass::NameSurrogate &&
              classOf(FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK) ==
                  EntryClass::NameSurrogate &&
              classOf(folder, 0) == EntryClass::NameSurrogate,
          "class: junction, symbolic link, tag unknown kept out", "");
    check(classOf(FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_DEDUP) == EntryClass::File &&
              classOf(FILE_ATTRIBUTE_REPARSE_POINT, 0x9000001A) == EntryClass::File &&
              classOf(folder, 0x9000001A) == EntryClass::Folder,
          "class: deduplicated file, cloud placeholder file and folder walked", "");
    check(wideToLogText(std::wstring(L"a") + wchar_t(0xD800) + L"b\xD83D\xDE00") ==
              "a\\uD800b\xF0\x9F\x98\x80",
          "log text: lone surrogate escaped, pair converted", "");
}

// The written descriptor keeps the protection and auto-inheritance bits and
// the ACL revision of the one read, its ACL no longer than its ACEs.
void daclFormKept()
{
    PSECURITY_DESCRIPTOR read = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:PAI(A;;FA;;;SY)", SDDL_REVISION_1,
                                                         &read, nullptr);
    BOOL present = 0, defaulted = 0;
    PACL readDacl = nullptr;
    GetSecurityDescriptorDacl(read, &present, &readDacl, &defaulted);
    readDacl->AclRevision = ACL_REVISION_DS;
    alignas(4) BYTE aclBytes[128];
    PACL written = reinterpret_cast<PACL>(aclBytes);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(written, sizeof aclBytes, ACL_REVISION);
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system;
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize);
    AddAccessAllowedAce(written, ACL_REVISION, FILE_ALL_ACCESS & ~FILE_WRITE_DATA, system);
    SetSecurityDescriptorDacl(&descriptor, TRUE, written, FALSE);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool given = giveDaclForm(daclFormOf(read), &descriptor) &&
                       GetSecurityDescriptorControl(&descriptor, &control, &revision);
    check(given && (control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED)) ==
                       (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED) &&
              written->AclRevision == ACL_REVISION_DS && written->AclSize == sizeof(ACL) + 8 + systemSize,
          "form: control bits, revision and size of the DACL read", "");
    LocalFree(read);
}

// Records are named by volume GUID and file ID; a file that is gone loses
// its record at the next walk of its volume, one that is not keeps it.
void recordsPruned(const std::string& folder)
{
    const std::string gone = folder + "\\gone.txt", kept = folder + "\\kept.txt";
    makeFile(gone);
    makeFile(kept);
    const std::vector<BYTE> taken = {kWriteRecordVersion, kWriteTaken};
    std::wstring name;
    {
        const OpenEntry goneEntry = resolveFolder(gone);
        const OpenEntry keptEntry = resolveFolder(kept);
        check(goneEntry.handle && recordNameOf(goneEntry, &name) == kErrorSuccess &&
                  name.size() == 38 + 1 + 32 && name[0] == L'{' &&
                  storeRecord(goneEntry, taken) == kErrorSuccess &&
                  storeRecord(keptEntry, taken) == kErrorSuccess,
              "records: named {volume GUID}-<file ID>, stored", gone);
    }
    DeleteFileW(wide(gone).c_str());
    const OpenEntry root = resolveFolder(folder);
    const OpenEntry keptEntry = resolveFolder(kept);
    std::vector<BYTE> read;
    check(pruneRecordsOfGoneFiles(root) == 1 &&
              readRecord(keptEntry, &read) == kErrorSuccess,
          "records: the gone file's pruned, the other kept", folder);
    const BYTE zeros[16] = {}, ones[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    check(!isFileIdentity(zeros) && !isFileIdentity(ones), "records: no identity in 0 or ~0", "");
    removeRecord(keptEntry);
}

// Under Wine every file is the running user's: trusted unless another
// account may write it, as Everyone may after a NULL DACL.
void inputsJudged(const std::string& file)
{
    check(whyUntrusted(file, false).empty() && whyUntrusted(file + ".missing", true).empty(),
          "input trust: the run's own file and folder trusted", file);
    removeDacl(file);
    check(whyUntrusted(file, false).find(" may be written by ") != std::string::npos,
          "input trust: a file anyone may write refused", file);
}

struct WorkTree {
    std::string folder;
    std::vector<std::string> files;
    std::string subfolder;
    std::string openFile;
};

bool makeWorkTree(WorkTree& tree)
{
    tree.folder = makeWorkFolder();
    if (!check(!tree.folder.empty(), "setup: work folder created", tree.folder))
        return false;
    tree.files = {tree.folder + "\\plain.txt",
                  tree.folder + "\\\xc3\x9cml\xc3\xa4ut-\xe6\x97\xa5\xe6\x9c\xac.txt"};
    tree.subfolder = tree.folder + "\\sub folder";
    tree.openFile = tree.folder + "\\open.txt";
    bool made = true;
    for (const std::string& file : tree.files)
        made = check(makeFile(file), "setup: file created", file) && made;
    made = check(makeFile(tree.openFile), "setup: file created", tree.openFile) && made;
    return check(makeFolder(tree.subfolder), "setup: folder created", tree.subfolder) && made;
}

void removeWorkTree(const WorkTree& tree)
{
    for (const std::string& file : tree.files)
        DeleteFileW(wide(file).c_str());
    DeleteFileW(wide(tree.openFile).c_str());
    RemoveDirectoryW(wide(tree.subfolder).c_str());
    RemoveDirectoryW(wide(tree.folder).c_str());
}

} // namespace

int main()
{
    detectWine();
    WorkTree tree;
    if (makeWorkTree(tree)) {
        for (const std::string& file : tree.files)
            lockAndUnlock(file);
        lockAndUnlock(tree.subfolder);
        lockAndUnlock(tree.folder);
        lockAndUnlockOpenPath(tree.openFile);
        recordRoundTrip(tree.files.front());
        refusesInvalidUtf8(tree.folder);
        awkwardNamesByHandle(tree.subfolder);
        recordsPruned(tree.subfolder);
        inputsJudged(tree.files.front());
    }
    entryRules();
    daclFormKept();
    removeWorkTree(tree);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
