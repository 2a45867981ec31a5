// Runs of the real program over hostile trees and hostile configuration
// files. Whatever it meets, a run must end in bounded time with a documented
// exit status and the documented lines, and leave everything beside the
// configured folders as it was. scripts/hardening/ runs the same cases at
// full size.
#include "ProgramSupport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <unistd.h>

namespace e2e {
namespace {

using testsupport::run;
using testsupport::shellQuote;
using Lines = std::vector<std::string>;


// ---------------------------------------------------------------------------
// What a log line may be, and which ReturnCode it stores.

struct LineForm {
    std::string prefix;
    int code; // 0: the line stores none
};

std::string tagged(const std::string& level, const std::string& tag)
{
    return level + " [" + tag + "]: " + tag;
}

const std::vector<LineForm>& lineForms()
{
    const std::string main = "WinMain";
    const std::string load = "C_TolvaneManager::loadFoldersPaths";
    const std::string read = "C_TolvaneManager::readIniValue";
    const std::string exists = "C_TolvaneManager::isFileExists";
    const std::string walk = "C_TolvaneManager::recursiveFolderPermissionAccess";
    const std::string modify = "C_TolvaneManager::filePermissionModification";
    const std::string lock = "C_TolvaneManager::lockWritingPermission";
    const std::string unlock = "C_TolvaneManager::unlockWritingPermission";
    static const std::vector<LineForm> forms = {
        {tagged("DEBUG", main) + " :: Tolvane Application is running..", 0},
        {tagged("DEBUG", main) + " :: Tolvane Application ended running", 0},
        {tagged("DEBUG", main) + " :: ReturnCode = 1 : Lock writing Permission for file (", 0},
        {tagged("DEBUG", main) + " :: ReturnCode = 1 : Unlock writing Permission for file (", 0},
        {tagged("ERROR", main) + " :: ReturnCode = -2 : Empty Folder list", -2},
        {tagged("ERROR", load) + " :: ReturnCode = -2 : Configuration file : [FOLDER].NB_FOLDER Wrong "
                                 "value introduced",
         -2},
        {tagged("FATAL", load) + " :: ReturnCode = -7 : ", -7},
        {tagged("ERROR", read) + " :: ReturnCode = -2 : Configuration file ", -2},
        {tagged("FATAL", read) + " :: ReturnCode = -7 : Poco Exception ", -7},
        {tagged("FATAL", read) + " :: ReturnCode= -7 : POCO Exception ", -7},
        {tagged("ERROR", exists) + " :: ReturnCode = -3 : File ", -3},
        {tagged("FATAL", exists) + " :: ReturnCode = -7 : POCO Exception ", -7},
        {tagged("FATAL", walk) + " :: ReturnCode = -7 : ", -7},
        {tagged("ERROR", modify) + " :: ReturnCode = -4 : ", -4},
        {tagged("FATAL", modify) + " :: ReturnCode = -7 : ", -7},
        {tagged("ERROR", lock) + " :: ReturnCode = -4 : ", -4},
        {tagged("FATAL", lock) + " :: ReturnCode = -7 : ", -7},
        {tagged("ERROR", unlock) + " :: ReturnCode = -4 : ", -4},
        {tagged("FATAL", unlock) + " :: ReturnCode = -7 : ", -7},
    };
    return forms;
}

const LineForm* formOf(const std::string& line)
{
    for (const LineForm& form : lineForms())
        if (line.compare(0, form.prefix.size(), form.prefix) == 0)
            return &form;
    return nullptr;
}

// The status a run must end with, read from its own log: the last code
// stored, or 1 (as the shell sees them).
int statusFromLog(const Lines& log)
{
    int code = 1;
    for (const std::string& line : log)
        if (const LineForm* form = formOf(line))
            code = form->code != 0 ? form->code : code;
    return code & 0xff;
}

// Every line has a documented form, the run starts and ends with its own
// lines, and the exit status is the one its log implies.
void expectDocumentedRun(const ProgramRun& result)
{
    static const std::set<int> documented = {1, 255, 254, 253, 252, 250, 249};
    EXPECT_EQ(1u, documented.count(result.status)) << "exit status " << result.status;
    ASSERT_GE(result.log.size(), 2u);
    EXPECT_EQ(line::start(), result.log.front());
    EXPECT_EQ(line::end(), result.log.back());
    for (const std::string& text : result.log)
        EXPECT_NE(nullptr, formOf(text)) << "undocumented line: " << text.substr(0, 300);
    EXPECT_EQ(statusFromLog(result.log), result.status);
}

Lines sortedMiddle(Lines log)
{
    if (log.size() >= 2)
        log = Lines(log.begin() + 1, log.end() - 1);
    std::sort(log.begin(), log.end());
    return log;
}

// ---------------------------------------------------------------------------

class HostileInput : public ProgramTest {
protected:
    std::string stat(const std::string& format, const std::string& path) const
    {
        return run("stat -c " + shellQuote(format) + " " + shellQuote(path));
    }
};

// ---------------------------------------------------------------------------
// Hostile trees

void bindSocketAt(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path) << path;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socketFd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socketFd, 0);
    EXPECT_EQ(0, bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << path;
    close(socketFd);
}

// A FIFO, a socket and device nodes, each in a folder with plain files (the
// FIFO and the socket planted by uid 65534 in its own folder), have their ACL
// changed like any file: none of them stops the files listed after it.
// Opening the FIFO would block for ever: the run finishing at all shows that
// it was never opened.
TEST_F(HostileInput, SpecialFilesAreChangedWithoutBeingOpened)
{
    run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(data("")));
    inData("mkdir -p S/fifo S/sock S/chr S/blk && for d in S/*; do (cd $d && touch $(seq -f f%g 1 20)"
           " && chmod 666 f*); done && chown 65534:65534 S/fifo S/sock");
    ASSERT_EQ("", run(asNobody("mkfifo -m 666 " + shellQuote(data("S/fifo/0")) + " 2>&1")));
    bindSocketAt(data("S/sock/0"));
    inData("chmod 666 S/sock/0 && chown 65534:65534 S/sock/0");
    int status = 0;
    run("mknod -m 666 " + shellQuote(data("S/chr/0")) + " c 1 3 && mknod -m 666 " +
            shellQuote(data("S/blk/0")) + " b 7 0 2>&1",
        &status);
    if (status != 0)
        GTEST_SKIP() << "device nodes cannot be made here";
    const auto before = aclTree(data("S"));
    ASSERT_EQ(4u * 21 + 5, before.size());
    writeIni({data("S")});

