// The system's security operations on real files and real POSIX ACLs,
// checked with getfacl and, where it matters, by writing as uid 65534.
#include "posixacl/AclMemory.h"
#include "FaultInjectingSecurityApi.h"
#include "posixacl/PosixAcl.h"
#include "winsec/SecurityApi.h"
#include "NamedEntry.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace winsec;
using testsupport::run;
using testsupport::systemApi;
using testsupport::shellQuote;

namespace {

using MaskRule = ACCESS_MASK (*)(ACCESS_MASK);

ACCESS_MASK unchanged(ACCESS_MASK mask) { return mask; }
ACCESS_MASK withoutWrite(ACCESS_MASK mask) { return mask & ~kFileWriteData; }
ACCESS_MASK withWriteBack(ACCESS_MASK mask)
{
    return (mask & ~kFileWriteData) != 0 ? mask | kFileWriteData : mask;
}

void applyToAce(LPVOID ace, MaskRule rule)
{
    ACCESS_MASK mask;
    std::memcpy(&mask, static_cast<BYTE*>(ace) + 4, sizeof mask);
    mask = rule(mask);
    std::memcpy(static_cast<BYTE*>(ace) + 4, &mask, sizeof mask);
}

// The calls of the permission logic, in its order: read, copy each ACE with
// `rule` applied to its mask into a new DACL, write. Returns whether every
// step succeeded; every block must have been released by then.
bool rewriteDacl(const std::string& path, MaskRule rule)
{
    testsupport::FaultInjectingSecurityApi api(testsupport::systemApi());
    const testsupport::NamedEntry entry(path);
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr, sacl = nullptr;
    PSECURITY_DESCRIPTOR read = nullptr;
    if (api.getNamedSecurityInfo(*entry, SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &read))
        return false;
    PSECURITY_DESCRIPTOR fresh = api.localAlloc(kLptr, kSecurityDescriptorMinLength);
    bool ok = api.initializeSecurityDescriptor(fresh, kSecurityDescriptorRevision);
    BOOL present = 0, defaulted = 0;
    PACL taken = nullptr;
    ok = api.getSecurityDescriptorDacl(read, &present, &taken, &defaulted) && ok && taken == dacl;
    ACL_SIZE_INFORMATION size{0, 8, 0};
    ok = api.getAclInformation(taken, &size, sizeof size, AclSizeInformation) && ok;
    const DWORD bytes = size.AclBytesInUse + 2 * api.getLengthSid(owner) + 16;
    PACL copy = static_cast<PACL>(api.localAlloc(kLptr, bytes));
    ok = api.initializeAcl(copy, bytes, kAclRevision) && ok;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID ace = nullptr;
        ok = api.getAce(taken, index, &ace) && ok;
        applyToAce(ace, rule);
        WORD aceSize;
        std::memcpy(&aceSize, static_cast<BYTE*>(ace) + 2, sizeof aceSize);
        ok = api.addAce(copy, kAclRevision, kMaxDword, ace, aceSize) && ok;
    }
    ok = api.setSecurityDescriptorDacl(fresh, 1, copy, 0) && ok;
    ok = api.setFileSecurity(*entry, kDaclSecurityInformation, fresh) && ok;
    for (HLOCAL block : {read, fresh, static_cast<HLOCAL>(copy)})
        EXPECT_EQ(api.localFree(block), nullptr);
    EXPECT_EQ(api.liveBlocks(), 0u);
    return ok;
}

struct Snapshot {
    std::string acl;
    uid_t owner;
    gid_t group;
    mode_t mode;
};

Snapshot snapshot(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return {testsupport::getfacl(path), status.st_uid, status.st_gid, status.st_mode};
}

void expectSame(const Snapshot& before, const Snapshot& after, const std::string& what)
{
    EXPECT_EQ(before.acl, after.acl) << what;
    EXPECT_EQ(before.owner, after.owner) << what;
    EXPECT_EQ(before.group, after.group) << what;
    EXPECT_EQ(before.mode, after.mode) << what;
}

void roundTrip(const std::string& path, const std::string& what)
{
    const Snapshot before = snapshot(path);
    EXPECT_TRUE(rewriteDacl(path, unchanged)) << what;
    expectSame(before, snapshot(path), what);
}

