// Drives the Windows security layer (SecurityApi_WIN32.cpp) and the lock and
// unlock sequence above it on real files, as the program does: every object
// is named the way the walk names it, an entry of a folder opened and listed
// by OpenFolder, with the handle its listing opened, or the open folder
// itself. Built with MinGW-w64 and run under Wine on Linux, or run as is on
// Windows. Every step prints one line; the exit status is 0 only if every
// step passed.
//
// Wine keeps no security descriptor for a file: SetFileSecurityW turns the
// DACL into the Unix rwx bits and every read builds a DACL from those bits
// again. So the DACL handed to SetFileSecurityW is checked as it is handed
// over, and the DACL read back must equal it only where the system keeps it;
// under Wine that comparison is printed as a note.
#include "app/InputTrust.h"
#include "walk/OpenFolder.h"
#include "win32/AdministrativeSids_WIN32.h"
#include "win32/DaclForm_WIN32.h"
#include "win32/FolderResolver_WIN32.h"
#include "win32/OpenEntry_WIN32.h"
#include "win32/RecordStore_WIN32.h"
#include "win32/WideString_WIN32.h"
#include "winsec/DaclRewrite.h"
#include "winsec/SecurityApi.h"
#include "winsec/WriteRecord.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace winsec;
using walk::FileKind;
using walk::ListedEntry;
using walk::OpenFolder;

using Ace = std::vector<BYTE>;
using Aces = std::vector<Ace>;

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

// One object named as the walk names it: `entry` of the open `folder`, or,
// with an empty entry name, the folder itself.
struct Target final : PathSpeller {
    Target(std::shared_ptr<OpenFolder> folder, ListedEntry entry, std::string text)
        : folder(std::move(folder)), entry(std::move(entry)), text(std::move(text))
    {
    }
    std::shared_ptr<OpenFolder> folder;
    ListedEntry entry;
    std::string text;

    std::string path() const override { return text; }
    ObjectName name() const { return ObjectName(&folder->handle(), entry.name, *this); }
};

// A folder opened as the walk opens a configured one, and its listing.
struct Listing {
    std::shared_ptr<OpenFolder> folder;
    std::map<std::wstring, ListedEntry> entries;
    std::string path;

    Target self() const { return Target{folder, ListedEntry{"", FileKind::Folder, nullptr}, path}; }
    Target entry(const std::wstring& name) const
    {
        const auto found = entries.find(name);
        if (found == entries.end())
            return Target{folder, ListedEntry{"?", FileKind::Missing, nullptr}, path};
        return Target{folder, found->second, path + "\\" + found->second.name};
    }
};

bool readAll(OpenFolder& folder, std::map<std::wstring, ListedEntry>* entries)
{
    std::vector<ListedEntry> listed;
    int error = 0;
    while (folder.read(&listed, 64, &error)) {
    }
    for (ListedEntry& entry : listed)
        if (entry.opened != nullptr)
            entries->emplace(entry.opened->name, std::move(entry));
    return error == 0;
}

Listing listConfigured(const std::string& path)
{
    Listing listing{nullptr, {}, path};
    walk::FolderOpening opening = OpenFolder::openConfigured(path);
    listing.folder = std::move(opening.folder);
    const bool read = listing.folder != nullptr && opening.kind == FileKind::Folder &&
                      readAll(*listing.folder, &listing.entries);
    check(read, "listing: opened and read", path);
    return listing;
}

// The sub-folder `name` of `parent`, opened from the handle its listing
// opened and listed in turn.
Listing listChild(const Listing& parent, const std::wstring& name)
{
    const Target child = parent.entry(name);
    Listing listing{nullptr, {}, child.text};
    walk::FolderOpening opening = parent.folder->openChild(child.entry);
    listing.folder = std::move(opening.folder);
    if (listing.folder != nullptr)
        readAll(*listing.folder, &listing.entries);
    return listing;
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
    explicit RecordingSecurityApi(SecurityApi& system) : system(system) {}
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
    DWORD identifyObject(const ObjectName& path, std::vector<BYTE>* identity) override
    {
        return system.identifyObject(path, identity);
    }
    DWORD inheritAfterUnlock(const ObjectName& path, const UnlockedFolder& folder) override
    {
        return system.inheritAfterUnlock(path, folder);
    }

private:
    SecurityApi& system;
};