    for (const bool lock : {true, false}) {
        SCOPED_TRACE(lock ? "-lock" : "-unlock");
        const ProgramRun result = runProgram(lock ? "-lock" : "-unlock");
        EXPECT_EQ(1, result.status);
        EXPECT_LT(result.seconds, 10.0);
        EXPECT_EQ((Lines{line::start(), line::success(lock, data("S")), line::end()}), result.log);
        EXPECT_EQ(afterRun(before, lock), aclTree(data("S")));
    }
}

// The stored value of an ACL xattr, empty when there is none.
std::string rawAcl(const std::string& path, const char* name)
{
    char value[1024];
    const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
    return size > 0 ? std::string(value, static_cast<std::size_t>(size)) : std::string();
}

// `value` with the write bit taken from every entry's permissions.
std::string withoutWriteBits(std::string value)
{
    for (std::size_t perm = 4 + 2; perm < value.size(); perm += 8)
        value[perm] = static_cast<char>(value[perm] & ~2);
    return value;
}

// What uid 65534 can write with setxattr but setfacl would refuse to: the
// same user named twice, group ids out of order. The kernel stores it.
std::string aclNamingAUserTwice()
{
    const std::uint32_t undefined = 0xFFFFFFFF;
    const std::vector<std::array<std::uint32_t, 3>> entries = {
        {0x01, 7, undefined}, {0x02, 6, 1000}, {0x02, 7, 1000}, {0x04, 6, undefined},
        {0x08, 6, 7},         {0x08, 7, 3},    {0x10, 7, undefined}, {0x20, 5, undefined}};
    std::string value("\x02\x00\x00\x00", 4);
    for (const auto& [tag, perm, id] : entries)
        for (const std::uint32_t field : {tag | perm << 16, id})
            for (int shift = 0; shift < 32; shift += 8)
                value += static_cast<char>(field >> shift & 0xFF);
    return value;
}

void setAclAsNobody(const std::string& path, const char* name, const std::string& value)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                      setresuid(65534, 65534, 65534) == 0 &&
                      setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0
                  ? 0
                  : 1);
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_EQ(0, status) << path;
}

// A user puts such an ACL as the default of its folder, and everything it
// then creates there inherits it. Each ACL is changed in its write bits
// only, byte for byte, and comes back on -unlock.
TEST_F(HostileInput, AclsTheKernelStoresAreChangedInTheirWriteBitsOnly)
{
    run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(data("")));
    inData("mkdir -p K/own && chown 65534:65534 K/own");
    setAclAsNobody(data("K/own"), "system.posix_acl_default", aclNamingAUserTwice());
    setAclAsNobody(data("K/own"), "system.posix_acl_access", aclNamingAUserTwice());
    ASSERT_EQ("", run(asNobody("cd " + shellQuote(data("K/own")) +
                               " && mkdir sub && touch f sub/g && mkfifo sub/p 2>&1")));
    const std::vector<std::string> paths = {data("K/own"), data("K/own/sub"), data("K/own/f"),
                                            data("K/own/sub/g"), data("K/own/sub/p")};
    std::map<std::string, std::string> stored;
    for (const std::string& path : paths)
        for (const char* name : {"system.posix_acl_access", "system.posix_acl_default"})
            stored[path + " " + name] = rawAcl(path, name);
    ASSERT_EQ(aclNamingAUserTwice(), stored[data("K/own") + " system.posix_acl_access"]);
    const auto before = aclTree(data("K"));
    writeIni({data("K")});

    const ProgramRun locked = runProgram("-lock");
    EXPECT_EQ(1, locked.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("K")), line::end()}), locked.log);
    EXPECT_EQ(mapAcls(before, withoutWrite), aclTree(data("K")));
    for (const auto& [where, value] : stored) {
        const auto space = where.find(' ');
        EXPECT_EQ(withoutWriteBits(value), rawAcl(where.substr(0, space), where.c_str() + space + 1))
            << where;
    }
    EXPECT_EQ(1, runProgram("-unlock").status);
    EXPECT_EQ(before, aclTree(data("K")));
}

// Each name sits in a folder of its own, made by uid 65534. A run without
// CAP_SYS_ADMIN and with a record store it may not use keeps no record, and
// says so for every path it locks.
TEST_F(HostileInput, LoggedNamesAreEscapedAndCannotForgeLines)
{
    run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(data("")));
    const std::vector<std::pair<std::string, std::string>> names = {
        {"x\n" + line::end(), "x\\x0a" + line::end()},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac"},
        {"bad\xff\xfe\xc3", "bad\\xff\\xfe\\xc3"},
        {"\x1b[2Jclear\r\x7f", "\\x1b[2Jclear\\x0d\\x7f"},
        {"a\xe2\x80\xa8" "b\xe2\x80\xa9" "c\xc2\x85" + line::end(),
         "a\\xe2\\x80\\xa8" "b\\xe2\\x80\\xa9" "c\\xc2\\x85" + line::end()},
    };
    inData("mkdir L store && chown 65534:65534 store && for n in 0 1 2 3 4; do mkdir L/$n"
           " && chown 65534:65534 L/$n; done");
    Lines expected = {line::success(true, data("L")), line::recordNotKept(data("L"))};
    for (std::size_t n = 0; n < names.size(); ++n) {
        const std::string folder = data("L/" + std::to_string(n));
        ASSERT_EQ("", run(asNobody("touch " + shellQuote(folder + "/" + names[n].first))));
        expected.push_back(line::recordNotKept(folder));
        expected.push_back(line::recordNotKept(folder + "/" + names[n].second));
    }
    std::sort(expected.begin(), expected.end());
    writeIni({data("L")});

    const ProgramRun result =
        runCommand("LC_ALL=C LANG=C STATE_DIRECTORY=" + shellQuote(data("store")) +
                   " setpriv --inh-caps=-sys_admin --bounding-set=-sys_admin {program} -lock");
    EXPECT_EQ(252, result.status);
    EXPECT_EQ(expected, sortedMiddle(result.log));
    expectDocumentedRun(result);
}

void createFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    close(fd);
}

// Every byte a name may hold, and names a shell or an argument parser would
// take for something else.
std::vector<std::string> hostileNames()
{
    std::string everyByte;
    for (int byte = 1; byte <= 0xFF; ++byte)
        if (byte != '/')
            everyByte += static_cast<char>(byte);
    return {everyByte, "-lock", "--", "-", " ", "  lead", "trail  ", "new\nline", "\n", "\r",
            "a\tb", "\xff\xfe", "\xc3\x28", "*", "?", "\\", "$(id)", "...", "'\"", "%n%s%p"};
}

TEST_F(HostileInput, NamesHoldingAnyByteAreLockedAndUnlocked)
{
    inData("mkdir N");
    const std::vector<std::string> names = hostileNames();
    for (const std::string& name : names)
        createFile(data("N/" + name));
    // A folder of the longest name, holding the same names again.
    const std::string folder = data("N/D" + names.front());
    ASSERT_EQ(0, mkdir(folder.c_str(), 0777));
    for (const std::string& name : names)
        createFile(folder + "/" + name);
    ASSERT_EQ(0, mkdir((folder + "/ -dir\n").c_str(), 0777));
    createFile(folder + "/ -dir\n/" + names.front());
    run("chmod -R a+w " + shellQuote(data("N")));
    const auto before = aclTree(data("N"));
    ASSERT_EQ(2 * names.size() + 4, before.size());
    writeIni({data("N")});

    for (const bool lock : {true, false}) {
        SCOPED_TRACE(lock ? "-lock" : "-unlock");
        const ProgramRun result = runProgram(lock ? "-lock" : "-unlock");
        EXPECT_EQ(1, result.status);
        EXPECT_EQ((Lines{line::start(), line::success(lock, data("N")), line::end()}), result.log);
        EXPECT_EQ(afterRun(before, lock), aclTree(data("N")));
    }
}

int countWritable(const std::string& root)
{
    return std::stoi(run("find " + shellQuote(root) + " -perm /222 | wc -l"));
}

TEST_F(HostileInput, FolderOfThousandsOfEntries)
{
    const int entries = 2000;
    inData("mkdir W && cd W && seq 1 " + std::to_string(entries - 10) +
           " | sed 's/^/f/' | xargs touch && for n in 0 1 2 3 4 5 6 7 8 9; do mkdir d$n"
           " && : > d$n/inner; done && chmod -R a+w .");
    ASSERT_EQ(entries + 11, countWritable(data("W")));
    writeIni({data("W")});

    const ProgramRun locked = runProgram("-lock");
    EXPECT_EQ(1, locked.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("W")), line::end()}), locked.log);
    EXPECT_EQ(0, countWritable(data("W")));
    std::cout << entries << " entries locked in " << locked.seconds << " s\n";

    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(1, unlocked.status);
    EXPECT_EQ(entries + 11, countWritable(data("W")));
}

// The run's user owns the tree but for one sub-folder that root keeps
// closed: that folder fails to be written and to be listed, everything
// else is locked, also a file of its own it may not read (which cannot be
// opened for reading and is reached through O_PATH instead).
TEST_F(HostileInput, ClosedSubFolderOfAnotherOwnerAsAnUnprivilegedUser)
{
    inData("mkdir -p T/open T/closed && : > T/open/f && : > T/open/unreadable && : > T/closed/secret"
           " && : > T/g && chown -R 65534:65534 T && chown root:root T/closed && chmod 000 T/closed"
           " && chmod 200 T/open/unreadable && mkdir state && chown 65534 state");
    run("chown 65534:65534 " + shellQuote(dir.path()));
    const auto closedBefore = testsupport::getfacl(data("T/closed"));
    const auto secretBefore = testsupport::getfacl(data("T/closed/secret"));
    const auto before = aclTree(data("T/open"));
    writeIni({data("T")});

    // Without CAP_SYS_ADMIN the records go to the user's own record store.
    for (const bool lock : {true, false}) {
        const ProgramRun result =
            runCommand("env -u STATE_DIRECTORY XDG_STATE_HOME=" + shellQuote(data("state")) +
                       " setpriv --reuid=65534 --regid=65534 --clear-groups {program} " +
                       (lock ? "-lock" : "-unlock"));
        EXPECT_EQ(249, result.status) << result.output;
        ASSERT_EQ(6u, result.log.size()) << ::testing::PrintToString(result.log);
        EXPECT_EQ(line::writeFailed(lock, data("T/closed")), result.log[1]);
        EXPECT_EQ(line::modificationFailed(lock, data("T/closed")), result.log[2]);
        EXPECT_EQ(0u, result.log[3].find(tagged("FATAL", "C_TolvaneManager::recursiveFolderPermissionAccess") +
                                         " :: ReturnCode = -7 : POCO Exception "));
        EXPECT_NE(std::string::npos, result.log[3].find(data("T/closed")));
        EXPECT_EQ(line::success(lock, data("T")), result.log[4]);
        expectDocumentedRun(result);
        EXPECT_EQ(lock ? 0 : 5, std::stoi(run("find " + shellQuote(data("T")) +
                                              " -path '*/closed' -prune -o -perm /222 -print | wc -l")));
    }
    EXPECT_EQ(before, aclTree(data("T/open")));
    EXPECT_EQ(closedBefore, testsupport::getfacl(data("T/closed")));
    EXPECT_EQ(secretBefore, testsupport::getfacl(data("T/closed/secret")));
}

// A private mount namespace for this test process and the runs it starts.
bool inOwnMountNamespace()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

struct ScratchMount {
    ScratchMount(const char* type, const std::string& target, const std::string& options = "")
        : target(target)
    {
        mounted = inOwnMountNamespace() &&
                  mount(type, target.c_str(), type, 0, options.empty() ? nullptr : options.c_str()) == 0;
    }
    ~ScratchMount()
    {
        if (mounted)
            umount2(target.c_str(), MNT_DETACH);
    }
    std::string target;
    bool mounted = false;
};