// A self-relative descriptor holding only `dacl`.
struct DaclDescriptor {
    explicit DaclDescriptor(const std::vector<BYTE>& dacl)
        : block(aclmemory::newSelfRelativeDescriptor(nullptr, nullptr, &dacl))
    {
    }
    ~DaclDescriptor() { aclmemory::release(block); }
    PSECURITY_DESCRIPTOR block;
};

std::vector<BYTE> daclOf(const std::string& path)
{
    PSECURITY_DESCRIPTOR read = nullptr;
    PACL dacl = nullptr;
    EXPECT_EQ(systemApi().getNamedSecurityInfo(*testsupport::NamedEntry(path), SE_FILE_OBJECT, 7, nullptr, nullptr,
                                                       &dacl, nullptr, &read), 0u);
    std::vector<BYTE> bytes;
    if (dacl != nullptr)
        bytes.assign(reinterpret_cast<BYTE*>(dacl), reinterpret_cast<BYTE*>(dacl) + dacl->AclSize);
    systemApi().localFree(read);
    return bytes;
}

bool writeDacl(const std::string& path, const std::vector<BYTE>& dacl)
{
    DaclDescriptor descriptor(dacl);
    return systemApi().setFileSecurity(*testsupport::NamedEntry(path), kDaclSecurityInformation, descriptor.block);
}

DWORD readError(const std::string& path)
{
    PSECURITY_DESCRIPTOR read = nullptr;
    const DWORD error = systemApi().getNamedSecurityInfo(
        *testsupport::NamedEntry(path), SE_FILE_OBJECT, 7, nullptr, nullptr, nullptr, nullptr, &read);
    systemApi().localFree(read);
    return error;
}

std::string permissions(std::mt19937& random)
{
    const unsigned bits = random() % 8;
    return std::string(bits & 4 ? "r" : "-") + (bits & 2 ? "w" : "-") + (bits & 1 ? "x" : "-");
}

// An ACL in setfacl's notation: sometimes minimal, sometimes with named
// users and groups and a mask, sometimes with a mask alone.
std::string randomAcl(std::mt19937& random, const std::string& prefix)
{
    std::string named;
    for (unsigned uid = 1001; uid <= 1004; ++uid)
        if (random() % 3 == 0)
            named += "," + prefix + "u:" + std::to_string(uid) + ":" + permissions(random);
    for (unsigned gid = 2001; gid <= 2003; ++gid)
        if (random() % 3 == 0)
            named += "," + prefix + "g:" + std::to_string(gid) + ":" + permissions(random);
    std::string acl = prefix + "u::" + permissions(random) + "," + prefix + "g::" +
                      permissions(random) + named;
    if (!named.empty() || random() % 4 == 0)
        acl += "," + prefix + "m::" + permissions(random);
    return acl + "," + prefix + "o::" + permissions(random);
}

std::string numericAcl(const std::string& path)
{
    return run("getfacl -cpnE -- " + shellQuote(path));
}

} // namespace