bool readAces(SecurityApi& api, PACL dacl, const std::string& path, const std::string& stage,
              DaclView& view)
{
    ACL_SIZE_INFORMATION size = {};
    if (!check(api.getAclInformation(dacl, &size, sizeof size, AclSizeInformation),
               stage + ": getAclInformation", path))
        return false;
    bool allRead = true;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        if (api.getAce(dacl, index, &ace) && ace != nullptr)
            view.aces.push_back(aceBytes(ace));
        else
            allRead = false;
    }
    return check(allRead, stage + ": getAce for all " + std::to_string(size.AceCount) + " ACEs",
                 path);
}

// What the program reads before a rewrite, checked against the system's own
// validity tests as well.
bool inspectDescriptor(SecurityApi& api, PSECURITY_DESCRIPTOR descriptor, PSID owner,
                       const std::string& path, const std::string& stage, DaclView& view)
{
    check(owner != nullptr && IsValidSid(owner), stage + ": owner SID present and valid", path);
    check(IsValidSecurityDescriptor(descriptor), stage + ": IsValidSecurityDescriptor", path);
    BOOL present = 0;
    BOOL defaulted = 0;
    PACL dacl = nullptr;
    if (!check(api.getSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted),
               stage + ": getSecurityDescriptorDacl", path))
        return false;
    view.present = present && dacl != nullptr;
    if (!check(view.present, stage + ": DACL present", path))
        return false;
    check(IsValidAcl(dacl), stage + ": IsValidAcl", path);
    return readAces(api, dacl, path, stage, view);
}

DaclView readDacl(SecurityApi& api, const Target& target, const std::string& stage)
{
    const std::string& path = target.text;
    ObjectName object = target.name();
    object.openedAs(target.entry.opened.get());
    DaclView view;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted =
        kOwnerSecurityInformation | kGroupSecurityInformation | kDaclSecurityInformation;
    const DWORD status = api.getNamedSecurityInfo(object, SE_FILE_OBJECT, wanted, &owner, &group,
                                                  &dacl, nullptr, &descriptor);
    if (!check(status == kErrorSuccess && descriptor != nullptr,
               stage + ": getNamedSecurityInfo (status " + std::to_string(status) + ")", path))
        return view;
    view.wellFormed = inspectDescriptor(api, descriptor, owner, path, stage, view);
    check(api.localFree(descriptor) == nullptr, stage + ": localFree", path);
    return view;
}