std::string lookLocked(int count, const std::string& folder)
{
    const std::string tag = "C_TolvaneManager::recursiveFolderPermissionAccess";
    return "WARN [" + tag + "]: " + tag + " :: " + std::to_string(count) + " entries below " + folder +
           " have no write record and look locked; left as they are";
}

// Without ACL support only the permission bits carry the rights; the
// special bits stay as they were.
TEST_F(HostileInput, FolderOnAFileSystemWithoutAcls)
{
    inData("mkdir R && : > sentinel && setfacl -m u:65534:rw sentinel");
    const std::string sentinelBefore = testsupport::getfacl(data("sentinel"));
    const ScratchMount ramfs("ramfs", data("R"));
    if (!ramfs.mounted)
        GTEST_SKIP() << "ramfs cannot be mounted here";
    inData("chmod 755 R && mkdir R/sub && : > R/f && chmod 666 R/f && chmod 1777 R/sub"
           " && : > R/sub/g && chmod 4775 R/sub/g && ! setfacl -m u:65534:r R/f 2>/dev/null");
    const std::string listing = "stat -c '%A %n' R R/f R/sub R/sub/g";
    const std::string before = run("cd " + shellQuote(dir / "data") + " && " + listing);
    writeIni({data("R")});

    // ramfs keeps no xattrs and gives no file handles: no record anywhere.
    // Every path says so, is locked all the same, and unlock leaves it so.
    const std::string lockedModes =
        "dr-xr-xr-x R\n-r--r--r-- R/f\ndr-xr-xr-t R/sub\n-r-sr-xr-x R/sub/g\n";
    const ProgramRun locked = runProgram("-lock");
    EXPECT_EQ(252, locked.status);
    EXPECT_EQ((Lines{line::start(), line::recordNotKept(data("R")),
                     line::recordNotKept(data("R/f")), line::recordNotKept(data("R/sub")),
                     line::recordNotKept(data("R/sub/g")), line::success(true, data("R")),
                     line::end()}),
              locked.log);
    EXPECT_EQ(lockedModes, run("cd " + shellQuote(dir / "data") + " && " + listing));
    const std::string walkTag = "C_TolvaneManager::recursiveFolderPermissionAccess";
    ASSERT_FALSE(locked.own.empty());
    EXPECT_EQ(0u, locked.own.back().find("INFO [" + walkTag + "]: " + walkTag + " :: Lock of (" +
                                         data("R") + ") done: 4 entries changed, 0 failed, "
                                         "4 left without a record, in "));

    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(1, unlocked.status);
    EXPECT_EQ((Lines{line::start(), line::success(false, data("R")), line::end()}), unlocked.log);
    const std::string head = "WARN [" + walkTag + "]: " + walkTag + " :: ";
    const std::string left = " has no write record and looks locked; left as it is";
    ASSERT_EQ(6u, unlocked.own.size());
    EXPECT_EQ((Lines{head + data("R") + left, head + data("R/f") + left,
                     head + data("R/sub") + left, head + data("R/sub/g") + left,
                     head + "4 entries below " + data("R") +
                         " have no write record and look locked; left as they are"}),
              Lines(unlocked.own.begin(), unlocked.own.begin() + 5));
    EXPECT_EQ(0u, unlocked.own[5].find("INFO [" + walkTag + "]: " + walkTag + " :: Unlock of (" +
                                       data("R") + ") done: 0 entries changed, 0 failed, "
                                       "4 left without a record, in "));
    EXPECT_EQ(lockedModes, run("cd " + shellQuote(dir / "data") + " && " + listing));
    EXPECT_NE(before, "");
    EXPECT_EQ(sentinelBefore, testsupport::getfacl(data("sentinel")));
}

#ifdef TOLVANE_FUSE_PASSTHROUGH
// scripts/hardening/fuse-passthrough showing `backing` at `target`; `lookups`
// are made first, in order, so that they get the node ids 2, 3, ...
class FuseMount {
public:
    FuseMount(const std::string& backing, const std::string& target, const Lines& lookups)
        : target(target)
    {
        daemon.pid = fork();
        if (daemon.pid == 0) {
            execl(TOLVANE_FUSE_PASSTHROUGH, "fuse-passthrough", backing.c_str(), target.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int tries = 0; tries < 500 && !isMounted(); ++tries)
            usleep(10 * 1000);
        struct stat status;
        for (const std::string& name : lookups)
            mounted = isMounted() && lstat((target + "/" + name).c_str(), &status) == 0;
    }
    ~FuseMount()
    {
        umount2(target.c_str(), MNT_DETACH);
        daemon.wait();
    }
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    bool mounted = false;

private:
    bool isMounted() const
    {
        struct statfs system;
        return statfs(target.c_str(), &system) == 0 && system.f_type == FUSE_SUPER_MAGIC;
    }

    std::string target;
    Child daemon;
};
#endif

// Two FUSE mounts without extended attributes (as sshfs), one remounted
// between lock and unlock. FUSE numbers inodes anew at each mount, and all
// its mounts share file system id 0: records kept in the store under those
// names would land on other files (u's on root's r). None is kept: each path
// says so and is locked, and -unlock leaves it locked.
TEST_F(HostileInput, FoldersOnFuseMountsKeepNoRecordsAndStayLocked)
{
#ifndef TOLVANE_FUSE_PASSTHROUGH
    GTEST_SKIP() << "built without libfuse3, so without a FUSE file system to mount";
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0 || !inOwnMountNamespace())
        GTEST_SKIP() << "no /dev/fuse, or no mount namespace of its own, here";
    inData("mkdir -m 755 backA backB A B && : > backA/u && : > backB/r && : > backB/s"
           " && chown 65534:65534 backA/u backB/s && chmod 666 backA/u backB/s && chmod 644 backB/r");
    const FuseMount mountA(data("backA"), data("A"), {"u"});
    auto mountB = std::make_unique<FuseMount>(data("backB"), data("B"), Lines{"r", "s"});
    ASSERT_TRUE(mountA.mounted && mountB->mounted);
    writeIni({data("A"), data("B")});
    const ProgramRun locked = runProgram("-lock");
    EXPECT_EQ(252, locked.status);
    EXPECT_EQ(sortedMiddle({"", line::recordNotKept(data("A")), line::recordNotKept(data("A/u")),
                            line::success(true, data("A")), line::recordNotKept(data("B")),
                            line::recordNotKept(data("B/r")), line::recordNotKept(data("B/s")),
                            line::success(true, data("B")), ""}),
              sortedMiddle(locked.log));