TEST(SecurityApiPosix, ReadThenWriteLeavesEverythingAsItWas)
{
    testsupport::TempDir temp;
    const std::string minimal = temp / "minimal", named = temp / "named", folder = temp / "folder";
    testsupport::writeFile(minimal, "x");
    testsupport::writeFile(named, "x");
    testsupport::makeDirectories(folder);
    ASSERT_EQ(chmod(minimal.c_str(), 0640), 0);
    testsupport::setfacl("-m u:65534:rwx,g:65534:r-x,m::r-x", named);
    ASSERT_EQ(chown(named.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(named.c_str(), 06750), 0);
    testsupport::setfacl("-m u:65534:rwx -d -m u::rwx,u:65534:r-x,g::r-x,g:65534:-wx,o::---",
                         folder);
    ASSERT_EQ(chmod(folder.c_str(), 03775), 0);

    roundTrip(minimal, "minimal ACL");
    roundTrip(named, "named entries, mask, setuid and setgid for another group");
    roundTrip(folder, "default ACL, setgid and sticky");
}

TEST(SecurityApiPosix, RandomAclsReadThenWrittenStayByteIdentical)
{
    testsupport::TempDir temp;
    std::mt19937 random(4242);
    for (int round = 0; round < 40; ++round) {
        const bool isFolder = round % 2 == 1;
        const std::string path = temp / std::to_string(round);
        if (isFolder)
            testsupport::makeDirectories(path);
        else
            testsupport::writeFile(path, "");
        std::string acl = randomAcl(random, "");
        if (isFolder && random() % 2 == 0)
            acl += "," + randomAcl(random, "d:");
        testsupport::setfacl("-n --set " + shellQuote(acl), path);
        roundTrip(path, acl);
    }
}

TEST(SecurityApiPosix, ClearingWriteDataStopsEveryWriteAndSettingItBackRestoresIt)
{
    testsupport::TempDir temp;
    ASSERT_EQ(chmod(temp.path().c_str(), 0711), 0);
    const std::string folder = temp / "folder", file = temp / "folder/file";
    testsupport::makeDirectories(folder);
    testsupport::writeFile(file, "x");
    testsupport::setfacl("-m u:65534:rwx,g:65534:rwx -d -m u:65534:rwx,g::rwx", folder);
    testsupport::setfacl("-m u:65534:rw-,o::rw-", file);
    ASSERT_TRUE(testsupport::nobodyCanWrite(file));
    ASSERT_TRUE(testsupport::nobodyCanWrite(folder));

    EXPECT_TRUE(rewriteDacl(folder, withoutWrite));
    EXPECT_TRUE(rewriteDacl(file, withoutWrite));
    EXPECT_EQ(numericAcl(folder).find('w'), std::string::npos) << numericAcl(folder);
    EXPECT_EQ(numericAcl(file).find('w'), std::string::npos) << numericAcl(file);
    EXPECT_FALSE(testsupport::nobodyCanWrite(file));
    EXPECT_FALSE(testsupport::nobodyCanWrite(folder));

    EXPECT_TRUE(rewriteDacl(folder, withWriteBack));
    EXPECT_TRUE(rewriteDacl(file, withWriteBack));
    EXPECT_TRUE(testsupport::nobodyCanWrite(file));
    EXPECT_TRUE(testsupport::nobodyCanWrite(folder));
}

TEST(SecurityApiPosix, LinksAndVanishedPathsAreRefusedSpecialFilesAreRead)
{
    testsupport::TempDir temp;
    const std::string target = temp / "target", link = temp / "link", fifo = temp / "fifo";
    testsupport::writeFile(target, "x");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);

    EXPECT_EQ(readError(link), DWORD{ELOOP});
    EXPECT_EQ(readError(fifo), DWORD{0});
    EXPECT_EQ(readError("/dev/null"), DWORD{0});
    EXPECT_EQ(readError(temp / "gone"), DWORD{ENOENT});

    const Snapshot before = snapshot(target);
    std::vector<BYTE> locked = daclOf(target);
    for (std::size_t at = 8; at < locked.size(); at += locked[at + 2])
        applyToAce(&locked[at], withoutWrite);
    EXPECT_FALSE(writeDacl(link, locked));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(writeDacl(temp / "gone", locked));
    expectSame(before, snapshot(target), "the link's target");
}

TEST(SecurityApiPosix, DaclsThatCannotBeWrittenChangeNothing)
{
    testsupport::TempDir temp;
    const std::string file = temp / "file";
    testsupport::writeFile(file, "x");
    testsupport::setfacl("-m u:65534:rw-", file);
    const Snapshot before = snapshot(file);
    const std::vector<BYTE> dacl = daclOf(file);

    std::vector<BYTE> denied = dacl;
    denied[8] = kAccessDeniedAceType;
    EXPECT_FALSE(writeDacl(file, denied));
    std::vector<BYTE> sixth = dacl;
    sixth.resize(dacl.size() - 20);
    sixth[2] = static_cast<BYTE>(sixth.size()), sixth[4] = 4;
    EXPECT_FALSE(writeDacl(file, sixth)) << "the entry for other removed";
    posixacl::PosixAcls withDefaults;
    withDefaults.access = withDefaults.defaults = posixacl::entriesFromMode(0644);
    EXPECT_FALSE(writeDacl(file, posixacl::daclFromAcls(withDefaults))) << "a file has none";

    SECURITY_DESCRIPTOR absolute;
    aclmemory::initializeSecurityDescriptor(&absolute, kSecurityDescriptorRevision);
    EXPECT_FALSE(systemApi().setFileSecurity(*testsupport::NamedEntry(file), kDaclSecurityInformation, &absolute))
        << "no DACL";
    aclmemory::setSecurityDescriptorDacl(&absolute, 1, nullptr, 0);
    EXPECT_FALSE(systemApi().setFileSecurity(*testsupport::NamedEntry(file), kDaclSecurityInformation, &absolute))
        << "a null DACL";
    expectSame(before, snapshot(file), "after refused writes");
}