// Runs the sequence the program runs for one object; returns the DACL it
// handed to SetFileSecurityW.
DaclView rewrite(SecurityApi& api, const Target& target, const AceRule& rule,
                 const std::string& stage, bool hidingDacl = false)
{
    RecordingSecurityApi recorder(api);
    recorder.hidingDacl = hidingDacl;
    ObjectName object = target.name();
    object.openedAs(target.entry.opened.get());
    const RecordOwner owner{{1}, 1};
    DaclRewrite rewriter(recorder, object, rule, owner);
    const RewriteResult result = rewriter.run();
    check(result.done && result.failedSteps.empty() && result.exception == nullptr,
          stage + ": DaclRewrite, failed steps: " + std::to_string(result.failedSteps.size()),
          target.text);
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
void lockAndUnlockFrom(SecurityApi& api, const DaclView& before, const Target& target,
                       bool hidingDacl)
{
    const std::string& path = target.text;
    const DaclView lockWritten = rewrite(api, target, lockRule, "lock", hidingDacl);
    checkWritten(before, lockWritten, lockRule, path, "lock");
    checkNoWriteData(lockWritten.aces, path, "lock: written");
    const DaclView locked = readDacl(api, target, "locked");
    if (before.present)
        check(locked.aces.size() == before.aces.size(),
              "locked: ACE count " + std::to_string(locked.aces.size()) + ", was " +
                  std::to_string(before.aces.size()),
              path);
    checkReadBack(lockWritten, locked, path, "locked");

    // The record of the lock names the ACEs that held 0x2: unlock gives the
    // DACL of before the lock back. Wine rebuilds the locked DACL from the
    // mode bits, so there its ACEs need not be the ones the record names.
    const DaclView unlockWritten = rewrite(api, target, unlockRule, "unlock");
    const DaclView lockedAgain = readDacl(api, target, "after unlock");
    checkKept(unlockWritten.aces == beforeTheLock(before),
              "unlock: written ACEs are those before the lock", path);
    checkReadBack(unlockWritten, lockedAgain, path, "unlocked");
}

// Store, read back, replace, remove: the three record operations on
// one file, through the registry key only administrators can write.
void recordRoundTrip(SecurityApi& api, const Target& target)
{
    const std::string& path = target.text;
    ObjectName object = target.name();
    object.openedAs(target.entry.opened.get());
    const std::vector<BYTE> taken = {kWriteRecordVersion, kWriteTaken, 0x01, 0x02};
    std::vector<BYTE> read;
    check(api.storeWriteRecord(object, taken) == kErrorSuccess, "record: stored", path);
    check(api.readWriteRecord(object, &read) == kErrorSuccess && read == taken,
          "record: read back as stored", path);
    const std::vector<BYTE> other = {kWriteRecordVersion, kWriteTaken, 0x03};
    check(api.storeWriteRecord(object, other) == kErrorSuccess &&
              api.readWriteRecord(object, &read) == kErrorSuccess && read == other,
          "record: replaced", path);
    check(api.removeWriteRecord(object) == kErrorSuccess, "record: removed", path);
    check(api.readWriteRecord(object, &read) == kErrorNoWriteRecord, "record: gone", path);
}

void lockAndUnlock(SecurityApi& api, const Target& target)
{
    const DaclView before = readDacl(api, target, "before");
    if (before.wellFormed)
        lockAndUnlockFrom(api, before, target, false);
}

bool removeDacl(const std::string& path)
{
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        return false;
    return SetFileSecurityW(wide(path).c_str(), DACL_SECURITY_INFORMATION, &descriptor) != 0;
}

bool readsWithoutDacl(SecurityApi& api, const Target& target)
{
    ObjectName object = target.name();
    object.openedAs(target.entry.opened.get());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = reinterpret_cast<PACL>(1);
    const DWORD status = api.getNamedSecurityInfo(object, SE_FILE_OBJECT, kDaclSecurityInformation,
                                                  nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (descriptor != nullptr)
        api.localFree(descriptor);
    return status == kErrorSuccess && dacl == nullptr;
}

// A path without a DACL grants everything to everyone; locking it must write
// one Everyone entry with every file right but 0x2. Wine keeps no such state,
// so there the path is made to read as DACL-less.
void lockAndUnlockOpenPath(SecurityApi& api, const Target& target)
{
    const std::string& path = target.text;
    check(removeDacl(path), "open: setup: DACL removed with SetFileSecurityW", path);
    const bool isOpen = readsWithoutDacl(api, target);
    checkKept(isOpen, "open: setup: read back without a DACL", path);
    DaclView none;
    none.wellFormed = true;
    lockAndUnlockFrom(api, none, target, !isOpen);
}

// An entry whose handle the listing did not hand over, or a name without an
// open folder, is never looked up by its path: every operation fails.
void refusesWhatIsNotInHand(SecurityApi& api, const Listing& folder)
{
    const Target plain = folder.entry(L"plain.txt");
    const ObjectName unopened(&folder.folder->handle(), plain.entry.name, plain);
    const ObjectName noFolder(nullptr, "", plain);
    for (const ObjectName* object : {&unopened, &noFolder}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL dacl = nullptr;
        const DWORD status = api.getNamedSecurityInfo(*object, SE_FILE_OBJECT,
                                                      kDaclSecurityInformation, nullptr, nullptr,
                                                      &dacl, nullptr, &descriptor);
        SECURITY_DESCRIPTOR empty;
        InitializeSecurityDescriptor(&empty, SECURITY_DESCRIPTOR_REVISION);
        SetLastError(0);
        const BOOL written = api.setFileSecurity(*object, kDaclSecurityInformation, &empty);
        std::vector<BYTE> record;
        check(status == ERROR_INVALID_HANDLE && descriptor == nullptr && !written &&
                  GetLastError() == ERROR_INVALID_HANDLE &&
                  api.readWriteRecord(*object, &record) == ERROR_INVALID_HANDLE,
              "not in hand: every operation fails, nothing looked up", plain.text);
    }
}

// Names Win32 paths mangle or refuse (trailing dot and blank, device names,
// a lone surrogate, a path past MAX_PATH) are entries like others: listed
// from the folder's handle, opened relative to it by their UTF-16 name, and
// locked and unlocked on that handle.
void awkwardNamesByHandle(SecurityApi& api, const std::string& folder)
{
    const std::wstring top = L"\\\\?\\" + wide(folder);
    std::wstring deep = top;
    for (int level = 0; level < 30; ++level)
        CreateDirectoryW((deep += L"\\abcdefghij").c_str(), nullptr);
    const std::vector<std::wstring> names = {L"trail.", L"space ", L"NUL", L"COM1"};
    for (const std::wstring& name : names)
        CloseHandle(CreateFileW((top + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, 0, nullptr));
    const Listing listing = listConfigured(folder);
    std::size_t rewritten = 0;
    for (const std::wstring& name : names) {
        const Target target = listing.entry(name);
        if (target.entry.opened == nullptr || target.entry.opened->open.handle == nullptr)
            continue;
        checkNoWriteData(rewrite(api, target, lockRule, "awkward: lock").aces, target.text,
                         "awkward");
        rewrite(api, target, unlockRule, "awkward: unlock");
        ++rewritten;
    }
    check(rewritten == names.size(), "awkward: every name listed, opened and rewritten", folder);
    Listing level = listing;
    for (int depth = 0; depth < 30 && level.folder != nullptr; ++depth)
        level = listChild(level, L"abcdefghij");
    const bool reached = level.folder != nullptr && level.path.size() > MAX_PATH;
    check(reached, "deep: opened folder by folder from the listings' handles", level.path);
    if (!reached)
        return;
    rewrite(api, level.self(), lockRule, "deep: lock");
    rewrite(api, level.self(), unlockRule, "deep: unlock");
}

// A folder whose name holds a lone surrogate, which no UTF-8 text can spell,
// is opened by the UTF-16 name its listing gave, and so is a file in it.
void loneSurrogateFolder(SecurityApi& api, const std::string& folder)
{
    const std::wstring name = std::wstring(L"lone-") + wchar_t(0xD800) + L"-folder";
    if (!CreateDirectoryW((L"\\\\?\\" + wide(folder) + L"\\" + name).c_str(), nullptr)) {
        std::printf("note: lone surrogate: the file system refuses the name (error %lu)\n",
                    GetLastError());
        return;
    }
    const Listing parent = listConfigured(folder);
    const Listing child = listChild(parent, name);
    if (!check(child.folder != nullptr, "lone surrogate: folder opened by its UTF-16 name",
               child.path))
        return;
    lockAndUnlock(api, child.self());
    CloseHandle(CreateFileW((L"\\\\?\\" + wide(folder) + L"\\" + name + L"\\in.txt").c_str(),
                            GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    const Listing again = listChild(listConfigured(folder), name);
    check(again.entries.count(L"in.txt") == 1, "lone surrogate: listed through its handle",
          again.path);
    lockAndUnlock(api, again.entry(L"in.txt"));
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

// Who besides the administrators may use a right, as a name surrogate on a
// configured path and an input file are judged.
void othersRights()
{
    const auto who = [](const wchar_t* sddl, ACCESS_MASK rights) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        BOOL present = 0, defaulted = 0;
        PACL dacl = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                             nullptr);
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        const std::string found = whoElseMay(dacl, rights, nullptr);
        LocalFree(descriptor);
        return found;
    };
    check(who(L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;OICIIO;FA;;;BU)(A;;FR;;;WD)", FILE_WRITE_ATTRIBUTES)
                  .empty() &&
              who(L"D:(A;;FA;;;BA)(A;;0x100;;;BU)", FILE_WRITE_ATTRIBUTES) == "S-1-5-32-545" &&
              who(L"D:(A;;GA;;;WD)", GENERIC_ALL) == "S-1-1-0" &&
              whoElseMay(nullptr, DELETE, nullptr) == "everyone",
          "others' rights: allow ACEs on the object itself, null DACL is everyone", "");
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
        RecordStore records;
        const OpenEntry goneEntry = resolveFolder(gone);
        const OpenEntry keptEntry = resolveFolder(kept);
        check(goneEntry.handle && recordNameOf(goneEntry, &name) == kErrorSuccess &&
                  name.size() == 38 + 1 + 32 && name[0] == L'{' &&
                  records.store(goneEntry, taken) == kErrorSuccess &&
                  records.store(keptEntry, taken) == kErrorSuccess,
              "records: named {volume GUID}-<file ID>, stored", gone);
    }
    DeleteFileW(wide(gone).c_str());
    RecordStore records;
    const OpenEntry root = resolveFolder(folder);
    const OpenEntry keptEntry = resolveFolder(kept);
    std::vector<BYTE> read;
    check(records.pruneGoneFiles(root) == 1 && records.pruneGoneFiles(root) == 0 &&
              records.read(keptEntry, &read) == kErrorSuccess,
          "records: the gone file's pruned once, the other kept", folder);
    const BYTE zeros[16] = {}, ones[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    check(!isFileIdentity(zeros) && !isFileIdentity(ones), "records: no identity in 0 or ~0", "");
    records.remove(keptEntry);
}

// A records key that another account may write is refused: no record is
// read from it, and a lock keeps none in it.
void recordKeyOthersMayWrite(const std::string& file)
{
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR opened = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;;KW;;;WD)", SDDL_REVISION_1, &opened, nullptr);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tolvane\\WriteRecords", 0, WRITE_DAC, &key) !=
            ERROR_SUCCESS ||
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, opened) != ERROR_SUCCESS) {
        std::printf("note: records key: its DACL could not be opened up\n");
        return;
    }
    const OpenEntry entry = resolveFolder(file);
    RecordStore records;
    std::vector<BYTE> read;
    check(records.read(entry, &read) == kErrorRecordKeyNotTrusted &&
              records.store(entry, {kWriteRecordVersion, kWriteTaken}) ==
                  kErrorWriteRecordsUnsupported,
          "records key: refused once anyone may write it", file);
    PSECURITY_DESCRIPTOR closed = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)",
                                                         SDDL_REVISION_1, &closed, nullptr);
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, closed);
    RegCloseKey(key);
    LocalFree(opened);
    LocalFree(closed);
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