    mountB.reset(); // gone before the next mount takes its place
    mountB = std::make_unique<FuseMount>(data("backB"), data("B"), Lines{"s", "r"});
    ASSERT_TRUE(mountB->mounted);
    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(1, unlocked.status);
    EXPECT_EQ((Lines{line::start(), line::success(false, data("A")), line::success(false, data("B")),
                     line::end()}),
              unlocked.log);
    for (const std::string& note : {lookLocked(2, data("A")), lookLocked(3, data("B"))})
        EXPECT_NE(std::find(unlocked.own.begin(), unlocked.own.end(), note), unlocked.own.end())
            << ::testing::PrintToString(unlocked.own);
    EXPECT_EQ("dr-xr-xr-x -r--r--r-- dr-xr-xr-x -r--r--r-- -r--r--r-- ",
              run("cd " + shellQuote(data("")) + " && stat -c '%A' backA backA/u backB backB/r"
                  " backB/s | tr '\\n' ' '"));
#endif
}

// The record store's file system is out of inodes, so its database cannot
// be opened: -lock still takes write from every entry, whose records the
// inodes keep, and -unlock gives that back but refuses, as ever, entries
// whose records are in the store.
// A lock that could keep the record in the inode again still takes the one
// in the store into account: write given back in between is taken as well,
// and the unlock gives back what both locks took.
TEST_F(HostileInput, ALockMergesTheRecordTheStoreKeeps)
{
    inData("mkdir X && : > X/f && chmod 644 X/f");
    writeIni({data("X")});
    ASSERT_EQ(1, runProgram("-lock", "setpriv --bounding-set=-sys_admin").status);
    inData("chmod g+w X/f");
    ASSERT_EQ(1, runProgram("-lock").status);
    EXPECT_EQ("444", run("stat -c %a " + shellQuote(data("X/f")) + " | tr -d '\\n'"));
    ASSERT_EQ(1, runProgram("-unlock").status);
    EXPECT_EQ("664", run("stat -c %a " + shellQuote(data("X/f")) + " | tr -d '\\n'"));
}

TEST_F(HostileInput, RecordStoreThatCannotBeOpenedStopsNoLock)
{
    inData("mkdir X Y ../state && : > X/f && : > Y/f && chmod 666 X/f Y/f");
    const ScratchMount state("tmpfs", dir / "state", "nr_inodes=16,mode=0700");
    if (!state.mounted)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    const auto x = aclTree(data("X"));
    const auto y = aclTree(data("Y"));
    writeIni({data("X")});
    ASSERT_EQ(1, runProgram("-lock", "setpriv --bounding-set=-sys_admin").status);
    run("cd " + shellQuote(dir / "state") + " && for n in $(seq 100); do : > f$n || break; done 2>/dev/null");

    writeIni({data("Y")});
    const ProgramRun locked = runProgram("-lock");
    EXPECT_EQ(1, locked.status);
    EXPECT_EQ((Lines{line::start(), line::success(true, data("Y")), line::end()}), locked.log);
    EXPECT_EQ(1, std::count_if(locked.own.begin(), locked.own.end(), [](const std::string& l) {
                  return l.find(" :: Record store not used: ") != std::string::npos;
              })) << "one WARN line for the run";
    EXPECT_EQ(mapAcls(y, withoutWrite), aclTree(data("Y")));
    writeIni({data("X"), data("Y")});
    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(252, unlocked.status);
    EXPECT_EQ((Lines{line::start(), line::readFailed(false, data("X")),
                     line::modificationFailed(false, data("X")), line::readFailed(false, data("X/f")),
                     line::modificationFailed(false, data("X/f")), line::success(false, data("Y")),
                     line::end()}),
              unlocked.log);
    EXPECT_EQ(mapAcls(x, withoutWrite), aclTree(data("X")));
    EXPECT_EQ(y, aclTree(data("Y")));
}

// scripts/hardening/churn.pl, run by root so that the lock does not stop
// it: it keeps removing and recreating entries of a tree, as folders, files,
// FIFOs and links to a sentinel, until told to stop.
class Churn {
public:
    Churn(const std::string& tree, const std::string& sentinel, const std::string& stopFile)
        : stopFile(stopFile)
    {
        pid = std::stoi(run("cd " + shellQuote(tree) + " && perl " +
                            shellQuote(TOLVANE_SOURCE_DIR "/scripts/hardening/churn.pl") + " " +
                            shellQuote(stopFile) + " " + shellQuote(sentinel) +
                            " >/dev/null 2>&1 & echo $!"));
    }
    ~Churn()
    {
        testsupport::writeFile(stopFile, "");
        for (int tries = 0; tries < 100 && kill(pid, 0) == 0; ++tries)
            usleep(20 * 1000);
        if (kill(pid, 0) == 0)
            kill(pid, SIGKILL);
    }
    Churn(const Churn&) = delete;
    Churn& operator=(const Churn&) = delete;

private:
    std::string stopFile;
    int pid = -1;
};