// The default ACL is written first; here the access ACL then finds no room
// left for its xattr, and the default ACL must be put back.
TEST(SecurityApiPosix, FailedSecondWriteRestoresTheFirst)
{
    testsupport::TempDir temp;
    const std::string folder = temp / "folder", probe = temp / "probe";
    testsupport::makeDirectories(folder);
    testsupport::makeDirectories(probe);
    posixacl::PosixAcls large;
    std::string setfaclList;
    large.access = {{posixacl::kUserObj, 7, posixacl::kUndefinedId}};
    for (std::uint32_t uid = 3000; uid < 3400; ++uid) {
        large.access.push_back({posixacl::kUser, 4, uid});
        setfaclList += (setfaclList.empty() ? "u:" : ",u:") + std::to_string(uid) + ":r";
    }
    large.access.push_back({posixacl::kGroupObj, 5, posixacl::kUndefinedId});
    large.access.push_back({posixacl::kMask, 7, posixacl::kUndefinedId});
    large.access.push_back({posixacl::kOther, 0, posixacl::kUndefinedId});
    large.defaults = large.access;
    int status = 0;
    run("setfacl -d -m " + setfaclList + " " + probe + " && setfacl -m " + setfaclList + " " +
            probe + " 2>/dev/null",
        &status);
    if (status == 0)
        GTEST_SKIP() << "this file system holds both large ACLs at once";

    testsupport::setfacl("-d -m u:65534:r-x", folder);
    const Snapshot before = snapshot(folder);
    EXPECT_FALSE(writeDacl(folder, posixacl::daclFromAcls(large)));
    expectSame(before, snapshot(folder), "after the failed access ACL write");
    // The same, when the write reuses what the read just took from the inode.
    EXPECT_EQ(readError(folder), kErrorSuccess);
    EXPECT_FALSE(writeDacl(folder, posixacl::daclFromAcls(large)));
    expectSame(before, snapshot(folder), "after the failed write that followed a read");
}

// ramfs keeps no xattrs at all; a private mount namespace keeps the mount
// from being seen outside this test.
TEST(SecurityApiPosix, WithoutAclSupportPermissionBitsStandForTheAcl)
{
    testsupport::TempDir temp;
    const std::string mountPoint = temp / "ramfs";
    testsupport::makeDirectories(mountPoint);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("ramfs", mountPoint.c_str(), "ramfs", 0, nullptr) != 0)
            _exit(77);
        const std::string file = mountPoint + "/file";
        testsupport::writeFile(file, "x");
        chmod(file.c_str(), 02754);
        posixacl::PosixAcls acls;
        const std::vector<BYTE> dacl = daclOf(file);
        if (!posixacl::aclsFromDacl(dacl.data(), dacl.size(), &acls) ||
            !(acls.access == posixacl::entriesFromMode(0754)))
            _exit(1);
        struct stat status {};
        if (!rewriteDacl(file, withoutWrite) || stat(file.c_str(), &status) ||
            (status.st_mode & 07777) != 02554)
            _exit(2);
        acls.access = {{posixacl::kUserObj, 7, posixacl::kUndefinedId},
                       {posixacl::kUser, 7, 65534},
                       {posixacl::kGroupObj, 5, posixacl::kUndefinedId},
                       {posixacl::kMask, 7, posixacl::kUndefinedId},
                       {posixacl::kOther, 5, posixacl::kUndefinedId}};
        if (writeDacl(file, posixacl::daclFromAcls(acls)) || stat(file.c_str(), &status) ||
            (status.st_mode & 07777) != 02554)
            _exit(3);
        acls.access = acls.defaults = posixacl::entriesFromMode(0755);
        if (writeDacl(mountPoint, posixacl::daclFromAcls(acls)))
            _exit(4);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot mount ramfs here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: read, 2: minimal write, 3: extended refused, "
                                         "4: default ACL refused";
}