// The walk's order: each file as an entry of its folder's listing, the
// sub-folder and the folder itself as open folders.
void lockAndUnlockTree(SecurityApi& api, const WorkTree& tree)
{
    const Listing listing = listConfigured(tree.folder);
    for (const std::wstring& name : {std::wstring(L"plain.txt"),
                                     std::wstring(L"\u00dcml\u00e4ut-\u65e5\u672c.txt")})
        lockAndUnlock(api, listing.entry(name));
    lockAndUnlock(api, listChild(listing, L"sub folder").self());
    lockAndUnlock(api, listing.self());
    lockAndUnlockOpenPath(api, listing.entry(L"open.txt"));
    recordRoundTrip(api, listing.entry(L"plain.txt"));
    refusesWhatIsNotInHand(api, listing);
}

} // namespace

int main()
{
    detectWine();
    const std::unique_ptr<SecurityApi> api = openSystemSecurityApi(BackendSettings{});
    WorkTree tree;
    if (makeWorkTree(tree)) {
        lockAndUnlockTree(*api, tree);
        awkwardNamesByHandle(*api, tree.subfolder);
        loneSurrogateFolder(*api, tree.subfolder);
        recordsPruned(tree.subfolder);
        recordKeyOthersMayWrite(tree.files.front());
        inputsJudged(tree.files.front());
    }
    entryRules();
    othersRights();
    daclFormKept();
    removeWorkTree(tree);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