// What uid 65534 arranges around a lock never makes -unlock grant more:
// - it fills the extended attributes of its folder and file, so that their
//   records go to the record store, and the round trip is still exact;
// - it gives its own folder write back and moves root's file in from outside;
// - it renames the configured folder away and a root folder into its place.
TEST_F(HostileInput, WhatAUserArrangesAroundALockIsNeverWidenedByTheUnlock)
{
    inData("chmod 755 . && mkdir -p P/own drop home/T home/rootdir && : > P/full && chmod 775 P"
           " && chmod 664 P/full && chown -R 65534:65534 P drop home && : > drop/root.file"
           " && : > home/T/f && chown root:root home/rootdir drop/root.file"
           " && : > home/rootdir/f && chmod 644 drop/root.file home/rootdir/f");
    const std::string fill = "for n in $(seq 100); do setfattr -n user.fill$n -v "
                             "0x$(head -c 120 /dev/zero | od -An -tx1 | tr -d ' \\n') ";
    run(asNobody("cd " + shellQuote(data("P")) + " && " + fill + " full 2>/dev/null || break; done;" +
                 fill + " . 2>/dev/null || break; done"));
    const auto before = aclTree(data("P"));
    const auto rootFile = aclTree(data("drop/root.file"));
    const auto rootFolder = aclTree(data("home/rootdir"));
    writeIni({data("P"), data("home/T")});
    ASSERT_EQ(1, runProgram("-lock").status);
    EXPECT_NE("", run("getfattr -n trusted.tolvane " + shellQuote(data("P/full")) + " 2>&1 >/dev/null"))
        << "the inode had room for its record after all";

    run(asNobody("chmod u+w " + shellQuote(data("P/own")) + " && mv " +
                 shellQuote(data("drop/root.file")) + " " + shellQuote(data("P/own/moved")) +
                 " && chmod u-w " + shellQuote(data("P/own")) + " && cd " +
                 shellQuote(data("home")) + " && mv T T.away && mv rootdir T"));
    const ProgramRun unlocked = runProgram("-unlock");
    EXPECT_EQ(1, unlocked.status);
    auto expected = before;
    expected[data("P/own/moved")] = rootFile.at(data("drop/root.file"));
    EXPECT_EQ(expected, aclTree(data("P")));
    EXPECT_EQ(rootFolder.at(data("home/rootdir/f")), aclTree(data("home/T")).at(data("home/T/f")));
    EXPECT_EQ(rootFolder.at(data("home/rootdir")), aclTree(data("home/T")).at(data("home/T")));
}

TEST_F(HostileInput, EntriesVanishingOrChangingTypeDuringTheWalk)
{
    inData("mkdir -p C sentinel/dir && : > sentinel/file && chmod 666 sentinel/file"
           " && setfacl -m u:65534:rwx sentinel/dir && for n in 1 2 3 4 5 6 7 8; do mkdir C/k$n"
           " && for m in 1 2 3 4 5 6 7 8; do : > C/k$n/f$m; done; done");
    const auto sentinelBefore = aclTree(data("sentinel"));
    writeIni({data("C")});
    std::map<int, int> statuses;
    {
        const Churn churn(data("C"), data("sentinel/file"), dir / "stop-churn");
        for (int round = 0; round < 30; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            const ProgramRun result = runProgram(round % 2 == 0 ? "-lock" : "-unlock");
            ++statuses[result.status];
            expectDocumentedRun(result);
            EXPECT_EQ("", result.output);
        }
    }
    for (const auto& entry : statuses)
        std::cout << "exit " << entry.first << ": " << entry.second << " runs\n";
    EXPECT_EQ(sentinelBefore, aclTree(data("sentinel")));
}

// ---------------------------------------------------------------------------
// Bad configuration

// Generated Tolvane.ini files. Only the configured safe folders, paths
// below data/missing-..., the empty string and noise without '/' or '.'
// ever stand where a folder is read, so no mutation can name a folder
// outside the test's own directory.
class IniGenerator {
public:
    IniGenerator(std::uint32_t seed, std::vector<std::string> folders, std::string missingPrefix)
        : random(seed), folders(std::move(folders)), missingPrefix(std::move(missingPrefix))
    {
    }
    std::string next();

private:
    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); }
    bool chance(int percent) { return below(100) < percent; }
    const std::string& pick(const std::vector<std::string>& items)
    {
        return items[static_cast<std::size_t>(below(static_cast<int>(items.size())))];
    }
    std::string noise(int length);
    std::string sectionLine();
    std::string countLine();
    std::string folderLine(int number);
    std::string folderValue();
    std::vector<std::string> lines();
    std::string join(const std::vector<std::string>& lines);

    std::mt19937 random;
    std::vector<std::string> folders;
    std::string missingPrefix;
};

std::string IniGenerator::noise(int length)
{
    std::string bytes;
    while (static_cast<int>(bytes.size()) < length) {
        const char byte = static_cast<char>(below(256));
        if (byte != '\n' && byte != '/' && byte != '.')
            bytes += byte;
    }
    return bytes;
}

std::string IniGenerator::sectionLine()
{
    if (chance(80))
        return "[FOLDER]";
    return pick({"[folder]", " [FOLDER] ", "[FOLDER", "[ FOLDER ]", "[OTHER]", "[]", "[FOLDER]]",
                 "[" + noise(6) + "]"});
}

std::string IniGenerator::countLine()
{
    const std::string key =
        chance(85) ? "NB_FOLDER" : pick({"nb_folder", " NB_FOLDER\t", "NB_FOLDERS", noise(9)});
    if (chance(60))
        return key + "=" + pick({"1", "2", "3", "5", "99", "150"});
    const std::string value = pick(
        {"0", "-1", "-2147483648", "2147483647", "2147483648", "4294967297",
         "99999999999999999999999", "0x10", "0x7FFFFFFF", "0xFFFFFFFFFF", " 3 ", "+2", "abc", "", "3abc",
         "1e2", "\xd9\xa3", std::string(4000, '9'), noise(8), "2\r"});
    return key + "=" + value;
}

std::string IniGenerator::folderValue()
{
    const std::string& folder = pick(folders);
    switch (below(10)) {
    case 0: return missingPrefix + std::to_string(below(1000));
    case 1: return "";
    case 2: return missingPrefix + std::string(static_cast<std::size_t>(below(70000)), 'x');
    case 3: return noise(1 + below(40));
    case 4: return " " + folder + " \r";
    case 5: return folder + std::string(1, '\0') + noise(3);
    default: return folder;
    }
}

std::string IniGenerator::folderLine(int number)
{
    const std::string n = std::to_string(number);
    const std::string key = chance(90) ? "FOLDER_" + n : pick({"folder_" + n, " FOLDER_" + n + " ",
                                                               "FOLDER_0" + n, "FOLDER_" + n + "x"});
    return key + "=" + folderValue();
}

std::vector<std::string> IniGenerator::lines()
{
    std::vector<std::string> result;
    if (chance(10))
        result.push_back("NB_FOLDER=1");
    result.push_back(sectionLine());
    if (chance(92))
        result.push_back(countLine());
    const int keys = below(8);
    for (int number = 1; number <= keys; ++number) {
        if (chance(90))
            result.push_back(folderLine(number));
        if (chance(10))
            result.push_back(folderLine(number));
    }
    if (chance(20)) {
        result.push_back(sectionLine());
        result.push_back(chance(50) ? countLine() : folderLine(1 + below(3)));
    }
    for (int extra = chance(30) ? below(6) : 0; extra > 0; --extra)
        result.insert(result.begin() + below(static_cast<int>(result.size()) + 1),
                      chance(30) ? ";" + noise(below(100)) : noise(below(200)));
    if (chance(4))
        result.push_back(chance(50) ? noise(100000 + below(900000)) : folderLine(1) + std::string(300000, 'x'));
    if (chance(1))
        result.insert(result.end(), 20000, ";" + std::string(100, 'c'));
    if (chance(10))
        std::shuffle(result.begin(), result.end(), random);
    return result;
}

std::string IniGenerator::join(const std::vector<std::string>& lines)
{
    const std::string ending = pick({"\n", "\n", "\n", "\r\n", "\r\n", "\r"});
    std::string text = chance(15) ? "\xef\xbb\xbf" : "";
    for (const std::string& line : lines)
        text += line + (chance(3) ? "\r\n" : ending);
    if (chance(10) && !text.empty())
        text.pop_back();
    return text;
}

std::string IniGenerator::next()
{
    return join(lines());
}

int environmentNumber(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// The file count and the seed can be raised from the environment:
// scripts/hardening/ini-fuzz.sh runs thousands.
TEST_F(HostileInput, GeneratedMalformedConfigurationFiles)
{
    const int files = environmentNumber("TOLVANE_INI_FUZZ_FILES", 80);
    const int seed = environmentNumber("TOLVANE_INI_FUZZ_SEED", 1);
    inData("mkdir -p A/sub B outside && : > A/f && : > A/sub/g && : > B/h && : > outside/file"
           " && setfacl -m u:65534:rw outside/file && chmod -R a+w A B");
    const auto outsideBefore = aclTree(data("outside"));
    const std::string ownAclBefore = testsupport::getfacl(dir.path());
    IniGenerator generator(static_cast<std::uint32_t>(seed), {data("A"), data("B"), "data/A"},
                           data("missing-"));
    std::map<int, int> statuses;
    double slowest = 0;
    for (int file = 0; file < files; ++file) {
        const std::string text = generator.next();
        writeIniText(text);
        const ProgramRun result = runProgram(file % 2 == 0 ? "-lock" : "-unlock");
        SCOPED_TRACE("file " + std::to_string(file) + " of seed " + std::to_string(seed) + ", " +
                     std::to_string(text.size()) + " bytes: " + text.substr(0, 200));
        ++statuses[result.status];
        slowest = std::max(slowest, result.seconds);
        expectDocumentedRun(result);
        EXPECT_EQ("", result.output);
        for (const std::string& text : result.log) {
            if (text.find("writing Permission for file (") == std::string::npos)
                continue;
            EXPECT_TRUE(text.find("(" + data("A") + ")") != std::string::npos ||
                        text.find("(" + data("B") + ")") != std::string::npos ||
                        text.find("(data/A)") != std::string::npos)
                << text;
        }
        if (HasFailure())
            break;
    }
    std::cout << files << " files, seed " << seed << ", slowest run " << slowest << " s; exit status:";
    for (const auto& entry : statuses)
        std::cout << " " << entry.first << " x" << entry.second;
    std::cout << "\n";
    EXPECT_EQ(outsideBefore, aclTree(data("outside")));
    EXPECT_EQ(ownAclBefore, testsupport::getfacl(dir.path()));
}

std::string readLine(const std::string& level, const std::string& text)
{
    return tagged(level, "C_TolvaneManager::readIniValue") + text;
}

struct IniCase {
    std::string name;
    std::string text;
    int status;
    Lines lines; // between the start line and the end line
};

// Shapes whose lines are known exactly.
TEST_F(HostileInput, HandPickedConfigurationShapes)
{
    inData("mkdir A && : > A/f");
    const std::string folder = data("A");
    const std::string lockA = line::success(true, folder);
    const std::string countUnfound =
        readLine("ERROR", " :: ReturnCode = -2 : Configuration file : [FOLDER].NB_FOLDER unfound parameter");
    const std::string overflow =
        readLine("FATAL", " :: ReturnCode= -7 : POCO Exception Syntax error -- Not a valid integer: ");
    const std::vector<IniCase> cases = {
        {"CRLF line ends", "[FOLDER]\r\nNB_FOLDER=1\r\nFOLDER_1=" + folder + "\r\n", 1, {lockA}},
        {"byte-order mark before the section", "\xef\xbb\xbf[FOLDER]\nNB_FOLDER=1\nFOLDER_1=" + folder + "\n",
         254, {countUnfound, line::emptyFolderList()}},
        {"byte-order mark on a comment line", "\xef\xbb\xbf;\n[FOLDER]\nNB_FOLDER=1\nFOLDER_1=" + folder + "\n",
         1, {lockA}},
        {"duplicate keys and sections",
         "[FOLDER]\nNB_FOLDER=7\nFOLDER_1=" + data("gone") + "\n[OTHER]\nx=1\n[FOLDER]\nNB_FOLDER=1\nFOLDER_1=" +
             folder + "\n",
         1, {lockA}},
        {"count beyond 32 bits", "[FOLDER]\nNB_FOLDER=99999999999999999999\nFOLDER_1=" + folder + "\n", 254,
         {overflow + "99999999999999999999", line::emptyFolderList()}},
        {"count of 2^31", "[FOLDER]\nNB_FOLDER=2147483648\nFOLDER_1=" + folder + "\n", 254,
         {overflow + "2147483648", line::emptyFolderList()}},
        {"NUL inside a folder value", std::string("[FOLDER]\nNB_FOLDER=1\nFOLDER_1=") + folder + '\0' + "x\n",
         253, {line::missing(folder + "\\x00x")}},
        {"binary noise only", std::string("\x00\x01\xfe\xff[\x80]=\x7f\r\r\n", 12), 254,
         {countUnfound, line::emptyFolderList()}},
    };
    for (const IniCase& shape : cases) {
        SCOPED_TRACE(shape.name);
        writeIniText(shape.text);
        const ProgramRun result = runProgram("-lock");
        EXPECT_EQ(shape.status, result.status);
        Lines expected = {line::start()};
        expected.insert(expected.end(), shape.lines.begin(), shape.lines.end());
        expected.push_back(line::end());
        EXPECT_EQ(expected, result.log);
        expectDocumentedRun(result);
    }
}

// Every read parses the whole file again: 21 reads of 2 MB here.
TEST_F(HostileInput, MultiMegabyteConfigurationIsReadInBoundedTime)
{
    inData("mkdir A && : > A/f");
    std::string text = "[FOLDER]\nNB_FOLDER=20\nFOLDER_1=" + data("A") + "\n";
    while (text.size() < 1536 * 1024)
        text += ";" + std::string(100, 'c') + "\n";
    text += "FOLDER_2=" + std::string(512 * 1024, 'v') + "\n";
    writeIniText(text);
    const ProgramRun result = runProgram("-lock");
    EXPECT_EQ(253, result.status);
    // The 18 missing keys, then the walks: A, the long name, 18 empty entries.
    ASSERT_EQ(1u + 18 + 1 + 1 + 18 + 1, result.log.size());
    EXPECT_EQ(line::success(true, data("A")), result.log[19]);
    EXPECT_EQ(line::missing(std::string(512 * 1024, 'v')), result.log[20]);
    EXPECT_EQ(line::missing(""), result.log[21]);
    expectDocumentedRun(result);
    std::cout << text.size() << "-byte Tolvane.ini read 21 times in " << result.seconds << " s\n";
    EXPECT_LT(result.seconds, 30.0);
}

// Whatever becomes of the log, the run does its work and its status stays;
// but a set-up that cannot be read whole, or that sends the log, however
// spelt, into a folder others can write, stops the run before it starts.
TEST_F(HostileInput, LogConfigurationLeavesTheRunAloneOrStopsItBeforeItStarts)
{
    run("chmod 755 " + shellQuote(dir.path()) + " " + shellQuote(data("")));
    inData("mkdir A immutable open && : > A/f && chmod 666 A/f && chmod 777 open && : > target"
           " && chmod 600 target");
    ASSERT_EQ("", run(asNobody("ln -s ../target " + shellQuote(data("open/t.log")) + " 2>&1")));
    const auto before = aclTree(data("A"));
    writeIni({data("A")});
    const std::string xml = testsupport::readFile(dir / "LogTolvane.xml");
    const std::string fileParameter = "<param name=\"File\"";
    const auto withFile = [&](const std::string& file, const std::string& spelling = "") {
        std::string text = xml;
        if (!spelling.empty())
            text.replace(text.find(fileParameter), fileParameter.size(), spelling);
        const std::size_t at = text.find(dir / "tolvane.log");
        return text.replace(at, (dir / "tolvane.log").size(), file);
    };
    std::string billionLaughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE l [\n<!ENTITY l0 \"lol\">\n";
    for (int level = 1; level <= 12; ++level) {
        billionLaughs += "<!ENTITY l" + std::to_string(level) + " \"";
        for (int copy = 0; copy < 10; ++copy)
            billionLaughs += "&l" + std::to_string(level - 1) + ";";
        billionLaughs += "\">\n";
    }
    billionLaughs += "]>\n<log4j:configuration xmlns:log4j=\"http://jakarta.apache.org/log4j/\"><root>"
                     "<priority value=\"&l12;\"/></root></log4j:configuration>\n";
    const std::string unreadable = "./LogTolvane.xml cannot be read for the files it writes";
    const std::string shared = data("open") + " is writable by group or others";
    const bool immutable = run("chattr +i " + shellQuote(data("immutable")) + " 2>&1 && echo ok") == "ok\n";
    struct Variant {
        std::string name, text, refusal; // no refusal: the run goes on
    };
    std::vector<Variant> variants = {
        {"missing", "", ""},
        {"empty", "\n", unreadable},
        {"truncated", xml.substr(0, xml.size() / 2), unreadable},
        {"binary", std::string("\x00\xff\xfe<\x01>", 6), unreadable},
        {"entity bomb", billionLaughs, unreadable},
        {"log in a missing folder", withFile(data("new/folder/tolvane.log")), ""},
        {"log below a plain file", withFile(dir / "Tolvane.ini/tolvane.log"), ""},
        {"log in /proc", withFile("/proc/tolvane-test/tolvane.log"), ""},
        {"FileName in a shared folder", withFile(data("open/t.log"), "<param name=\"FileName\""), shared},
        {"log4j:param in a shared folder", withFile(data("open/t.log"), "<log4j:param name=\"File\""), shared},
    };
    if (immutable)
        variants.push_back({"log in an immutable folder", withFile(data("immutable/tolvane.log")), ""});
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        std::remove((dir / "LogTolvane.xml").c_str());
        if (variant.name != "missing")
            testsupport::writeFile(dir / "LogTolvane.xml", variant.text);
        for (const bool lock : {true, false}) {
            const ProgramRun result = runProgram(lock ? "-lock" : "-unlock");
            EXPECT_EQ(variant.refusal.empty() ? 1 : 254, result.status) << result.output;
            if (!variant.refusal.empty()) {
                EXPECT_EQ("[WinMain]: WinMain :: ReturnCode = -2 : Refusing to run: " + variant.refusal + "\n",
                          result.output);
            }
            EXPECT_LT(result.seconds, 10.0);
            EXPECT_EQ(variant.refusal.empty() ? afterRun(before, lock) : before, aclTree(data("A")));
        }
    }
    if (immutable)
        run("chattr -i " + shellQuote(data("immutable")));
    EXPECT_EQ("", run("ls -A " + shellQuote(data("immutable"))));
    EXPECT_EQ("", testsupport::readFile(data("target")));
}

} // namespace
} // namespace e2e
